#include "platform/syscall_faults.h"

#include <dirent.h>
#include <errno.h>

#include <atomic>

#include "platform/syscalls.h"

namespace ulo::sys {
namespace {

constexpr int kKinds = static_cast<int>(Call::kCount);

struct Plan {
  std::atomic<int> calls;
  std::atomic<int> first;  // calls numbered [first, last) fail
  std::atomic<int> last;
  std::atomic<int> error;
};

Plan plans[kKinds];

// Counts the call; its planned error, or 0 when it goes through.
int Check(Call call) {
  Plan &plan = plans[static_cast<int>(call)];
  int number = plan.calls.fetch_add(1) + 1;
  return number >= plan.first.load() && number < plan.last.load()
             ? plan.error.load()
             : 0;
}

// Runs the real call unless a failure is planned for it.
template <typename Result, typename... Args>
Result Wrap(Call call, Result (*real)(Args...), Args... args) {
  if (int error = Check(call)) {
    errno = error;
    return static_cast<Result>(-1);
  }
  return real(args...);
}

const Table kCounting = {
    .open =
        [](const char *path, int flags, mode_t mode) {
          return Wrap(Call::kOpen, Real().open, path, flags, mode);
        },
    .close =
        [](int fd) {
          int error = Check(Call::kClose);
          int result = Real().close(fd);
          if (error == 0) return result;
          errno = error;
          return -1;
        },
    .read =
        [](int fd, void *buffer, size_t count) {
          return Wrap(Call::kRead, Real().read, fd, buffer, count);
        },
    .write =
        [](int fd, const void *buffer, size_t count) {
          return Wrap(Call::kWrite, Real().write, fd, buffer, count);
        },
    .poll =
        [](pollfd *fds, nfds_t count, int timeout_ms) {
          return Wrap(Call::kPoll, Real().poll, fds, count, timeout_ms);
        },
    .tcgetattr =
        [](int fd, termios *state) {
          return Wrap(Call::kTcgetattr, Real().tcgetattr, fd, state);
        },
    .tcsetattr =
        [](int fd, int action, const termios *state) {
          return Wrap(Call::kTcsetattr, Real().tcsetattr, fd, action, state);
        },
    .ioctl =
        [](int fd, unsigned long request, void *arg) {
          return Wrap(Call::kIoctl, Real().ioctl, fd, request, arg);
        },
    .flock =
        [](int fd, int operation) {
          return Wrap(Call::kFlock, Real().flock, fd, operation);
        },
    .eventfd =
        [](unsigned int initial, int flags) {
          return Wrap(Call::kEventfd, Real().eventfd, initial, flags);
        },
    .pthread_create =
        [](pthread_t *thread, const pthread_attr_t *attr,
           void *(*start)(void *), void *arg) {
          int error = Check(Call::kPthreadCreate);
          return error ? error
                       : Real().pthread_create(thread, attr, start, arg);
        },
    .nanosleep =
        [](const timespec *request, timespec *remain) {
          return Wrap(Call::kNanosleep, Real().nanosleep, request, remain);
        },
    .lstat =
        [](const char *path, struct stat *info) {
          return Wrap(Call::kLstat, Real().lstat, path, info);
        },
    .fstat =
        [](int fd, struct stat *info) {
          return Wrap(Call::kFstat, Real().fstat, fd, info);
        },
    .readlink =
        [](const char *path, char *buffer, size_t size) {
          return Wrap(Call::kReadlink, Real().readlink, path, buffer, size);
        },
    .socket =
        [](int domain, int type, int protocol) {
          return Wrap(Call::kSocket, Real().socket, domain, type, protocol);
        },
    .connect =
        [](int fd, const sockaddr *address, socklen_t length) {
          return Wrap(Call::kConnect, Real().connect, fd, address, length);
        },
    .setsockopt =
        [](int fd, int level, int name, const void *value, socklen_t length) {
          return Wrap(Call::kSetsockopt, Real().setsockopt, fd, level, name,
                      value, length);
        },
    .getsockopt =
        [](int fd, int level, int name, void *value, socklen_t *length) {
          return Wrap(Call::kGetsockopt, Real().getsockopt, fd, level, name,
                      value, length);
        },
    .send =
        [](int fd, const void *buffer, size_t count, int flags) {
          return Wrap(Call::kSend, Real().send, fd, buffer, count, flags);
        },
    .getaddrinfo =
        [](const char *host, const char *service, const addrinfo *hints,
           addrinfo **result) {
          return Wrap(Call::kGetaddrinfo, Real().getaddrinfo, host, service,
                      hints, result);
        },
};

}  // namespace

FaultScope::FaultScope() {
  for (Plan &plan : plans) {
    plan.calls = 0;
    plan.first = plan.last = 0;
    plan.error = 0;
  }
  Install(kCounting);
}

FaultScope::~FaultScope() { Install(Real()); }

void FaultScope::Fail(Call call, int nth, int error, int times) {
  Plan &plan = plans[static_cast<int>(call)];
  plan.error = error;
  plan.first = plan.calls.load() + nth;
  plan.last = plan.first.load() + times;
}

int FaultScope::Calls(Call call) const {
  return plans[static_cast<int>(call)].calls.load();
}

int OpenFdCount() {
  DIR *fds = opendir("/proc/self/fd");
  if (!fds) return -1;
  int count = 0;
  while (dirent *entry = readdir(fds)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(fds);
  return count - 1;  // the directory's own descriptor
}

}  // namespace ulo::sys
