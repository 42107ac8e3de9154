// The MQTT gateway: every gate's latest value as a retained JSON message,
// each instance's availability, and the bridge's state with a last will.
#include "mqtt_sink.h"

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace ulohost {

using nlohmann::json;

std::string TopicLevel(std::string_view address) {
  std::string level;
  for (char c : address) {
    if (c == '/' || c == '+' || c == '#' || c == '\0' || c == '%') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X",
                    static_cast<unsigned char>(c));
      level += escaped;
    } else {
      level += c;
    }
  }
  return level;
}

void CommandInbox::Attach(Host *host) {
  std::lock_guard lock(mutex_);
  host_ = host;
}

bool CommandInbox::Submit(const Command &command, std::string &error) {
  std::lock_guard lock(mutex_);
  if (!host_) {
    error = "the host is not running";
    return false;
  }
  host_->Submit(command);
  return true;
}

namespace {

// The longest payload a set topic takes.
constexpr std::size_t kMaxSetPayload = 256;
// The id a write from the broker goes by inside the host.
constexpr std::string_view kIdPrefix = "mqtt-";
constexpr const char *kOnline = "online";
constexpr const char *kOffline = "offline";
// How long a clean stop waits for its last messages to go out.
constexpr std::chrono::seconds kGoodbyeTime{2};

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
  return TopicLevel(name);
}

std::string BrokerName(const MqttConfig &mqtt) {
  switch (mqtt.transport) {
    case MqttConfig::Transport::kUnix:
      return "unix:" + mqtt.host;
    case MqttConfig::Transport::kTls:
      return "mqtts://" + mqtt.host + ":" + std::to_string(mqtt.port);
    case MqttConfig::Transport::kTcp:
      break;
  }
  return "mqtt://" + mqtt.host + ":" + std::to_string(mqtt.port);
}

class MqttOutput : public Output {
 public:
  MqttOutput(const Config &config, const Description &description,
             std::function<void(const Event &)> tell,
             std::shared_ptr<CommandInbox> inbox)
      : config_(config),
        mqtt_(*config.mqtt),
        description_(description),
        tell_(std::move(tell)),
        inbox_(std::move(inbox)),
        site_(mqtt_.site.empty() ? HostName() : mqtt_.site),
        base_(mqtt_.base_topic.empty() ? "ulopr1/" + site_ : mqtt_.base_topic),
        broker_(BrokerName(mqtt_)) {
    for (const InstanceConfig &instance : config.instances) {
      online_[instance.ulo] = false;
    }
  }

  ~MqttOutput() override {
    if (!mosq_) return;
    if (!finished_) {
      mosquitto_disconnect(mosq_);
      mosquitto_loop_stop(mosq_, false);
    }
    mosquitto_destroy(mosq_);
  }

  // Sets the client up and starts its network thread; false with error set
  // when it cannot be.
  bool Start(std::string &error) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    std::string id = mqtt_.client_id.empty()
                         ? "ulohost-" + HostName() + "-" + site_
                         : mqtt_.client_id;
    mosq_ = mosquitto_new(id.c_str(), mqtt_.clean_session, this);
    if (!mosq_) {
      error = "cannot create the MQTT client";
      return false;
    }
    std::string state = base_ + "/bridge/state";
    int rc =
        mosquitto_will_set(mosq_, state.c_str(), 7, kOffline, mqtt_.qos, true);
    if (rc == MOSQ_ERR_SUCCESS && !mqtt_.username.empty()) {
      rc = mosquitto_username_pw_set(
          mosq_, mqtt_.username.c_str(),
          mqtt_.password.empty() ? nullptr : mqtt_.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS &&
        mqtt_.transport == MqttConfig::Transport::kTls) {
      // Without a CA file the system's certificates vouch for the broker;
      // the broker's certificate is checked either way.
      rc = mosquitto_tls_set(
          mosq_, mqtt_.ca_file.empty() ? nullptr : mqtt_.ca_file.c_str(),
          mqtt_.ca_file.empty() ? "/etc/ssl/certs" : nullptr,
          mqtt_.cert_file.empty() ? nullptr : mqtt_.cert_file.c_str(),
          mqtt_.key_file.empty() ? nullptr : mqtt_.key_file.c_str(), nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
      rc = mosquitto_reconnect_delay_set(mosq_, 1, 60, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
      error = std::string("cannot set up the MQTT client: ") +
              mosquitto_strerror(rc);
      return false;
    }
    mosquitto_connect_callback_set(mosq_, [](mosquitto *, void *self, int rc) {
      static_cast<MqttOutput *>(self)->Connected(rc);
    });
    mosquitto_disconnect_callback_set(
        mosq_, [](mosquitto *, void *self, int rc) {
          static_cast<MqttOutput *>(self)->Disconnected(rc);
        });
    mosquitto_publish_callback_set(mosq_, [](mosquitto *, void *self, int mid) {
      static_cast<MqttOutput *>(self)->Published(mid);
    });
    mosquitto_message_callback_set(
        mosq_, [](mosquitto *, void *self, const mosquitto_message *message) {
          static_cast<MqttOutput *>(self)->Received(*message);
        });
    // A unix socket is a path with port 0. A broker not there yet is
    // retried by the network thread.
    rc = mosquitto_connect_async(mosq_, mqtt_.host.c_str(), mqtt_.port,
                                 mqtt_.keepalive);
    if (rc != MOSQ_ERR_SUCCESS) Trouble(rc);
    rc = mosquitto_loop_start(mosq_);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = std::string("cannot start the MQTT client: ") +
              mosquitto_strerror(rc);
      return false;
    }
    return true;
  }

  void Emit(const Event &event) override {
    std::lock_guard lock(mutex_);
    if (const auto *gate = std::get_if<GateEvent>(&event)) {
      GateEvent &latest = latest_[{gate->ulo, gate->gate}];
      latest = *gate;
      if (connected_) PublishGate(latest);
      if (gate->quality != Quality::kUncertain) {
        SetOnline(gate->ulo, gate->quality == Quality::kGood);
      }
    } else if (const auto *write = std::get_if<WriteEvent>(&event)) {
      json result = ToJson(*write);
      Answer(write->id, {{"ok", result["ok"]},
                         {"result", result["result"]},
                         {"seconds", result["seconds"]}});
    } else if (const auto *notice = std::get_if<NoticeEvent>(&event)) {
      Answer(notice->id, Refusal(notice->text, nullptr));
    } else if (const auto *quality = std::get_if<QualityEvent>(&event)) {
      SetOnline(quality->ulo, quality->quality == Quality::kGood);
      for (const std::string &name : quality->gates) {
        auto found = latest_.find({quality->ulo, name});
        if (found == latest_.end()) continue;
        found->second.quality = quality->quality;
        if (connected_) PublishGate(found->second);
      }
    }
  }

  // Says goodbye on a clean stop: the broker keeps "offline" as the bridge's
  // state without sending the last will.
  void Finish() override {
    finished_ = true;
    int last = -1;
    {
      std::lock_guard lock(mutex_);
      if (connected_) {
        for (auto &[ulo, online] : online_) {
          Publish(InstanceTopic(ulo) + "/availability", kOffline);
        }
        last = Publish(base_ + "/bridge/state", kOffline);
      }
    }
    if (last >= 0) {
      std::unique_lock lock(published_mutex_);
      published_cv_.wait_for(lock, kGoodbyeTime,
                             [&] { return published_.count(last) != 0; });
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
  }

 private:
  // Network thread callbacks.
  void Connected(int rc) {
    if (rc != 0) {
      Tell(NoticeLevel::kError,
           "the MQTT broker " + broker_ +
               " refused the connection: " + mosquitto_connack_string(rc));
      return;
    }
    {
      std::lock_guard lock(mutex_);
      connected_ = true;
      if (std::string sets = base_ + "/+/+/set"; Writable()) {
        mosquitto_subscribe(mosq_, nullptr, sets.c_str(), mqtt_.qos);
      }
      Publish(base_ + "/bridge/state", kOnline);
      Publish(base_ + "/bridge/info", Info().dump());
      for (auto &[ulo, online] : online_) {
        Publish(InstanceTopic(ulo) + "/availability",
                online ? kOnline : kOffline);
      }
      // What came while the broker was away: the latest value of each gate.
      for (auto &[key, gate] : latest_) PublishGate(gate);
    }
    Tell(NoticeLevel::kInfo,
         "MQTT: connected to " + broker_ + ", topics " + base_ + "/#");
  }

  void Disconnected(int rc) {
    bool was;
    {
      std::lock_guard lock(mutex_);
      was = connected_;
      connected_ = false;
    }
    if (rc != 0 && was) {
      Tell(NoticeLevel::kError, "MQTT: the connection to " + broker_ +
                                    " was lost (" + mosquitto_strerror(rc) +
                                    "); reconnecting");
    }
  }

  void Published(int mid) {
    {
      std::lock_guard lock(published_mutex_);
      if (finished_) published_.insert(mid);
    }
    published_cv_.notify_all();
  }

  // A value for a gate's set topic, from the network thread.
  void Received(const mosquitto_message &message) {
    std::string topic = message.topic;
    std::string payload(static_cast<const char *>(message.payload),
                        static_cast<std::size_t>(message.payloadlen));
    json id;
    std::string error;
    Command command;
    if (message.retain) {
      // It would be written again at every connection.
      error = "a retained set message is not taken; publish it unretained";
    } else if (TakeWrite(topic, payload, id, command, error) &&
               inbox_->Submit(command, error)) {
      return;
    }
    std::lock_guard lock(mutex_);
    if (!command.id.is_null()) pending_.erase(command.id.get<std::string>());
    PublishResult(topic, Refusal(error, id));
  }

  static json Refusal(const std::string &error, const json &id) {
    return {{"ok", false},
            {"result", nullptr},
            {"seconds", 0},
            {"error", error},
            {"id", id}};
  }

  // Checks a set message as the prompt checks a write; false with error
  // set for anything that is not to be sent.
  bool TakeWrite(const std::string &topic, const std::string &payload, json &id,
                 Command &command, std::string &error) {
    if (payload.size() > kMaxSetPayload) {
      error = "the payload is longer than " + std::to_string(kMaxSetPayload) +
              " bytes";
      return false;
    }
    json value = json::parse(payload, nullptr, false);
    if (value.is_object()) {
      if (value.contains("id")) id = value["id"];
      value = value.value("value", json());
      if (!id.is_null() && !id.is_string() && !id.is_number()) {
        id = nullptr;
        error = "id must be a string or a number";
        return false;
      }
    }
    if (!value.is_number()) {
      error = "the payload must be a number or {\"value\":NUMBER,\"id\":ID}";
      return false;
    }
    auto [ulo, gate] = FindSetGate(topic);
    if (!gate) {
      error = "no gate of the config has the topic " + topic;
      return false;
    }
    if (!gate->writable) {
      error = "gate " + gate->address + " is not writable over MQTT";
      return false;
    }
    std::string mqtt_id;
    {
      std::lock_guard lock(mutex_);
      mqtt_id = std::string(kIdPrefix) + std::to_string(++writes_);
      pending_[mqtt_id] = {topic, id};
    }
    json line = {{"cmd", "write"},
                 {"ulo", ulo},
                 {"gate", gate->address},
                 {"value", value},
                 {"id", mqtt_id}};
    if (!ParseCommand(line.dump(), config_, command, error)) {
      std::lock_guard lock(mutex_);
      pending_.erase(mqtt_id);
      return false;
    }
    return true;
  }

  // The instance and gate whose set topic this is; no gate when none.
  std::pair<int, const GateConfig *> FindSetGate(const std::string &topic) {
    for (const InstanceConfig &instance : config_.instances) {
      for (const GateConfig &gate : instance.gates) {
        if (topic == InstanceTopic(instance.ulo) + "/" +
                         TopicLevel(gate.address) + "/set") {
          return {instance.ulo, &gate};
        }
      }
    }
    return {0, nullptr};
  }

  bool Writable() const {
    for (const InstanceConfig &instance : config_.instances) {
      for (const GateConfig &gate : instance.gates) {
        if (gate.writable) return true;
      }
    }
    return false;
  }

  void Trouble(int rc) {
    Tell(NoticeLevel::kError, "MQTT: cannot connect to " + broker_ + ": " +
                                  mosquitto_strerror(rc) + "; retrying");
  }

  void Tell(NoticeLevel level, const std::string &text) {
    tell_(NoticeEvent{Clock::now(), level, text});
  }

  std::string InstanceTopic(int ulo) const {
    return base_ + "/" + std::to_string(ulo);
  }

  json Info() const {
    json instances = json::array();
    for (const InstanceConfig &instance : config_.instances) {
      json gates = json::array();
      for (const GateConfig &gate : instance.gates) {
        gates.push_back({{"address", gate.address},
                         {"type", TypeName(gate.type)},
                         {"label", gate.label},
                         {"topic", InstanceTopic(instance.ulo) + "/" +
                                       TopicLevel(gate.address)}});
      }
      instances.push_back({{"ulo", instance.ulo},
                           {"port", instance.port},
                           {"enabled", instance.enabled},
                           {"gates", std::move(gates)}});
    }
    return {{"version", ULOHOST_VERSION},
            {"driver", description_.name},
            {"site", site_},
            {"instances", std::move(instances)}};
  }

  // The rest hold mutex_.

  // The result of a write from the broker, when id is one of its writes.
  void Answer(const CommandId &id, json result) {
    if (!id.is_string()) return;
    auto found = pending_.find(id.get<std::string>());
    if (found == pending_.end()) return;
    result["id"] = found->second.second;
    PublishResult(found->second.first, std::move(result));
    pending_.erase(found);
  }

  // Not retained: a result answers one message.
  void PublishResult(const std::string &set_topic, const json &result) {
    std::string payload =
        result.dump(-1, ' ', false, json::error_handler_t::replace);
    mosquitto_publish(mosq_, nullptr, (set_topic + "/result").c_str(),
                      static_cast<int>(payload.size()), payload.data(),
                      mqtt_.qos, false);
  }

  void SetOnline(int ulo, bool online) {
    bool &known = online_[ulo];
    if (known == online) return;
    known = online;
    if (connected_) {
      Publish(InstanceTopic(ulo) + "/availability",
              online ? kOnline : kOffline);
    }
  }

  void PublishGate(const GateEvent &gate) {
    json event = ToJson(gate);
    json payload = {{"value", event["value"]},
                    {"time", event["time"]},
                    {"quality", event["quality"]},
                    {"type", event["type"]}};
    Publish(InstanceTopic(gate.ulo) + "/" + TopicLevel(gate.gate),
            payload.dump(-1, ' ', false, json::error_handler_t::replace));
  }

  // Retained; the message's id, or -1 when it could not be queued (the
  // connection just went: the value goes out again on reconnecting).
  int Publish(const std::string &topic, const std::string &payload) {
    int mid = -1;
    int rc = mosquitto_publish(mosq_, &mid, topic.c_str(),
                               static_cast<int>(payload.size()), payload.data(),
                               mqtt_.qos, true);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
  }

  const Config &config_;
  const MqttConfig &mqtt_;
  const Description &description_;
  std::function<void(const Event &)> tell_;
  std::shared_ptr<CommandInbox> inbox_;
  const std::string site_;
  const std::string base_;
  const std::string broker_;
  mosquitto *mosq_ = nullptr;
  std::atomic<bool> finished_ = false;

  std::mutex mutex_;
  bool connected_ = false;
  std::map<std::pair<int, std::string>, GateEvent> latest_;
  std::map<int, bool> online_;
  // Writes from the broker under way: their set topic and the sender's id.
  std::map<std::string, std::pair<std::string, json>> pending_;
  uint64_t writes_ = 0;

  std::mutex published_mutex_;
  std::condition_variable published_cv_;
  std::set<int> published_;  // after Finish began
};

}  // namespace

std::unique_ptr<Output> MakeMqttOutput(const Config &config,
                                       const Description &description,
                                       std::function<void(const Event &)> tell,
                                       std::shared_ptr<CommandInbox> inbox,
                                       std::string &error) {
  auto output = std::make_unique<MqttOutput>(config, description,
                                             std::move(tell), std::move(inbox));
  if (!output->Start(error)) return nullptr;
  return output;
}

}  // namespace ulohost
