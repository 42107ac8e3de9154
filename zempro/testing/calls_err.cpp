// A stand-in for the driver as far as logging goes: a shared library that
// calls err() and leaves it to the loading process to provide it. It is not
// linked against the host runtime, so at link time the linker sees only the C
// library's err() (which prints and exits).
#include "ulopr1/zempro.h"

extern "C" __attribute__((visibility("default"))) void CallErr(
    const char *text) {
  err(ZEM_CLASS_MESSAGE, "calls_err: %s", text);
}
