// Where the host's events go: a live table in a terminal, plain lines when
// stdout is not a terminal, or JSON lines for scripts.
#ifndef ULOPR1_TOOLS_ULOHOST_OUTPUT_H
#define ULOPR1_TOOLS_ULOHOST_OUTPUT_H

#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "driver.h"
#include "events.h"
#include "instances.h"

namespace ulohost {

class Output : public EventSink {
 public:
  // Called from the main loop a few times a second.
  virtual void Refresh(const std::vector<InstanceState> &states) {
    static_cast<void>(states);
  }
  // After a command line has been taken in.
  virtual void Prompt() {}
  // Leaves the terminal as it was.
  virtual void Finish() {}
};

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

// One JSON object per line.
std::unique_ptr<Output> MakeJsonOutput(std::ostream &out);
// One line of text per event.
std::unique_ptr<Output> MakePlainOutput(std::ostream &out);
// A table of every instance and gate redrawn in place at the top of the
// terminal (plain ANSI sequences), with command results and the prompt
// scrolling below it. fd is the terminal. The view is also a KeyReader.
std::unique_ptr<Output> MakeLiveView(int fd, const Config &config,
                                     const Description &description);

// The one-line text of an event, as the plain output and the live view's
// message area show it.
std::string EventLine(const Event &event);

// A gate value as shown: floats with up to six significant digits, digital
// values whole.
std::string FormatValue(double value, int32_t type);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_OUTPUT_H
