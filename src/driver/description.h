// The driver's description, answered by command 14.
#ifndef ULOPR1_DRIVER_DESCRIPTION_H
#define ULOPR1_DRIVER_DESCRIPTION_H

#include <cstddef>
#include <cstdint>

#include "ulopr1/ulo.h"

namespace ulo {

constexpr char kDriverName[] = "Landis & Staefa PRV1";
constexpr size_t kBannerLength = 379;

// The banner in code page 437: a newline, then six 62-character lines.
const char *Banner();

int32_t Describe(const UloRequest &request);  // command 14

}  // namespace ulo

#endif  // ULOPR1_DRIVER_DESCRIPTION_H
