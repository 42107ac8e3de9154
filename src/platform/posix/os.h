// The operating-system calls the driver uses, on Linux: the same small subset
// of the Win32 API and C runtime that the Windows build takes from
// <windows.h>, implemented over termios, flock, eventfd and pthreads.
//
// Handles are 32-bit values from a fixed table. A handle value carries a
// generation, so a stale copy of a closed handle never names a newer object.
// Closing a port wakes any thread blocked reading it; that read then fails.
#ifndef ULOPR1_PLATFORM_POSIX_OS_H
#define ULOPR1_PLATFORM_POSIX_OS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

using DWORD = uint32_t;
using BOOL = int;
using BYTE = uint8_t;
using WORD = uint16_t;
using HANDLE = uint32_t;  // 0 is never a valid handle

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;

// Line state, with the members of the Win32 record of the same name.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};

// Timeouts in milliseconds. Only the total read constant is honoured: a read
// waits up to ReadTotalTimeoutConstant for the whole count, with no limit
// between characters; 0 waits until the whole count has come (or the port is
// closed). A port opens with all five at 0. Writes wait as long as they need.
struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
  DWORD flags;
  DWORD cbInQue;  // bytes waiting: the device queue plus the read-ahead
  DWORD cbOutQue;
};

// Port names: "NUL" (any case) opens /dev/null (never configured). If
// ULO_PORT_DIR names a port folder, every other name resolves only there: the
// entry named exactly like the port is opened, and a name without an entry
// cannot be opened. Without it, COMn is /dev/ttyS(n-1), a name starting with
// '/' is a path and any other name is looked up under /dev/. A device already
// open in this or another process is refused; "NUL" may be open many times.
// Only OPEN_EXISTING is accepted: nothing is ever created. Returns
// INVALID_HANDLE_VALUE on failure.
//
// A port-folder entry whose link target, or whose one-line regular file, is
// "tcp://HOST:PORT" or "rfc2217://HOST:PORT" (HOST a name, an IPv4 address
// or a bracketed IPv6 address) is a network port: the open connects to that
// serial device server (within 5 s), once per process for each HOST:PORT. It
// reads, writes and counts waiting bytes like a terminal. Over tcp:// its
// line state is checked and kept but never sent (the server's settings
// apply); over rfc2217:// (telnet with the COM-port-control option) the
// baud rate, data bits, parity and stop bits are sent at the open and at
// every SetCommState, and the open fails when the server refuses the option
// or gives no telnet answer within 3 s. A closed connection fails reads and
// writes, as an unplugged adapter does. An entry that cannot be read, or
// names a malformed address, cannot be opened.
//
// Line state, timeouts, queue sizes and ClearCommError need a terminal or a
// network port: on "NUL" or any other device they fail. Members of DCB without
// a termios meaning (fBinary, fParity, ErrorChar, fAbortOnError,
// fTXContinueOnXoff...) are kept per handle and read back as set. Line errors
// are not reported: ClearCommError's errors is always 0.
HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL CloseHandle(HANDLE handle);
BOOL GetCommState(HANDLE port, DCB *dcb);
BOOL SetCommState(HANDLE port, const DCB *dcb);
BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts);
BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS *timeouts);
BOOL SetupComm(HANDLE port, DWORD in_queue, DWORD out_queue);
// Clears pending line errors; stat->cbInQue counts the bytes waiting.
BOOL ClearCommError(HANDLE port, DWORD *errors, COMSTAT *stat);
// Synchronous read and write; overlapped must be null. A read that times out
// succeeds with fewer bytes (possibly 0), as does a read at end of file
// ("NUL" reads 0 bytes at once). A write sends everything or fails. A call
// blocked on a port that another thread closes fails.
BOOL ReadFile(HANDLE port, void *buffer, DWORD count, DWORD *read,
              void *overlapped);
BOOL WriteFile(HANDLE port, const void *buffer, DWORD count, DWORD *written,
               void *overlapped);

// Events: auto-reset only (manual_reset must be FALSE), unnamed. Returns 0
// on failure, as Windows does.
HANDLE CreateEventA(void *security, BOOL manual_reset, BOOL initial_state,
                    const char *name);
BOOL SetEvent(HANDLE event);
// WAIT_OBJECT_0 (and the event is reset), WAIT_TIMEOUT or WAIT_FAILED (also
// for a wait the event's close cuts short).
DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds);

void Sleep(DWORD milliseconds);

// Starts a detached thread with at least the given stack size and never less
// than 1 MiB (Windows commits the size asked inside a larger reservation).
// Returns a non-zero value, or (uintptr_t)-1 on failure.
uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *arg);

// Letters a to z become A to Z in place; every other byte stays.
char *_strupr(char *text);

// Opens a file for reading in binary mode if it is a regular file. Anything
// else (a FIFO, a device, a folder) is not opened, and never blocks the
// caller: null, as for a missing file.
std::FILE *OpenRegularFile(const char *name);

#endif  // ULOPR1_PLATFORM_POSIX_OS_H
