// How much work each user may make the daemon do in a minute: copies, the
// bytes they copy, and rows (renames reported to the engine). Without a cap
// one user opening its files for writing in a loop fills the disk with
// editions and starves every other user's copies.
#ifndef ORV_TOOLS_ORV_PROTECT_USER_BUDGET_H_
#define ORV_TOOLS_ORV_PROTECT_USER_BUDGET_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace orv::tool {

// Per user and per window. The caps bound what a flood can cost, and stand
// well above what real work does: a cap that bit on a burst of saves, an
// rsync or a program encrypting a user's files would leave those files'
// old content uncopied, which is what the daemon exists to prevent. Root's
// own processes are not charged (the daemon does not charge them): root can
// remove the store anyway.
struct BudgetLimits {
  uint64_t copies = 60000;
  uint64_t copyBytes = 16ull << 30;
  uint64_t rows = 60000;
  // Users tracked at once; beyond it new users share one bucket, so a flood
  // of uids cannot grow the table.
  size_t maxUsers = 65536;
  std::chrono::steady_clock::duration window = std::chrono::minutes(1);
};

// The answer to a charge.
struct BudgetVerdict {
  bool allowed = true;
  // The first refusal of its kind (copies, rows) in this user's window: the
  // caller says it once.
  bool firstRefusal = false;
  // When the user's window ends (meaningful when refused).
  std::chrono::steady_clock::time_point until{};
};

// Thread-safe. Each user's window starts at its first charge and lasts
// limits.window; a charge after it starts a new one.
class UserBudget {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit UserBudget(BudgetLimits limits, Clock clock = std::chrono::steady_clock::now);

  // Charges one copy of bytes bytes to uid (nothing: a user that cannot be
  // known, charged to one shared bucket). Refused, and nothing charged, when
  // the copy would pass the user's copies or bytes cap.
  BudgetVerdict ChargeCopy(std::optional<uid_t> uid, uint64_t bytes);

  // Charges one row to uid, as ChargeCopy does.
  BudgetVerdict ChargeRow(std::optional<uid_t> uid);

  // The users tracked now (not counting the shared bucket).
  size_t TrackedUsers() const;

 private:
  struct Usage {
    std::chrono::steady_clock::time_point start;
    uint64_t copies = 0, copyBytes = 0, rows = 0;
    bool copiesRefused = false, rowsRefused = false;  // said already this window
  };

  // uid's usage with its window current; the shared bucket when uid is
  // nothing or the table is full. Requires lock_ held.
  Usage& UsageOf(std::optional<uid_t> uid, std::chrono::steady_clock::time_point now);
  // Forgets users whose window is over, at most once per window's worth of
  // the oldest start. Requires lock_ held.
  void ForgetIdle(std::chrono::steady_clock::time_point now);
  BudgetVerdict Refuse(const Usage& usage, bool& said) const;

  const BudgetLimits limits_;
  const Clock clock_;
  mutable std::mutex lock_;
  std::unordered_map<uid_t, Usage> users_;
  Usage shared_;
  bool sharedStarted_ = false;
  // No tracked window ends before this: a full table is not scanned sooner.
  std::chrono::steady_clock::time_point nextIdle_{};
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_USER_BUDGET_H_
