// Commands typed at the prompt or sent by a script, as text
// ("write 1 $SP1 22.5") or as JSON ({"cmd":"write","ulo":1,"gate":"$SP1",
// "value":22.5}); both are checked against the config the same way.
#ifndef ULOPR1_TOOLS_ULOHOST_COMMANDS_H
#define ULOPR1_TOOLS_ULOHOST_COMMANDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "events.h"

namespace ulohost {

enum class Verb {
  kWrite,      // command 7
  kStatus,     // command 5 on STATUS
  kCom,        // command 5 on COM
  kWarmStart,  // command 2
  kClose,      // command 11
  kReopen,     // command 13
  kPort,       // command 15
  kValues,     // every gate's current value
  kLog,        // show the log's tail
  kHelp,
  kQuit,
};

// A new port for command 15; unset line fields keep the instance's current
// settings.
struct PortRequest {
  std::string name;
  std::optional<uint16_t> baud;
  std::optional<uint16_t> data_bits;
  std::optional<uint16_t> parity;
  std::optional<uint16_t> stop_bits;
};

struct Command {
  Verb verb = Verb::kHelp;
  int ulo = 0;       // the instance, for instance commands
  std::string gate;  // kWrite
  int32_t type = 0;  // kWrite: the gate's configured type
  double value = 0;  // kWrite, checked against the type
  PortRequest port;  // kPort
  int count = 20;    // kLog: how many lines
  CommandId id;      // the script's id for the command, echoed in its result
};

// Parses one line (text or a JSON object). The instance number may be left
// out when the config has a single instance. On failure error says why, and
// command.id holds the id of a JSON command that had one, for the refusal.
bool ParseCommand(std::string_view line, const Config &config, Command &command,
                  std::string &error);

// What the prompt accepts, one line per command.
std::vector<std::string> HelpLines();

// The longest command line taken in, in bytes.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

// Cuts a byte stream into lines without their newline, in linear time and
// holding at most max bytes of an unfinished line: a longer line is
// discarded up to its newline and reported once.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t max = kMaxLineBytes) : max_(max) {}

  // Appends the lines the bytes complete to lines, and for each over-long
  // one a message to errors.
  void Feed(std::string_view bytes, std::vector<std::string> &lines,
            std::vector<std::string> &errors);

 private:
  std::size_t max_;
  std::string pending_;
  bool discarding_ = false;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_COMMANDS_H
