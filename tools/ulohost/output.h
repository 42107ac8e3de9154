// Where the host's events go: a live table in a terminal, plain lines when
// stdout is not a terminal, or JSON lines for scripts.
#ifndef ULOPR1_TOOLS_ULOHOST_OUTPUT_H
#define ULOPR1_TOOLS_ULOHOST_OUTPUT_H

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "driver.h"
#include "events.h"
#include "instances.h"
#include "sink.h"

namespace ulohost {

// An output that reads the terminal's keys itself (the live view: line
// editing of its own, scrolling, a filter).
class KeyReader {
 public:
  virtual ~KeyReader() = default;
  // Takes bytes typed at the terminal; appends the command lines they
  // complete. Answers false at the end of input (Ctrl-D on an empty line).
  virtual bool Keys(std::string_view bytes,
                    std::vector<std::string> &lines) = 0;
};

// One JSON object per line, written to fd.
std::unique_ptr<Output> MakeJsonOutput(int fd);
// One line of text per event, written to fd.
std::unique_ptr<Output> MakePlainOutput(int fd);
// A table of every instance and gate redrawn in place at the top of the
// terminal (plain ANSI sequences), with command results and the prompt
// scrolling below it. fd is the terminal. The view is also a KeyReader.
std::unique_ptr<Output> MakeLiveView(int fd, const Config &config,
                                     const Description &description);

// The host log appended to a file, a line per event the log keeps
// (LogLine), each with its ISO 8601 time and written whole. When a line
// cannot be written (a full disk) that is told once through tell, lines are
// counted until one can be written again, and the log then says how many
// were lost. Reopen opens the path again (after log rotation). Nothing, with
// error set, when the file cannot be opened.
std::unique_ptr<Output> MakeLogFile(const std::string &path,
                                    std::function<void(const Event &)> tell,
                                    std::string &error);
// The host log for the systemd journal: the same lines on fd (stderr) with
// the journal's "<N>" priority prefixes, its own time stamps.
std::unique_ptr<Output> MakeJournal(int fd);

// The one-line text of an event, as the plain output and the live view's
// message area show it.
std::string EventLine(const Event &event);

// A gate value as shown: floats with up to six significant digits, digital
// values whole.
std::string FormatValue(double value, int32_t type);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_OUTPUT_H
