#include "serial/serial_port.h"

#include <cstring>

#include "platform/handle_word.h"

namespace ulo {
namespace {

constexpr uint32_t kQueueSize = 1200;
constexpr uint32_t kMaxReadTimeoutMs = 600000;

// The DTR and RTS choices carried by the control flags.
DWORD DtrControl(uint16_t flags) {
  if (flags & 0x0101) return DTR_CONTROL_ENABLE;
  if (flags & 0x8000) return DTR_CONTROL_HANDSHAKE;
  return DTR_CONTROL_DISABLE;
}

DWORD RtsControl(uint16_t flags) {
  if (flags & 0x0202) return RTS_CONTROL_ENABLE;
  if (flags & 0x1000) return RTS_CONTROL_HANDSHAKE;
  if (flags & 0x2000) return RTS_CONTROL_TOGGLE;
  return RTS_CONTROL_DISABLE;
}

// The null device, whose name the system takes in any case: it is opened
// but has no line to configure.
bool IsNullDevice(const char *name) {
  char upper[4];
  if (strnlen(name, sizeof upper) != 3) return false;
  std::memcpy(upper, name, sizeof upper);
  return std::strcmp(_strupr(upper), "NUL") == 0;
}

}  // namespace

uint32_t ReadTimeoutMs(int32_t units) {
  if (units <= 0) return kOpenReadTimeoutMs;
  int64_t ms = int64_t{units} * 10;
  return ms > kMaxReadTimeoutMs ? kMaxReadTimeoutMs : uint32_t(ms);
}

int OpenPort(const char *name, const LineSettings &line, uint16_t control_flags,
             uint32_t *handle) {
  HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  if (port == INVALID_HANDLE_VALUE) return kPortOpenFailed;
  if (IsNullDevice(name)) {
    *handle = HandleWord(port);
    return kPortOk;
  }
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) {
    CloseHandle(port);
    return kPortNoLineState;
  }
  COMMTIMEOUTS timeouts = {0, 0, kOpenReadTimeoutMs, 0, 0};
  if (!SetCommTimeouts(port, &timeouts)) {
    CloseHandle(port);
    return kPortOpenFailed;
  }
  dcb.BaudRate = line.baud;
  dcb.fBinary = TRUE;
  dcb.fParity = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DtrControl(control_flags);
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RtsControl(control_flags);
  dcb.fAbortOnError = FALSE;
  dcb.ByteSize = BYTE(line.data_bits & 0xFF);
  dcb.Parity = BYTE(line.parity & 0xFF);
  dcb.StopBits = BYTE(line.stop_bits & 0xFF);
  dcb.ErrorChar = char(0xFC);
  if (!SetCommState(port, &dcb)) {
    CloseHandle(port);
    return kPortBadLineState;
  }
  SetupComm(port, kQueueSize, kQueueSize);
  *handle = HandleWord(port);
  return kPortOk;
}

int ClosePort(uint32_t handle) {
  return CloseHandle(WordHandle(handle)) ? kPortOk : kPortIoFailed;
}

int32_t SetReadTimeout(uint32_t handle, int32_t units) {
  HANDLE port = WordHandle(handle);
  COMMTIMEOUTS timeouts;
  if (!GetCommTimeouts(port, &timeouts)) return 0;
  int32_t previous = int32_t(timeouts.ReadTotalTimeoutConstant / 10);
  DWORD wanted = ReadTimeoutMs(units);
  if (timeouts.ReadTotalTimeoutConstant != wanted) {
    timeouts.ReadTotalTimeoutConstant = wanted;
    if (!SetCommTimeouts(port, &timeouts)) return 0;
  }
  return previous;
}

int WritePort(uint32_t handle, const void *bytes, uint32_t count,
              uint32_t *written) {
  DWORD done = 0;
  if (!WriteFile(WordHandle(handle), bytes, count, &done, nullptr))
    return kPortIoFailed;
  if (written) *written = done;
  return done < count ? kPortShortWrite : kPortOk;
}

int ReadPort(uint32_t handle, void *buffer, uint32_t count,
             uint32_t *received) {
  uint32_t total = 0;
  if (received) *received = 0;
  while (total < count) {
    DWORD got = 0;
    WORD want = WORD(count - total);
    if (!ReadFile(WordHandle(handle), static_cast<char *>(buffer) + total, want,
                  &got, nullptr) ||
        got == 0)
      return kPortIoFailed;
    total += got;
    if (received) *received = total;
  }
  return kPortOk;
}

uint32_t BytesWaiting(uint32_t handle) {
  DWORD errors = 0;
  COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  if (!ClearCommError(WordHandle(handle), &errors, &stat)) return 0;
  return stat.cbInQue;
}

}  // namespace ulo
