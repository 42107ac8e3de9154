// Sleep, threads, upper-casing and file opening as the Windows C runtime
// has them.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "os.h"
#include "platform/syscalls.h"

namespace ulo::os {
namespace {

// Windows takes a thread's stack size as what to commit at first, inside a
// reservation of at least the program's default of 1 MiB; a thread asking
// for 32 KiB there may still use far more. Linux stacks do not grow past
// their size, so a thread gets at least this much.
constexpr size_t kLeastStack = size_t{1} << 20;

// What the new thread runs; it lives on the creator's stack until the new
// thread has copied it and posted `taken`. A semaphore rather than
// std::atomic::wait: that one brings libstdc++'s waiter table, a
// process-wide unique object that would pin the library in memory.
struct Launch {
  void (*start)(void *);
  void *arg;
  sem_t taken;
};

void *Run(void *data) {
  Launch *launch = static_cast<Launch *>(data);
  void (*start)(void *) = launch->start;
  void *arg = launch->arg;
  sem_post(&launch->taken);
  start(arg);
  return nullptr;
}

size_t StackSize(unsigned requested) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t size = std::max(
      {size_t{requested}, kLeastStack, static_cast<size_t>(PTHREAD_STACK_MIN)});
  return (size + page - 1) / page * page;
}

}  // namespace
}  // namespace ulo::os

void Sleep(DWORD milliseconds) {
  timespec left = {static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000};
  for (;;) {
    timespec request = left;
    if (ulo::sys::Current().nanosleep(&request, &left) == 0 || errno != EINTR) {
      return;
    }
  }
}

uintptr_t _beginthread(void (*start)(void *), unsigned stack_size, void *arg) {
  constexpr uintptr_t kFailed = ~uintptr_t{0};
  ulo::os::Launch launch{start, arg, {}};
  if (!start || sem_init(&launch.taken, 0, 0) != 0) return kFailed;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    sem_destroy(&launch.taken);
    return kFailed;
  }
  pthread_t thread{};
  int error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (error == 0) {
    error =
        pthread_attr_setstacksize(&attributes, ulo::os::StackSize(stack_size));
  }
  if (error == 0) {
    error = ulo::sys::Current().pthread_create(&thread, &attributes,
                                               ulo::os::Run, &launch);
  }
  pthread_attr_destroy(&attributes);
  if (error == 0) {
    // A signal handler may interrupt the wait; the thread posts regardless.
    while (sem_wait(&launch.taken) != 0 && errno == EINTR) {
    }
  }
  sem_destroy(&launch.taken);
  return error == 0 ? static_cast<uintptr_t>(thread) : kFailed;
}

std::FILE *OpenRegularFile(const char *name) {
  const ulo::sys::Table &sys = ulo::sys::Current();
  int fd = sys.open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat info;
  if (sys.fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (std::FILE *file = fdopen(fd, "rb")) return file;
  }
  sys.close(fd);
  return nullptr;
}

char *_strupr(char *text) {
  if (!text) return text;
  for (char *c = text; *c; ++c) {
    if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
  }
  return text;
}
