#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

extern char **environ;

namespace ulohost {
namespace {

using Steady = std::chrono::steady_clock;

int Remaining(Steady::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - Steady::now())
                  .count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

Child::~Child() {
  if (pid_ > 0 && !status_) Stop(std::chrono::milliseconds(2000));
  for (int fd : {in_, out_}) {
    if (fd >= 0) close(fd);
  }
}

bool Child::Start(const std::vector<std::string> &argv, const Options &options,
                  std::string &error) {
  int to_child[2], from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    close(to_child[0]);
    close(to_child[1]);
    return false;
  }
  int err_fd = -1;
  if (!options.stderr_file.empty()) {
    err_fd = open(options.stderr_file.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  // Everything the child needs is prepared before fork: after it only
  // async-signal-safe calls are allowed. The death signal follows the
  // thread that forks, so start children from a thread that outlives them.
  std::vector<char *> args;
  for (const std::string &arg : argv)
    args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char **entry = environ; *entry; ++entry) {
    std::string_view inherited(*entry);
    bool replaced = false;
    for (const std::string &given : options.env) {
      std::string_view name =
          std::string_view(given).substr(0, given.find('='));
      replaced = replaced || (inherited.starts_with(name) &&
                              inherited.size() > name.size() &&
                              inherited[name.size()] == '=');
    }
    if (!replaced) env_text.push_back(*entry);
  }
  for (const std::string &entry : options.env) env_text.push_back(entry);
  std::vector<char *> env;
  for (std::string &entry : env_text) env.push_back(entry.data());
  env.push_back(nullptr);
  pid_t parent = getpid();

  pid_t pid = fork();
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(errno);
    for (int fd :
         {to_child[0], to_child[1], from_child[0], from_child[1], err_fd}) {
      if (fd >= 0) close(fd);
    }
    return false;
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (options.own_group) setpgid(0, 0);
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  if (err_fd >= 0) close(err_fd);
  pid_ = pid;
  in_ = to_child[1];
  out_ = from_child[0];
  status_.reset();
  buffer_.clear();
  return true;
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
  Steady::time_point deadline = Steady::now() + timeout;
  while (true) {
    std::size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    if (out_ < 0) return std::nullopt;
    pollfd ready{out_, POLLIN, 0};
    int n = poll(&ready, 1, Remaining(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    char chunk[4096];
    ssize_t got = read(out_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      close(out_);
      out_ = -1;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool Child::WriteLine(const std::string &line) {
  if (in_ < 0) return false;
  std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(in_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void Child::CloseStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::Signal(int signal_number) {
  if (pid_ > 0 && !status_) kill(pid_, signal_number);
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  Steady::time_point deadline = Steady::now() + timeout;
  while (true) {
    int raw = 0;
    pid_t done = waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (done < 0 || Steady::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int Child::Stop(std::chrono::milliseconds grace) {
  Signal(SIGTERM);
  if (std::optional<int> status = Wait(grace)) return *status;
  Signal(SIGKILL);
  return Wait(std::chrono::seconds(10)).value_or(-1);
}

}  // namespace ulohost
