// Handles live in the workspace as 32-bit words on every target. On Windows
// a HANDLE is a pointer (4 bytes in the 32-bit process the driver runs in);
// on Linux it is already a 32-bit value.
#ifndef ULOPR1_PLATFORM_HANDLE_WORD_H
#define ULOPR1_PLATFORM_HANDLE_WORD_H

#include <cstdint>
#include <type_traits>

#include "platform/os.h"

namespace ulo {
namespace detail {

template <typename H>
uint32_t ToWord(H handle) {
  if constexpr (std::is_pointer_v<H>)
    return uint32_t(reinterpret_cast<uintptr_t>(handle));
  else
    return uint32_t(handle);
}

template <typename H>
H FromWord(uint32_t word) {
  if constexpr (std::is_pointer_v<H>)
    return reinterpret_cast<H>(uintptr_t{word});
  else
    return H(word);
}

}  // namespace detail

inline uint32_t HandleWord(HANDLE handle) { return detail::ToWord(handle); }
inline HANDLE WordHandle(uint32_t word) {
  return detail::FromWord<HANDLE>(word);
}

}  // namespace ulo

#endif  // ULOPR1_PLATFORM_HANDLE_WORD_H
