#include "protect/user_budget.h"

#include <algorithm>
#include <utility>

namespace orv::tool {

UserBudget::UserBudget(BudgetLimits limits, Clock clock)
    : limits_(limits), clock_(std::move(clock)) {}

void UserBudget::ForgetIdle(std::chrono::steady_clock::time_point now) {
  if (now < nextIdle_) return;
  auto oldest = std::chrono::steady_clock::time_point::max();
  std::erase_if(users_, [&](const auto& entry) {
    if (now - entry.second.start >= limits_.window) return true;
    oldest = std::min(oldest, entry.second.start);
    return false;
  });
  nextIdle_ =
      oldest == std::chrono::steady_clock::time_point::max() ? now : oldest + limits_.window;
}

UserBudget::Usage& UserBudget::UsageOf(std::optional<uid_t> uid,
                                       std::chrono::steady_clock::time_point now) {
  Usage* usage = &shared_;
  bool fresh = !sharedStarted_;
  if (uid) {
    auto found = users_.find(*uid);
    if (found == users_.end() && users_.size() >= limits_.maxUsers) ForgetIdle(now);
    if (found != users_.end()) {
      usage = &found->second;
      fresh = false;
    } else if (users_.size() < limits_.maxUsers) {
      usage = &users_[*uid];
      fresh = true;
    }
  }
  if (usage == &shared_) sharedStarted_ = true;
  if (fresh || now - usage->start >= limits_.window) *usage = Usage{now};
  return *usage;
}

BudgetVerdict UserBudget::Refuse(const Usage& usage, bool& said) const {
  BudgetVerdict verdict;
  verdict.allowed = false;
  verdict.firstRefusal = !std::exchange(said, true);
  verdict.until = usage.start + limits_.window;
  return verdict;
}

BudgetVerdict UserBudget::ChargeCopy(std::optional<uid_t> uid, uint64_t bytes) {
  std::lock_guard guard(lock_);
  Usage& usage = UsageOf(uid, clock_());
  if (usage.copies >= limits_.copies || bytes > limits_.copyBytes - usage.copyBytes) {
    return Refuse(usage, usage.copiesRefused);
  }
  ++usage.copies;
  usage.copyBytes += bytes;
  return {};
}

BudgetVerdict UserBudget::ChargeRow(std::optional<uid_t> uid) {
  std::lock_guard guard(lock_);
  Usage& usage = UsageOf(uid, clock_());
  if (usage.rows >= limits_.rows) return Refuse(usage, usage.rowsRefused);
  ++usage.rows;
  return {};
}

size_t UserBudget::TrackedUsers() const {
  std::lock_guard guard(lock_);
  return users_.size();
}

}  // namespace orv::tool
