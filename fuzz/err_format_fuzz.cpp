// The host runtime's err() with the driver's formats and any text in them
// (report addresses, echoes, port names come from the line or the host), and
// the log line it becomes: at most 1023 bytes kept, one printable line.
#include <cstdint>
#include <cstring>
#include <string>

#include "fake_line.h"
#include "ulopr1/zempro.h"
#include "zempro/control.h"

namespace {

// The driver's messages that carry text from outside.
constexpr const char *kFormats[] = {
    "ULOPR1: %s received from ULO %d",
    "ULOPR1: %s",
    "UloPR1: ULO %d, Gate %s not defined in Drevak!",
    " ULOPR1: sent:%s recv:%s",
    "ULOPR1: Gate %s: Write failed. rc = %d ",
    "ULOPR1: Fail to open %.12s",
    "ULOPR1: Restart Message is '%s'",
    "ULOPR1: ULO %d. Gate %s should be in 'Sample=Never'",
};
constexpr size_t kKept = 1023;

struct Capture {
  Capture() {
    zempro::AddLogSink([this](const zempro::LogRecord &record) {
      last = record;
      ++count;
    });
  }
  zempro::LogRecord last;
  int count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using ulo::fuzzing::Require;
  static Capture capture;
  if (size < 2) return 0;
  const char *format = kFormats[data[0] % std::size(kFormats)];
  int32_t message_class = data[1] & 1 ? ZEM_CLASS_TRACE : ZEM_CLASS_MESSAGE;
  std::string text(reinterpret_cast<const char *>(data) + 2, size - 2);
  const char *a = text.c_str();
  const char *b = a + std::strlen(a) / 2;
  int before = capture.count;
  if (std::strstr(format, "%d, Gate") || std::strstr(format, "%d. Gate")) {
    err(message_class, format, int(size), a);
  } else if (std::strstr(format, "sent:")) {
    err(message_class, format, a, b);
  } else {
    err(message_class, format, a, int(size));
  }
  Require(capture.count == before + 1, "one message per call");
  Require(capture.last.message_class == message_class, "the class is kept");
  Require(capture.last.text.size() <= kKept, "a message is cut to 1023 bytes");
  std::string line = zempro::FormatLogLine(capture.last);
  for (char c : line) {
    auto byte = static_cast<unsigned char>(c);
    Require(byte >= 0x20 && byte < 0x7f, "a log line is printable");
  }
  return 0;
}
