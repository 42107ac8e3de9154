#include "file_error.h"

#include <sstream>

namespace ulo::tools {

std::string FileError::ToString() const {
  std::ostringstream out;
  out << file << ':' << where.line << ':' << where.column << ": ";
  if (!field.empty()) out << field << ": ";
  out << message;
  return out.str();
}

}  // namespace ulo::tools
