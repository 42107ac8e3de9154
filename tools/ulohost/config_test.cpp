#include "config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

Config Parse(const std::string &text) {
  Config config;
  ConfigError error;
  EXPECT_TRUE(ParseConfig(text, "site.toml", "/srv/site", config, error))
      << error.ToString();
  return config;
}

ConfigError Fail(const std::string &text) {
  Config config;
  ConfigError error;
  EXPECT_FALSE(ParseConfig(text, "site.toml", "/srv/site", config, error))
      << text;
  return error;
}

constexpr const char *kInstance = R"(
[[instance]]
ulo = 1
port = "COM1"
)";

TEST(ConfigTest, ReadsInstancesGatesAndLineSettings) {
  Config config = Parse(R"(
[host]
driver = "lib/libulopr1.so"
log = "/var/log/ulohost.log"
com_interval = 2.5
reconnect_after = 0

[[instance]]
ulo = 7
port = "ttyUSB0"
baud = 19200
data_bits = 7
parity = "Even"
stop_bits = 1.5
read_timeout_ms = 250
restart_message = "RESTART 7"

[[instance.gate]]
address = "$T1"
type = "float"
label = "Office"

[[instance.gate]]
address = "status"
type = "digital"

[[instance]]
ulo = 8
enabled = false
)");
  EXPECT_EQ(config.host.driver, "/srv/site/lib/libulopr1.so");
  EXPECT_EQ(config.host.log, "/var/log/ulohost.log");
  EXPECT_EQ(config.host.workdir, "/srv/site");
  EXPECT_EQ(config.host.com_interval, 2.5);
  EXPECT_EQ(config.host.reconnect_after, 0);
  ASSERT_EQ(config.instances.size(), 2u);

  const InstanceConfig &first = config.instances[0];
  EXPECT_EQ(first.ulo, 7);
  EXPECT_EQ(first.port, "ttyUSB0");
  EXPECT_EQ(first.port_where.line, 10);
  EXPECT_EQ(*first.line.baud, 19200);
  EXPECT_EQ(*first.line.data_bits, 7);
  EXPECT_EQ(*first.line.parity, 2);
  EXPECT_EQ(*first.line.stop_bits, 1);
  EXPECT_EQ(first.read_timeout, 25);
  EXPECT_EQ(*first.restart_message, "RESTART 7");
  // The config's own "status" stands; COM is added.
  ASSERT_EQ(first.gates.size(), 3u);
  EXPECT_EQ(first.gates[0].address, "$T1");
  EXPECT_EQ(first.gates[0].type, ULO_TYPE_FLOAT);
  EXPECT_EQ(first.gates[0].label, "Office");
  EXPECT_EQ(first.gates[0].where.line, 19);
  EXPECT_EQ(first.gates[1].address, "status");
  EXPECT_EQ(first.gates[2].address, "COM");
  EXPECT_EQ(first.gates[2].type, ULO_TYPE_DIGITAL);

  const InstanceConfig &second = config.instances[1];
  EXPECT_FALSE(second.enabled);
  EXPECT_FALSE(second.line.baud.has_value());  // the driver's default
  EXPECT_FALSE(second.restart_message.has_value());
  ASSERT_EQ(second.gates.size(), 2u);
  EXPECT_EQ(second.gates[0].address, "STATUS");
}

struct BadConfig {
  std::string text;
  int line;
  std::string field;
  std::string says;
};

class ConfigErrorTest : public testing::TestWithParam<BadConfig> {};

TEST_P(ConfigErrorTest, NamesFileLineAndField) {
  const BadConfig &bad = GetParam();
  ConfigError error = Fail(bad.text);
  EXPECT_EQ(error.file, "site.toml");
  EXPECT_EQ(error.where.line, bad.line) << error.ToString();
  EXPECT_EQ(error.field, bad.field) << error.ToString();
  EXPECT_NE(error.message.find(bad.says), std::string::npos)
      << error.ToString();
  std::string text = error.ToString();
  EXPECT_EQ(text.rfind("site.toml:" + std::to_string(bad.line) + ":", 0), 0u)
      << text;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ConfigErrorTest,
    testing::Values(
        BadConfig{"[host]\ncom_interval = 5\n[[instance]\n", 3, "", ""},
        BadConfig{"[host]\ncom_intervall = 5\n", 2, "host.com_intervall",
                  "unknown field"},
        BadConfig{"[host]\ncom_interval = \"5\"\n", 2, "host.com_interval",
                  "must be a number"},
        BadConfig{"[host]\ncom_interval = 0\n", 2, "host.com_interval",
                  "must be"},
        BadConfig{"[host]\nwait_min_ms = 50\nwait_max_ms = 20\n", 3,
                  "host.wait_max_ms", "wait_min_ms"},
        BadConfig{"[host]\nworkdir = \"no/such/dir\"\n", 2, "host.workdir",
                  "/srv/site/no/such/dir does not exist"},
        BadConfig{"[host]\n", 1, "instance", "no [[instance]]"},
        BadConfig{"instance = 3\n", 1, "instance", "list of tables"},
        BadConfig{"[[instance]]\nport = \"COM1\"\n", 1, "instance[1].ulo",
                  "missing"},
        BadConfig{"[[instance]]\nulo = 0\nport = \"COM1\"\n", 2,
                  "instance[1].ulo", "1 to 255"},
        BadConfig{"[[instance]]\nulo = 1\n", 1, "instance[1].port", "missing"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"ttyUSB0-site-a\"\n", 3,
                  "instance[1].port", "longer than 11"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"COM1\"\nbaud = 115200\n", 4,
                  "instance[1].baud", "16 bits"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"COM1\"\nparity = \"evn\"\n",
                  4, "instance[1].parity", "'evn'"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"COM1\"\nstop_bits = 1.2\n",
                  4, "instance[1].stop_bits", "1, 1.5 or 2"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"COM1\"\n"
                  "read_timeout_ms = 105\n",
                  4, "instance[1].read_timeout_ms", "multiple of 10"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"COM1\"\n"
                  "restart_message = \"" +
                      std::string(50, 'R') + "\"\n",
                  4, "instance[1].restart_message", "at most 49"},
        BadConfig{"[[instance]]\nulo = 1\nport = \"COM1\"\n"
                  "restart_message = \"A\\nB\"\n",
                  4, "instance[1].restart_message", "one line"},
        BadConfig{std::string(kInstance) + "[[instance]]\nulo = 1\nport = "
                                           "\"COM2\"\n",
                  6, "instance[2].ulo", "line 2"},
        BadConfig{std::string(kInstance) + "[[instance]]\nulo = 2\nport = "
                                           "\"com1\"\n",
                  7, "instance[2].port", "ulo 1"},
        BadConfig{std::string(kInstance) +
                      "[[instance.gate]]\naddress = \"$T1\"\ntype = "
                      "\"analog\"\n",
                  7, "instance[1].gate[1].type", "'analog'"},
        BadConfig{
            std::string(kInstance) + "[[instance.gate]]\naddress = \"$T1\"\n",
            5, "instance[1].gate[1].type", "missing"},
        BadConfig{std::string(kInstance) +
                      "[[instance.gate]]\naddress = \"$T1=2\"\ntype = "
                      "\"float\"\n",
                  6, "instance[1].gate[1].address", "'='"},
        BadConfig{std::string(kInstance) + "[[instance.gate]]\naddress = \"$" +
                      std::string(31, 'X') + "\"\ntype = \"float\"\n",
                  6, "instance[1].gate[1].address", "longer than 31"},
        BadConfig{std::string(kInstance) +
                      "gate = [{address = \"$T1\", type = \"float\"},\n"
                      "        {address = \"$T1\", type = \"digital\"}]\n",
                  6, "instance[1].gate[2].address", "line 5"},
        BadConfig{std::string(kInstance) +
                      "gate = [{address = \"STATUS\", type = \"digital\"},\n"
                      "        {address = \"Status\", type = \"digital\"}]\n",
                  6, "instance[1].gate[2].address", "already defined"},
        BadConfig{std::string(kInstance) +
                      "[[instance.gate]]\naddress = \"$T1\"\ntype = "
                      "\"float\"\nlabel = \"\\u001b[2J\"\n",
                  8, "instance[1].gate[1].label", "control character"},
        BadConfig{std::string(kInstance) + "gate = \"$T1\"\n", 5,
                  "instance[1].gate", "list of gates"}));

TEST(ConfigTest, ARestartMessageOf49CharactersFits) {
  Config config = Parse(std::string(kInstance) + "restart_message = \"" +
                        std::string(49, 'R') + "\"\n");
  EXPECT_EQ(config.instances[0].restart_message->size(), 49u);
}

TEST(ConfigTest, AnInstanceWithoutAPortNeedsNone) {
  Config config = Parse("[[instance]]\nulo = 3\nenabled = false\n");
  EXPECT_TRUE(config.instances[0].port.empty());
}

TEST(ConfigTest, MissingFileIsNamed) {
  Config config;
  ConfigError error;
  EXPECT_FALSE(LoadConfig("/no/such/site.toml", config, error));
  EXPECT_EQ(error.file, "/no/such/site.toml");
  EXPECT_NE(error.ToString().find("/no/such/site.toml"), std::string::npos);
}

TEST(ConfigTest, LoadTakesRelativePathsFromTheFilesDirectory) {
  std::filesystem::path dir = testing::TempDir() + "ulohost_config_test";
  std::filesystem::create_directories(dir / "logs");
  std::ofstream(dir / "site.toml")
      << "[host]\nlog = \"logs/host.log\"\nworkdir = \"logs\"\n"
      << kInstance;
  Config config;
  ConfigError error;
  ASSERT_TRUE(LoadConfig((dir / "site.toml").string(), config, error))
      << error.ToString();
  EXPECT_EQ(config.host.log, (dir / "logs" / "host.log").string());
  EXPECT_EQ(config.host.workdir, (dir / "logs").string());
  std::filesystem::remove_all(dir);
}

TEST(ConfigTest, TheExampleSiteIsValid) {
  Config config;
  ConfigError error;
  ASSERT_TRUE(LoadConfig(ULOHOST_EXAMPLES_DIR "/site.toml", config, error))
      << error.ToString();
  EXPECT_EQ(config.instances.size(), 2u);
}

TEST(ConfigTest, InitFileNamesHaveAtLeastTwoDigits) {
  EXPECT_EQ(InitFileName(7), "uloPR107.int");
  EXPECT_EQ(InitFileName(42), "uloPR142.int");
  EXPECT_EQ(InitFileName(255), "uloPR1255.int");
}

TEST(ConfigTest, LineSettingWordsRoundTrip) {
  for (uint16_t code = 0; code < 5; ++code) {
    EXPECT_EQ(ParityCode(ParityName(code)), code);
  }
  EXPECT_EQ(ParityCode("MARK"), 3);
  EXPECT_FALSE(ParityCode("sometimes"));
  EXPECT_EQ(StopBitsName(*StopBitsCode(1.5)), "1.5");
  EXPECT_FALSE(StopBitsCode(3));
}

}  // namespace
}  // namespace ulohost
