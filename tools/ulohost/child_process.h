// A child program with pipes to its stdin and stdout: the demo runs the
// simulator this way, the tests run both programs.
#ifndef ULOPR1_TOOLS_ULOHOST_CHILD_PROCESS_H
#define ULOPR1_TOOLS_ULOHOST_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ulohost {

class Child {
 public:
  Child() = default;
  // Stops the child (SIGTERM, then SIGKILL) if it still runs.
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  struct Options {
    std::vector<std::string> env;  // "NAME=value" added to our environment
    std::string stderr_file;       // empty: inherit ours
    bool own_group = false;        // not hit by the terminal's Ctrl-C
  };
  // Starts argv[0] (a path) with pipes on stdin and stdout. The child gets
  // SIGTERM if this process dies.
  bool Start(const std::vector<std::string> &argv, const Options &options,
             std::string &error);

  // The next line of the child's stdout (without the newline); nothing on
  // timeout or end of output.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  bool WriteLine(const std::string &line);
  void CloseStdin();

  void Signal(int signal_number);
  // The exit status (128 + signal for a signal), or nothing on timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // SIGTERM, a grace period, then SIGKILL; the exit status.
  int Stop(std::chrono::milliseconds grace);

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

}  // namespace ulohost

#endif  // ULOPR1_TOOLS_ULOHOST_CHILD_PROCESS_H
