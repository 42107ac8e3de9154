// A driver-like library linked into the host program the ordinary way: its
// err() calls reach the host log, not the C library's err().
#include <gtest/gtest.h>

#include "zempro/control.h"

extern "C" void CallErr(const char *text);

namespace zempro {
namespace {

TEST(ErrSymbol, DriverLinkedIntoTheProgramLogsToTheHost) {
  MemoryLog log;
  CallErr("linked");
  EXPECT_EQ(log.Count(ZEM_CLASS_MESSAGE, "calls_err: linked"), 1);
}

}  // namespace
}  // namespace zempro
