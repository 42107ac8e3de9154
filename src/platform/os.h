// The operating-system calls the driver makes: a small subset of the Win32
// API and C runtime. On Windows they are the system's own; on Linux the
// layer in posix/ implements the same contract. Code outside the platform
// layer includes this header, never an implementation's.
#ifndef ULOPR1_PLATFORM_OS_H
#define ULOPR1_PLATFORM_OS_H

#if defined(_WIN32)
#include "platform/windows/os.h"
#else
#include "platform/posix/os.h"
#endif

#endif  // ULOPR1_PLATFORM_OS_H
