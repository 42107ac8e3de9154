#include "gates/gates.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "driver_fixture.h"

namespace ulo::testing {
namespace {

class GateCheckTest : public DriverTest {
 protected:
  int32_t Check(const char *address, int32_t type, GateDefinition *out) {
    *out = GateDefinition{};
    out->address = address;
    out->input = 77;
    out->type = type;
    out->zero16 = out->zero20 = -1;
    out->copy24 = -1;
    return Call(ULO_CMD_CHECK_GATE, out);
  }
};

TEST_F(GateCheckTest, StatusAndComInAnyCaseMustBeDigital) {
  GateDefinition d;
  for (const char *name : {"status", "Status", "STATUS", "com", "cOm"}) {
    EXPECT_EQ(Check(name, ULO_TYPE_DIGITAL, &d), ULO_DONE) << name;
    EXPECT_EQ(d.v255, 255);
    EXPECT_EQ(d.width, 16);
    EXPECT_EQ(d.zero16, 0);
    EXPECT_EQ(d.zero20, 0);
    EXPECT_EQ(d.copy24, -1);
  }
  for (int32_t type : {0, int32_t{ULO_TYPE_FLOAT}, 5})
    EXPECT_EQ(Check("Status", type, &d), ULO_REFUSED) << type;
  EXPECT_EQ(log_.Count(32, "ULOPR1: Parse failed. gate STATUS must be digital"),
            3);
}

TEST_F(GateCheckTest, DataGatesTakeTheInputAndTheirWidth) {
  GateDefinition d;
  EXPECT_EQ(Check("$T1", ULO_TYPE_FLOAT, &d), ULO_DONE);
  EXPECT_EQ(d.copy24, 77);
  EXPECT_EQ(d.width, 32);
  EXPECT_EQ(Check("@DO3", ULO_TYPE_DIGITAL, &d), ULO_DONE);
  EXPECT_EQ(d.copy24, 77);
  EXPECT_EQ(d.width, 16);
  for (int32_t type : {0, 4, 5, 7})
    EXPECT_EQ(Check("$T1", type, &d), ULO_REFUSED) << type;
  EXPECT_EQ(d.copy24, 77);
  EXPECT_EQ(Check("T1", ULO_TYPE_FLOAT, &d), ULO_REFUSED);
  EXPECT_EQ(d.copy24, -1);
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(GateCheckTest, TheScratchHoldsTheShiftedAddress) {
  GateDefinition d;
  const char address[] = "$t1\xe4z{";
  Check(address, ULO_TYPE_FLOAT, &d);
  EXPECT_EQ(std::string(ws_.address), "$T1\xc4Z[");
  for (size_t i = std::strlen(address); i < sizeof ws_.address; ++i)
    EXPECT_EQ(ws_.address[i], '\0');
}

TEST_F(GateCheckTest, AddressesLongerThan31AreRefused) {
  GateDefinition d;
  std::string max = "$" + std::string(30, 'A');
  EXPECT_EQ(Check(max.c_str(), ULO_TYPE_FLOAT, &d), ULO_DONE);
  std::string longer = max + "B";
  EXPECT_EQ(Check(longer.c_str(), ULO_TYPE_FLOAT, &d), ULO_REFUSED);
  EXPECT_EQ(d.v255, 255);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Gate " + longer +
                               ": address longer than 31 characters"),
            1);
}

class GateReadTest : public DriverTest {};

TEST_F(GateReadTest, DataGatesAreNotRead) {
  StartQuiet();
  unsigned char block[8];
  std::memset(block, 0xAA, sizeof block);
  GateAccess gate{};
  gate.address = "$t1";
  gate.value = block;
  EXPECT_EQ(Call(ULO_CMD_READ_GATE, &gate), ULO_REFUSED);
  EXPECT_EQ(block[2], 0xAA);
  EXPECT_EQ(
      log_.Count(32, "ULOPR1: ULO 7. Gate $T1 should be in 'Sample=Never'"), 1);
  std::string longer(40, 'x');
  gate.address = longer.c_str();
  EXPECT_EQ(Call(ULO_CMD_READ_GATE, &gate), ULO_REFUSED);
}

TEST_F(GateReadTest, StatusSendsTheRestartMessageAndReportsCommFailure) {
  WriteInitFile("RS\n");
  ASSERT_EQ(Start(), ULO_DONE);
  size_t from = controller_->Received().size();
  uint16_t value = 0;
  EXPECT_EQ(ReadGateValue("status", &value), ULO_DONE);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(controller_->Received().substr(from), "RS\r");
  // Nothing from the controller: COM waits its two seconds, fails and tells
  // the host.
  auto begin = SteadyClock::now();
  EXPECT_EQ(ReadGateValue("COM", &value), ULO_COMM_FAILURE);
  EXPECT_GE(SteadyClock::now() - begin, 1900ms);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(zempro::GetCommStatus(kInstance).failures, 1);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Comms fail! Ulo 7"), 1);
  EXPECT_EQ(ReadGateValue("STATUS", &value), ULO_COMM_FAILURE);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(log_.Count(32, "ULOPR1: Comms fail! Ulo 7"), 2);
  // The controller talks: COM clears the failure without telling the host.
  controller_->Send("x");
  EXPECT_EQ(ReadGateValue("COM", &value), ULO_DONE);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(ReadGateValue("STATUS", &value), ULO_DONE);
  EXPECT_EQ(zempro::GetCommStatus(kInstance).failures, 1);
}

TEST_F(GateReadTest, ComCountsBytesSeenSinceTheLastRead) {
  int32_t t1 = zempro::DefineGate(kInstance, "$T1", ULO_TYPE_FLOAT);
  StartQuiet();
  controller_->Send(Frame("$T1=1"));
  ASSERT_TRUE(WaitForValue(t1));  // seen before the COM read begins
  uint16_t value = 0;
  EXPECT_EQ(ReadGateValue("COM", &value), ULO_DONE);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(ReadGateValue("COM", &value), ULO_COMM_FAILURE);
}

TEST_F(GateReadTest, ComTakesAByteArrivingLateInItsWait) {
  StartQuiet();
  std::thread late([&] {
    std::this_thread::sleep_for(1600ms);  // well into the two seconds
    controller_->Send("x");
  });
  uint16_t value = 0;
  EXPECT_EQ(ReadGateValue("COM", &value), ULO_DONE);
  late.join();
  EXPECT_EQ(value, 1);
}

}  // namespace
}  // namespace ulo::testing
