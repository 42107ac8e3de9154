#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#endif

namespace ulohost::sys {

namespace {
std::string ErrorText(int error) {
  return std::generic_category().message(error);
}
}  // namespace

#ifdef _WIN32

void *OpenLibrary(const std::string &path, std::string &error) {
  HMODULE library = LoadLibraryA(path.c_str());
  if (!library) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, GetLastError(), 0, text, sizeof text, nullptr);
    error = path + ": " + text;
  }
  return reinterpret_cast<void *>(library);
}

void *FindSymbol(void *library, const char *name) {
  return reinterpret_cast<void *>(
      GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void *library) { FreeLibrary(static_cast<HMODULE>(library)); }

std::string ExecutablePath() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length < sizeof path ? length : 0);
}

bool IsTerminal(int fd) { return _isatty(fd) != 0; }

bool TerminalSize(int fd, int &rows, int &cols) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(handle, &info)) return false;
  rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  cols = info.srWindow.Right - info.srWindow.Left + 1;
  return true;
}

bool EnableAnsi() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return GetConsoleMode(out, &mode) &&
         SetConsoleMode(out, mode | 0x0004 /* virtual terminal processing */);
}

struct RawInput::Saved {
  DWORD mode;
};

RawInput::RawInput() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(in, &mode)) return;
  // Keys as typed, arrows and page keys as ANSI sequences; Ctrl-C stays a
  // signal (processed input).
  DWORD raw =
      (mode & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
      0x0200 /* virtual terminal input */;
  if (!SetConsoleMode(in, raw)) return;
  saved_ = std::make_unique<Saved>(Saved{mode});
}

RawInput::~RawInput() {
  if (saved_) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
}

long ReadInput(char *buffer, std::size_t size) {
  return _read(0, buffer, static_cast<unsigned>(size));
}

namespace {
long WriteSome(int fd, const char *bytes, std::size_t count) {
  return _write(fd, bytes, static_cast<unsigned>(count));
}
}  // namespace

int OpenAppend(const std::string &path, std::string &error) {
  int fd = _open(path.c_str(),
                 _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                 _S_IREAD | _S_IWRITE);
  if (fd < 0) error = ErrorText(errno);
  return fd;
}

std::string AppendWhole(int fd, const std::string &text) {
  __int64 before = _filelengthi64(fd);
  std::size_t done = 0;
  while (done < text.size()) {
    int n = _write(fd, text.data() + done,
                   static_cast<unsigned>(text.size() - done));
    if (n <= 0) {
      std::string error = ErrorText(n < 0 ? errno : ENOSPC);
      if (done > 0 && before >= 0) {
        // Cut at the line's start; appends seek to the end again.
        HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
        LARGE_INTEGER at;
        at.QuadPart = before;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(file)) {
          error += ", and the part written could not be cut off";
        }
      }
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

void CloseFile(int fd) { _close(fd); }

std::string StreamIdentity(int) { return {}; }

std::tm BrokenDownTime(std::time_t time, bool utc) {
  std::tm parts{};
  if (utc) {
    gmtime_s(&parts, &time);
  } else {
    localtime_s(&parts, &time);
  }
  return parts;
}

void SetEnvironment(const char *name, const std::string &value) {
  _putenv_s(name, value.c_str());
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

#else

void *OpenLibrary(const std::string &path, std::string &error) {
  void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) error = dlerror();
  return library;
}

void *FindSymbol(void *library, const char *name) {
  return dlsym(library, name);
}

void CloseLibrary(void *library) { dlclose(library); }

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path exe =
      std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

bool IsTerminal(int fd) { return isatty(fd) != 0; }

bool TerminalSize(int fd, int &rows, int &cols) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_row == 0) return false;
  rows = size.ws_row;
  cols = size.ws_col;
  return true;
}

bool EnableAnsi() { return true; }

struct RawInput::Saved {
  termios state;
};

RawInput::RawInput() {
  auto saved = std::make_unique<Saved>();
  if (tcgetattr(STDIN_FILENO, &saved->state) != 0) return;
  termios raw = saved->state;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);  // ISIG stays
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  saved_ = std::move(saved);
}

RawInput::~RawInput() {
  if (saved_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_->state);
}

long ReadInput(char *buffer, std::size_t size) {
  while (true) {
    ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

namespace {
long WriteSome(int fd, const char *bytes, std::size_t count) {
  while (true) {
    ssize_t n = write(fd, bytes, count);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}
}  // namespace

int OpenAppend(const std::string &path, std::string &error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) error = ErrorText(errno);
  return fd;
}

std::string AppendWhole(int fd, const std::string &text) {
  struct stat before {};
  bool sized = fstat(fd, &before) == 0;
  std::size_t done = 0;
  while (done < text.size()) {
    long n = WriteSome(fd, text.data() + done, text.size() - done);
    if (n <= 0) {
      std::string error = ErrorText(n < 0 ? errno : ENOSPC);
      if (done > 0 && sized && ftruncate(fd, before.st_size) != 0) {
        error += ", and the part written could not be cut off";
      }
      return error;
    }
    done += static_cast<std::size_t>(n);
  }
  return {};
}

void CloseFile(int fd) { close(fd); }

std::string StreamIdentity(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return {};
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::tm BrokenDownTime(std::time_t time, bool utc) {
  std::tm parts{};
  if (utc) {
    gmtime_r(&time, &parts);
  } else {
    localtime_r(&time, &parts);
  }
  return parts;
}

void SetEnvironment(const char *name, const std::string &value) {
  setenv(name, value.c_str(), 1);
}

long ProcessId() { return static_cast<long>(getpid()); }

#endif

void WriteAll(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    long n = WriteSome(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace ulohost::sys
