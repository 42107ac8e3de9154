// Mistakes found in a file the tools read (a site config, a points file):
// where each is, which field, and what to do about it.
#ifndef ULOPR1_TOOLS_COMMON_FILE_ERROR_H
#define ULOPR1_TOOLS_COMMON_FILE_ERROR_H

#include <string>
#include <vector>

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
  bool warning = false;  // worth a word, but the file can be used

  // "FILE:LINE:COLUMN: FIELD: MESSAGE", without "FIELD: " when empty and
  // without ":LINE:COLUMN" when unknown; "warning: " before the field for a
  // warning.
  std::string ToString() const;
};

// Every mistake found, errors and warnings.
class FileErrors {
 public:
  void Add(FileError error) { list_.push_back(std::move(error)); }
  const std::vector<FileError> &list() const { return list_; }
  bool HasErrors() const { return Count(false) > 0; }
  // How many errors (warning false) or warnings there are.
  int Count(bool warning) const;
  // In file order: by file, line and column, as found where equal.
  void Sort();
  // Each entry's text, a line each.
  std::string ToString() const;

 private:
  std::vector<FileError> list_;
};

}  // namespace ulo::tools

#endif  // ULOPR1_TOOLS_COMMON_FILE_ERROR_H
