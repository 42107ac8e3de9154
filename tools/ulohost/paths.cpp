#include "paths.h"

#include <filesystem>

#include "system.h"

namespace ulohost {

namespace fs = std::filesystem;

std::string ExecutableDir() {
  std::string exe = sys::ExecutablePath();
  return exe.empty() ? std::string(".") : fs::path(exe).parent_path().string();
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
