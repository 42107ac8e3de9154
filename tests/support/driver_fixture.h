// A host around one driver instance for tests: a private working directory
// (for init files) that is also the port directory, a controller on a
// pseudo-terminal reachable as COM1 (on Windows: at the far end of the COM1
// the test harness maps), the stand-in host runtime with an in-memory log,
// and a zero-filled workspace.
#ifndef ULOPR1_TESTS_SUPPORT_DRIVER_FIXTURE_H
#define ULOPR1_TESTS_SUPPORT_DRIVER_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "controller.h"
#include "instance/workspace.h"
#include "zempro/control.h"

namespace ulo::testing {

constexpr int kInstance = 7;
constexpr char kClientName[] = "PR1_No_07";

// Polls condition until it holds; false when timeout passes first. The
// timeout is generous: a wait that must end ends well within it, even on a
// loaded machine.
template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = 10s) {
  auto until = SteadyClock::now() + timeout;
  while (!condition()) {
    if (SteadyClock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class DriverTest : public ::testing::Test {
 protected:
  DriverTest();
  ~DriverTest() override;

  // Calls UloMain with this instance's workspace.
  int32_t Call(int32_t command, void *args = nullptr,
               int32_t instance = kInstance);
  // Writes the instance's init file.
  void WriteInitFile(const std::string &content, int32_t instance = kInstance);
  // Command 1 on COM1 at 9600 8N1 with the given read timeout (10 ms units).
  int32_t Start(int32_t read_timeout = 20, int32_t enabled = 1,
                const char *port = "COM1");
  // Starts with an empty restart message (a lone CR) and waits until the
  // receiver runs, so tests do not wait for the paced default message.
  void StartQuiet();
  // Tells the receiver to stop and waits until it has ended.
  void StopReceiver();
  // Command 5 or 7 on a gate; value is the 16-bit answer or digital value.
  int32_t ReadGateValue(const char *address, uint16_t *value);
  int32_t WriteDigital(const char *address, uint16_t value);
  int32_t WriteFloat(const char *address, float value);
  // Waits until the gate has received at least `updates` values.
  bool WaitForValue(int32_t gate, uint64_t updates = 1);
  // Makes another pseudo-terminal reachable under name in the port folder.
  // On Windows the names are fixed by the harness: name must be device.
  void LinkPort(const std::string &name, const std::string &device);
  // Switches the process to a German locale, whose decimal separator is a
  // comma, as a host process may (on Linux the locale is generated into the
  // test's folder first). Returns why it could not, or an empty text.
  std::string UseDecimalCommaLocale();
  // Back to the "C" locale every test starts in (the destructor does it too).
  void UseCLocale();

  std::string dir_;
  std::string old_cwd_;
  std::unique_ptr<Controller> controller_;
  zempro::MemoryLog log_;
  alignas(8) unsigned char bytes_[ULO_WORKSPACE_SIZE] = {};
  InstanceWorkspace &ws_ = *reinterpret_cast<InstanceWorkspace *>(bytes_);
};

}  // namespace ulo::testing

#endif  // ULOPR1_TESTS_SUPPORT_DRIVER_FIXTURE_H
