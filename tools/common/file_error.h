// An error found in a file the tools read (a site config, a points file):
// where it is, which field, and what to do about it.
#ifndef ULOPR1_TOOLS_COMMON_FILE_ERROR_H
#define ULOPR1_TOOLS_COMMON_FILE_ERROR_H

#include <string>

namespace ulo::tools {

// A place in a file (1-based; 0 when unknown).
struct Where {
  int line = 0;
  int column = 0;
};

struct FileError {
  std::string file;
  Where where;
  std::string field;  // e.g. "instance[2].port"; empty for syntax errors
  std::string message;

  // "FILE:LINE:COLUMN: FIELD: MESSAGE", without "FIELD: " when empty.
  std::string ToString() const;
};

}  // namespace ulo::tools

#endif  // ULOPR1_TOOLS_COMMON_FILE_ERROR_H
