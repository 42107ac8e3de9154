// The MQTT gateway's output: the host's gate values, the instances'
// availability and the bridge's own state published to a broker.
#ifndef ULOPR1_TOOLS_ULOHOST_MQTT_SINK_H
#define ULOPR1_TOOLS_ULOHOST_MQTT_SINK_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "commands.h"
#include "config.h"
#include "driver.h"
#include "instances.h"
#include "sink.h"

namespace ulohost {

// Where writes from the broker go: the host while it runs.
class CommandInbox {
 public:
  // The host takes commands from now on; nullptr: no longer.
  void Attach(Host *host);
  // False with error set while no host takes commands.
  bool Submit(const Command &command, std::string &error);

 private:
  std::mutex mutex_;
  Host *host_ = nullptr;
};

// Publishes to the broker config.mqtt names, from a network thread of its
// own that connects and reconnects (1 s, doubling up to 60 s) by itself.
// Values sent to a writable gate's set topic become write commands through
// inbox, their results published beside it.
// Connection trouble is told through tell. config and description must
// outlive the output. Nothing, with error set, when the client cannot be set
// up.
std::unique_ptr<Output> MakeMqttOutput(const Config &config,
                                       const Description &description,
                                       std::function<void(const Event &)> tell,
                                       std::shared_ptr<CommandInbox> inbox,
                                       std::string &error);

// A gate address as one topic level: '/', '+', '#', NUL and '%' as %XX.
std::string TopicLevel(std::string_view address);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_MQTT_SINK_H
