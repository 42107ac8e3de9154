// The report-by-exception receiver: one thread per started instance that
// watches the port, cuts the controller's bytes into frames and hands each
// report to the host as a gate value.
#ifndef ULOPR1_PROTOCOL_RECEIVER_H
#define ULOPR1_PROTOCOL_RECEIVER_H

#include <cstdint>

#include "driver/workspace.h"

namespace ulo {

constexpr char kStx = 2;
constexpr char kEtx = 3;
constexpr char kCr = 13;

// A frame buffer: at most kFrameLimit stored bytes and a terminator.
constexpr uint32_t kFrameBufferSize = 100;
constexpr uint32_t kFrameLimit = 98;
// Report addresses hold at most this many characters.
constexpr uint32_t kAddressLimit = 31;

// Thread body; arg is the InstanceWorkspace.
void ReportByExceptionThread(void *arg);

// Reads one frame from the workspace's port into buffer (kFrameBufferSize
// bytes, zeroed by the caller). True when it ended in ETX; *length then counts
// the bytes from the last STX to the ETX. *taken counts every byte read from
// the port, stray bytes before the frame's STX included, success or not.
bool ReadFrame(InstanceWorkspace &ws, char *buffer, uint32_t *length,
               uint32_t *taken);

// Cuts text at its first CR within length characters. Returns the number
// after a leading "ERROR", or 0 for anything else.
int16_t CheckErrorReply(char *text, uint32_t length);

// Cuts text at its "=" and gives the value to the host's gate of that
// address. True when the host accepted it.
bool DeliverReport(InstanceWorkspace &ws, char *text);

// What the receiver does with a frame of length bytes in buffer: error
// replies are logged, reports delivered and traced.
void HandleFrame(InstanceWorkspace &ws, char *buffer, uint32_t length);

// ReadFrame for a frame whose first `stored` bytes (an STX) are already in
// buffer: the echo reader hands over a report that arrives during a write.
// taken may be null.
bool ReadFrameRest(InstanceWorkspace &ws, char *buffer, uint32_t stored,
                   uint32_t *length, uint32_t *taken);

}  // namespace ulo

#endif  // ULOPR1_PROTOCOL_RECEIVER_H
