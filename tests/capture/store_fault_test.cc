// Faults of the store under a started engine: each is logged, costs no
// committed edition, and passes once the fault does.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "capture/notify_event.h"
#include "engine/timings.h"
#include "maintenance/post_checker.h"
#include "maintenance/retention_cleanup.h"
#include "support/capture_fixture.h"
#include "support/catalog_rows.h"
#include "support/event_records.h"
#include "support/fake_env.h"

namespace orv {
namespace {

using testing::Close;
using testing::EditionRow;
using testing::Event;
using testing::OpenForWrite;
using testing::U16;

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Polls until done() holds; false when the deadline passed first.
bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class StoreFaultTest : public testing::CaptureFixture {
 protected:
  void StartCapture() { CaptureFixture::StartCapture(std::chrono::milliseconds(20)); }
  void TearDown() override {
    CaptureFixture::TearDown();
    if (mounted_) Shell("umount " + store_.path().string());
  }
  // A small tmpfs as the store, for faults only a file system can make.
  void MountStore(const std::string& options) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a store needs root";
    ASSERT_TRUE(Shell("mount -t tmpfs -o " + options + " orv-test " + store_.path().string()));
    mounted_ = true;
  }

  // A host saving name: its open, the write going on, its close.
  void Save(const std::string& name, const std::string& before, const std::string& after) {
    testing::WriteFileText(files_ / name, before);
    const std::u16string path = U16(files_ / name);
    Notify(OpenForWrite(path.c_str()));
    testing::WriteFileText(files_ / name, after);
    Notify(Close(path.c_str(), true));
  }
  // An edition that needs no copy, only catalog rows.
  void Rename(const std::u16string& from, const std::u16string& to) {
    Notify(Event(FILE_OP_RENAME, from.c_str(), 0, 0, 0, to.c_str()));
  }
  bool HasEditionOf(const std::string& name) {
    const std::string path = (files_ / name).string();
    for (const EditionRow& row : testing::ReadEditions(catalogFile())) {
      if (row.fileName == path) return true;
    }
    return false;
  }
  // The catalog is whole and each row's copy is there with its old content.
  void ExpectWholeStore() {
    EXPECT_EQ(testing::Integrity(catalogFile()), "ok");
    for (const EditionRow& row : testing::ReadEditions(catalogFile())) {
      if (row.backupName.empty()) continue;
      EXPECT_EQ(testing::ReadFileText(store_ / "Backup" / row.backupName).rfind("old ", 0), 0u)
          << row.fileName << " names a missing or wrong copy " << row.backupName;
    }
  }

  bool mounted_ = false;
};

TEST_F(StoreFaultTest, ACopyThatFailsIsLoggedWithItsReasonAndTheHostGoesOn) {
  testing::FakeEnv env;
  testing::ScopedEnv scoped(&env);
  StartCapture();
  env.FailCopies(u"source: Permission denied");
  Save("secret.txt", "old secret", "new");
  env.FailCopies(u"");
  Save("open.txt", "old open", "new");
  StopEngine();

  EXPECT_TRUE(LogHas("/secret.txt could not be copied (source: Permission denied)"));
  EXPECT_FALSE(HasEditionOf("secret.txt"));
  EXPECT_TRUE(HasEditionOf("open.txt"));
  ExpectWholeStore();
}

TEST_F(StoreFaultTest, AFullStoreHoldsEditionsUntilThereIsRoomAgain) {
  MountStore("size=1m");
  if (IsSkipped()) return;
  StartCapture();
  Save("before.txt", "old before", "new");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("before.txt"); }));

  {
    std::ofstream filler(store_ / "filler", std::ios::binary);
    const std::string block(4096, 'x');
    while (filler.write(block.data(), block.size()) && filler.flush()) {
    }
  }
  Save("lost.txt", "old lost", "new");
  Rename(U16(files_ / "a.txt"), U16(files_ / "b.txt"));
  ASSERT_TRUE(WaitUntil([&] { return LogHas("editions wait for the catalog"); }));
  EXPECT_TRUE(LogHas("/lost.txt could not be copied (copy: No space left on device)"));

  std::filesystem::remove(store_ / "filler");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("a.txt"); }));
  Save("after.txt", "old after", "new");
  StopEngine();
  EXPECT_TRUE(HasEditionOf("before.txt"));
  EXPECT_TRUE(HasEditionOf("after.txt"));
  EXPECT_FALSE(HasEditionOf("lost.txt"));
  ExpectWholeStore();
}

TEST_F(StoreFaultTest, AReadOnlyStoreHoldsEditionsUntilItIsWritable) {
  MountStore("size=4m");
  if (IsSkipped()) return;
  StartCapture();
  Save("before.txt", "old before", "new");
  StopEngine();
  ASSERT_TRUE(Shell("mount -o remount,ro " + store_.path().string()));

  StartEngine();
  Save("lost.txt", "old lost", "new");
  Rename(U16(files_ / "a.txt"), U16(files_ / "b.txt"));
  ASSERT_TRUE(WaitUntil([&] { return LogHas("editions wait for the catalog"); }));
  EXPECT_TRUE(LogHas("/lost.txt could not be copied (copy: Read-only file system)"));

  ASSERT_TRUE(Shell("mount -o remount,rw " + store_.path().string()));
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("a.txt"); }));
  StopEngine();
  EXPECT_TRUE(HasEditionOf("before.txt"));
  ExpectWholeStore();
}

TEST_F(StoreFaultTest, AStoreRemovedWhileStartedIsMadeAgain) {
  StartCapture();
  Save("before.txt", "old before", "new");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("before.txt"); }));
  ASSERT_TRUE(ThePostChecker().RunNow(ORV_TASK_RETENTION));  // maintenance has used the catalog
  // Copied now, confirmed only after the store is gone: its copy went too.
  const std::u16string held = U16(files_ / "held.txt");
  testing::WriteFileText(files_ / "held.txt", "old held");
  Notify(OpenForWrite(held.c_str()));

  const std::filesystem::path away = store_.path().string() + ".removed";
  std::filesystem::rename(store_.path(), away);
  std::filesystem::remove_all(away);
  ASSERT_TRUE(WaitUntil([&] { return LogHas("was missing; made again"); }));
  EXPECT_TRUE(LogHas("was missing; created again"));
  Notify(Close(held.c_str(), true));
  Save("after.txt", "old after", "new");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("after.txt"); }));
  // Maintenance works on the store made again, not on the removed catalog.
  SetRetentionQuota(0);
  ASSERT_TRUE(ThePostChecker().RunNow(ORV_TASK_RETENTION));
  SetRetentionQuota(kDefaultRetentionQuota);
  EXPECT_FALSE(HasEditionOf("after.txt"));
  EXPECT_TRUE(std::filesystem::is_empty(store_ / "Backup"));
  StopEngine();

  EXPECT_TRUE(LogHas("Edition of " + (files_ / "held.txt").string() + " dropped: its copy"));
  EXPECT_FALSE(HasEditionOf("held.txt"));
  ExpectWholeStore();
}

TEST_F(StoreFaultTest, ACatalogLockedByAnotherProcessHoldsEditionsUntilReleased) {
  StartCapture();
  Save("before.txt", "old before", "new");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("before.txt"); }));

  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Holds the write lock far longer than the engine's busy timeout.
    sqlite3* db = nullptr;
    char byte = 0;
    const bool locked =
        sqlite3_open_v2(catalogFile().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) == SQLITE_OK;
    byte = locked ? 'L' : 'F';
    if (::write(toParent[1], &byte, 1) != 1 || ::read(toChild[0], &byte, 1) != 1) ::_exit(2);
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ::_exit(locked ? 0 : 1);
  }
  char answer = 0;
  ASSERT_EQ(::read(toParent[0], &answer, 1), 1);
  ASSERT_EQ(answer, 'L');

  Save("during.txt", "old during", "new");
  const bool waited = WaitUntil([&] { return LogHas("editions wait for the catalog"); });
  const char release = 'U';
  ASSERT_EQ(::write(toChild[1], &release, 1), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
  ASSERT_TRUE(waited);
  EXPECT_TRUE(LogHas("database is locked"));

  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("during.txt"); }));
  StopEngine();
  EXPECT_TRUE(HasEditionOf("before.txt"));
  ExpectWholeStore();
}

TEST_F(StoreFaultTest, AnUnreadableCatalogIsKeptAsideAndANewOneMade) {
  const std::string garbage(8192, '\xAB');
  testing::WriteFileText(catalogFile(), garbage);
  StartCapture();
  EXPECT_TRUE(LogHas("is not a readable catalog; kept as"));
  EXPECT_TRUE(testing::ReadFileText(catalogFile().string() + ".unreadable") == garbage);
  Save("first.txt", "old first", "new");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("first.txt"); }));

  // Overwritten in place while started: found when the writer next has rows
  // to write, and kept beside the first one rather than over it.
  {
    std::fstream inPlace(catalogFile(), std::ios::in | std::ios::out | std::ios::binary);
    inPlace.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  Save("second.txt", "old second", "new");
  ASSERT_TRUE(WaitUntil([&] { return HasEditionOf("second.txt"); }));
  StopEngine();
  EXPECT_TRUE(testing::ReadFileText(catalogFile().string() + ".unreadable") == garbage);
  EXPECT_EQ(testing::ReadFileText(catalogFile().string() + ".unreadable-2").rfind(garbage, 0), 0u);
  ExpectWholeStore();
}

TEST_F(StoreFaultTest, ACopyRemovedWhileItsFileStaysOpenNeverBecomesARow) {
  StartCapture();
  const std::u16string path = U16(files_ / "open.txt");
  testing::WriteFileText(files_ / "open.txt", "old open");
  Notify(OpenForWrite(path.c_str()));
  RetentionCleanupTask(nullptr, 0);  // removes every copy, this one too
  Notify(Close(path.c_str(), true));
  StopEngine();
  EXPECT_TRUE(LogHas("Edition of " + (files_ / "open.txt").string() + " dropped: its copy"));
  EXPECT_FALSE(HasEditionOf("open.txt"));
  ExpectWholeStore();
}

}  // namespace
}  // namespace orv
