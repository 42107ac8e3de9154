#include "file_error.h"

#include <algorithm>
#include <sstream>
#include <tuple>

namespace ulo::tools {

std::string FileError::ToString() const {
  std::ostringstream out;
  out << file;
  if (where.line > 0) out << ':' << where.line << ':' << where.column;
  out << ": ";
  if (warning) out << "warning: ";
  if (!field.empty()) out << field << ": ";
  out << message;
  return out.str();
}

int FileErrors::Count(bool warning) const {
  return static_cast<int>(std::count_if(
      list_.begin(), list_.end(),
      [&](const FileError &error) { return error.warning == warning; }));
}

void FileErrors::Sort() {
  std::stable_sort(list_.begin(), list_.end(),
                   [](const FileError &a, const FileError &b) {
                     return std::tie(a.file, a.where.line, a.where.column) <
                            std::tie(b.file, b.where.line, b.where.column);
                   });
}

std::string FileErrors::ToString() const {
  std::string text;
  for (const FileError &error : list_) text += error.ToString() + '\n';
  return text;
}

}  // namespace ulo::tools
