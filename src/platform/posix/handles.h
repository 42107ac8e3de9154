// The fixed table behind every handle value of the layer. A handle value is
// (generation << kIndexBits) | (slot + 1): never 0, never INVALID_HANDLE_VALUE,
// and a slot's generation moves on at every close, so a stale value is refused.
#ifndef ULOPR1_PLATFORM_POSIX_HANDLES_H
#define ULOPR1_PLATFORM_POSIX_HANDLES_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "network_port.h"
#include "os.h"
#include "telnet.h"

namespace ulo::os {

// Room for a port and an event per instance on a host running many
// instances (and the handles a port change briefly holds twice).
constexpr unsigned kIndexBits = 10;
constexpr size_t kSlots = (size_t{1} << kIndexBits) - 1;
constexpr size_t kReadAhead = 512;

// What a slot holds; the values are bits so a call can accept several.
enum Kind : unsigned {
  kFile = 1,   // a port path that is not a terminal (/dev/null among them)
  kTty = 2,    // a terminal: the only kind with line state
  kEvent = 4,  // an auto-reset event over an eventfd
  kNet = 8,    // a TCP connection to a serial device server
};
constexpr unsigned kLine = kTty | kNet;  // ports with line state
constexpr unsigned kAnyPort = kFile | kLine;

enum class SlotState { kFree, kReserved, kOpen, kClosing, kRetired };

// The state of a port beside its descriptor.
struct PortState {
  std::mutex read_lock;   // one reader at a time owns the read-ahead
  std::mutex write_lock;  // one writer at a time, so writes do not interleave
  BYTE ahead[kReadAhead];
  DWORD head;                   // next unread byte of ahead (read_lock)
  DWORD tail;                   // end of the bytes in ahead (read_lock)
  std::atomic<DWORD> buffered;  // tail - head, for ClearCommError
  DCB dcb;                      // the line state last set (Slot::mu)
  COMMTIMEOUTS timeouts;        // (Slot::mu)
  DWORD in_queue;               // SetupComm's sizes (Slot::mu)
  DWORD out_queue;
  bool telnet;            // a network port speaking RFC 2217
  TelnetDecoder decoder;  // its received stream (read_lock)
};

struct Slot {
  std::mutex mu;
  std::condition_variable idle;  // users fell to 0 while closing
  SlotState state = SlotState::kFree;
  Kind kind = kFile;
  HANDLE value = 0;
  uint32_t generation = 1;
  int users = 0;  // calls under way on the slot
  int fd = -1;
  int wake = -1;  // written at close to wake blocked calls; -1: none
  char peer[kPeerSize] = {};  // a network port's claim; empty: none
  PortState port;
};

// A free slot, taken out of the pool; null when the table is full.
Slot *Reserve();
// Gives a reserved slot back unused.
void Unreserve(Slot &slot);
// Claims the network port peer for a reserved slot; false while another
// slot of the process holds it. The claim ends when the slot closes or is
// given back unused.
bool ClaimPeer(Slot &slot, const char *peer);
// Opens a reserved slot over the descriptors and returns its handle value.
HANDLE Publish(Slot &slot, Kind kind, int fd, int wake);

// The open slot named by value if its kind is one of kinds, counted as in
// use until Release; null for a stale, closing or unknown value.
Slot *Acquire(HANDLE value, unsigned kinds);
void Release(Slot &slot);

// True once the slot's close has begun.
bool Closing(Slot &slot);

// Runs operation(slot) on the slot of value, if Acquire finds it; TRUE when
// it was found and the operation returned true.
template <typename Operation>
BOOL WithSlot(HANDLE value, unsigned kinds, Operation operation) {
  Slot *slot = Acquire(value, kinds);
  if (!slot) return FALSE;
  bool done = operation(*slot);
  Release(*slot);
  return done ? TRUE : FALSE;
}

}  // namespace ulo::os

#endif  // ULOPR1_PLATFORM_POSIX_HANDLES_H
