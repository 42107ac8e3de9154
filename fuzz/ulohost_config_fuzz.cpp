// ulohost's config parser on any text: it answers with a config that keeps
// to the driver's limits or with an error that says where, never more.
#include <cstdint>
#include <string>
#include <string_view>

#include "config.h"
#include "fake_line.h"
#include "ulopr1/ulo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using ulo::fuzzing::Require;
  std::string_view text(reinterpret_cast<const char *>(data), size);
  ulohost::Config config;
  ulohost::ConfigErrors errors;
  if (!ulohost::ParseConfig(text, "fuzz.toml", "/tmp", config, errors)) {
    for (const ulohost::ConfigError &error : errors.list()) {
      Require(!error.message.empty(), "a refusal says why");
      Require(!error.ToString().empty(), "a refusal has a text");
    }
    Require(errors.HasErrors(), "a refusal has an error");
    return 0;
  }
  for (const ulohost::InstanceConfig &instance : config.instances) {
    Require(instance.ulo >= 1 && instance.ulo <= ULO_INSTANCE_MAX,
            "instance numbers fit a byte");
    Require(instance.port.size() <= ULO_PORT_NAME_MAX,
            "port names fit the driver's field");
    Require(!instance.restart_message ||
                (instance.restart_message->size() <= ULO_LINE_MAX &&
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
