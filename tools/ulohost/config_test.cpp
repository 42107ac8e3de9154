#include "config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ulopr1/ulo.h"

namespace ulohost {
namespace {

Config Parse(const std::string &text) {
  Config config;
  ConfigErrors errors;
  EXPECT_TRUE(ParseConfig(text, "site.toml", "/srv/site", config, errors))
      << errors.ToString();
  return config;
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
  EXPECT_EQ(first.gates[0].index, 1);
  EXPECT_EQ(first.gates[2].index, 0);  // added by the host

  const InstanceConfig &second = config.instances[1];
  EXPECT_FALSE(second.enabled);
  EXPECT_FALSE(second.line.baud.has_value());  // the driver's default
  EXPECT_FALSE(second.restart_message.has_value());
  ASSERT_EQ(second.gates.size(), 2u);
  EXPECT_EQ(second.gates[0].address, "STATUS");
}

// What a message must say.
struct Message {
  int line;
  std::string field;
  std::string says;
  bool warning = false;
};

struct Case {
  std::string text;
  std::vector<Message> messages;  // in file order; none: accepted silently
};

void PrintTo(const Case &c, std::ostream *out) { *out << c.text; }

class ConfigCheckTest : public testing::TestWithParam<Case> {};

TEST_P(ConfigCheckTest, ReportsEveryMistakeWithFileLineAndField) {
  const Case &c = GetParam();
  Config config;
  ConfigErrors errors;
  bool accepted = ParseConfig(c.text, "site.toml", "/srv/site", config, errors);
  EXPECT_EQ(accepted, std::none_of(c.messages.begin(), c.messages.end(),
                                   [](const Message &m) { return !m.warning; }))
      << errors.ToString();
  ASSERT_EQ(errors.list().size(), c.messages.size()) << errors.ToString();
  for (std::size_t i = 0; i < c.messages.size(); ++i) {
    const ConfigError &error = errors.list()[i];
    const Message &expected = c.messages[i];
    std::string text = error.ToString();
    EXPECT_EQ(error.file, "site.toml");
    EXPECT_EQ(error.where.line, expected.line) << text;
    EXPECT_EQ(error.field, expected.field) << text;
    EXPECT_EQ(error.warning, expected.warning) << text;
    EXPECT_NE(error.message.find(expected.says), std::string::npos) << text;
    EXPECT_EQ(text.rfind("site.toml:" + std::to_string(expected.line) + ":", 0),
              0u)
        << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ConfigCheckTest,
    testing::Values(
        Case{"[host]\ncom_interval = 5\n[[instance]\n", {{3, "", ""}}},
        Case{"[host]\ncom_intervall = 5\n" + std::string(kInstance),
             {{2, "host.com_intervall", "unknown field"}}},
        Case{"[host]\ncom_interval = \"5\"\n" + std::string(kInstance),
             {{2, "host.com_interval", "must be a number"}}},
        Case{"[host]\ncom_interval = 0\n" + std::string(kInstance),
             {{2, "host.com_interval", "must be"}}},
        Case{"[host]\nwait_min_ms = 50\nwait_max_ms = 20\n" +
                 std::string(kInstance),
             {{3, "host.wait_max_ms", "wait_min_ms"}}},
        Case{"[host]\nworkdir = \"no/such/dir\"\n" + std::string(kInstance),
             {{2, "host.workdir", "/srv/site/no/such/dir does not exist"}}},
        Case{"[host]\n", {{1, "instance", "no [[instance]]"}}},
        Case{"instance = 3\n", {{1, "instance", "list of tables"}}},
        Case{"[[instance]]\nport = \"COM1\"\n",
             {{1, "instance[1].ulo", "missing"}}},
        Case{"[[instance]]\nulo = 0\nport = \"COM1\"\n",
             {{2, "instance[1].ulo", "1 to 255"}}},
        Case{"[[instance]]\nulo = 1\n", {{1, "instance[1].port", "missing"}}},
        Case{"[[instance]]\nulo = 1\nport = \"ttyUSB0-site-a\"\n",
             {{3, "instance[1].port", "longer than 11"}}},
        Case{"[[instance]]\nulo = 1\nport = \"COM1\"\nbaud = 115200\n",
             {{4, "instance[1].baud", "16 bits"}}},
        Case{"[[instance]]\nulo = 1\nport = \"COM1\"\nparity = \"evn\"\n",
             {{4, "instance[1].parity", "'evn'"}}},
        Case{"[[instance]]\nulo = 1\nport = \"COM1\"\nstop_bits = 1.2\n",
             {{4, "instance[1].stop_bits", "1, 1.5 or 2"}}},
        Case{"[[instance]]\nulo = 1\nport = \"COM1\"\n"
             "read_timeout_ms = 105\n",
             {{4, "instance[1].read_timeout_ms", "multiple of 10"}}},
        Case{"[[instance]]\nulo = 1\nport = \"COM1\"\n"
             "restart_message = \"" +
                 std::string(50, 'R') + "\"\n",
             {{4, "instance[1].restart_message", "at most 49"}}},
        Case{"[[instance]]\nulo = 1\nport = \"COM1\"\n"
             "restart_message = \"A\\nB\"\n",
             {{4, "instance[1].restart_message", "one line"}}},
        Case{std::string(kInstance) + "[[instance]]\nulo = 1\nport = "
                                      "\"COM2\"\n",
             {{6, "instance[2].ulo", "line 2"}}},
        Case{std::string(kInstance) + "[[instance]]\nulo = 2\nport = "
                                      "\"com1\"\n",
             {{7, "instance[2].port", "ulo 1"}}},
        Case{std::string(kInstance) +
                 "[[instance.gate]]\naddress = \"$T1\"\ntype = "
                 "\"analog\"\n",
             {{7, "instance[1].gate[1].type", "'analog'"}}},
        Case{std::string(kInstance) + "[[instance.gate]]\naddress = \"$T1\"\n",
             {{5, "instance[1].gate[1].type", "missing"}}},
        Case{std::string(kInstance) +
                 "[[instance.gate]]\naddress = \"$T1=2\"\ntype = "
                 "\"float\"\n",
             {{6, "instance[1].gate[1].address", "'='"}}},
        Case{std::string(kInstance) + "[[instance.gate]]\naddress = \"$" +
                 std::string(31, 'X') + "\"\ntype = \"float\"\n",
             {{6, "instance[1].gate[1].address", "longer than 31"}}},
        Case{std::string(kInstance) +
                 "gate = [{address = \"$T1\", type = \"float\"},\n"
                 "        {address = \"$T1\", type = \"digital\"}]\n",
             {{6, "instance[1].gate[2].address", "line 5"}}},
        Case{std::string(kInstance) +
                 "gate = [{address = \"STATUS\", type = \"digital\"},\n"
                 "        {address = \"Status\", type = \"digital\"}]\n",
             {{6, "instance[1].gate[2].address", "already defined"}}},
        Case{std::string(kInstance) +
                 "[[instance.gate]]\naddress = \"$T1\"\ntype = "
                 "\"float\"\nlabel = \"\\u001b[2J\"\n",
             {{8, "instance[1].gate[1].label", "control character"}}},
        Case{std::string(kInstance) + "gate = \"$T1\"\n",
             {{5, "instance[1].gate", "list of gates"}}},
        // Every mistake of a file in one reading, in file order.
        Case{"[host]\nworkdir = \"no/such/dir\"\nport_dir = \"ports\"\n"
             "[[instance]]\nulo = 0\nport = \"COM1\"\nbaud = \"fast\"\n",
             {{2, "host.workdir", "/srv/site/no/such/dir does not exist"},
              {3, "host.port_dir", "/srv/site/ports does not exist"},
              {5, "instance[1].ulo", "1 to 255"},
              {7, "instance[1].baud", "whole number"}}},
        Case{"[host]\nbogus = 1\nwrong = 2\n" + std::string(kInstance),
             {{2, "host.bogus", "unknown field"},
              {3, "host.wrong", "unknown field"}}},
        Case{"[[instance]]\nport = 5\n",
             {{1, "instance[1].ulo", "missing"},
              {2, "instance[1].port", "must be a string"}}},
        // A data gate is taken in upper case, as the driver and the
        // controller know it; STATUS and COM in any case.
        Case{std::string(kInstance) +
                 "gate = [{address = \"$sp2\", type = \"float\"},\n"
                 "        {address = \"$SP2\", type = \"float\"},\n"
                 "        {address = \"com\", type = \"digital\"}]\n",
             {{5, "instance[1].gate[1].address", "write '$SP2'", true},
              {6, "instance[1].gate[2].address", "'$SP2' is already defined"}}},
        Case{std::string(kInstance) + "restart_message = \"\"\n",
             {{5, "instance[1].restart_message", "must not be empty"}}},
        Case{std::string(kInstance) + "restart_message = \"  \"\n",
             {{5, "instance[1].restart_message", "must not be empty"}}},
        Case{std::string(kInstance) + "restart_message = \"$SP2=99\"\n",
             {{5, "instance[1].restart_message", "'$SP2=99' is a write line"}}},
        Case{std::string(kInstance) + "restart_message = \"@DO1=1\"\n",
             {{5, "instance[1].restart_message", "is a write line"}}},
        Case{std::string(kInstance) + "restart_message = \"SET A=1\"\n", {}},
        Case{std::string(kInstance) + "baud = 14400\n", {}},
        // The MQTT gateway: the broker's address, topics, TLS and the
        // password, which never comes from the config itself.
        Case{"[mqtt]\n" + std::string(kInstance), {{1, "mqtt.url", "missing"}}},
        Case{"[mqtt]\nurl = \"http://broker\"\nqos = 3\nkeepalive = 1\n"
             "retain = true\n" +
                 std::string(kInstance),
             {{2, "mqtt.url", "'http://broker' is not a broker address"},
              {3, "mqtt.qos", "0 to 2"},
              {4, "mqtt.keepalive", "5 to 65535"},
              {5, "mqtt.retain", "unknown field"}}},
        Case{"[mqtt]\nurl = \"mqtt://broker:0\"\n" + std::string(kInstance),
             {{2, "mqtt.url", "the port must be from 1 to 65535"}}},
        Case{"[mqtt]\nurl = \"mqtt://:1883\"\n" + std::string(kInstance),
             {{2, "mqtt.url", "names no valid host"}}},
        Case{"[mqtt]\nurl = \"unix:\"\n" + std::string(kInstance),
             {{2, "mqtt.url", "names no socket"}}},
        Case{"[mqtt]\nurl = \"mqtt://[::1]:1884\"\nsite = \"a/b\"\n"
             "base_topic = \"plant/+/x\"\n" +
                 std::string(kInstance),
             {{3, "mqtt.site", "one topic level"},
              {4, "mqtt.base_topic", "wildcard"}}},
        Case{"[mqtt]\nurl = \"mqtt://broker\"\nbase_topic = \"plant//x\"\n"
             "ca_file = \"/dev/null\"\n" +
                 std::string(kInstance),
             {{3, "mqtt.base_topic", "empty topic level"},
              {4, "mqtt.ca_file", "TLS files need an mqtts:// url"}}},
        Case{"[mqtt]\nurl = \"mqtts://broker\"\ncert_file = \"/dev/null\"\n"
             "ca_file = \"no/such.pem\"\n" +
                 std::string(kInstance),
             {{1, "mqtt.key_file", "needs both cert_file and key_file"},
              {4, "mqtt.ca_file", "cannot read /srv/site/no/such.pem"}}},
        Case{"[mqtt]\nurl = \"mqtt://broker\"\npassword_env = \"PATH\"\n" +
                 std::string(kInstance),
             {{3, "mqtt.password_env", "a password needs a username"}}},
        Case{"[mqtt]\nurl = \"mqtt://broker\"\nusername = \"gw\"\n"
             "password_env = \"ULOHOST_TEST_UNSET\"\n" +
                 std::string(kInstance),
             {{4, "mqtt.password_env", "'ULOHOST_TEST_UNSET' is not set"}}},
        Case{"[mqtt]\nurl = \"mqtt://broker\"\nusername = \"gw\"\n"
             "password_file = \"/dev/null\"\n" +
                 std::string(kInstance),
             {{4, "mqtt.password_file", "/dev/null is empty"}}},
        Case{"[mqtt]\nurl = \"mqtts://broker:8884\"\nqos = 2\n"
             "clean_session = false\nusername = \"gw\"\n"
             "password_env = \"PATH\"\n" +
                 std::string(kInstance),
             {}},
        Case{std::string(kInstance) +
                 "gate = [{address = \"$SP1\", type = \"float\", "
                 "writable = 1},\n"
                 "        {address = \"com\", type = \"digital\", "
                 "writable = true}]\n",
             {{5, "instance[1].gate[1].writable", "must be true or false"},
              {6, "instance[1].gate[2].writable", "read, not written"}}},
        Case{std::string(kInstance) + "baud = 9601\n",
             {{5, "instance[1].baud", "9601 is not a usual rate", true}}}));

TEST(ConfigTest, ReadsTheBrokerAddressAndTheGatewaysDefaults) {
  Config tcp =
      Parse("[mqtt]\nurl = \"mqtt://[::1]\"\n" + std::string(kInstance));
  ASSERT_TRUE(tcp.mqtt);
  EXPECT_EQ(tcp.mqtt->transport, MqttConfig::Transport::kTcp);
  EXPECT_EQ(tcp.mqtt->host, "::1");
  EXPECT_EQ(tcp.mqtt->port, 1883);
  EXPECT_EQ(tcp.mqtt->qos, 1);
  EXPECT_TRUE(tcp.mqtt->clean_session);
  EXPECT_TRUE(tcp.mqtt->base_topic.empty());
  Config unix_socket = Parse(
      "[mqtt]\nurl = \"unix:run/mqtt.sock\"\n"
      "base_topic = \"plant/hall 2\"\n" +
      std::string(kInstance));
  ASSERT_TRUE(unix_socket.mqtt);
  EXPECT_EQ(unix_socket.mqtt->transport, MqttConfig::Transport::kUnix);
  EXPECT_EQ(unix_socket.mqtt->host, "/srv/site/run/mqtt.sock");
  EXPECT_EQ(unix_socket.mqtt->port, 0);
  EXPECT_EQ(unix_socket.mqtt->base_topic, "plant/hall 2");
  EXPECT_FALSE(Parse(kInstance).mqtt);
}

TEST(ConfigTest, ARestartMessageOf49CharactersFits) {
  Config config = Parse(std::string(kInstance) + "restart_message = \"" +
                        std::string(49, 'R') + "\"\n");
  EXPECT_EQ(config.instances[0].restart_message->size(), 49u);
}

TEST(ConfigTest, DataGatesAreKeptInUpperCaseStatusGatesAsWritten) {
  Config config =
      Parse(std::string(kInstance) +
            "gate = [{address = \"@do1\", type = \"digital\"},\n"
            "        {address = \"Status\", type = \"digital\"}]\n");
  ASSERT_EQ(config.instances[0].gates.size(), 3u);
  EXPECT_EQ(config.instances[0].gates[0].address, "@DO1");
  EXPECT_EQ(config.instances[0].gates[1].address, "Status");
}

TEST(ConfigTest, AnInstanceWithoutAPortNeedsNone) {
  Config config = Parse("[[instance]]\nulo = 3\nenabled = false\n");
  EXPECT_TRUE(config.instances[0].port.empty());
}

TEST(ConfigTest, MissingFileIsNamed) {
  Config config;
  ConfigErrors errors;
  EXPECT_FALSE(LoadConfig("/no/such/site.toml", config, errors));
  EXPECT_EQ(errors.ToString(),
            "/no/such/site.toml: cannot open the config file\n");
}

TEST(ConfigTest, LoadTakesRelativePathsFromTheFilesDirectory) {
  std::filesystem::path dir = testing::TempDir() + "ulohost_config_test";
  std::filesystem::create_directories(dir / "logs");
  std::ofstream(dir / "site.toml")
      << "[host]\nlog = \"logs/host.log\"\nworkdir = \"logs\"\n"
      << kInstance;
  Config config;
  ConfigErrors errors;
  ASSERT_TRUE(LoadConfig((dir / "site.toml").string(), config, errors))
      << errors.ToString();
  EXPECT_EQ(config.host.log, (dir / "logs" / "host.log").string());
  EXPECT_EQ(config.host.workdir, (dir / "logs").string());
  std::filesystem::remove_all(dir);
}

TEST(ConfigTest, TheExampleSiteIsValid) {
  Config config;
  ConfigErrors errors;
  ASSERT_TRUE(LoadConfig(ULOHOST_EXAMPLES_DIR "/site.toml", config, errors))
      << errors.ToString();
  EXPECT_EQ(errors.list().size(), 0u) << errors.ToString();
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
