// The per-instance workspace: everything one driver instance knows. The host
// allocates ULO_WORKSPACE_SIZE zero bytes and passes them with every request.
// The 32-bit fields come first, at 4-byte offsets, so the record is plain and
// naturally aligned and the fields shared with the receiver thread can be
// accessed atomically.
#ifndef ULOPR1_DRIVER_WORKSPACE_H
#define ULOPR1_DRIVER_WORKSPACE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ulopr1/ulo.h"

namespace ulo {

struct PortSettings {
  char port[12];           // device name; "NUL" skips line configuration
  LineSettings line;       // baud, data bits, stop-bits code, parity code
  uint16_t control_flags;  // DTR/RTS choices; the start command stores 8
};
static_assert(sizeof(PortSettings) == 22);

struct InstanceWorkspace {
  int32_t read_timeout;  // units of 10 ms
  uint32_t port;         // open serial port handle, or 0
  int32_t port_enabled;
  uint32_t thread_ended;  // 1 once the receiver has stopped
  uint32_t event;         // data-arrived event handle, or 0
  uint32_t write_busy;    // 1 while a confirmed write owns the port
  int32_t comm_failed;    // 1 after a COM read found the controller silent
  PortSettings settings;
  uint16_t instance;  // low 16 bits of the host's instance number
  char restart_message[50];
  char address[33];   // the last gate address checked, upper-cased
  uint8_t client[5];  // filled by Zem5MkClient; byte 0 is the client id
};
static_assert(sizeof(InstanceWorkspace) == ULO_WORKSPACE_SIZE);
static_assert(offsetof(InstanceWorkspace, settings) % 2 == 0);

// Bits of write_busy. The host's thread and the receiver set their own bit
// and then look at the other's, on the same word, so at most one of them is
// on the port at a time.
constexpr uint32_t kWriteBusy = 1;       // a confirmed write owns the port
constexpr uint32_t kReceiverOnPort = 2;  // the receiver is using the port

// Bits of thread_ended.
constexpr uint32_t kThreadEnded = 1;      // the receiver has stopped
constexpr uint32_t kReceiverStarted = 2;  // a start has launched the receiver
constexpr uint32_t kClientMade = 4;       // the host has registered the client

// Atomic access to a 32-bit field the host's thread and the receiver share.
inline std::atomic_ref<uint32_t> Shared(uint32_t &field) {
  return std::atomic_ref<uint32_t>(field);
}

inline std::atomic_ref<int32_t> Shared(int32_t &field) {
  return std::atomic_ref<int32_t>(field);
}

}  // namespace ulo

#endif  // ULOPR1_DRIVER_WORKSPACE_H
