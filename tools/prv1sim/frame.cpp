#include "frame.h"

#include <cstdio>

namespace prv1sim {

std::string BuildFrame(std::string_view header, std::string_view text,
                       bool with_etx) {
  std::string frame;
  frame.reserve(text.size() + 5);
  frame += kStx;
  frame += header;
  frame += text;
  frame += kCr;
  if (with_etx) frame += kEtx;
  return frame;
}

std::string ErrorText(int code) { return "ERROR " + std::to_string(code); }

std::string Show(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    switch (c) {
      case kStx:
        out += "<STX>";
        break;
      case kEtx:
        out += "<ETX>";
        break;
      case kCr:
        out += "<CR>";
        break;
      case '\n':
        out += "<LF>";
        break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "<%02X>", c);
          out += hex;
        }
    }
  }
  return out;
}

}  // namespace prv1sim
