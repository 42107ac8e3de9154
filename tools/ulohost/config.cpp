#include "config.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <tuple>

#include "toml_reader.h"
#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;
using ulo::tools::Quoted;
using ulo::tools::TomlReader;
using ulo::tools::TomlTable;

constexpr std::array<std::string_view, 5> kParities = {"none", "odd", "even",
                                                       "mark", "space"};

std::string Resolve(const std::string &base_dir, const std::string &path) {
  return (fs::path(base_dir) / path).lexically_normal().string();
}

// Baud rates controllers and adapters commonly run at; another is allowed
// (the platform sets any rate) but more likely a typing mistake.
constexpr std::array<int64_t, 11> kUsualBauds = {
    110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600};

// A directory the config names, resolved; an error when it is not there.
void ReadDirectory(const TomlTable &table, std::string_view key,
                   const std::string &base_dir,
                   const std::optional<std::string> &given, std::string &out,
                   std::string_view what_for = {}) {
  if (!given) return;
  out = Resolve(base_dir, *given);
  std::error_code ec;
  if (!fs::is_directory(out, ec)) {
    table.Fail(key,
               "directory " + out + " does not exist" + std::string(what_for));
  }
}

// Under systemd the init files go to the service's state directory. The
// variable may list several directories; the first is the service's.
std::string StateDirectory() {
  const char *value = std::getenv("STATE_DIRECTORY");
  std::string list = value ? value : "";
  return list.substr(0, list.find(':'));
}

void ReadHost(const TomlTable &root, const std::string &base_dir,
              HostConfig &host) {
  std::string state_dir = StateDirectory();
  host.workdir = fs::path(state_dir.empty() ? base_dir : state_dir)
                     .lexically_normal()
                     .string();
  std::optional<TomlTable> table;
  root.Table("host", "must be a table ([host])", table);
  if (!table) return;
  std::optional<std::string> workdir, driver, log, port_dir;
  std::optional<double> status, com, reopen;
  std::optional<int64_t> reconnect, wait_min, wait_max;
  table->OnlyKeys({"workdir", "driver", "log", "port_dir", "status_interval",
                   "com_interval", "reconnect_after", "reopen_interval",
                   "wait_min_ms", "wait_max_ms"});
  table->String("workdir", workdir);
  table->String("driver", driver);
  table->String("log", log);
  table->String("port_dir", port_dir);
  table->Number("status_interval", 1, 86400, status);
  table->Number("com_interval", 0.5, 86400, com);
  table->Integer("reconnect_after", 0, 1000, reconnect);
  table->Number("reopen_interval", 0.5, 86400, reopen);
  bool waits = table->Integer("wait_min_ms", 1, 10000, wait_min);
  waits = table->Integer("wait_max_ms", 1, 10000, wait_max) && waits;
  for (auto *text : {&workdir, &driver, &log, &port_dir}) {
    if (text->has_value() && (*text)->empty()) text->reset();
  }
  ReadDirectory(*table, "workdir", base_dir, workdir, host.workdir);
  ReadDirectory(*table, "port_dir", base_dir, port_dir, host.port_dir,
                " (create it with a link per port, or leave port_dir out)");
  if (driver) host.driver = Resolve(base_dir, *driver);
  if (log) host.log = Resolve(base_dir, *log);
  host.status_interval = status.value_or(host.status_interval);
  host.com_interval = com.value_or(host.com_interval);
  host.reopen_interval = reopen.value_or(host.reopen_interval);
  host.reconnect_after =
      static_cast<int>(reconnect.value_or(host.reconnect_after));
  host.wait_min_ms = static_cast<int>(wait_min.value_or(host.wait_min_ms));
  host.wait_max_ms = static_cast<int>(wait_max.value_or(host.wait_max_ms));
  if (waits && host.wait_max_ms < host.wait_min_ms) {
    table->Fail("wait_max_ms", "must not be below wait_min_ms (" +
                                   std::to_string(host.wait_min_ms) + ")");
  }
}

std::optional<int32_t> GateType(std::string_view name) {
  if (name == "float") return ULO_TYPE_FLOAT;
  if (name == "digital") return ULO_TYPE_DIGITAL;
  return std::nullopt;
}

// A data gate's address as the driver and the controller know it, with a
// warning when the config wrote it otherwise.
std::string DriverAddress(const TomlTable &table, const std::string &address) {
  if (IsStatusGate(address)) return address;
  std::string upper = UpperCaseAddress(address);
  if (upper != address) {
    table.Warn("address",
               Quoted(address) + " is taken as " + Quoted(upper) +
                   " (the driver upper-cases addresses and the controller "
                   "reports them so); write " +
                   Quoted(upper));
  }
  return upper;
}

// False when the gate cannot be used.
bool ReadGate(const TomlTable &table, GateConfig &gate) {
  constexpr std::string_view kTypes = "\"float\" or \"digital\"";
  std::optional<std::string> address, label;
  std::optional<int32_t> type;
  table.OnlyKeys({"address", "type", "label", "writable"});
  bool read = table.String("address", address);
  std::optional<bool> writable;
  read = table.Boolean("writable", writable) && read;
  read = table.Enum("type", kTypes, GateType, type) && read;
  read = table.String("label", label) && read;
  if (!table.table().contains("address")) {
    read = table.Missing("address");
  } else if (address) {
    if (std::string problem = CheckAddress(*address); !problem.empty()) {
      read = table.Fail("address", problem);
    } else {
      gate.address = DriverAddress(table, *address);
    }
  }
  if (!table.table().contains("type")) read = table.Missing("type", kTypes);
  if (label && std::any_of(label->begin(), label->end(), [](char c) {
        return static_cast<unsigned char>(c) < 32 || c == 127;
      })) {
    read = table.Fail("label", "holds a control character");
  }
  if (writable.value_or(false) && address && IsStatusGate(*address)) {
    read = table.Fail("writable", "STATUS and COM are read, not written");
  }
  gate.writable = writable.value_or(false);
  gate.type = type.value_or(0);
  gate.label = label.value_or("");
  gate.where = table.WhereOf("address");
  return read;
}

void ReadLine(const TomlTable &table, LineConfig &line) {
  std::optional<int64_t> baud, data_bits;
  std::optional<double> stop_bits;
  table.Integer("baud", 50, 65535, baud,
                " (the driver's line record holds 16 bits)");
  table.Integer("data_bits", 5, 8, data_bits);
  table.Number("stop_bits", 1, 2, stop_bits);
  if (baud) {
    line.baud = static_cast<uint16_t>(*baud);
    if (std::find(kUsualBauds.begin(), kUsualBauds.end(), *baud) ==
        kUsualBauds.end()) {
      std::string usual;
      for (int64_t rate : kUsualBauds) {
        usual += (usual.empty() ? "" : " ") + std::to_string(rate);
      }
      table.Warn("baud", std::to_string(*baud) + " is not a usual rate (" +
                             usual +
                             "); check it against the controller's setting");
    }
  }
  if (data_bits) line.data_bits = static_cast<uint16_t>(*data_bits);
  if (stop_bits) {
    line.stop_bits = StopBitsCode(*stop_bits);
    if (!line.stop_bits) table.Fail("stop_bits", "must be 1, 1.5 or 2");
  }
  table.Enum("parity", "none, odd, even, mark or space", ParityCode,
             line.parity);
}

// The checks below take fields already read with their types, so that a
// field of the wrong type is reported once, not again as missing.

// The port, which an enabled instance needs.
void SetPort(const TomlTable &table, const std::optional<std::string> &port,
             InstanceConfig &instance) {
  if (!port) {
    if (instance.enabled && !table.table().contains("port")) {
      table.Missing("port", "or set enabled = false");
    }
    return;
  }
  instance.port_where = table.WhereOf("port");
  if (std::string problem = CheckPortName(*port); !problem.empty()) {
    table.Fail("port", problem);
    return;
  }
  instance.port = *port;
}

void SetReadTimeout(const TomlTable &table,
                    const std::optional<int64_t> &milliseconds,
                    InstanceConfig &instance) {
  if (!milliseconds) return;
  if (*milliseconds % 10 != 0) {
    table.Fail("read_timeout_ms",
               "must be a multiple of 10 (the driver counts in 10 ms units)");
    return;
  }
  instance.read_timeout = static_cast<int32_t>(*milliseconds / 10);
}

// A text the controller would take as a write: an address, '=', a value.
bool IsWriteLine(std::string_view text) {
  std::size_t equals = text.find('=');
  std::string_view address = text.substr(0, equals);
  return equals != std::string_view::npos && address.size() > 1 &&
         (address[0] == '$' || address[0] == '@') &&
         CheckAddress(address).empty();
}

// The first line of the init file, as the driver reads it. The driver sends
// it at every start and every STATUS read.
void SetRestartMessage(const TomlTable &table,
                       const std::optional<std::string> &message,
                       InstanceConfig &instance) {
  if (!message) return;
  if (message->size() > ULO_LINE_MAX ||
      message->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    table.Fail("restart_message", "must be one line of at most " +
                                      std::to_string(ULO_LINE_MAX) +
                                      " characters");
  } else if (message->find_first_not_of(' ') == std::string::npos) {
    table.Fail("restart_message",
               "must not be empty (the controller would get a bare carriage "
               "return); give its restart command, or leave the field out "
               "for the driver's default");
  } else if (IsWriteLine(*message)) {
    table.Fail("restart_message",
               Quoted(*message) +
                   " is a write line: it would be sent at every start and "
                   "every STATUS read; give the controller's restart "
                   "command instead");
  } else {
    instance.restart_message = message;
  }
}

// The gates the config lists, each address once (STATUS and COM in any
// case).
void ReadGates(const TomlTable &table, InstanceConfig &instance) {
  table.Tables("gate", "must be a list of gates ([[instance.gate]])",
               "must be a table with address and type, e.g. "
               "{ address = \"$T1\", type = \"float\" }",
               [&](const TomlTable &entry, int number) {
                 GateConfig gate;
                 gate.index = number;
                 if (!ReadGate(entry, gate)) return false;
                 for (const GateConfig &other : instance.gates) {
                   if (other.address == gate.address ||
                       (IsStatusGate(gate.address) &&
                        EqualsIgnoringCase(other.address, gate.address))) {
                     return entry.Fail("address",
                                       Quoted(gate.address) +
                                           " is already defined on line " +
                                           std::to_string(other.where.line));
                   }
                 }
                 instance.gates.push_back(std::move(gate));
                 return true;
               });
}

// A topic, or one level of one (no '/'), the host publishes under: no
// wildcards, no empty level.
std::string CheckTopic(std::string_view topic, bool levels) {
  constexpr std::size_t kMaxTopic = 200;
  if (topic.empty()) return "must not be empty";
  if (topic.size() > kMaxTopic) {
    return "is longer than " + std::to_string(kMaxTopic) + " characters";
  }
  if (topic.find_first_of(std::string("+#\0", 3)) != std::string_view::npos) {
    return Quoted(topic) + " holds a wildcard ('+' or '#') or a NUL";
  }
  if (!levels && topic.find('/') != std::string_view::npos) {
    return Quoted(topic) + " must be one topic level, without '/'";
  }
  if (topic.front() == '/' || topic.back() == '/' ||
      topic.find("//") != std::string_view::npos) {
    return Quoted(topic) + " has an empty topic level";
  }
  return "";
}

// "mqtt://host:port", "mqtts://host:port" or "unix:/path".
void SetBrokerUrl(const TomlTable &table, const std::string &base_dir,
                  const std::string &url, MqttConfig &mqtt) {
  constexpr std::string_view kForms =
      " (write mqtt://HOST:PORT, mqtts://HOST:PORT or unix:/PATH)";
  constexpr std::size_t kMaxSocketPath = 107;
  if (url.starts_with("unix:")) {
    mqtt.transport = MqttConfig::Transport::kUnix;
    if (url.size() == 5) {
      table.Fail("url", "names no socket" + std::string(kForms));
      return;
    }
    mqtt.host = Resolve(base_dir, url.substr(5));
    if (mqtt.host.size() > kMaxSocketPath) {
      table.Fail("url", "socket path " + mqtt.host + " is longer than " +
                            std::to_string(kMaxSocketPath) + " bytes");
    }
    return;
  }
  std::size_t scheme_end = url.find("://");
  std::string scheme = url.substr(0, scheme_end);
  if (scheme_end == std::string::npos ||
      (scheme != "mqtt" && scheme != "mqtts")) {
    table.Fail("url",
               Quoted(url) + " is not a broker address" + std::string(kForms));
    return;
  }
  mqtt.transport = scheme == "mqtts" ? MqttConfig::Transport::kTls
                                     : MqttConfig::Transport::kTcp;
  std::string rest = url.substr(scheme_end + 3);
  std::size_t colon = rest.rfind(':');
  // An IPv6 address goes in brackets: [::1]:1883.
  if (colon != std::string::npos && rest.find(']') != std::string::npos &&
      colon < rest.find(']')) {
    colon = std::string::npos;
  }
  std::string host = rest.substr(0, colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  mqtt.port = mqtt.transport == MqttConfig::Transport::kTls ? 8883 : 1883;
  if (colon != std::string::npos) {
    std::string digits = rest.substr(colon + 1);
    bool number = !digits.empty() && digits.size() <= 5 &&
                  std::all_of(digits.begin(), digits.end(),
                              [](char c) { return c >= '0' && c <= '9'; });
    int port = number ? std::stoi(digits) : 0;
    if (port < 1 || port > 65535) {
      table.Fail("url", Quoted(url) + ": the port must be from 1 to 65535");
      return;
    }
    mqtt.port = port;
  }
  if (host.empty() || !std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' ||
               c == '-' || c == ':' || c == '_';
      })) {
    table.Fail("url",
               Quoted(url) + " names no valid host" + std::string(kForms));
    return;
  }
  mqtt.host = host;
}

// A file the config names, resolved; an error when it cannot be read.
std::optional<std::string> ReadNamedFile(const TomlTable &table,
                                         std::string_view key,
                                         const std::string &base_dir,
                                         const std::optional<std::string> &name,
                                         std::string &path) {
  if (!name) return std::nullopt;
  path = Resolve(base_dir, *name);
  std::optional<std::string> text = ulo::tools::ReadFileText(path);
  if (!text) table.Fail(key, "cannot read " + path);
  return text;
}

// The password comes from a file or the environment, never the config.
void SetPassword(const TomlTable &table, const std::string &base_dir,
                 const std::optional<std::string> &file,
                 const std::optional<std::string> &variable, MqttConfig &mqtt) {
  if (file && variable) {
    table.Fail("password_env", "give password_file or password_env, not both");
    return;
  }
  if ((file || variable) && mqtt.username.empty()) {
    table.Fail(file ? "password_file" : "password_env",
               "a password needs a username");
    return;
  }
  std::string path;
  if (std::optional<std::string> text =
          ReadNamedFile(table, "password_file", base_dir, file, path)) {
    // The file's first line; an editor's newline is not part of it.
    mqtt.password = text->substr(0, text->find_first_of("\r\n"));
    if (mqtt.password.empty()) table.Fail("password_file", path + " is empty");
  }
  if (variable) {
    const char *value = std::getenv(variable->c_str());
    if (!value || !*value) {
      table.Fail("password_env", "the environment variable " +
                                     Quoted(*variable) + " is not set");
    } else {
      mqtt.password = value;
    }
  }
}

void ReadMqtt(const TomlTable &root, const std::string &base_dir,
              std::optional<MqttConfig> &out) {
  std::optional<TomlTable> table;
  root.Table("mqtt", "must be a table ([mqtt])", table);
  if (!table) return;
#ifndef ULOHOST_WITH_MQTT
  table->Fail(table->where(), "mqtt",
              "the MQTT gateway is not supported in this build of ulohost "
              "(Windows); remove [mqtt]");
  return;
#endif
  MqttConfig mqtt;
  mqtt.where = table->where();
  std::optional<std::string> url, client_id, site, base_topic, ca_file,
      cert_file, key_file, username, password_file, password_env;
  std::optional<int64_t> qos, keepalive;
  std::optional<bool> clean_session;
  table->OnlyKeys({"url", "client_id", "site", "base_topic", "qos", "keepalive",
                   "clean_session", "ca_file", "cert_file", "key_file",
                   "username", "password_file", "password_env"});
  table->String("url", url);
  table->String("client_id", client_id);
  table->String("site", site);
  table->String("base_topic", base_topic);
  table->Integer("qos", 0, 2, qos);
  table->Integer("keepalive", 5, 65535, keepalive);
  table->Boolean("clean_session", clean_session);
  table->String("ca_file", ca_file);
  table->String("cert_file", cert_file);
  table->String("key_file", key_file);
  table->String("username", username);
  table->String("password_file", password_file);
  table->String("password_env", password_env);
  if (url) {
    SetBrokerUrl(*table, base_dir, *url, mqtt);
  } else if (!table->table().contains("url")) {
    table->Missing("url", "e.g. \"mqtt://localhost:1883\"");
  }
  constexpr std::size_t kMaxClientId = 64;
  if (client_id && (client_id->empty() || client_id->size() > kMaxClientId)) {
    table->Fail("client_id",
                "must be 1 to " + std::to_string(kMaxClientId) + " characters");
  } else if (client_id) {
    mqtt.client_id = *client_id;
  }
  if (site) {
    if (std::string problem = CheckTopic(*site, false); !problem.empty()) {
      table->Fail("site", problem);
    } else {
      mqtt.site = *site;
    }
  }
  if (base_topic) {
    if (std::string problem = CheckTopic(*base_topic, true); !problem.empty()) {
      table->Fail("base_topic", problem);
    } else {
      mqtt.base_topic = *base_topic;
    }
  }
  mqtt.qos = static_cast<int>(qos.value_or(mqtt.qos));
  mqtt.keepalive = static_cast<int>(keepalive.value_or(mqtt.keepalive));
  mqtt.clean_session = clean_session.value_or(mqtt.clean_session);
  bool tls = mqtt.transport == MqttConfig::Transport::kTls;
  for (auto [key, name, path] :
       {std::tuple{"ca_file", &ca_file, &mqtt.ca_file},
        std::tuple{"cert_file", &cert_file, &mqtt.cert_file},
        std::tuple{"key_file", &key_file, &mqtt.key_file}}) {
    if (*name && !tls) {
      table->Fail(key, "TLS files need an mqtts:// url");
    } else {
      ReadNamedFile(*table, key, base_dir, *name, *path);
    }
  }
  if (tls && cert_file.has_value() != key_file.has_value()) {
    table->Fail(cert_file ? "key_file" : "cert_file",
                "a client certificate needs both cert_file and key_file");
  }
  if (username) {
    if (username->empty()) {
      table->Fail("username", "must not be empty; leave it out for none");
    } else {
      mqtt.username = *username;
    }
  }
  SetPassword(*table, base_dir, password_file, password_env, mqtt);
  out = std::move(mqtt);
}

// Every instance gets its status gates; one the config names itself (in
// any case) is used as written.
void AddStatusGates(InstanceConfig &instance) {
  for (const char *status : {"STATUS", "COM"}) {
    bool named = std::any_of(instance.gates.begin(), instance.gates.end(),
                             [&](const GateConfig &gate) {
                               return EqualsIgnoringCase(gate.address, status);
                             });
    if (!named) {
      instance.gates.push_back(
          {status, ULO_TYPE_DIGITAL, "", instance.where, 0});
    }
  }
}

// Reads what it can of the instance, reporting every mistake.
void ReadInstance(const TomlTable &table, InstanceConfig &instance) {
  std::optional<int64_t> ulo, read_timeout_ms;
  std::optional<std::string> port, restart_message;
  std::optional<bool> enabled;
  table.OnlyKeys({"ulo", "port", "enabled", "read_timeout_ms", "baud",
                  "data_bits", "stop_bits", "parity", "restart_message",
                  "gate"});
  table.Integer("ulo", 1, ULO_INSTANCE_MAX, ulo);
  table.String("port", port);
  table.Boolean("enabled", enabled);
  table.Integer("read_timeout_ms", 10, 600000, read_timeout_ms);
  table.String("restart_message", restart_message);
  ReadLine(table, instance.line);
  if (!ulo && !table.table().contains("ulo")) table.Missing("ulo");
  instance.ulo = static_cast<int>(ulo.value_or(0));
  instance.enabled = enabled.value_or(true);
  instance.where = table.where();
  SetPort(table, port, instance);
  SetReadTimeout(table, read_timeout_ms, instance);
  SetRestartMessage(table, restart_message, instance);
  ReadGates(table, instance);
  AddStatusGates(instance);
}

// No two instances share a number, nor (enabled) a port.
void CheckUnique(const TomlTable &table, const InstanceConfig &instance,
                 const std::vector<InstanceConfig> &others) {
  for (const InstanceConfig &other : others) {
    if (instance.ulo != 0 && other.ulo == instance.ulo) {
      table.Fail("ulo", "ulo " + std::to_string(instance.ulo) +
                            " is already used by the instance on line " +
                            std::to_string(other.where.line));
    }
    if (instance.enabled && other.enabled && !instance.port.empty() &&
        EqualsIgnoringCase(other.port, instance.port)) {
      table.Fail("port", "port " + Quoted(instance.port) +
                             " is already used by ulo " +
                             std::to_string(other.ulo) + " (line " +
                             std::to_string(other.port_where.line) + ")");
    }
  }
}

void ReadInstances(const TomlTable &root,
                   std::vector<InstanceConfig> &instances) {
  bool listed =
      root.Tables("instance", "must be a list of tables ([[instance]])",
                  "must be a table", [&](const TomlTable &table, int number) {
                    InstanceConfig instance;
                    instance.index = number;
                    ReadInstance(table, instance);
                    CheckUnique(table, instance, instances);
                    instances.push_back(std::move(instance));
                    return true;
                  });
  if (listed && instances.empty()) {
    root.Fail(Where{1, 1}, "instance",
              "no [[instance]] configured: nothing to run");
  }
}

}  // namespace

const InstanceConfig *Config::Find(int ulo) const {
  for (const InstanceConfig &instance : instances) {
    if (instance.ulo == ulo) return &instance;
  }
  return nullptr;
}

bool ParseConfig(std::string_view text, const std::string &file,
                 const std::string &base_dir, Config &config,
                 ConfigErrors &errors) {
  config = Config{};
  config.file = file;
  TomlReader reader(file, errors);
  toml::table root;
  if (reader.Parse(text, root)) {
    TomlTable top(reader, root);
    top.OnlyKeys({"host", "instance", "mqtt"});
    ReadHost(top, base_dir, config.host);
    ReadInstances(top, config.instances);
    ReadMqtt(top, base_dir, config.mqtt);
  }
  errors.Sort();
  return !errors.HasErrors();
}

bool LoadConfig(const std::string &path, Config &config, ConfigErrors &errors) {
  std::optional<std::string> text = ulo::tools::ReadFileText(path);
  if (!text) {
    config = Config{};
    config.file = path;
    errors.Add({path, {}, "", "cannot open the config file"});
    return false;
  }
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  return ParseConfig(*text, path, absolute.parent_path().string(), config,
                     errors);
}

std::optional<uint16_t> ParityCode(std::string_view name) {
  for (std::size_t code = 0; code < kParities.size(); ++code) {
    if (EqualsIgnoringCase(kParities[code], name)) {
      return static_cast<uint16_t>(code);
    }
  }
  return std::nullopt;
}

std::string_view ParityName(uint16_t code) {
  return code < kParities.size() ? kParities[code] : "?";
}

std::optional<uint16_t> StopBitsCode(double stop_bits) {
  if (stop_bits == 1) return 0;
  if (stop_bits == 1.5) return 1;
  if (stop_bits == 2) return 2;
  return std::nullopt;
}

std::string_view StopBitsName(uint16_t code) {
  constexpr std::array<std::string_view, 3> kNames = {"1", "1.5", "2"};
  return code < kNames.size() ? kNames[code] : "?";
}

std::string CheckPortName(std::string_view name) {
  if (name.empty()) return "must not be empty";
  if (name.size() > ULO_PORT_NAME_MAX) {
    return Quoted(name) + " is longer than " +
           std::to_string(ULO_PORT_NAME_MAX) +
           " characters (the driver's port field); use a short name such as "
           "ttyUSB0, or a link in host.port_dir";
  }
  for (char c : name) {
    if (!std::isgraph(static_cast<unsigned char>(c))) {
      return Quoted(name) + " holds a space or control character";
    }
  }
  return "";
}

std::string CheckAddress(std::string_view address) {
  if (address.empty()) return "must not be empty";
  if (address.size() > ULO_ADDRESS_MAX) {
    return Quoted(address) + " is longer than " +
           std::to_string(ULO_ADDRESS_MAX) + " characters";
  }
  for (char c : address) {
    if (!std::isgraph(static_cast<unsigned char>(c)) || c == '=') {
      return Quoted(address) + " holds a space, '=' or control character";
    }
  }
  return "";
}

std::string UpperCaseAddress(std::string_view address) {
  std::string upper(address);
  for (char &c : upper) {
    if (static_cast<unsigned char>(c) >= 'a') c = static_cast<char>(c - 32);
  }
  return upper;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) ==
           std::toupper(static_cast<unsigned char>(y));
  });
}

bool IsStatusGate(std::string_view address) {
  return EqualsIgnoringCase(address, "STATUS") ||
         EqualsIgnoringCase(address, "COM");
}

std::string InitFileName(int ulo) {
  char name[32];
  std::snprintf(name, sizeof name, ULO_INIT_FILE_FORMAT, ulo);
  return name;
}

}  // namespace ulohost
