// Ports: open with exclusion, line state over termios, timed reads through a
// read-ahead buffer, complete writes. A network port takes the same paths
// over its socket.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "deadline.h"
#include "handles.h"
#include "line_state.h"
#include "network_port.h"
#include "os.h"
#include "platform/port_name.h"
#include "platform/syscalls.h"
#include "telnet.h"
#include "termios2.h"

namespace ulo::os {
namespace {

constexpr DWORD kOverlapped = 0x40000000u;  // FILE_FLAG_OVERLAPPED
constexpr size_t kPathSize = 4096;
// How long an open waits for a device server to take the connection, for
// its telnet answer, and for its answers to the line settings (after which
// the open goes on without them: some servers never answer).
constexpr int kConnectTimeoutMs = 5000;
constexpr uint32_t kTelnetAnswerMs = 3000;
constexpr uint32_t kSettingsAnswerMs = 1000;

int AccessMode(DWORD access) {
  bool reads = access & GENERIC_READ;
  bool writes = access & GENERIC_WRITE;
  if (reads && writes) return O_RDWR;
  if (reads) return O_RDONLY;
  return writes ? O_WRONLY : -1;
}

// Opens path for the port. A device is locked (flock, which holds for root
// too) and, if a terminal, put into exclusive mode (TIOCEXCL, which keeps
// other users' opens out before they start). /dev/null is shared and never
// blocks, so it needs neither the lock nor a wake-up descriptor.
bool OpenDevice(const char *path, int mode, int &fd, int &wake, Kind &kind) {
  const sys::Table &sys = sys::Current();
  fd = sys.open(path, mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0);
  if (fd < 0) return false;
  kind = kFile;
  if (std::strcmp(path, "/dev/null") == 0) return true;
  if (sys.flock(fd, LOCK_EX | LOCK_NB) == 0) {
    wake = sys.eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake >= 0) {
      if (sys.ioctl(fd, TIOCEXCL, nullptr) == 0) {
        kind = kTty;
        return true;
      }
      if (errno == ENOTTY) return true;
      sys.close(wake);
    }
  }
  sys.close(fd);
  return false;
}

// Connects to a device server, once per process for each server port.
bool OpenNetwork(Slot &slot, const NetworkAddress &address, int &fd,
                 int &wake) {
  if (!ClaimPeer(slot, address.peer)) return false;
  wake = sys::Current().eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return false;
  fd = ConnectNetwork(address, kConnectTimeoutMs);
  if (fd >= 0) return true;
  sys::Current().close(wake);
  return false;
}

bool ReadLineState(Slot &slot, DCB &dcb) {
  if (slot.kind == kNet) {
    std::lock_guard lock(slot.mu);
    dcb = slot.port.dcb;
    return true;
  }
  termios state;
  if (sys::Current().tcgetattr(slot.fd, &state) != 0) return false;
  DCB result;
  {
    std::lock_guard lock(slot.mu);
    result = slot.port.dcb;
  }
  TermiosToDcb(state, result);
  if ((state.c_cflag & CBAUD) == kArbitraryRate) {
    termios2 exact;
    if (sys::Current().ioctl(slot.fd, TCGETS2, &exact) != 0) return false;
    result.BaudRate = exact.c_ospeed;
  }
  dcb = result;
  return true;
}

bool SetArbitraryRate(int fd, const termios &state, DWORD baud) {
  termios2 exact{};
  exact.c_iflag = state.c_iflag;
  exact.c_oflag = state.c_oflag;
  exact.c_cflag = (state.c_cflag & ~(CBAUD | CIBAUD)) | kArbitraryRate;
  exact.c_lflag = state.c_lflag;
  exact.c_line = state.c_line;
  std::memcpy(exact.c_cc, state.c_cc, sizeof exact.c_cc);
  exact.c_ispeed = exact.c_ospeed = baud;
  return sys::Current().ioctl(fd, TCSETS2, &exact) == 0;
}

// Pseudo-terminals have no modem lines; that is not a failure.
bool ChangeModemLines(int fd, unsigned long request, int lines) {
  return lines == 0 || sys::Current().ioctl(fd, request, &lines) == 0 ||
         errno == ENOTTY || errno == EINVAL;
}

// DTR is up unless disabled. RTS is up when enabled, left to the kernel
// under handshake, and down otherwise (toggle's level while idle).
bool SetModemLines(int fd, const DCB &dcb) {
  int raise = 0;
  int lower = 0;
  (dcb.fDtrControl == DTR_CONTROL_DISABLE ? lower : raise) |= TIOCM_DTR;
  if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
    raise |= TIOCM_RTS;
  } else if (dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
    lower |= TIOCM_RTS;
  }
  return ChangeModemLines(fd, TIOCMBIS, raise) &&
         ChangeModemLines(fd, TIOCMBIC, lower);
}

// Sets the line; a network port's line is the server's, so there the state
// is only checked.
bool ApplyLineState(const Slot &slot, const DCB &dcb) {
  termios state{};
  if (slot.kind == kNet) return DcbToTermios(dcb, state);
  if (sys::Current().tcgetattr(slot.fd, &state) != 0 ||
      !DcbToTermios(dcb, state)) {
    return false;
  }
  bool applied = SpeedOf(dcb.BaudRate) != B0
                     ? sys::Current().tcsetattr(slot.fd, TCSANOW, &state) == 0
                     : SetArbitraryRate(slot.fd, state, dcb.BaudRate);
  return applied && SetModemLines(slot.fd, dcb);
}

bool SendSettings(Slot &slot, const DCB &dcb);

bool WriteLineState(Slot &slot, const DCB &dcb) {
  if (!ApplyLineState(slot, dcb) ||
      (slot.port.telnet && !SendSettings(slot, dcb))) {
    return false;
  }
  std::lock_guard lock(slot.mu);
  slot.port.dcb = dcb;
  slot.port.dcb.DCBlength = sizeof(DCB);
  return true;
}

// Waits until the port's descriptor has events or its close begins; false
// for the close or a failed wait.
bool Wait(const Slot &slot, short events, int timeout_ms) {
  pollfd fds[2] = {{slot.fd, events, 0}, {slot.wake, POLLIN, 0}};
  if (sys::Current().poll(fds, 2, timeout_ms) < 0) return errno == EINTR;
  return fds[1].revents == 0;
}

// A terminal hung up, or a socket whose peer has closed (or reset) the
// connection.
bool HungUp(int fd) {
  pollfd line = {fd, POLLIN | POLLRDHUP, 0};
  return sys::Current().poll(&line, 1, 0) > 0 &&
         (line.revents & (POLLHUP | POLLERR | POLLNVAL | POLLRDHUP));
}

DWORD Take(PortState &port, BYTE *out, DWORD count) {
  DWORD taken = std::min(count, port.tail - port.head);
  std::memcpy(out, port.ahead + port.head, taken);
  port.head += taken;
  port.buffered.store(port.tail - port.head, std::memory_order_relaxed);
  return taken;
}

// Reads what the device has into room bytes at into and returns read's
// result; data is how many data bytes that left there (on a telnet port,
// possibly none).
ssize_t ReadSome(Slot &slot, BYTE *into, size_t room, DWORD &data) {
  ssize_t n = sys::Current().read(slot.fd, into, room);
  data = n > 0 ? static_cast<DWORD>(n) : 0;
  if (n > 0 && slot.port.telnet) {
    data = DecodeTelnet(slot.port.decoder, into, data);
  }
  return n;
}

int64_t ReadDeadline(Slot &slot) {
  std::lock_guard lock(slot.mu);
  DWORD constant = slot.port.timeouts.ReadTotalTimeoutConstant;
  return constant == 0 ? kNoDeadline : DeadlineAfter(constant);
}

// Fills out from the read-ahead and the device until count bytes have come
// or the read's total timeout has passed (true either way); false when the
// device fails or the port is being closed.
bool ReadAll(Slot &slot, BYTE *out, DWORD count, DWORD &got) {
  PortState &port = slot.port;
  got = Take(port, out, count);
  if (got == count) return true;
  int64_t deadline = ReadDeadline(slot);
  for (;;) {
    DWORD data = 0;
    ssize_t n = ReadSome(slot, port.ahead, kReadAhead, data);
    if (n > 0) {
      port.head = 0;
      port.tail = data;
      got += Take(port, out + got, count - got);
      if (got == count) return true;
      continue;
    }
    if (n == 0) {
      // A network port's server has closed the connection: the line is gone.
      if (slot.kind == kNet) return false;
      // End of file, or on a terminal a hang-up (or an empty queue, if
      // someone else left VMIN at 0).
      if (slot.kind != kTty) return true;
      if (HungUp(slot.fd)) return false;
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EAGAIN) {
      return false;
    }
    int left = Remaining(deadline);
    if (left == 0) return true;
    if (!Wait(slot, POLLIN, left)) return false;
  }
}

// A socket whose peer has gone fails the write rather than raising SIGPIPE.
ssize_t WriteSome(const Slot &slot, const BYTE *data, size_t count) {
  const sys::Table &sys = sys::Current();
  return slot.kind == kNet ? sys.send(slot.fd, data, count, MSG_NOSIGNAL)
                           : sys.write(slot.fd, data, count);
}

bool SendAll(Slot &slot, const BYTE *data, DWORD count, DWORD &done) {
  while (done < count) {
    ssize_t n = WriteSome(slot, data + done, count - done);
    if (n > 0) {
      done += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if ((n == 0 || errno == EAGAIN) && Wait(slot, POLLOUT, -1)) continue;
    return false;
  }
  return true;
}

bool WriteAll(Slot &slot, const BYTE *data, DWORD count, DWORD &done) {
  // The first write after a server's close would still go through: a
  // device server never closes only its sending half, so the line is gone.
  if (slot.kind == kNet && HungUp(slot.fd)) return false;
  if (!slot.port.telnet) return SendAll(slot, data, count, done);
  // With every IAC doubled, a piece at a time: a piece counts as written
  // once all of it has gone.
  constexpr DWORD kPiece = 256;
  BYTE escaped[2 * kPiece];
  while (done < count) {
    DWORD piece = std::min(kPiece, count - done);
    DWORD sent = 0;
    if (!SendAll(slot, escaped, EscapeIac(data + done, piece, escaped), sent)) {
      return false;
    }
    done += piece;
  }
  return true;
}

// Moves what the socket has into the read-ahead, decoded (read_lock held);
// false once the connection has ended or failed.
bool Fill(Slot &slot) {
  PortState &port = slot.port;
  DWORD held = port.tail - port.head;
  std::memmove(port.ahead, port.ahead + port.head, held);
  port.head = 0;
  port.tail = held;
  bool open = true;
  while (port.tail < kReadAhead) {
    DWORD data = 0;
    ssize_t n =
        ReadSome(slot, port.ahead + port.tail, kReadAhead - port.tail, data);
    if (n > 0) {
      port.tail += data;
    } else if (n == 0 || errno != EINTR) {
      open = n < 0 && errno == EAGAIN;
      break;
    }
  }
  port.buffered.store(port.tail, std::memory_order_relaxed);
  return open;
}

// Sends the refusals the decoder owes the server.
bool SendReplies(Slot &slot) {
  TelnetDecoder &decoder = slot.port.decoder;
  DWORD sent = 0;
  std::lock_guard lock(slot.port.write_lock);
  bool done = SendAll(slot, decoder.replies, decoder.reply_length, sent);
  decoder.reply_length = 0;
  return done;
}

bool SendSettings(Slot &slot, const DCB &dcb) {
  BYTE settings[kSettingsSize];
  DWORD sent = 0;
  std::lock_guard lock(slot.port.write_lock);
  return SendAll(slot, settings, ComPortSettings(dcb, settings), sent);
}

// Takes in and answers what the server sends until done() holds; false
// when the deadline passes first or the connection ends.
template <typename Done>
bool AwaitServer(Slot &slot, int64_t deadline, Done done) {
  for (;;) {
    {
      std::lock_guard lock(slot.port.read_lock);
      if (!Fill(slot) || !SendReplies(slot)) return false;
      if (done()) return true;
    }
    int left = Remaining(deadline);
    if (left == 0 || !Wait(slot, POLLIN, left)) return false;
  }
}

// Greets an RFC 2217 server and sets its line from the port's settings.
// Fails when the server refuses the COM-port option or gives no telnet
// answer in time; the answers to the settings are awaited only briefly.
bool StartTelnet(Slot &slot) {
  PortState &port = slot.port;
  port.telnet = true;
  BYTE greeting[16];
  DWORD sent = 0;
  if (!SendAll(slot, greeting, TelnetGreeting(greeting), sent) ||
      !AwaitServer(
          slot, DeadlineAfter(kTelnetAnswerMs),
          [&port] { return port.decoder.com_port != Agreement::kPending; }) ||
      port.decoder.com_port != Agreement::kAccepted ||
      !SendSettings(slot, port.dcb)) {
    return false;
  }
  AwaitServer(slot, DeadlineAfter(kSettingsAnswerMs), [&port] {
    return (port.decoder.answered & kSettingsAnswered) == kSettingsAnswered;
  });
  return true;
}

bool CountWaiting(Slot &slot, DWORD *errors, COMSTAT *stat) {
  // A telnet port's socket queue holds commands too: it is decoded into the
  // read-ahead first (unless a read under way is taking it itself), and then
  // only the read-ahead counts.
  if (slot.port.telnet) {
    std::unique_lock lock(slot.port.read_lock, std::try_to_lock);
    if (lock) Fill(slot);
  }
  // The buffer first: a read moving bytes in between is then missed rather
  // than counted twice.
  DWORD buffered = slot.port.buffered.load(std::memory_order_relaxed);
  int queued = 0;
  int pending = 0;
  const sys::Table &sys = sys::Current();
  if (sys.ioctl(slot.fd, FIONREAD, &queued) != 0 ||
      sys.ioctl(slot.fd, TIOCOUTQ, &pending) != 0) {
    return false;
  }
  if (slot.port.telnet) queued = 0;
  if (errors) *errors = 0;
  if (stat) {
    *stat = COMSTAT{0, buffered + static_cast<DWORD>(queued),
                    static_cast<DWORD>(pending)};
  }
  return true;
}

}  // namespace
}  // namespace ulo::os

using ulo::os::Slot;

HANDLE CreateFileA(const char *name, DWORD access, DWORD, void *,
                   DWORD disposition, DWORD flags, HANDLE) {
  using namespace ulo::os;
  char path[kPathSize];
  int mode = AccessMode(access);
  const char *port_dir = std::getenv("ULO_PORT_DIR");
  if (!name || disposition != OPEN_EXISTING || (flags & kOverlapped) ||
      mode < 0 || !PortPath(name, port_dir, path, sizeof path)) {
    return INVALID_HANDLE_VALUE;
  }
  // Only port-folder entries name network ports.
  NetworkAddress address;
  EntryKind entry =
      port_dir && *port_dir ? ReadPortEntry(path, address) : EntryKind::kDevice;
  if (entry == EntryKind::kUnusable) return INVALID_HANDLE_VALUE;
  Slot *slot = Reserve();
  if (!slot) return INVALID_HANDLE_VALUE;
  int fd = -1;
  int wake = -1;
  Kind kind = kNet;
  if (entry == EntryKind::kNetwork ? !OpenNetwork(*slot, address, fd, wake)
                                   : !OpenDevice(path, mode, fd, wake, kind)) {
    Unreserve(*slot);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = Publish(*slot, kind, fd, wake);
  if (entry == EntryKind::kNetwork && address.telnet && !StartTelnet(*slot)) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

BOOL GetCommState(HANDLE port, DCB *dcb) {
  return dcb && ulo::os::WithSlot(port, ulo::os::kLine, [dcb](Slot &slot) {
           return ulo::os::ReadLineState(slot, *dcb);
         });
}

BOOL SetCommState(HANDLE port, const DCB *dcb) {
  return dcb && ulo::os::WithSlot(port, ulo::os::kLine, [dcb](Slot &slot) {
           return ulo::os::WriteLineState(slot, *dcb);
         });
}

BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS *timeouts) {
  return timeouts &&
         ulo::os::WithSlot(port, ulo::os::kLine, [timeouts](Slot &slot) {
           std::lock_guard lock(slot.mu);
           *timeouts = slot.port.timeouts;
           return true;
         });
}

BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS *timeouts) {
  return timeouts &&
         ulo::os::WithSlot(port, ulo::os::kLine, [timeouts](Slot &slot) {
           std::lock_guard lock(slot.mu);
           slot.port.timeouts = *timeouts;
           return true;
         });
}

BOOL SetupComm(HANDLE port, DWORD in_queue, DWORD out_queue) {
  return ulo::os::WithSlot(port, ulo::os::kLine, [=](Slot &slot) {
    std::lock_guard lock(slot.mu);
    slot.port.in_queue = in_queue;
    slot.port.out_queue = out_queue;
    return true;
  });
}

BOOL ClearCommError(HANDLE port, DWORD *errors, COMSTAT *stat) {
  return ulo::os::WithSlot(port, ulo::os::kLine, [=](Slot &slot) {
    return ulo::os::CountWaiting(slot, errors, stat);
  });
}

BOOL ReadFile(HANDLE port, void *buffer, DWORD count, DWORD *read,
              void *overlapped) {
  DWORD got = 0;
  BOOL done =
      buffer && !overlapped &&
      ulo::os::WithSlot(port, ulo::os::kAnyPort, [&](Slot &slot) {
        std::lock_guard lock(slot.port.read_lock);
        return ulo::os::ReadAll(slot, static_cast<BYTE *>(buffer), count, got);
      });
  if (read) *read = got;
  return done;
}

BOOL WriteFile(HANDLE port, const void *buffer, DWORD count, DWORD *written,
               void *overlapped) {
  DWORD done = 0;
  BOOL ok = buffer && !overlapped &&
            ulo::os::WithSlot(port, ulo::os::kAnyPort, [&](Slot &slot) {
              std::lock_guard lock(slot.port.write_lock);
              return ulo::os::WriteAll(slot, static_cast<const BYTE *>(buffer),
                                       count, done);
            });
  if (written) *written = done;
  return ok;
}
