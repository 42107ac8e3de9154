#include "ports.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "pty.h"

namespace ulohost {
namespace {

namespace fs = std::filesystem;

class PortsTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "ulohost_ports_" + std::to_string(getpid());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  Config Site(const std::string &port) {
    Config config;
    ConfigErrors errors;
    EXPECT_TRUE(
        ParseConfig("[[instance]]\nulo = 4\nenabled = true\n"
                    "port = \"" +
                        port + "\"\n",
                    "site.toml", "/", config, errors))
        << errors.ToString();
    return config;
  }

  std::string dir_;
};

TEST_F(PortsTest, NamesMapLikeTheDriversPlatformLayer) {
  EXPECT_EQ(PortDevice("COM1", ""), "/dev/ttyS0");
  EXPECT_EQ(PortDevice("com12", ""), "/dev/ttyS11");
  EXPECT_EQ(PortDevice("\\\\.\\COM12", ""), "/dev/ttyS11");
  EXPECT_EQ(PortDevice("COM0", ""), "/dev/COM0");
  EXPECT_EQ(PortDevice("COM257", ""), "/dev/COM257");
  EXPECT_EQ(PortDevice("nul", ""), "/dev/null");
  EXPECT_EQ(PortDevice("ttyUSB0", ""), "/dev/ttyUSB0");
  EXPECT_EQ(PortDevice("/dev/pts/3", ""), "/dev/pts/3");
  // With a port directory, names resolve only there, even to a dangling
  // link, and a missing entry is that entry, not another device; NUL never
  // looks there.
  fs::create_symlink("/dev/ttyUSB7", dir_ + "/COM1");
  fs::create_symlink("/dev/ttyUSB7", dir_ + "/NUL");
  EXPECT_EQ(PortDevice("COM1", dir_), dir_ + "/COM1");
  EXPECT_EQ(PortDevice("COM2", dir_), dir_ + "/COM2");
  EXPECT_EQ(PortDevice("NUL", dir_), "/dev/null");
}

TEST_F(PortsTest, APortOnALiveTerminalPasses) {
  ulo::tools::Pty pty;
  std::string error;
  ASSERT_TRUE(ulo::tools::OpenPty(pty, error)) << error;
  fs::create_symlink(pty.path, dir_ + "/COM9");
  ConfigErrors errors;
  EXPECT_TRUE(CheckPorts(Site("COM9"), dir_, true, errors))
      << errors.ToString();
  EXPECT_TRUE(errors.list().empty());
  ulo::tools::ClosePty(pty);
}

// A warning for a normal start (the instance is retried), an error for a
// strict one.
TEST_F(PortsTest, AMissingPortNamesItsFieldAndDevice) {
  fs::create_symlink("/dev/no-such-tty", dir_ + "/COM9");
  for (bool strict : {false, true}) {
    ConfigErrors errors;
    ASSERT_FALSE(CheckPorts(Site("COM9"), dir_, strict, errors));
    ASSERT_EQ(errors.list().size(), 1u);
    const ConfigError &error = errors.list()[0];
    EXPECT_EQ(error.file, "site.toml");
    EXPECT_EQ(error.where.line, 4);
    EXPECT_EQ(error.field, "instance[1].port");
    EXPECT_EQ(error.warning, !strict);
    EXPECT_EQ(errors.HasErrors(), strict);
    EXPECT_NE(error.message.find(dir_ + "/COM9 is a link to nothing"),
              std::string::npos)
        << error.message;
  }
  std::string missing = MissingPort("ttyNOPE9", "");
  EXPECT_NE(missing.find("/dev/ttyNOPE9 does not exist"), std::string::npos)
      << missing;
  EXPECT_NE(missing.find("ULO_PORT_DIR"), std::string::npos);
}

TEST_F(PortsTest, AnInstanceWithoutAPortIsNotChecked) {
  Config config;
  ConfigErrors errors;
  ASSERT_TRUE(
      ParseConfig("[[instance]]\nulo = 4\nenabled = false\n"
                  "port = \"ttyNOPE9\"\n",
                  "site.toml", "/", config, errors));
  EXPECT_TRUE(CheckPorts(config, "", true, errors));
}

}  // namespace
}  // namespace ulohost
