#include "handles.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "platform/syscalls.h"

namespace ulo::os {
namespace {

constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
// The last generation stays below the one that would make a value of
// INVALID_HANDLE_VALUE.
constexpr uint32_t kLastGeneration = (0xFFFFFFFFu >> kIndexBits) - 1;

Slot slots[kSlots];
std::mutex peers;  // guards every slot's peer

void ReleasePeer(Slot &slot) {
  if (!slot.peer[0]) return;
  std::lock_guard lock(peers);
  slot.peer[0] = '\0';
}

void ResetPort(PortState &port, Kind kind) {
  port.head = port.tail = 0;
  port.buffered.store(0, std::memory_order_relaxed);
  std::memset(&port.dcb, 0, sizeof port.dcb);
  port.dcb.DCBlength = sizeof(DCB);
  port.dcb.fBinary = 1;
  // Opening a terminal raises DTR and RTS.
  port.dcb.fDtrControl = DTR_CONTROL_ENABLE;
  port.dcb.fRtsControl = RTS_CONTROL_ENABLE;
  // A network port reads back the settings of a usual device server line.
  if (kind == kNet) {
    port.dcb.BaudRate = 9600;
    port.dcb.ByteSize = 8;
  }
  port.timeouts = COMMTIMEOUTS{};
  port.in_queue = port.out_queue = 0;
  port.telnet = false;
  port.decoder = TelnetDecoder{};
}

}  // namespace

Slot *Reserve() {
  for (Slot &slot : slots) {
    std::lock_guard lock(slot.mu);
    if (slot.state == SlotState::kFree) {
      slot.state = SlotState::kReserved;
      return &slot;
    }
  }
  return nullptr;
}

bool ClaimPeer(Slot &slot, const char *peer) {
  std::lock_guard lock(peers);
  for (const Slot &other : slots) {
    if (std::strcmp(other.peer, peer) == 0) return false;
  }
  std::snprintf(slot.peer, sizeof slot.peer, "%s", peer);
  return true;
}

void Unreserve(Slot &slot) {
  ReleasePeer(slot);
  std::lock_guard lock(slot.mu);
  slot.state = SlotState::kFree;
}

HANDLE Publish(Slot &slot, Kind kind, int fd, int wake) {
  std::lock_guard lock(slot.mu);
  ResetPort(slot.port, kind);
  slot.kind = kind;
  slot.fd = fd;
  slot.wake = wake;
  slot.users = 0;
  slot.value =
      (slot.generation << kIndexBits) | static_cast<HANDLE>(&slot - slots + 1);
  slot.state = SlotState::kOpen;
  return slot.value;
}

Slot *Acquire(HANDLE value, unsigned kinds) {
  size_t index = (value & kIndexMask) - 1;
  if (index >= kSlots) return nullptr;
  Slot &slot = slots[index];
  std::lock_guard lock(slot.mu);
  if (slot.state != SlotState::kOpen || slot.value != value ||
      (slot.kind & kinds) == 0) {
    return nullptr;
  }
  ++slot.users;
  return &slot;
}

void Release(Slot &slot) {
  std::lock_guard lock(slot.mu);
  if (--slot.users == 0 && slot.state == SlotState::kClosing) {
    slot.idle.notify_all();
  }
}

bool Closing(Slot &slot) {
  std::lock_guard lock(slot.mu);
  return slot.state == SlotState::kClosing;
}

}  // namespace ulo::os

// Marks the slot closing (new calls on the value fail at once), wakes the
// calls under way and waits for them to leave, and only then closes the
// descriptors, so a blocked call never sees its descriptor number reused.
BOOL CloseHandle(HANDLE handle) {
  using namespace ulo::os;
  size_t index = (handle & kIndexMask) - 1;
  if (index >= kSlots) return FALSE;
  Slot &slot = slots[index];
  std::unique_lock lock(slot.mu);
  if (slot.state != SlotState::kOpen || slot.value != handle) return FALSE;
  slot.state = SlotState::kClosing;
  const ulo::sys::Table &sys = ulo::sys::Current();
  if (slot.wake >= 0) {
    uint64_t one = 1;
    sys.write(slot.wake, &one, sizeof one);
  }
  slot.idle.wait(lock, [&slot] { return slot.users == 0; });
  lock.unlock();

  bool closed = true;
  // Clear the exclusive mode first: whoever else holds the terminal open
  // must not keep a later open of ours out.
  if (slot.kind == kTty) sys.ioctl(slot.fd, TIOCNXCL, nullptr);
  if (sys.close(slot.fd) != 0) closed = false;
  if (slot.wake >= 0 && slot.wake != slot.fd && sys.close(slot.wake) != 0) {
    closed = false;
  }

  // Only now that the connection is gone may another open make a new one.
  ReleasePeer(slot);
  lock.lock();
  slot.fd = slot.wake = -1;
  slot.value = 0;
  // A slot whose generations are spent is never used again, so no value
  // ever names two objects.
  if (slot.generation == kLastGeneration) {
    slot.state = SlotState::kRetired;
  } else {
    ++slot.generation;
    slot.state = SlotState::kFree;
  }
  return closed ? TRUE : FALSE;
}
