#include "driver_fixture.h"

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace ulo::testing {
namespace {

// A new, empty folder for one test.
std::filesystem::path MakeTestDirectory() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device random;
  for (;;) {
    std::filesystem::path dir =
        base / ("ulopr1-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(dir)) return dir;
  }
}

}  // namespace

DriverTest::DriverTest() {
  zempro::Reset();
  zempro::SetWaitMilliseconds(5);
  old_cwd_ = std::filesystem::current_path().string();
  dir_ = MakeTestDirectory().string();
  std::filesystem::current_path(dir_);
#ifndef _WIN32
  setenv("ULO_PORT_DIR", dir_.c_str(), 1);
#endif
  controller_ = std::make_unique<Controller>();
  LinkPort("COM1", controller_->Path());
}

DriverTest::~DriverTest() {
  if ((Shared(ws_.receiver_state).load() & kReceiverStarted) &&
      !(Shared(ws_.receiver_state).load() & kThreadEnded))
    StopReceiver();
  Call(ULO_CMD_CLOSE_PORT);
  UseCLocale();
  std::error_code error;
  std::filesystem::current_path(old_cwd_, error);
  if (error) ADD_FAILURE() << "back to " << old_cwd_ << ": " << error.message();
  std::filesystem::remove_all(dir_, error);
}

int32_t DriverTest::Call(int32_t command, void *args, int32_t instance) {
  UloRequest request{bytes_, command, instance, 0, args};
  return UloMain(&request);
}

void DriverTest::WriteInitFile(const std::string &content, int32_t instance) {
  char name[32];
  snprintf(name, sizeof name, "uloPR1%.2d.int", instance);
  std::ofstream(name, std::ios::binary) << content;
}

int32_t DriverTest::Start(int32_t read_timeout, int32_t enabled,
                          const char *port) {
  StartParameters start{};
  snprintf(start.port, sizeof start.port, "%s", port);
  start.enabled = enabled;
  start.read_timeout = read_timeout;
  start.line = LineSettings{9600, 8, 0, 0};
  return Call(ULO_CMD_START, &start);
}

void DriverTest::StartQuiet() {
  WriteInitFile("\n");
  ASSERT_EQ(Start(), ULO_DONE);
  ASSERT_TRUE(log_.WaitFor(ZEM_CLASS_MESSAGE,
                           "UloPR1: Start Report-By-Exception Thread", 1,
                           5000ms));
}

void DriverTest::StopReceiver() {
  auto client = zempro::FindClient(kClientName);
  if (client) zempro::StopClient(*client);
  EXPECT_TRUE(zempro::WaitClientGone(kClientName, 10000ms));
  EXPECT_TRUE(log_.WaitFor(ZEM_CLASS_MESSAGE,
                           "UloPR1: ShutDown Report By Excption thread", 1,
                           5000ms));
}

int32_t DriverTest::ReadGateValue(const char *address, uint16_t *value) {
  unsigned char block[8] = {};
  GateAccess gate{};
  gate.address = address;
  gate.type = ULO_TYPE_DIGITAL;
  gate.value = block;
  int32_t result = Call(ULO_CMD_READ_GATE, &gate);
  memcpy(value, block + 2, sizeof *value);
  return result;
}

int32_t DriverTest::WriteDigital(const char *address, uint16_t value) {
  unsigned char block[8] = {};
  memcpy(block + 2, &value, sizeof value);
  GateAccess gate{};
  gate.address = address;
  gate.type = ULO_TYPE_DIGITAL;
  gate.value = block;
  return Call(ULO_CMD_WRITE_GATE, &gate);
}

int32_t DriverTest::WriteFloat(const char *address, float value) {
  unsigned char block[8] = {};
  memcpy(block, &value, sizeof value);
  GateAccess gate{};
  gate.address = address;
  gate.type = ULO_TYPE_FLOAT;
  gate.value = block;
  return Call(ULO_CMD_WRITE_GATE, &gate);
}

bool DriverTest::WaitForValue(int32_t gate, uint64_t updates) {
  return Eventually([&] {
    auto value = zempro::ReadGateById(gate);
    return value && value->updates >= updates;
  });
}

#ifdef _WIN32
void DriverTest::LinkPort(const std::string &name, const std::string &device) {
  // COM port names are fixed before the run (scripts/test-windows.sh maps
  // them): a test can only ask for a port under the name it already has.
  if (name != device)
    ADD_FAILURE() << "on Windows " << name << " cannot be made to open "
                  << device;
}
#else
void DriverTest::LinkPort(const std::string &name, const std::string &device) {
  std::filesystem::path link = std::filesystem::path(dir_) / name;
  std::filesystem::remove(link);
  std::filesystem::create_symlink(device, link);
}
#endif

std::string DriverTest::UseDecimalCommaLocale() {
#ifdef _WIN32
  // msvcrt's name for German with Windows' Western code page.
  const char name[] = "German_Germany.1252";
#else
  // Generated into the test's folder from the definitions in Debian's
  // locales package; LOCPATH makes setlocale look for it there.
  const char name[] = "de_DE.UTF-8";
  std::string generate =
      "localedef -i de_DE -f UTF-8 '" + dir_ + "/" + name + "'";
  if (std::system(generate.c_str()) != 0)
    return "'" + generate + "' failed: is Debian's locales package installed?";
  setenv("LOCPATH", dir_.c_str(), 1);
#endif
  if (!std::setlocale(LC_ALL, name))
    return std::string("the C runtime has no locale ") + name;
  if (std::string(std::localeconv()->decimal_point) != ",")
    return std::string("the locale ") + name + " has no decimal comma";
  return "";
}

void DriverTest::UseCLocale() { std::setlocale(LC_ALL, "C"); }

}  // namespace ulo::testing
