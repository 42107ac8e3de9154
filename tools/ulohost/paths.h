// Files ulohost finds relative to its own executable.
#ifndef ULOPR1_TOOLS_ULOHOST_PATHS_H
#define ULOPR1_TOOLS_ULOHOST_PATHS_H

#include <string>

namespace ulohost {

// The directory holding the running executable.
std::string ExecutableDir();

// A companion file: at build_relative from the executable's directory (the
// build tree), else beside the executable, else in ../lib (an install). The
// first candidate is answered when none exists, so errors name it.
std::string FindCompanion(const std::string &build_relative);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_PATHS_H
