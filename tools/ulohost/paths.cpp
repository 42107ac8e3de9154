#include "paths.h"

#include <filesystem>

namespace ulohost {

namespace fs = std::filesystem;

std::string ExecutableDir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

std::string FindCompanion(const std::string &build_relative) {
  fs::path dir = ExecutableDir();
  fs::path name = fs::path(build_relative).filename();
  const fs::path candidates[] = {dir / build_relative, dir / name,
                                 dir / ".." / "lib" / name};
  for (const fs::path &candidate : candidates) {
    std::error_code ec;
    if (fs::exists(candidate, ec)) return candidate.lexically_normal().string();
  }
  return candidates[0].lexically_normal().string();
}

}  // namespace ulohost
