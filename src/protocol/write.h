// Confirmed gate writes: the line goes out paced, the controller echoes it,
// and the write counts as done only when the echo matches.
#ifndef ULOPR1_PROTOCOL_WRITE_H
#define ULOPR1_PROTOCOL_WRITE_H

#include <cstdint>

#include "instance/workspace.h"
#include "protocol/receiver.h"

namespace ulo {

// A write line or echo holds at most this many characters (CR included).
constexpr uint32_t kLineLimit = ULO_LINE_MAX;
// Characters outside frames read for one echo before giving up on its CR.
constexpr uint32_t kEchoReadLimit = 100;
// Report frames one echo read hands on before giving up: more than a full
// input queue (4 KiB) of the shortest reports (STX, "$A=1", ETX: six
// bytes), so a backlog a busy controller left, and what it sent while the
// line went out, are delivered before the echo, yet a controller that
// reports and never echoes cannot hold a write forever.
constexpr uint32_t kFramesPerEcho = 1024;
// So one echo read takes at most this many bytes, whatever the controller
// sends (a frame confirming the write is finished after the limits).
constexpr uint32_t kEchoByteBound =
    kEchoReadLimit + (kFramesPerEcho + 1) * (kCutLimit + 1);

enum EchoCode { kEchoRead = 0, kEchoNoCr = 1, kEchoNoCharacter = 2 };

// Reads the echo of line: the text from the last "$" or "@" to the first CR
// after it, outside frames, into buffer (kLineLimit + 1 bytes). A frame
// (STX to ETX) met meanwhile is a report: it is delivered as the receiver
// would and is not part of the echo, which carries on around it. A frame
// whose text (from its last "$" or "@" to its CR) is line confirms it and
// is delivered too. An echo longer than kLineLimit sets *length past
// kLineLimit and never matches. Ends with kEchoNoCr after kEchoReadLimit
// characters outside frames or kFramesPerEcho frames.
int ReadEcho(InstanceWorkspace &ws, const char *line, char *buffer,
             uint32_t *length);

// Command 7.
int32_t WriteGate(const UloRequest &request);

}  // namespace ulo

#endif  // ULOPR1_PROTOCOL_WRITE_H
