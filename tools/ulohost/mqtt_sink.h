// The MQTT gateway's output: the host's gate values, the instances'
// availability and the bridge's own state published to a broker.
#ifndef ULOPR1_TOOLS_ULOHOST_MQTT_SINK_H
#define ULOPR1_TOOLS_ULOHOST_MQTT_SINK_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "config.h"
#include "driver.h"
#include "sink.h"

namespace ulohost {

// Publishes to the broker config.mqtt names, from a network thread of its
// own that connects and reconnects (1 s, doubling up to 60 s) by itself.
// Connection trouble is told through tell. config and description must
// outlive the output. Nothing, with error set, when the client cannot be set
// up.
std::unique_ptr<Output> MakeMqttOutput(const Config &config,
                                       const Description &description,
                                       std::function<void(const Event &)> tell,
                                       std::string &error);

// A gate address as one topic level: '/', '+', '#', NUL and '%' as %XX.
std::string TopicLevel(std::string_view address);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_MQTT_SINK_H
