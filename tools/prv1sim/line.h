// What the controller receives: CR-terminated lines, either a write
// ("ADDRESS=VALUE", the address beginning with "$" or "@") or any other text,
// which the controller takes as the restart message.
#ifndef ULOPR1_TOOLS_PRV1SIM_LINE_H
#define ULOPR1_TOOLS_PRV1SIM_LINE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace prv1sim {

struct ReceivedLine {
  enum class Kind { kWrite, kOther };
  Kind kind = Kind::kOther;
  std::string text;     // the line without its CR
  std::string address;  // writes only
  std::string value;    // writes only: the text after the first "="
};

// Classifies one line (given without its CR).
ReceivedLine ParseLine(std::string_view text);

// Cuts a byte stream into lines at each CR. A line longer than the limit is
// cut there and kept as a line of its own, so garbage cannot grow it forever.
class LineAssembler {
 public:
  static constexpr std::size_t kMaxLine = 256;

  // Appends bytes; returns the lines they completed, in order.
  std::vector<ReceivedLine> Feed(std::string_view bytes);

  // True while part of a line has arrived and its CR has not.
  bool InProgress() const { return !partial_.empty(); }

 private:
  std::string partial_;
};

}  // namespace prv1sim

#endif  // ULOPR1_TOOLS_PRV1SIM_LINE_H
