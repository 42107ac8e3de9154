// The few operating-system calls ulohost makes, for Linux and Windows.
#ifndef ULOPR1_TOOLS_ULOHOST_SYSTEM_H
#define ULOPR1_TOOLS_ULOHOST_SYSTEM_H

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>

namespace ulohost::sys {

// A shared library and a function in it; null with error set on failure.
void *OpenLibrary(const std::string &path, std::string &error);
void *FindSymbol(void *library, const char *name);
void CloseLibrary(void *library);

// The running program's own file.
std::string ExecutablePath();

bool IsTerminal(int fd);
// The terminal's size; false when fd is no terminal.
bool TerminalSize(int fd, int &rows, int &cols);
// Makes the terminal on stdout follow ANSI sequences (needed on Windows);
// false when it cannot.
bool EnableAnsi();

// While it lives, the terminal on stdin hands over each key as typed,
// without echo (Ctrl-C still interrupts); the terminal's settings come back
// when it goes. ok() is false when stdin is no terminal.
class RawInput {
 public:
  RawInput();
  ~RawInput();
  RawInput(const RawInput &) = delete;
  RawInput &operator=(const RawInput &) = delete;
  bool ok() const { return saved_ != nullptr; }

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;
};

// Reads what stdin has (blocking): bytes, 0 at its end, -1 on an error.
long ReadInput(char *buffer, std::size_t size);
// Writes all of text to fd.
void WriteAll(int fd, const std::string &text);

// A file opened for appending; -1 with error set when it cannot be.
int OpenAppend(const std::string &path, std::string &error);
// Appends text with one write. When only part of it fits (a full disk) that
// part is cut off again, so the file never ends in half a line. Returns
// what went wrong, or nothing.
std::string AppendWhole(int fd, const std::string &text);
void CloseFile(int fd);
// "DEVICE:INODE" of an open file, as systemd names the journal's stream in
// JOURNAL_STREAM; empty when unknown (and on Windows).
std::string StreamIdentity(int fd);

std::tm BrokenDownTime(std::time_t time, bool utc);

void SetEnvironment(const char *name, const std::string &value);

long ProcessId();

}  // namespace ulohost::sys

#endif  // ULOPR1_TOOLS_ULOHOST_SYSTEM_H
