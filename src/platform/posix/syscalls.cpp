#include "platform/syscalls.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace ulo::sys {
namespace {

int Open(const char *path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

int Ioctl(int fd, unsigned long request, void *arg) {
  return ::ioctl(fd, request, arg);
}

constexpr Table kReal = {
    .open = Open,
    .close = ::close,
    .read = ::read,
    .write = ::write,
    .poll = ::poll,
    .tcgetattr = ::tcgetattr,
    .tcsetattr = ::tcsetattr,
    .ioctl = Ioctl,
    .flock = ::flock,
    .eventfd = ::eventfd,
    .pthread_create = ::pthread_create,
    .nanosleep = ::nanosleep,
    .lstat = ::lstat,
    .fstat = ::fstat,
    .readlink = ::readlink,
    .socket = ::socket,
    .connect = ::connect,
    .setsockopt = ::setsockopt,
    .getsockopt = ::getsockopt,
    .send = ::send,
    .getaddrinfo = ::getaddrinfo,
};

std::atomic<const Table *> current{&kReal};

}  // namespace

const Table &Real() { return kReal; }

const Table &Current() { return *current.load(std::memory_order_acquire); }

void Install(const Table &table) {
  current.store(&table, std::memory_order_release);
}

}  // namespace ulo::sys
