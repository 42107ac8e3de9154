// The site configuration of ulohost: which driver instances to run, on which
// ports and line settings, with which gates, and how the host looks after
// them. Read from a TOML file; every error names the file, the line and the
// field.
#ifndef ULOPR1_TOOLS_ULOHOST_CONFIG_H
#define ULOPR1_TOOLS_ULOHOST_CONFIG_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_error.h"
#include "zempro/control.h"

namespace ulohost {

// A place in the config file (1-based; 0 when unknown).
using Where = ulo::tools::Where;

struct GateConfig {
  std::string address;
  int32_t type = 0;   // 3 floating point, 6 digital
  std::string label;  // shown beside the address; may be empty
  Where where;        // of the gate's address
  int index = 0;      // 1-based in the instance's list; 0 when added
  // May be written over MQTT.
  bool writable = false;
};

// Omitted fields take the driver's announced defaults.
struct LineConfig {
  std::optional<uint16_t> baud;
  std::optional<uint16_t> data_bits;
  std::optional<uint16_t> stop_bits;  // code: 0 one, 1 one and a half, 2 two
  std::optional<uint16_t> parity;     // code: 0 none .. 4 space
};

struct InstanceConfig {
  int ulo = 0;
  std::string port;
  bool enabled = true;
  int32_t read_timeout = 100;  // units of 10 ms
  LineConfig line;
  std::optional<std::string> restart_message;  // written to the init file
  std::vector<GateConfig> gates;               // STATUS and COM included
  Where where;                                 // of the [[instance]] table
  Where port_where;                            // of the port field
  int index = 0;                               // 1-based, in file order
};

struct HostConfig {
  std::string workdir;          // absolute; the init files live here
  std::string driver;           // absolute, or empty: the one beside ulohost
  std::string log;              // absolute, or empty: no log file
  std::string port_dir;         // absolute, or empty: ULO_PORT_DIR as inherited
  double status_interval = 60;  // seconds between scheduled STATUS reads
  double com_interval = 10;     // seconds between scheduled COM reads
  int reconnect_after = 3;      // failed COM reads in a row; 0: never
  double reopen_interval = 10;  // seconds between reopen attempts
  // Receiver wait while reports flow and on a quiet line: the runtime's own
  // default (docs/BENCHMARKS.md says why).
  int wait_min_ms = zempro::kDefaultShortestWaitMs;
  int wait_max_ms = zempro::kDefaultLongestWaitMs;
};

// The MQTT gateway ([mqtt]): where the broker is and how the host's values
// are published there.
struct MqttConfig {
  enum class Transport { kTcp, kTls, kUnix };
  Transport transport = Transport::kTcp;
  std::string host;        // the socket's path for kUnix
  int port = 0;            // 0 for kUnix
  std::string client_id;   // empty: from the host name and the site
  std::string site;        // empty: the host name
  std::string base_topic;  // empty: "ulopr1/<site>"
  int qos = 1;
  int keepalive = 60;  // seconds
  bool clean_session = true;
  std::string ca_file;    // absolute, or empty: the system's certificates
  std::string cert_file;  // absolute; with key_file, or neither
  std::string key_file;
  std::string username;  // empty: none
  std::string password;  // from password_file or password_env
  Where where;           // of the [mqtt] table
};

struct Config {
  std::string file;  // as given
  HostConfig host;
  std::vector<InstanceConfig> instances;
  std::optional<MqttConfig> mqtt;

  const InstanceConfig *Find(int ulo) const;
};

// "FILE:LINE:COLUMN: FIELD: MESSAGE", the field e.g. "instance[2].port".
using ConfigError = ulo::tools::FileError;
// Every error and warning found, in file order.
using ConfigErrors = ulo::tools::FileErrors;

// Reads and checks a config file, adding every mistake to errors; true when
// none is an error. config holds what could be read either way. Relative
// paths in it are taken from the file's directory.
bool LoadConfig(const std::string &path, Config &config, ConfigErrors &errors);

// The same for text already read; file names it in errors, and base_dir
// anchors relative paths.
bool ParseConfig(std::string_view text, const std::string &file,
                 const std::string &base_dir, Config &config,
                 ConfigErrors &errors);

// Line-setting words shared by the config and the command prompt.
std::optional<uint16_t> ParityCode(std::string_view name);
std::string_view ParityName(uint16_t code);
std::optional<uint16_t> StopBitsCode(double stop_bits);
std::string_view StopBitsName(uint16_t code);

// Checks a text against the driver's limits; empty when it is fine.
std::string CheckPortName(std::string_view name);
std::string CheckAddress(std::string_view address);

// An address as the driver's gate check sees it: every byte from 'a' up
// lowered by 32, so letters in upper case.
std::string UpperCaseAddress(std::string_view address);

// ASCII letters compared without regard to case.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// True for the STATUS and COM gates, which the driver names in any case.
bool IsStatusGate(std::string_view address);

// The init file the driver reads for an instance: "uloPR1NN.int".
std::string InitFileName(int ulo);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_CONFIG_H
