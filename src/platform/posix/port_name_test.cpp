#include "platform/port_name.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

namespace {

std::string PathOf(const char *name, const char *dir = nullptr) {
  char path[256];
  return ulo::os::PortPath(name, dir, path, sizeof path) ? path : "<none>";
}

TEST(PortNameTest, WindowsNamesMapToDevices) {
  EXPECT_EQ(PathOf("NUL"), "/dev/null");
  EXPECT_EQ(PathOf("nul"), "/dev/null");
  EXPECT_EQ(PathOf("COM1"), "/dev/ttyS0");
  EXPECT_EQ(PathOf("com12"), "/dev/ttyS11");
  EXPECT_EQ(PathOf("\\\\.\\COM10"), "/dev/ttyS9");
  EXPECT_EQ(PathOf("COM256"), "/dev/ttyS255");
  for (const char *other : {"COM0", "COM01", "COM257", "COM1x", "COM"}) {
    EXPECT_EQ(PathOf(other), std::string("/dev/") + other);
  }
  EXPECT_EQ(PathOf("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(PathOf("/tmp/line"), "/tmp/line");
  EXPECT_EQ(PathOf(""), "<none>");
  char small[8];
  EXPECT_FALSE(ulo::os::PortPath("ttyUSB0", nullptr, small, sizeof small));
}

TEST(PortNameTest, WithAPortDirectoryNamesResolveOnlyThere) {
  std::string base =
      (std::filesystem::temp_directory_path() / "ulo-names-XXXXXX").string();
  ASSERT_NE(mkdtemp(base.data()), nullptr);
  std::filesystem::path dir = base;
  // A dangling link still names the port: its device is gone, not unknown.
  std::filesystem::create_symlink("/nonexistent/tty", dir / "COM1");
  std::filesystem::create_symlink("/dev/null", dir / "NUL");
  EXPECT_EQ(PathOf("COM1", base.c_str()), base + "/COM1");
  EXPECT_EQ(PathOf("\\\\.\\COM1", base.c_str()), base + "/COM1");
  // A missing or mistyped link never falls back to some other device.
  for (const char *missing : {"COM2", "com1", "ttyS0", "/dev/ttyS0", "../COM1"})
    EXPECT_EQ(PathOf(missing, base.c_str()), "<none>") << missing;
  for (const char *null : {"NUL", "nul", "Nul"})
    EXPECT_EQ(PathOf(null, base.c_str()), "/dev/null") << null;
  EXPECT_EQ(PathOf("COM1", ""), "/dev/ttyS0");
  std::filesystem::remove_all(dir);
}

}  // namespace
