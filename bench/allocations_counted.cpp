// The allocation hook. This program's malloc family counts every heap
// allocation, and its own host functions, which the driver library finds
// before the host runtime's (the program exports them), mark the calls that
// belong to the host and pass them on. A thread that has called Zem5WaitMsg
// is a receiver thread: what it allocates outside a host function is the
// driver's own.
#include <dlfcn.h>
#include <errno.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "allocations.h"
#include "ulopr1/zempro.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *old, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *block);
}

namespace {

std::atomic<uint64_t> driver_allocations{0};
std::atomic<uint64_t> host_allocations{0};
thread_local bool receiver_thread = false;
thread_local int host_depth = 0;

void Count() {
  if (!receiver_thread) return;
  (host_depth > 0 ? host_allocations : driver_allocations)
      .fetch_add(1, std::memory_order_relaxed);
}

struct InHost {
  InHost() { ++host_depth; }
  ~InHost() { --host_depth; }
};

// The host runtime's own functions, found behind this program's.
template <typename Function>
Function Next(const char *name) {
  void *found = dlsym(RTLD_NEXT, name);
  Dl_info where;
  if (found == nullptr || dladdr(found, &where) == 0 ||
      std::strstr(where.dli_fname, "zempro") == nullptr) {
    std::fprintf(stderr, "allocation hook: %s is not the host runtime's\n",
                 name);
    std::abort();
  }
  return reinterpret_cast<Function>(found);
}

struct HostRuntime {
  decltype(&err) log = Next<decltype(&err)>("err");
  decltype(&Zem5MkClient) make_client =
      Next<decltype(&Zem5MkClient)>("Zem5MkClient");
  decltype(&Zem5WaitMsg) wait = Next<decltype(&Zem5WaitMsg)>("Zem5WaitMsg");
  decltype(&Zem5RmClient) remove_client =
      Next<decltype(&Zem5RmClient)>("Zem5RmClient");
  decltype(&Zem5GetGateIdByAddressStr) gate_id =
      Next<decltype(&Zem5GetGateIdByAddressStr)>("Zem5GetGateIdByAddressStr");
  decltype(&Zem5PutGateVal) put_value =
      Next<decltype(&Zem5PutGateVal)>("Zem5PutGateVal");
  decltype(&Zem5SetPlcCommStatus) comm_status =
      Next<decltype(&Zem5SetPlcCommStatus)>("Zem5SetPlcCommStatus");
};

const HostRuntime host_runtime;

}  // namespace

namespace bench {

AllocationCounts CurrentAllocations() {
  return {true, driver_allocations.load(), host_allocations.load()};
}

}  // namespace bench

extern "C" {

void *malloc(size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}

void *realloc(void *old, size_t size) noexcept {
  Count();
  return __libc_realloc(old, size);
}

void *memalign(size_t alignment, size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void **block, size_t alignment, size_t size) noexcept {
  Count();
  void *got = __libc_memalign(alignment, size);
  if (got == nullptr) return ENOMEM;
  *block = got;
  return 0;
}

void free(void *block) noexcept { __libc_free(block); }

void err(int32_t message_class, const char *format, ...) {
  InHost in_host;
  if (format == nullptr) return host_runtime.log(message_class, nullptr);
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  host_runtime.log(message_class, "%s", text);
}

uint16_t Zem5MkClient(const char *name, int32_t a, int32_t b, void *client) {
  InHost in_host;
  return host_runtime.make_client(name, a, b, client);
}

uint16_t Zem5WaitMsg(uint8_t client, void *message, int32_t a) {
  receiver_thread = true;
  InHost in_host;
  return host_runtime.wait(client, message, a);
}

uint16_t Zem5RmClient(uint8_t client) {
  InHost in_host;
  return host_runtime.remove_client(client);
}

uint16_t Zem5GetGateIdByAddressStr(uint8_t client, uint8_t instance,
                                   const char *address, int32_t *gate_id) {
  InHost in_host;
  return host_runtime.gate_id(client, instance, address, gate_id);
}

uint16_t Zem5PutGateVal(uint8_t client, int32_t gate_id, int32_t a,
                        double value, int32_t b, int32_t c) {
  InHost in_host;
  return host_runtime.put_value(client, gate_id, a, value, b, c);
}

uint16_t Zem5SetPlcCommStatus(uint8_t client, uint8_t instance, int32_t a,
                              int32_t b, int32_t c) {
  InHost in_host;
  return host_runtime.comm_status(client, instance, a, b, c);
}

}  // extern "C"
