#include "commands.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "protocol/number.h"
#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

const std::map<std::string, Verb, std::less<>> kVerbs = {
    {"write", Verb::kWrite},    {"w", Verb::kWrite},
    {"status", Verb::kStatus},  {"com", Verb::kCom},
    {"warm", Verb::kWarmStart}, {"restart", Verb::kWarmStart},
    {"close", Verb::kClose},    {"reopen", Verb::kReopen},
    {"port", Verb::kPort},      {"values", Verb::kValues},
    {"log", Verb::kLog},        {"help", Verb::kHelp},
    {"?", Verb::kHelp},         {"quit", Verb::kQuit},
    {"exit", Verb::kQuit},      {"q", Verb::kQuit},
};

std::vector<std::string> Split(std::string_view line) {
  std::vector<std::string> tokens;
  std::istringstream in{std::string(line)};
  for (std::string token; in >> token;) tokens.push_back(token);
  return tokens;
}

std::optional<long> WholeNumber(const std::string &text) {
  long value = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<double> RealNumber(const std::string &text) {
  double value = 0;
  const char *end = text.data() + text.size();
  if (text.empty() || ulo::ReadNumber(text.data(), end, value) != end ||
      !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Walks the tokens after the verb.
class Args {
 public:
  explicit Args(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {}
  bool Done() const { return next_ >= tokens_.size(); }
  std::size_t Left() const { return tokens_.size() - next_; }
  const std::string &Peek() const { return tokens_[next_]; }
  std::string Take() { return tokens_[next_++]; }

 private:
  std::vector<std::string> tokens_;
  std::size_t next_ = 1;
};

// The instance: the next token when the command names one, else the only
// instance there is.
bool TakeUlo(Args &args, const Config &config, bool named, Command &command,
             std::string &error) {
  if (named) {
    std::optional<long> ulo = WholeNumber(args.Peek());
    if (!ulo) {
      error = "'" + args.Peek() + "' is not an instance number";
      return false;
    }
    args.Take();
    if (!config.Find(static_cast<int>(*ulo))) {
      error = "no instance with ulo " + std::to_string(*ulo);
      return false;
    }
    command.ulo = static_cast<int>(*ulo);
    return true;
  }
  if (config.instances.size() != 1) {
    std::string known;
    for (const InstanceConfig &instance : config.instances) {
      known += (known.empty() ? "" : ", ") + std::to_string(instance.ulo);
    }
    error = "which instance? give its ulo number (" + known + ")";
    return false;
  }
  command.ulo = config.instances.front().ulo;
  return true;
}

bool ParseWrite(Args &args, const Config &config, Command &command,
                std::string &error) {
  if (args.Left() < 2 || args.Left() > 3) {
    error = "usage: write [ULO] GATE VALUE";
    return false;
  }
  if (!TakeUlo(args, config, args.Left() == 3, command, error)) return false;
  command.gate = args.Take();
  const InstanceConfig &instance = *config.Find(command.ulo);
  const GateConfig *gate = nullptr;
  for (const GateConfig &candidate : instance.gates) {
    if (candidate.address == command.gate) gate = &candidate;
  }
  if (IsStatusGate(command.gate)) {
    error = command.gate + " is read, not written: use '" +
            (EqualsIgnoringCase(command.gate, "COM") ? "com" : "status") + " " +
            std::to_string(command.ulo) + "'";
    return false;
  }
  if (!gate) {
    error = "ulo " + std::to_string(command.ulo) + " has no gate '" +
            command.gate + "' (addresses are case-sensitive)";
    return false;
  }
  command.type = gate->type;
  std::string text = args.Take();
  std::optional<double> value = RealNumber(text);
  if (command.type == ULO_TYPE_DIGITAL) {
    const std::string takes =
        command.gate + " is digital: it takes a whole number 0 to 65535";
    if (!value) {
      error = "'" + text + "' is not a number; " + takes;
      return false;
    }
    if (*value != std::floor(*value)) {
      error = takes + ", not a fraction like " + text;
      return false;
    }
    if (*value < 0 || *value > 65535) {
      error = takes + "; " + text + " is out of range";
      return false;
    }
  } else if (!value) {
    error = "'" + text + "' is not a number";
    return false;
  } else if (std::fabs(*value) > 3.4e38) {
    error = text + " is beyond what a float gate holds (-3.4e38 to 3.4e38)";
    return false;
  }
  command.value = *value;
  // The driver sends "ADDRESS=VALUE" and a carriage return, the value as a
  // 32-bit float printed with six decimals, and holds ULO_LINE_MAX
  // characters of it.
  char number[ulo::kFloatFixedSize];
  int length = static_cast<int>(
      command.gate.size() + 2 +
      ulo::FormatFixed(static_cast<double>(static_cast<float>(*value)), number,
                       sizeof number));
  if (command.type == ULO_TYPE_FLOAT && length > ULO_LINE_MAX) {
    error = "writing " + text + " to " + command.gate + " takes " +
            std::to_string(length) + " characters on the line; the driver " +
            "sends at most " + std::to_string(ULO_LINE_MAX);
    return false;
  }
  return true;
}

// The next token, if any, as a whole number from min to max.
bool TakeSetting(Args &args, const char *what, long min, long max,
                 std::optional<uint16_t> &out, std::string &error) {
  if (args.Done()) return true;
  std::optional<long> value = WholeNumber(args.Take());
  if (!value || *value < min || *value > max) {
    error = std::string(what) + " must be a whole number " +
            std::to_string(min) + " to " + std::to_string(max);
    return false;
  }
  out = static_cast<uint16_t>(*value);
  return true;
}

bool ParsePort(Args &args, const Config &config, Command &command,
               std::string &error) {
  // The name is the first token that is not the instance number.
  std::size_t rest = args.Left();
  if (rest == 0 || rest > 6) {
    error = "usage: port [ULO] NAME [BAUD [DATA_BITS [PARITY [STOP_BITS]]]]";
    return false;
  }
  bool named = rest >= 2 && WholeNumber(args.Peek()).has_value();
  if (!TakeUlo(args, config, named, command, error)) return false;
  PortRequest &port = command.port;
  port.name = args.Take();
  if (std::string problem = CheckPortName(port.name); !problem.empty()) {
    error = "port name " + problem;
    return false;
  }
  if (!TakeSetting(args, "baud", 50, 65535, port.baud, error) ||
      !TakeSetting(args, "data bits", 5, 8, port.data_bits, error)) {
    return false;
  }
  if (!args.Done()) {
    port.parity = ParityCode(args.Take());
    if (!port.parity) {
      error = "parity must be none, odd, even, mark or space";
      return false;
    }
  }
  if (!args.Done()) {
    std::optional<double> bits = RealNumber(args.Take());
    port.stop_bits = bits ? StopBitsCode(*bits) : std::nullopt;
    if (!port.stop_bits) {
      error = "stop bits must be 1, 1.5 or 2";
      return false;
    }
  }
  return true;
}

bool ParseTokens(std::vector<std::string> tokens, const Config &config,
                 Command &command, std::string &error) {
  if (tokens.empty()) {
    error = "empty command";
    return false;
  }
  auto verb = kVerbs.find(tokens.front());
  if (verb == kVerbs.end()) {
    error = "unknown command '" + tokens.front() + "' (try help)";
    return false;
  }
  command.verb = verb->second;
  Args args(std::move(tokens));
  switch (command.verb) {
    case Verb::kWrite:
      return ParseWrite(args, config, command, error);
    case Verb::kPort:
      return ParsePort(args, config, command, error);
    case Verb::kStatus:
    case Verb::kCom:
    case Verb::kWarmStart:
    case Verb::kClose:
    case Verb::kReopen:
      if (args.Left() > 1) {
        error = "usage: " + verb->first + " [ULO]";
        return false;
      }
      return TakeUlo(args, config, args.Left() == 1, command, error);
    case Verb::kLog:
      if (!args.Done()) {
        std::optional<long> count = WholeNumber(args.Take());
        if (!count || *count < 1 || *count > 10000 || !args.Done()) {
          error = "usage: log [LINES]";
          return false;
        }
        command.count = static_cast<int>(*count);
      }
      return true;
    case Verb::kValues:
    case Verb::kHelp:
    case Verb::kQuit:
      if (!args.Done()) {
        error = "usage: " + verb->first;
        return false;
      }
      return true;
  }
  return false;
}

std::string JsonToken(const nlohmann::json &value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return value.dump();
  if (value.is_number()) {
    // As "%.17g" writes it in the "C" locale: digits enough to read it back.
    char text[40];
    std::to_chars_result written =
        std::to_chars(text, std::end(text), value.get<double>(),
                      std::chars_format::general, 17);
    return std::string(text, written.ptr);
  }
  return value.dump();
}

// {"cmd": VERB, ...} as the tokens of the same text command, and its id.
bool JsonTokens(std::string_view line, std::vector<std::string> &tokens,
                CommandId &id, std::string &error) {
  nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
  if (object.is_discarded() || !object.is_object()) {
    error = "not a JSON object";
    return false;
  }
  if (object.contains("id")) {
    const nlohmann::json &given = object["id"];
    if (!given.is_string() && !given.is_number()) {
      error = "\"id\" must be a string or a number";
      return false;
    }
    id = given;
  }
  if (!object.contains("cmd") || !object["cmd"].is_string()) {
    error = "a JSON command needs \"cmd\"";
    return false;
  }
  static const char *const kKnown[] = {
      "cmd",       "ulo",    "gate",      "value", "name", "baud",
      "data_bits", "parity", "stop_bits", "lines", "id"};
  for (auto &[key, value] : object.items()) {
    if (std::find(std::begin(kKnown), std::end(kKnown), key) ==
        std::end(kKnown)) {
      error = "unknown field \"" + key + "\"";
      return false;
    }
  }
  // The optional line settings are positional in the text form.
  static const char *const kLine[] = {"baud", "data_bits", "parity",
                                      "stop_bits"};
  for (std::size_t i = 1; i < std::size(kLine); ++i) {
    if (object.contains(kLine[i]) && !object.contains(kLine[i - 1])) {
      error = std::string("\"") + kLine[i] + "\" needs \"" + kLine[i - 1] +
              "\" too";
      return false;
    }
  }
  tokens.push_back(object["cmd"].get<std::string>());
  for (const char *key : {"ulo", "gate", "value", "name", "baud", "data_bits",
                          "parity", "stop_bits", "lines"}) {
    if (object.contains(key)) tokens.push_back(JsonToken(object[key]));
  }
  return true;
}

}  // namespace

bool ParseCommand(std::string_view line, const Config &config, Command &command,
                  std::string &error) {
  command = Command{};
  std::size_t start = line.find_first_not_of(" \t\r\n");
  if (start != std::string_view::npos && line[start] == '{') {
    std::vector<std::string> tokens;
    return JsonTokens(line, tokens, command.id, error) &&
           ParseTokens(std::move(tokens), config, command, error);
  }
  return ParseTokens(Split(line), config, command, error);
}

std::vector<std::string> HelpLines() {
  return {
      "write [ULO] GATE VALUE   write a gate, confirmed by the controller's "
      "echo",
      "status [ULO]             read STATUS (sends the restart message again)",
      "com [ULO]                read COM (waits up to 2 s for traffic)",
      "warm [ULO]               warm start: drain input, send the restart "
      "message",
      "close [ULO]              close the port",
      "reopen [ULO]             reopen the port with its stored settings",
      "port [ULO] NAME [BAUD [DATA_BITS [PARITY [STOP_BITS]]]]",
      "                         move the instance to another port",
      "values                   every gate's value, age and quality",
      "log [LINES]              show the end of the host log",
      "help                     this list",
      "quit                     stop every instance and leave",
      "/TEXT                    live table: only gates whose address or "
      "label has TEXT; / shows all",
      "arrow keys, PgUp, PgDn   live table: scroll",
      "ULO may be left out when only one instance runs. Scripts may send the "
      "same as JSON: {\"cmd\":\"write\",\"ulo\":1,\"gate\":\"$SP1\",\"value\":"
      "22.5}, with an optional \"id\" echoed in the result",
  };
}

void LineSplitter::Feed(std::string_view bytes, std::vector<std::string> &lines,
                        std::vector<std::string> &errors) {
  while (!bytes.empty()) {
    std::size_t end = bytes.find('\n');
    std::string_view piece = bytes.substr(0, end);
    if (!discarding_ && pending_.size() + piece.size() > max_) {
      discarding_ = true;
      pending_ = std::string();
      errors.push_back("input line longer than " + std::to_string(max_) +
                       " bytes: discarded up to its end");
    }
    if (!discarding_) pending_.append(piece);
    if (end == std::string_view::npos) return;
    if (!discarding_) lines.push_back(std::move(pending_));
    pending_.clear();
    discarding_ = false;
    bytes.remove_prefix(end + 1);
  }
}

}  // namespace ulohost
