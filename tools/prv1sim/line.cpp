#include "line.h"

#include "frame.h"

namespace prv1sim {

ReceivedLine ParseLine(std::string_view text) {
  ReceivedLine line;
  line.text = text;
  std::size_t equals = text.find('=');
  if (!text.empty() && (text[0] == '$' || text[0] == '@') &&
      equals != std::string_view::npos) {
    line.kind = ReceivedLine::Kind::kWrite;
    line.address = text.substr(0, equals);
    line.value = text.substr(equals + 1);
  }
  return line;
}

std::vector<ReceivedLine> LineAssembler::Feed(std::string_view bytes) {
  std::vector<ReceivedLine> lines;
  for (char c : bytes) {
    if (c == kCr) {
      lines.push_back(ParseLine(partial_));
      partial_.clear();
      continue;
    }
    partial_ += c;
    if (partial_.size() == kMaxLine) {
      lines.push_back(ParseLine(partial_));
      partial_.clear();
    }
  }
  return lines;
}

}  // namespace prv1sim
