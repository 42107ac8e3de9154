// What every output of the host is: the terminal's live table, plain lines,
// JSON lines, the log file, the journal, and whatever plugs in beside them.
// An output gets its calls from one thread of its own (see output_queue.h),
// one at a time, so it may take as long as its medium needs.
#ifndef ULOPR1_TOOLS_ULOHOST_SINK_H
#define ULOPR1_TOOLS_ULOHOST_SINK_H

#include <vector>

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
  // The operator asked for files to be opened again (SIGHUP, after the log
  // was rotated).
  virtual void Reopen() {}
  // Leaves the terminal as it was.
  virtual void Finish() {}
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_SINK_H
