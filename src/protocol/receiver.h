// The report-by-exception receiver: one thread per started instance that
// watches the port, cuts the controller's bytes into frames and hands each
// report to the host as a gate value.
#ifndef ULOPR1_PROTOCOL_RECEIVER_H
#define ULOPR1_PROTOCOL_RECEIVER_H

#include <cstdint>

#include "instance/workspace.h"

namespace ulo {

constexpr char kStx = 2;
constexpr char kEtx = 3;
constexpr char kCr = 13;

// A frame buffer: at most kFrameLimit stored bytes and a terminator.
constexpr uint32_t kFrameBufferSize = 100;
constexpr uint32_t kFrameLimit = 98;
// Report addresses hold at most this many characters.
constexpr uint32_t kAddressLimit = ULO_ADDRESS_MAX;

// Thread body; arg is the InstanceWorkspace.
void ReportByExceptionThread(void *arg);

// Bytes one frame cut takes at most: stray bytes before the frame and the
// frame itself, each within kFrameLimit. Only frames restarted again and
// again by a later STX reach it.
constexpr uint32_t kCutLimit = 2 * kFrameLimit;

// A frame being cut from the line: the bytes from its last STX (or, before
// any STX, the stray bytes read), terminated once it has ended.
struct FrameCut {
  char buffer[kFrameBufferSize];
  uint32_t stored = 0;
  uint32_t seen = 0;  // bytes given to the cut
  bool open = false;  // an STX has been read
};

// What one byte does to a frame being cut.
enum FrameStep { kFrameGoes, kFrameEnded, kFrameTooLong };
// Adds c: an STX starts the frame afresh; ETX ends it (buffer then holds
// stored bytes and a terminator). A byte past kFrameLimit since the STX (or
// since the first stray byte), or past kCutLimit in all, is too long and is
// not stored.
FrameStep CutFrame(FrameCut &cut, char c);

// Reads from the workspace's port until cut holds a frame ending in ETX
// (true) or the frame is lost (false: a byte did not come within the read
// timeout, the port changed, or kFrameLimit bytes came without ETX, each
// traced). cut is empty, or holds a frame begun from its STX. Stray bytes
// before an STX are read only while more are waiting, so noise never keeps
// the receiver on the port; that ends the call without a message.
// *taken counts every byte this call read.
bool ReadFrame(InstanceWorkspace &ws, FrameCut &cut, uint32_t *taken);

// Cuts text at its first CR within length characters. Returns the number
// after a leading "ERROR", or 0 for anything else.
int16_t CheckErrorReply(char *text, uint32_t length);

// Cuts text at its "=" and gives the value to the host's gate of that
// address. True when the host accepted it.
bool DeliverReport(InstanceWorkspace &ws, char *text);

// What the receiver does with a frame of length bytes in buffer (terminated
// after them): error replies are logged, reports delivered and traced.
void HandleFrame(InstanceWorkspace &ws, char *buffer, uint32_t length);

}  // namespace ulo

#endif  // ULOPR1_PROTOCOL_RECEIVER_H
