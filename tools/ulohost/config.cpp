#include "config.h"

#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;

constexpr std::array<std::string_view, 5> kParities = {"none", "odd", "even",
                                                       "mark", "space"};

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::toupper(c));
  return out;
}

Where At(const toml::source_region &where) {
  return {static_cast<int>(where.begin.line),
          static_cast<int>(where.begin.column)};
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '\'');
  quoted.append(text);
  quoted += '\'';
  return quoted;
}

// Reads typed fields out of TOML tables; the first failure is kept.
class Reader {
 public:
  Reader(const std::string &file, ConfigError &error)
      : file_(file), error_(error) {}

  bool Fail(Where where, std::string field, std::string message) {
    error_ = {file_, where, std::move(field), std::move(message)};
    return false;
  }
  bool Fail(const toml::node &node, std::string field, std::string message) {
    return Fail(At(node.source()), std::move(field), std::move(message));
  }

  bool OnlyKeys(const toml::table &table, const std::string &prefix,
                std::initializer_list<std::string_view> allowed) {
    for (auto &&[key, node] : table) {
      if (std::find(allowed.begin(), allowed.end(), key.str()) ==
          allowed.end()) {
        std::string known;
        for (std::string_view name : allowed) {
          known += (known.empty() ? "" : ", ") + std::string(name);
        }
        return Fail(At(key.source()), Field(prefix, key.str()),
                    "unknown field (known here: " + known + ")");
      }
    }
    return true;
  }

  bool String(const toml::table &table, const std::string &prefix,
              std::string_view key, std::optional<std::string> &out) {
    const toml::node *node = table.get(key);
    if (!node) return true;
    if (!node->is_string()) {
      return Fail(*node, Field(prefix, key), "must be a string");
    }
    out = node->as_string()->get();
    return true;
  }

  bool Integer(const toml::table &table, const std::string &prefix,
               std::string_view key, int64_t min, int64_t max,
               std::optional<int64_t> &out, std::string_view why = {}) {
    const toml::node *node = table.get(key);
    if (!node) return true;
    if (!node->is_integer()) {
      return Fail(*node, Field(prefix, key), "must be a whole number");
    }
    int64_t value = node->as_integer()->get();
    if (value < min || value > max) {
      return Fail(*node, Field(prefix, key),
                  "must be " + std::to_string(min) + " to " +
                      std::to_string(max) + std::string(why));
    }
    out = value;
    return true;
  }

  bool Number(const toml::table &table, const std::string &prefix,
              std::string_view key, double min, double max,
              std::optional<double> &out) {
    const toml::node *node = table.get(key);
    if (!node) return true;
    std::optional<double> value;
    if (node->is_integer()) {
      value = static_cast<double>(node->as_integer()->get());
    } else if (node->is_floating_point()) {
      value = node->as_floating_point()->get();
    }
    if (!value) return Fail(*node, Field(prefix, key), "must be a number");
    if (!(*value >= min && *value <= max)) {
      std::ostringstream range;
      range << "must be " << min << " to " << max;
      return Fail(*node, Field(prefix, key), range.str());
    }
    out = value;
    return true;
  }

  bool Boolean(const toml::table &table, const std::string &prefix,
               std::string_view key, std::optional<bool> &out) {
    const toml::node *node = table.get(key);
    if (!node) return true;
    if (!node->is_boolean()) {
      return Fail(*node, Field(prefix, key), "must be true or false");
    }
    out = node->as_boolean()->get();
    return true;
  }

  static std::string Field(const std::string &prefix, std::string_view key) {
    return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
  }

 private:
  const std::string &file_;
  ConfigError &error_;
};

std::string Resolve(const std::string &base_dir, const std::string &path) {
  return (fs::path(base_dir) / path).lexically_normal().string();
}

bool ReadHost(Reader &reader, const toml::table &root,
              const std::string &base_dir, HostConfig &host) {
  host.workdir = fs::path(base_dir).lexically_normal().string();
  const toml::node *node = root.get("host");
  if (!node) return true;
  const toml::table *table = node->as_table();
  if (!table) return reader.Fail(*node, "host", "must be a table ([host])");
  if (!reader.OnlyKeys(*table, "host",
                       {"workdir", "driver", "log", "port_dir",
                        "status_interval", "com_interval", "reconnect_after",
                        "reopen_interval", "wait_min_ms", "wait_max_ms"})) {
    return false;
  }
  std::optional<std::string> workdir, driver, log, port_dir;
  std::optional<double> status, com, reopen;
  std::optional<int64_t> reconnect, wait_min, wait_max;
  if (!reader.String(*table, "host", "workdir", workdir) ||
      !reader.String(*table, "host", "driver", driver) ||
      !reader.String(*table, "host", "log", log) ||
      !reader.String(*table, "host", "port_dir", port_dir) ||
      !reader.Number(*table, "host", "status_interval", 1, 86400, status) ||
      !reader.Number(*table, "host", "com_interval", 0.5, 86400, com) ||
      !reader.Integer(*table, "host", "reconnect_after", 0, 1000, reconnect) ||
      !reader.Number(*table, "host", "reopen_interval", 0.5, 86400, reopen) ||
      !reader.Integer(*table, "host", "wait_min_ms", 1, 10000, wait_min) ||
      !reader.Integer(*table, "host", "wait_max_ms", 1, 10000, wait_max)) {
    return false;
  }
  for (auto *text : {&workdir, &driver, &log, &port_dir}) {
    if (text->has_value() && (*text)->empty()) text->reset();
  }
  if (workdir) {
    host.workdir = Resolve(base_dir, *workdir);
    std::error_code ec;
    if (!fs::is_directory(host.workdir, ec)) {
      return reader.Fail(*table->get("workdir"), "host.workdir",
                         "directory " + host.workdir + " does not exist");
    }
  }
  if (driver) host.driver = Resolve(base_dir, *driver);
  if (log) host.log = Resolve(base_dir, *log);
  if (port_dir) host.port_dir = Resolve(base_dir, *port_dir);
  host.status_interval = status.value_or(host.status_interval);
  host.com_interval = com.value_or(host.com_interval);
  host.reopen_interval = reopen.value_or(host.reopen_interval);
  host.reconnect_after =
      static_cast<int>(reconnect.value_or(host.reconnect_after));
  host.wait_min_ms = static_cast<int>(wait_min.value_or(host.wait_min_ms));
  host.wait_max_ms = static_cast<int>(wait_max.value_or(host.wait_max_ms));
  if (host.wait_max_ms < host.wait_min_ms) {
    const toml::node &at =
        table->get("wait_max_ms") ? *table->get("wait_max_ms") : *table;
    return reader.Fail(at, "host.wait_max_ms",
                       "must not be below wait_min_ms (" +
                           std::to_string(host.wait_min_ms) + ")");
  }
  return true;
}

bool ReadGate(Reader &reader, const toml::node &node, const std::string &field,
              GateConfig &gate) {
  const toml::table *table = node.as_table();
  if (!table) {
    return reader.Fail(node, field,
                       "must be a table with address and type, e.g. "
                       "{ address = \"$T1\", type = \"float\" }");
  }
  if (!reader.OnlyKeys(*table, field, {"address", "type", "label"})) {
    return false;
  }
  std::optional<std::string> address, type, label;
  if (!reader.String(*table, field, "address", address) ||
      !reader.String(*table, field, "type", type) ||
      !reader.String(*table, field, "label", label)) {
    return false;
  }
  if (!address) return reader.Fail(*table, field + ".address", "missing");
  const toml::node &address_node = *table->get("address");
  if (std::string problem = CheckAddress(*address); !problem.empty()) {
    return reader.Fail(address_node, field + ".address", problem);
  }
  if (!type) {
    return reader.Fail(*table, field + ".type",
                       "missing (\"float\" or \"digital\")");
  }
  if (*type == "float") {
    gate.type = ULO_TYPE_FLOAT;
  } else if (*type == "digital") {
    gate.type = ULO_TYPE_DIGITAL;
  } else {
    return reader.Fail(
        *table->get("type"), field + ".type",
        "must be \"float\" or \"digital\", not " + Quoted(*type));
  }
  if (label && std::any_of(label->begin(), label->end(), [](char c) {
        return static_cast<unsigned char>(c) < 32 || c == 127;
      })) {
    return reader.Fail(*table->get("label"), field + ".label",
                       "holds a control character");
  }
  gate.address = *address;
  gate.label = label.value_or("");
  gate.where = At(address_node.source());
  return true;
}

bool ReadLine(Reader &reader, const toml::table &table,
              const std::string &field, LineConfig &line) {
  std::optional<int64_t> baud, data_bits;
  std::optional<double> stop_bits;
  std::optional<std::string> parity;
  if (!reader.Integer(table, field, "baud", 50, 65535, baud,
                      " (the driver's line record holds 16 bits)") ||
      !reader.Integer(table, field, "data_bits", 5, 8, data_bits) ||
      !reader.Number(table, field, "stop_bits", 1, 2, stop_bits) ||
      !reader.String(table, field, "parity", parity)) {
    return false;
  }
  if (baud) line.baud = static_cast<uint16_t>(*baud);
  if (data_bits) line.data_bits = static_cast<uint16_t>(*data_bits);
  if (stop_bits) {
    line.stop_bits = StopBitsCode(*stop_bits);
    if (!line.stop_bits) {
      return reader.Fail(*table.get("stop_bits"), field + ".stop_bits",
                         "must be 1, 1.5 or 2");
    }
  }
  if (parity) {
    line.parity = ParityCode(*parity);
    if (!line.parity) {
      return reader.Fail(
          *table.get("parity"), field + ".parity",
          "must be none, odd, even, mark or space, not " + Quoted(*parity));
    }
  }
  return true;
}

bool ReadInstance(Reader &reader, const toml::table &table,
                  const std::string &field, InstanceConfig &instance) {
  if (!reader.OnlyKeys(
          table, field,
          {"ulo", "port", "enabled", "read_timeout_ms", "baud", "data_bits",
           "stop_bits", "parity", "restart_message", "gate"})) {
    return false;
  }
  instance.where = At(table.source());
  std::optional<int64_t> ulo, read_timeout_ms;
  std::optional<std::string> port, restart;
  std::optional<bool> enabled;
  if (!reader.Integer(table, field, "ulo", 1, kMaxUlo, ulo) ||
      !reader.String(table, field, "port", port) ||
      !reader.Boolean(table, field, "enabled", enabled) ||
      !reader.Integer(table, field, "read_timeout_ms", 10, 600000,
                      read_timeout_ms) ||
      !reader.String(table, field, "restart_message", restart) ||
      !ReadLine(reader, table, field, instance.line)) {
    return false;
  }
  if (!ulo) return reader.Fail(table, field + ".ulo", "missing");
  instance.ulo = static_cast<int>(*ulo);
  instance.enabled = enabled.value_or(true);
  if (port) {
    instance.port_where = At(table.get("port")->source());
    if (std::string problem = CheckPortName(*port); !problem.empty()) {
      return reader.Fail(instance.port_where, field + ".port", problem);
    }
    instance.port = *port;
  } else if (instance.enabled) {
    return reader.Fail(table, field + ".port",
                       "missing (or set enabled = false)");
  }
  if (read_timeout_ms) {
    if (*read_timeout_ms % 10 != 0) {
      return reader.Fail(*table.get("read_timeout_ms"),
                         field + ".read_timeout_ms",
                         "must be a multiple of 10 (the driver counts in "
                         "10 ms units)");
    }
    instance.read_timeout = static_cast<int32_t>(*read_timeout_ms / 10);
  }
  if (restart) {
    if (restart->size() > kMaxRestartMessage ||
        restart->find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
      return reader.Fail(
          *table.get("restart_message"), field + ".restart_message",
          "must be one line of at most " + std::to_string(kMaxRestartMessage) +
              " characters");
    }
    instance.restart_message = restart;
  }

  if (const toml::node *gates = table.get("gate")) {
    const toml::array *list = gates->as_array();
    if (!list) {
      return reader.Fail(*gates, field + ".gate",
                         "must be a list of gates ([[instance.gate]])");
    }
    for (std::size_t i = 0; i < list->size(); ++i) {
      std::string gate_field = field + ".gate[" + std::to_string(i + 1) + "]";
      GateConfig gate;
      if (!ReadGate(reader, *list->get(i), gate_field, gate)) return false;
      for (const GateConfig &other : instance.gates) {
        if (other.address == gate.address ||
            (IsStatusGate(gate.address) &&
             Upper(other.address) == Upper(gate.address))) {
          return reader.Fail(gate.where, gate_field + ".address",
                             Quoted(gate.address) +
                                 " is already defined on line " +
                                 std::to_string(other.where.line));
        }
      }
      instance.gates.push_back(std::move(gate));
    }
  }
  // Every instance gets its status gates; one the config names itself (in
  // any case) is used as written.
  for (const char *status : {"STATUS", "COM"}) {
    bool named = std::any_of(
        instance.gates.begin(), instance.gates.end(),
        [&](const GateConfig &gate) { return Upper(gate.address) == status; });
    if (!named) {
      instance.gates.push_back({status, ULO_TYPE_DIGITAL, "", instance.where});
    }
  }
  return true;
}

bool ReadInstances(Reader &reader, const toml::table &root,
                   std::vector<InstanceConfig> &instances) {
  const toml::node *node = root.get("instance");
  const toml::array *list = node ? node->as_array() : nullptr;
  if (node && !list) {
    return reader.Fail(*node, "instance",
                       "must be a list of tables ([[instance]])");
  }
  if (!list || list->empty()) {
    return reader.Fail(Where{1, 1}, "instance",
                       "no [[instance]] configured: nothing to run");
  }
  for (std::size_t i = 0; i < list->size(); ++i) {
    std::string field = "instance[" + std::to_string(i + 1) + "]";
    const toml::table *table = list->get(i)->as_table();
    if (!table) return reader.Fail(*list->get(i), field, "must be a table");
    InstanceConfig instance;
    instance.index = static_cast<int>(i + 1);
    if (!ReadInstance(reader, *table, field, instance)) return false;
    for (const InstanceConfig &other : instances) {
      if (other.ulo == instance.ulo) {
        return reader.Fail(*table->get("ulo"), field + ".ulo",
                           "ulo " + std::to_string(instance.ulo) +
                               " is already used by the instance on line " +
                               std::to_string(other.where.line));
      }
      if (instance.enabled && other.enabled &&
          Upper(other.port) == Upper(instance.port)) {
        return reader.Fail(instance.port_where, field + ".port",
                           "port " + Quoted(instance.port) +
                               " is already used by ulo " +
                               std::to_string(other.ulo) + " (line " +
                               std::to_string(other.port_where.line) + ")");
      }
    }
    instances.push_back(std::move(instance));
  }
  return true;
}

}  // namespace

const InstanceConfig *Config::Find(int ulo) const {
  for (const InstanceConfig &instance : instances) {
    if (instance.ulo == ulo) return &instance;
  }
  return nullptr;
}

std::string ConfigError::ToString() const {
  std::ostringstream out;
  out << file << ':' << where.line << ':' << where.column << ": ";
  if (!field.empty()) out << field << ": ";
  out << message;
  return out.str();
}

bool ParseConfig(std::string_view text, const std::string &file,
                 const std::string &base_dir, Config &config,
                 ConfigError &error) {
  toml::table root;
  try {
    root = toml::parse(text, file);
  } catch (const toml::parse_error &failure) {
    error = {file, At(failure.source()), "",
             std::string(failure.description())};
    return false;
  }
  Reader reader(file, error);
  Config parsed;
  parsed.file = file;
  if (!reader.OnlyKeys(root, "", {"host", "instance"}) ||
      !ReadHost(reader, root, base_dir, parsed.host) ||
      !ReadInstances(reader, root, parsed.instances)) {
    return false;
  }
  config = std::move(parsed);
  return true;
}

bool LoadConfig(const std::string &path, Config &config, ConfigError &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = {path, {}, "", "cannot open the config file"};
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  return ParseConfig(text.str(), path, absolute.parent_path().string(), config,
                     error);
}

std::optional<uint16_t> ParityCode(std::string_view name) {
  for (std::size_t code = 0; code < kParities.size(); ++code) {
    if (Upper(kParities[code]) == Upper(name)) {
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
  if (name.size() > kMaxPortName) {
    return Quoted(name) + " is longer than " + std::to_string(kMaxPortName) +
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
  if (address.size() > kMaxAddress) {
    return Quoted(address) + " is longer than " + std::to_string(kMaxAddress) +
           " characters";
  }
  for (char c : address) {
    if (!std::isgraph(static_cast<unsigned char>(c)) || c == '=') {
      return Quoted(address) + " holds a space, '=' or control character";
    }
  }
  return "";
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return Upper(a) == Upper(b);
}

bool IsStatusGate(std::string_view address) {
  std::string upper = Upper(address);
  return upper == "STATUS" || upper == "COM";
}

std::string InitFileName(int ulo) {
  char name[32];
  std::snprintf(name, sizeof name, "uloPR1%.2d.int", ulo);
  return name;
}

}  // namespace ulohost
