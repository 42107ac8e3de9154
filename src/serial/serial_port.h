// Every operation on a serial port, by its handle. None of them logs:
// callers decide what to say. Handles are the 32-bit values the workspace
// keeps (0 is none); what the instance does with its port is in line/.
#ifndef ULOPR1_SERIAL_SERIAL_PORT_H
#define ULOPR1_SERIAL_SERIAL_PORT_H

#include <cstdint>

#include "ulopr1/ulo.h"

namespace ulo {

// Result codes of OpenPort, ClosePort, WritePort and ReadPort.
enum PortCode : int {
  kPortOk = 0,
  kPortOpenFailed = 1,    // could not open, or timeouts could not be set
  kPortShortWrite = 2,    // fewer bytes went out than asked
  kPortNoLineState = 4,   // the current line state could not be read
  kPortBadLineState = 5,  // the new line state was not accepted
  kPortIoFailed = 7       // read, write or close failed, or a read timed out
};

// The total-read-timeout a new port gets, in milliseconds.
constexpr uint32_t kOpenReadTimeoutMs = 1000;

// Milliseconds the port waits for a whole read, for a read timeout in units
// of 10 ms. Values of 0 or less would mean "wait forever" (0) or a huge wait
// (negative), so they get the one second a new port has; large values are
// capped at ten minutes so the multiplication cannot overflow.
uint32_t ReadTimeoutMs(int32_t units);

// Opens and configures a port. On kPortOk *handle is open; on any other code
// nothing is left open. "NUL" is opened and left unconfigured.
int OpenPort(const char *name, const LineSettings &line, uint16_t control_flags,
             uint32_t *handle);
// kPortOk, or kPortIoFailed when the system refuses to close it.
int ClosePort(uint32_t handle);
// Sets the total-read-timeout to units x 10 ms if it differs. Returns the
// previous constant / 10, or 0 when the timeouts could not be read or set.
int32_t SetReadTimeout(uint32_t handle, int32_t units);
// written may be null.
int WritePort(uint32_t handle, const void *bytes, uint32_t count,
              uint32_t *written);
// Reads until count bytes have come; a failed or empty read ends it with
// kPortIoFailed. *received (may be null) holds the running total.
int ReadPort(uint32_t handle, void *buffer, uint32_t count, uint32_t *received);
// Bytes in the input queue, clearing pending line errors; 0 on failure.
uint32_t BytesWaiting(uint32_t handle);

}  // namespace ulo

#endif  // ULOPR1_SERIAL_SERIAL_PORT_H
