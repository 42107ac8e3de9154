#include "paths.h"

#include <filesystem>

#include "system.h"

namespace ulohost {

namespace fs = std::filesystem;

std::string ExecutableDir() {
  std::string exe = sys::ExecutablePath();
  return exe.empty() ? std::string(".") : fs::path(exe).parent_path().string();
}

std::vector<std::string> CompanionPlaces(const std::string &build_relative) {
  fs::path dir = ExecutableDir();
  fs::path name = fs::path(build_relative).filename();
  std::vector<std::string> places;
  for (const fs::path &place : {dir / build_relative, dir / name,
                                dir / ULOHOST_LIBDIR_RELPATH / name}) {
    std::string normal = place.lexically_normal().string();
    if (places.empty() || places.back() != normal) places.push_back(normal);
  }
  return places;
}

std::string FindCompanion(const std::string &build_relative) {
  std::vector<std::string> places = CompanionPlaces(build_relative);
  for (const std::string &place : places) {
    std::error_code ec;
    if (fs::exists(place, ec)) return place;
  }
  return places.front();
}

}  // namespace ulohost
