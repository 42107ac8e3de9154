// glibc exports a BSD err() with the driver's signature that prints and
// exits. These tests show that a driver's err() call reaches the host log.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include "zempro/control.h"

extern char **environ;

namespace zempro {
namespace {

using CallErr = void (*)(const char *);

// Runs program with one argument; its exit status, or -1.
int RunProgram(const char *program, const char *argument) {
  char *argv[] = {const_cast<char *>(program), const_cast<char *>(argument),
                  nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ErrSymbol, DriverLoadedAtRunTimeLogsToTheHost) {
  MemoryLog log;
  void *library = dlopen(CALLS_ERR_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  const auto call_err = reinterpret_cast<CallErr>(dlsym(library, "CallErr"));
  ASSERT_NE(call_err, nullptr);
  call_err("loaded");  // the C library's err() would end the program here
  EXPECT_EQ(log.Count(ZEM_CLASS_MESSAGE, "calls_err: loaded"), 1);
  dlclose(library);
}

TEST(ErrSymbol, HostProgramLinkedAsNeededKeepsTheHostErr) {
  EXPECT_EQ(RunProgram(ERR_PROBE_PATH, CALLS_ERR_PATH), 0);
}

// The guard above is needed: the same program without it is ended by the
// C library's err(), with the message class as exit status.
TEST(ErrSymbol, WithoutTheGuardTheCLibraryErrEndsTheProgram) {
  EXPECT_EQ(RunProgram(ERR_PROBE_UNGUARDED_PATH, CALLS_ERR_PATH),
            ZEM_CLASS_MESSAGE);
}

}  // namespace
}  // namespace zempro
