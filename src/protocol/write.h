// Confirmed gate writes: the line goes out paced, the controller echoes it,
// and the write counts as done only when the echo matches.
#ifndef ULOPR1_PROTOCOL_WRITE_H
#define ULOPR1_PROTOCOL_WRITE_H

#include <cstdint>

#include "driver/workspace.h"

namespace ulo {

// A write line or echo holds at most this many characters (CR included).
constexpr uint32_t kLineLimit = 49;
// Characters read for one echo before giving up on its CR.
constexpr uint32_t kEchoReadLimit = 100;

enum EchoCode { kEchoRead = 0, kEchoNoCr = 1, kEchoNoCharacter = 2 };

// Reads the echo of line: the text from the last "$" or "@" to the first CR
// after it, into buffer (kLineLimit + 1 bytes, zeroed by the caller). A frame
// (STX to ETX) whose text is not line is a report that arrived meanwhile: it
// is delivered as the receiver would and is not part of the echo. A frame
// whose text is line confirms it and is delivered too. An echo
// longer than kLineLimit sets *length past kLineLimit and never matches.
int ReadEcho(InstanceWorkspace &ws, const char *line, char *buffer,
             uint32_t *length);

// Command 7.
int32_t WriteGate(const UloRequest &request);

}  // namespace ulo

#endif  // ULOPR1_PROTOCOL_WRITE_H
