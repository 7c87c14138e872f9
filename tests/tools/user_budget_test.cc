// The per-user budget: caps bite at their limit for that user only, a new
// window starts afresh, and a flood of uids cannot grow the table.
#include "protect/user_budget.h"

#include <chrono>

#include <gtest/gtest.h>

namespace orv {
namespace {

using tool::BudgetLimits;
using tool::UserBudget;
using namespace std::chrono_literals;

struct FakeClock {
  std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
  UserBudget::Clock Get() {
    return [this] { return now; };
  }
};

BudgetLimits Small() {
  BudgetLimits limits;
  limits.copies = 3;
  limits.copyBytes = 1000;
  limits.rows = 2;
  limits.maxUsers = 4;
  return limits;
}

TEST(UserBudgetTest, CopiesCapBitesPerUserAndResetsAfterTheWindow) {
  FakeClock clock;
  UserBudget budget(Small(), clock.Get());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(budget.ChargeCopy(1000, 1).allowed) << i;
  const auto first = budget.ChargeCopy(1000, 1);
  EXPECT_FALSE(first.allowed);
  EXPECT_TRUE(first.firstRefusal);
  EXPECT_EQ(first.until, clock.now + 1min);
  const auto second = budget.ChargeCopy(1000, 1);
  EXPECT_FALSE(second.allowed);
  EXPECT_FALSE(second.firstRefusal) << "said once per window";
  EXPECT_TRUE(budget.ChargeCopy(1001, 1).allowed) << "another user has its own budget";
  EXPECT_TRUE(budget.ChargeCopy(0, 1).allowed);
  EXPECT_TRUE(budget.ChargeRow(1000).allowed) << "rows are a budget of their own";

  clock.now += 59s;
  EXPECT_FALSE(budget.ChargeCopy(1000, 1).allowed);
  clock.now += 1s;
  EXPECT_TRUE(budget.ChargeCopy(1000, 1).allowed) << "a new window";
  EXPECT_TRUE(budget.ChargeCopy(1000, 1).allowed);
  EXPECT_TRUE(budget.ChargeCopy(1000, 1).allowed);
  const auto again = budget.ChargeCopy(1000, 1);
  EXPECT_FALSE(again.allowed);
  EXPECT_TRUE(again.firstRefusal) << "said again in the new window";
}

TEST(UserBudgetTest, BytesAndRowsCapsAndTheUnknownBucket) {
  FakeClock clock;
  UserBudget budget(Small(), clock.Get());
  EXPECT_TRUE(budget.ChargeCopy(7, 600).allowed);
  EXPECT_FALSE(budget.ChargeCopy(7, 401).allowed) << "would pass the bytes cap";
  EXPECT_TRUE(budget.ChargeCopy(7, 400).allowed) << "a refused copy is not charged";
  EXPECT_FALSE(budget.ChargeCopy(7, 1).allowed) << "the bytes are used up";
  EXPECT_TRUE(budget.ChargeCopy(7, 0).allowed);
  EXPECT_FALSE(budget.ChargeCopy(7, 0).allowed) << "three copies now";

  EXPECT_TRUE(budget.ChargeRow(std::nullopt).allowed);
  EXPECT_TRUE(budget.ChargeRow(std::nullopt).allowed);
  const auto row = budget.ChargeRow(std::nullopt);
  EXPECT_FALSE(row.allowed) << "unknown users share one bucket with the same limits";
  EXPECT_TRUE(row.firstRefusal);
  EXPECT_EQ(budget.TrackedUsers(), 1u) << "the shared bucket is not a tracked user";
}

TEST(UserBudgetTest, TheTableIsBoundedAndForgetsIdleUsers) {
  FakeClock clock;
  UserBudget budget(Small(), clock.Get());
  for (uid_t uid = 1; uid <= 4; ++uid) ASSERT_TRUE(budget.ChargeRow(uid).allowed);
  // A full table: new uids share one bucket rather than grow it.
  for (uid_t uid = 100; uid < 1000; ++uid) budget.ChargeRow(uid);
  EXPECT_EQ(budget.TrackedUsers(), 4u);
  EXPECT_FALSE(budget.ChargeRow(5000).allowed) << "the flood used up the shared bucket";
  EXPECT_TRUE(budget.ChargeRow(1).allowed) << "tracked users keep their own budget";

  clock.now += 1min;
  EXPECT_TRUE(budget.ChargeRow(5000).allowed) << "idle users are forgotten, making room";
  EXPECT_EQ(budget.TrackedUsers(), 1u);
}

}  // namespace
}  // namespace orv
