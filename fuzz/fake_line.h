// A serial line that lives only in the platform layer's system-call table,
// for the fuzz targets: opening kLinePath gives a terminal whose reads serve
// the bytes fed to it and hang up when they run out, whose writes are kept,
// and on which sleeps take no time. Single-threaded use only.
#ifndef ULOPR1_FUZZ_FAKE_LINE_H
#define ULOPR1_FUZZ_FAKE_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "instance/workspace.h"

namespace ulo::fuzzing {

inline constexpr char kLinePath[] = "/fuzz/line";

// Puts the fake line's table in force for the rest of the process.
void InstallFakeLine();
// What the controller sends from now on: the size bytes of data, over and
// over until total bytes have gone (at least once); forgets what was
// written.
void FeedLine(const uint8_t *data, size_t size, size_t total = 0);
// What the driver wrote, and how many bytes it read, since the last FeedLine.
const std::string &LineWritten();
size_t LineRead();
// Opens the line as a start would: 9600 8N1, one second read timeout. The
// handle, or 0.
uint32_t OpenLine();
// A workspace as a start leaves it for instance 7: the line open as its
// port and the host's client registered (once per process).
inline constexpr uint8_t kInstance = 7;
void StartOnLine(InstanceWorkspace &ws);

// Ends the process with a message when an expectation fails, so the fuzzer
// keeps the input.
void Require(bool holds, const char *what);

}  // namespace ulo::fuzzing

#endif  // ULOPR1_FUZZ_FAKE_LINE_H
