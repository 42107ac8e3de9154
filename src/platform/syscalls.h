// Every system call the Linux platform layer makes goes through this table,
// so a test can swap in a wrapper that makes the Nth call of a kind fail.
#ifndef ULOPR1_PLATFORM_POSIX_SYSCALLS_H
#define ULOPR1_PLATFORM_POSIX_SYSCALLS_H

#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

namespace ulo::sys {

struct Table {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void *buffer, size_t count);
  ssize_t (*write)(int fd, const void *buffer, size_t count);
  int (*poll)(struct pollfd *fds, nfds_t count, int timeout_ms);
  int (*tcgetattr)(int fd, struct termios *state);
  int (*tcsetattr)(int fd, int action, const struct termios *state);
  int (*ioctl)(int fd, unsigned long request, void *arg);
  int (*flock)(int fd, int operation);
  int (*eventfd)(unsigned int initial, int flags);
  int (*pthread_create)(pthread_t *thread, const pthread_attr_t *attr,
                        void *(*start)(void *), void *arg);
  int (*nanosleep)(const struct timespec *request, struct timespec *remain);
  int (*lstat)(const char *path, struct stat *info);
  int (*fstat)(int fd, struct stat *info);
  ssize_t (*readlink)(const char *path, char *buffer, size_t size);
  int (*socket)(int domain, int type, int protocol);
  int (*connect)(int fd, const struct sockaddr *address, socklen_t length);
  int (*setsockopt)(int fd, int level, int name, const void *value,
                    socklen_t length);
  int (*getsockopt)(int fd, int level, int name, void *value,
                    socklen_t *length);
  ssize_t (*send)(int fd, const void *buffer, size_t count, int flags);
  // Its result is 0 or an EAI_ code, as getaddrinfo's; a planned failure
  // gives -1.
  int (*getaddrinfo)(const char *host, const char *service,
                     const struct addrinfo *hints, struct addrinfo **result);
};

// The real system calls.
const Table &Real();

// The table in force. Swapping it while calls are under way is safe: each
// entry is read once per call.
const Table &Current();
// Puts table in force. It is used in place, not copied, so it must outlive
// its use (a table of static storage duration).
void Install(const Table &table);

}  // namespace ulo::sys

#endif  // ULOPR1_PLATFORM_POSIX_SYSCALLS_H
