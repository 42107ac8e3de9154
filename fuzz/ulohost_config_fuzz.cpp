// ulohost's config parser on any text: it answers with a config that keeps
// to the driver's limits or with an error that says where, never more.
#include <cstdint>
#include <string>
#include <string_view>

#include "config.h"
#include "fake_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using ulo::fuzzing::Require;
  std::string_view text(reinterpret_cast<const char *>(data), size);
  ulohost::Config config;
  ulohost::ConfigError error;
  if (!ulohost::ParseConfig(text, "fuzz.toml", "/tmp", config, error)) {
    Require(!error.message.empty(), "a refusal says why");
    Require(!error.ToString().empty(), "a refusal has a text");
    return 0;
  }
  for (const ulohost::InstanceConfig &instance : config.instances) {
    Require(instance.ulo >= 1 && instance.ulo <= ulohost::kMaxUlo,
            "instance numbers fit a byte");
    Require(instance.port.size() <= ulohost::kMaxPortName,
            "port names fit the driver's field");
    Require(
        !instance.restart_message ||
            (instance.restart_message->size() <= ulohost::kMaxRestartMessage &&
             instance.restart_message->find('\n') == std::string::npos),
        "restart messages are one line the driver takes");
    for (const ulohost::GateConfig &gate : instance.gates) {
      Require(ulohost::CheckAddress(gate.address).empty(),
              "gate addresses keep to the driver's limits");
      Require(gate.type == ULO_TYPE_FLOAT || gate.type == ULO_TYPE_DIGITAL,
              "gates are floating point or digital");
    }
  }
  return 0;
}
