// The per-instance workspace: everything one driver instance knows, and the
// record layouts the host shares with the driver. The host allocates
// ULO_WORKSPACE_SIZE zero bytes and passes them with every request. The
// 32-bit fields come first, at 4-byte offsets, so the record is plain and
// naturally aligned; the fields the host's thread and the receiver thread
// share are reached only through Shared(), atomically.
#ifndef ULOPR1_INSTANCE_WORKSPACE_H
#define ULOPR1_INSTANCE_WORKSPACE_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ulopr1/ulo.h"

namespace ulo {

struct PortSettings {
  char port[ULO_PORT_NAME_MAX + 1];  // device name; "NUL" skips line setup
  LineSettings line;       // baud, data bits, stop-bits code, parity code
  uint16_t control_flags;  // DTR/RTS choices; the start command stores 8
};

struct InstanceWorkspace {
  int32_t read_timeout;     // units of 10 ms
  uint32_t port;            // shared: open serial port handle, or 0
  int32_t port_enabled;     // 0 when the instance uses no port
  uint32_t receiver_state;  // shared: kReceiverStarted, kClientMade...
  uint32_t event;           // shared: data-arrived event handle, or 0
  uint32_t port_use;        // shared: kWriteBusy, kReceiverOnPort
  int32_t comm_failed;      // shared: 1 after a COM read found it silent
  PortSettings settings;
  uint16_t instance;  // low 16 bits of the host's instance number
  char restart_message[ULO_LINE_MAX + 1];
  char address[ULO_ADDRESS_MAX + 2];  // the last gate address checked
  uint8_t client[5];  // filled by Zem5MkClient; byte 0 is the client id
};

// Bits of port_use. The host's thread and the receiver set their own bit
// and then look at the other's, on the same word, so at most one of them is
// on the port at a time.
constexpr uint32_t kWriteBusy = 1;       // a confirmed write owns the port
constexpr uint32_t kReceiverOnPort = 2;  // the receiver is using the port

// Bits of receiver_state.
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

// The layouts. The workspace is the announced size on every target; in the
// 32-bit process the host runs the driver in, every record field sits at the
// offset the host uses.
static_assert(sizeof(PortSettings) == 22);
static_assert(offsetof(PortSettings, line) == 12);
static_assert(offsetof(PortSettings, control_flags) == 20);
static_assert(sizeof(InstanceWorkspace) == ULO_WORKSPACE_SIZE);
static_assert(offsetof(InstanceWorkspace, settings) % 2 == 0);

namespace layout {
constexpr bool k32 = sizeof(void *) == 4;
static_assert(!k32 || sizeof(UloRequest) == 20);
static_assert(!k32 || offsetof(UloRequest, command) == 4);
static_assert(!k32 || offsetof(UloRequest, instance) == 8);
static_assert(!k32 || offsetof(UloRequest, reserved) == 12);
static_assert(!k32 || offsetof(UloRequest, args) == 16);
static_assert(!k32 || offsetof(DriverDescription, name) == 4);
static_assert(!k32 || offsetof(DriverDescription, banner) == 8);
static_assert(!k32 || offsetof(DriverDescription, workspace_size) == 12);
static_assert(!k32 || offsetof(DriverDescription, four) == 16);
static_assert(!k32 || offsetof(DriverDescription, line) == 20);
static_assert(!k32 || offsetof(DriverDescription, three) == 28);
static_assert(offsetof(StartParameters, enabled) == 12);
static_assert(offsetof(StartParameters, read_timeout) == 16);
static_assert(offsetof(StartParameters, line) == 20);
static_assert(offsetof(PortChange, read_timeout) == 12);
static_assert(offsetof(PortChange, line) == 16);
static_assert(offsetof(LineSettings, data_bits) == 2);
static_assert(offsetof(LineSettings, stop_bits) == 4);
static_assert(offsetof(LineSettings, parity) == 6);
static_assert(!k32 || offsetof(GateAccess, type) == 28);
static_assert(!k32 || offsetof(GateAccess, value) == 40);
static_assert(!k32 || offsetof(GateDefinition, input) == 4);
static_assert(!k32 || offsetof(GateDefinition, type) == 8);
static_assert(!k32 || offsetof(GateDefinition, zero16) == 16);
static_assert(!k32 || offsetof(GateDefinition, zero20) == 20);
static_assert(!k32 || offsetof(GateDefinition, copy24) == 24);
static_assert(!k32 || offsetof(GateDefinition, v255) == 28);
static_assert(!k32 || offsetof(GateDefinition, width) == 32);
}  // namespace layout

}  // namespace ulo

#endif  // ULOPR1_INSTANCE_WORKSPACE_H
