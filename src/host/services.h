// The host runtime functions the driver calls, and the message classes of
// its log. The functions are resolved from the process that loads the driver.
#ifndef ULOPR1_HOST_HOST_H
#define ULOPR1_HOST_HOST_H

#include <cstdint>

#include "ulopr1/zempro.h"

namespace ulo {

constexpr int32_t kTrace = ZEM_CLASS_TRACE;      // traffic trace
constexpr int32_t kMessage = ZEM_CLASS_MESSAGE;  // everything else

}  // namespace ulo

#endif  // ULOPR1_HOST_HOST_H
