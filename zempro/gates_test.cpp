// Gates per instance, values, refusals, subscriptions and comm status.
#include <gtest/gtest.h>

#include "zempro/control.h"

namespace zempro {
namespace {

class GateTest : public testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }

  static std::optional<int32_t> Lookup(uint8_t instance, const char *address) {
    int32_t id = -1;
    if (Zem5GetGateIdByAddressStr(1, instance, address, &id) != 0) {
      return std::nullopt;
    }
    return id;
  }
};

TEST_F(GateTest, LooksUpExactAddressesPerInstance) {
  const int32_t t1_on_1 = DefineGate(1, "$T1", 3);
  const int32_t t1_on_2 = DefineGate(2, "$T1", 3);
  const int32_t lamp = DefineGate(1, "@L1", 6);
  EXPECT_GE(t1_on_1, 1);
  EXPECT_NE(t1_on_1, t1_on_2);
  EXPECT_EQ(DefineGate(1, "$T1", 3), t1_on_1);
  EXPECT_EQ(Gates().size(), 3u);

  EXPECT_EQ(Lookup(1, "$T1"), t1_on_1);
  EXPECT_EQ(Lookup(2, "$T1"), t1_on_2);
  EXPECT_EQ(Lookup(1, "@L1"), lamp);
  EXPECT_FALSE(Lookup(2, "@L1"));
  EXPECT_FALSE(Lookup(1, "$t1"));
  EXPECT_FALSE(Lookup(1, "$T1 "));
  EXPECT_FALSE(Lookup(1, "$T"));
  EXPECT_FALSE(Lookup(1, nullptr));
  EXPECT_NE(Zem5GetGateIdByAddressStr(1, 1, "$T1", nullptr), 0);
}

TEST_F(GateTest, StoresValuesAndCountsUpdates) {
  const int32_t id = DefineGate(4, "$T1", 3);
  EXPECT_FALSE(ReadGate(4, "$T1").has_value());
  const auto before = Clock::now();
  ASSERT_EQ(Zem5PutGateVal(1, id, 2, 21.5, 0, 0), 0);
  ASSERT_EQ(Zem5PutGateVal(1, id, 2, -3.25, 0, 0), 0);
  const auto value = ReadGate(4, "$T1");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->value, -3.25);
  EXPECT_EQ(value->updates, 2u);
  EXPECT_GE(value->time, before);
  EXPECT_EQ(ReadGateById(id)->value, -3.25);
  EXPECT_FALSE(ReadGate(5, "$T1").has_value());
}

TEST_F(GateTest, RefusesUnknownAndRefusedGates) {
  const int32_t id = DefineGate(1, "$T1", 3);
  EXPECT_NE(Zem5PutGateVal(1, 0, 2, 1.0, 0, 0), 0);
  EXPECT_NE(Zem5PutGateVal(1, id + 1, 2, 1.0, 0, 0), 0);
  EXPECT_NE(Zem5PutGateVal(1, -1, 2, 1.0, 0, 0), 0);
  ASSERT_EQ(Zem5PutGateVal(1, id, 2, 1.0, 0, 0), 0);
  RefuseGate(id, true);
  EXPECT_NE(Zem5PutGateVal(1, id, 2, 2.0, 0, 0), 0);
  EXPECT_EQ(ReadGateById(id)->value, 1.0);
  EXPECT_EQ(ReadGateById(id)->updates, 1u);
  RefuseGate(id, false);
  EXPECT_EQ(Zem5PutGateVal(1, id, 2, 3.0, 0, 0), 0);
  EXPECT_EQ(ReadGateById(id)->value, 3.0);
}

TEST_F(GateTest, SubscribersSeeAcceptedValuesUntilUnsubscribed) {
  const int32_t id = DefineGate(3, "$H2", 3);
  std::vector<std::pair<std::string, double>> seen;
  const int subscription =
      Subscribe([&](const GateInfo &gate, const GateValue &value) {
        // A subscriber may read gates while it is told of a value.
        EXPECT_EQ(ReadGateById(gate.id)->updates, value.updates);
        seen.emplace_back(gate.address, value.value);
      });
  ASSERT_EQ(Zem5PutGateVal(1, id, 2, 40.0, 0, 0), 0);
  RefuseGate(id, true);
  EXPECT_NE(Zem5PutGateVal(1, id, 2, 41.0, 0, 0), 0);
  RefuseGate(id, false);
  ASSERT_EQ(Zem5PutGateVal(1, id, 2, 42.0, 0, 0), 0);
  Unsubscribe(subscription);
  ASSERT_EQ(Zem5PutGateVal(1, id, 2, 43.0, 0, 0), 0);
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, double>>{{"$H2", 40.0},
                                                               {"$H2", 42.0}}));
}

TEST_F(GateTest, CountsCommFailuresPerInstance) {
  const auto before = Clock::now();
  Zem5SetPlcCommStatus(1, 7, 0, 1, 1);
  Zem5SetPlcCommStatus(1, 7, 0, 1, 1);
  EXPECT_EQ(GetCommStatus(7).failures, 2);
  EXPECT_GE(GetCommStatus(7).last, before);
  EXPECT_EQ(GetCommStatus(8).failures, 0);
}

TEST_F(GateTest, ResetForgetsEverything) {
  const int32_t id = DefineGate(1, "$T1", 3);
  int calls = 0;
  Subscribe([&](const GateInfo &, const GateValue &) { ++calls; });
  Zem5SetPlcCommStatus(1, 1, 0, 1, 1);
  Reset();
  EXPECT_TRUE(Gates().empty());
  EXPECT_NE(Zem5PutGateVal(1, id, 2, 1.0, 0, 0), 0);
  EXPECT_EQ(GetCommStatus(1).failures, 0);
  ASSERT_EQ(Zem5PutGateVal(1, DefineGate(1, "$T1", 3), 2, 1.0, 0, 0), 0);
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace zempro
