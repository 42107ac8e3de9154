// Test support: counts the layer's system calls by kind and makes chosen
// ones fail, and counts the process's open file descriptors.
#ifndef ULOPR1_PLATFORM_POSIX_SYSCALL_FAULTS_H
#define ULOPR1_PLATFORM_POSIX_SYSCALL_FAULTS_H

namespace ulo::sys {

enum class Call {
  kOpen,
  kClose,
  kRead,
  kWrite,
  kPoll,
  kTcgetattr,
  kTcsetattr,
  kIoctl,
  kFlock,
  kEventfd,
  kPthreadCreate,
  kNanosleep,
  kLstat,
  kFstat,
  kReadlink,
  kSocket,
  kConnect,
  kSetsockopt,
  kGetsockopt,
  kSend,
  kGetaddrinfo,
  kCount,
};

// While one lives, every call goes through counting wrappers over the real
// table; its end puts the real table back. One at a time.
class FaultScope {
 public:
  FaultScope();
  ~FaultScope();
  FaultScope(const FaultScope &) = delete;
  FaultScope &operator=(const FaultScope &) = delete;

  // The nth call of the kind from now on (1: the next one) and the times - 1
  // calls after it fail with error: -1 and errno, or the error itself for
  // pthread_create. A failing close still closes, as Linux's does.
  void Fail(Call call, int nth, int error, int times = 1);
  // Calls of the kind since the scope began.
  int Calls(Call call) const;
};

// The number of file descriptors the process has open.
int OpenFdCount();

}  // namespace ulo::sys

#endif  // ULOPR1_PLATFORM_POSIX_SYSCALL_FAULTS_H
