// Files ulohost finds relative to its own executable.
#ifndef ULOPR1_TOOLS_ULOHOST_PATHS_H
#define ULOPR1_TOOLS_ULOHOST_PATHS_H

#include <string>
#include <vector>

namespace ulohost {

// The directory holding the running executable.
std::string ExecutableDir();

// Where a companion file may be, in the order looked at: at build_relative
// from the executable's directory (the build tree), beside the executable,
// and in the library directory of an install (bin/../lib or whatever the
// build was configured with).
std::vector<std::string> CompanionPlaces(const std::string &build_relative);

// The first of those places that exists. The first is answered when none
// does, so errors name it.
std::string FindCompanion(const std::string &build_relative);

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_PATHS_H
