// ulopr1.dll as a Windows host uses it: loaded with LoadLibrary, UloMain
// found by its plain name, and the host functions bound to the zempro.dll
// this program uses as well, so that what the driver hands to the host
// arrives here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver_fixture.h"
#include "platform/os.h"

namespace ulo::testing {
namespace {

constexpr auto kWait = 5000ms;

using UloMainFunction = int32_t (*)(UloRequest *);

// Loaded once and kept, as a host keeps its drivers: a receiver thread may
// still be on its way out of the library's code when a test ends.
UloMainFunction DllUloMain() {
  static HMODULE dll = LoadLibraryA("ulopr1.dll");
  if (!dll) return nullptr;
  return reinterpret_cast<UloMainFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, "UloMain")));
}

TEST(DriverDll, LoadsAndDescribesItself) {
  ASSERT_NE(DllUloMain(), nullptr);
  DriverDescription description{};
  UloRequest request{nullptr, ULO_CMD_DESCRIBE, 0, 0, &description};
  EXPECT_EQ(DllUloMain()(&request), ULO_DONE);
  EXPECT_STREQ(description.name, "Landis & Staefa PRV1");
  EXPECT_EQ(description.workspace_size, ULO_WORKSPACE_SIZE);
  EXPECT_EQ(description.line.baud, 9600);
}

class DriverDllTest : public DriverTest {
 protected:
  int32_t CallDll(int32_t command, void *args = nullptr) {
    UloRequest request{bytes_, command, kInstance, 0, args};
    return DllUloMain()(&request);
  }
};

TEST_F(DriverDllTest, AnInstanceRunsFromStartToStop) {
  ASSERT_NE(DllUloMain(), nullptr);
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  WriteInitFile("HELLO\n");
  StartParameters start{};
  std::snprintf(start.port, sizeof start.port, "%s",
                controller_->Path().c_str());
  start.enabled = 1;
  start.read_timeout = 20;
  start.line = LineSettings{9600, 8, 0, 0};
  ASSERT_EQ(CallDll(ULO_CMD_START, &start), ULO_DONE);
  EXPECT_EQ(controller_->Received(), "HELLO\r");
  ASSERT_TRUE(
      log_.WaitFor(32, "UloPR1: Start Report-By-Exception Thread", 1, kWait));

  // A report from the controller becomes the gate's value in the host.
  controller_->Send(Frame("$T1=21.5"));
  ASSERT_TRUE(log_.WaitFor(8, "ULOPR1: $T1 received from ULO 7", 1, kWait));
  ASSERT_TRUE(zempro::ReadGateById(t1).has_value());
  EXPECT_DOUBLE_EQ(zempro::ReadGateById(t1)->value, 21.5);

  // A write the controller echoes is confirmed.
  controller_->SetResponder([](const std::string &line) { return line; });
  unsigned char block[8] = {};
  uint16_t on = 1;
  std::memcpy(block + 2, &on, sizeof on);
  GateAccess gate{};
  gate.address = "@DO3";
  gate.type = ULO_TYPE_DIGITAL;
  gate.value = block;
  EXPECT_EQ(CallDll(ULO_CMD_WRITE_GATE, &gate), ULO_DONE);
  EXPECT_TRUE(controller_->WaitFor("@DO3=1\r", kWait));

  // When the host stops the client the receiver ends, and the instance
  // answers every command with 0 from then on.
  StopReceiver();
  EXPECT_EQ(CallDll(ULO_CMD_UNSUPPORTED), ULO_DONE);
  EXPECT_EQ(ws_.event, 0u);
}

}  // namespace
}  // namespace ulo::testing
