// The few operating-system calls ulohost makes, for Linux and Windows.
#ifndef ULOPR1_TOOLS_ULOHOST_SYSTEM_H
#define ULOPR1_TOOLS_ULOHOST_SYSTEM_H

#include <cstddef>
#include <ctime>
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

// Reads what stdin has (blocking): bytes, 0 at its end, -1 on an error.
long ReadInput(char *buffer, std::size_t size);
// Writes all of text to fd.
void WriteAll(int fd, const std::string &text);

std::tm BrokenDownTime(std::time_t time, bool utc);

void SetEnvironment(const char *name, const std::string &value);

long ProcessId();

}  // namespace ulohost::sys

#endif  // ULOPR1_TOOLS_ULOHOST_SYSTEM_H
