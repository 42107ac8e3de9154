// Auto-reset events over eventfd: reading the counter is the reset.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <cstdint>

#include "deadline.h"
#include "handles.h"
#include "os.h"
#include "platform/syscalls.h"

namespace ulo::os {
namespace {

DWORD Await(Slot &slot, DWORD milliseconds) {
  int64_t deadline =
      milliseconds == INFINITE ? kNoDeadline : DeadlineAfter(milliseconds);
  for (;;) {
    // The close wakes waiters through the counter; that is no signal.
    if (Closing(slot)) return WAIT_FAILED;
    uint64_t count;
    if (sys::Current().read(slot.fd, &count, sizeof count) == sizeof count) {
      return Closing(slot) ? WAIT_FAILED : WAIT_OBJECT_0;
    }
    if (errno != EAGAIN && errno != EINTR) return WAIT_FAILED;
    int left = Remaining(deadline);
    if (left == 0) return WAIT_TIMEOUT;
    pollfd event = {slot.fd, POLLIN, 0};
    if (sys::Current().poll(&event, 1, left) < 0 && errno != EINTR) {
      return WAIT_FAILED;
    }
  }
}

}  // namespace
}  // namespace ulo::os

HANDLE CreateEventA(void *, BOOL manual_reset, BOOL initial_state,
                    const char *name) {
  using namespace ulo::os;
  if (manual_reset || name) return 0;
  Slot *slot = Reserve();
  if (!slot) return 0;
  int fd = ulo::sys::Current().eventfd(initial_state ? 1 : 0,
                                       EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    Unreserve(*slot);
    return 0;
  }
  return Publish(*slot, kEvent, fd, fd);
}

BOOL SetEvent(HANDLE event) {
  return ulo::os::WithSlot(event, ulo::os::kEvent, [](ulo::os::Slot &slot) {
    uint64_t one = 1;
    // A full counter is an event that is set already.
    return ulo::sys::Current().write(slot.fd, &one, sizeof one) == sizeof one ||
           errno == EAGAIN;
  });
}

DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds) {
  ulo::os::Slot *slot = ulo::os::Acquire(event, ulo::os::kEvent);
  if (!slot) return WAIT_FAILED;
  DWORD result = ulo::os::Await(*slot, milliseconds);
  ulo::os::Release(*slot);
  return result;
}
