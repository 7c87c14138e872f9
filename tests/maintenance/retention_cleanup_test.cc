#include "maintenance/retention_cleanup.h"

#include <sqlite3.h>

#include <functional>
#include <set>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "support/engine_fixture.h"
#include "support/fake_env.h"
#include "support/files.h"

namespace orv {
namespace {

constexpr uint64_t kEpoch = 116444736000000000ull;

// Creation time of a file made `second` seconds after 1970.
uint64_t At(uint32_t second) { return kEpoch + uint64_t{second} * 10000000; }

// Runs a hook before each removal, as another thread might act just then.
class RemovalHookEnv : public testing::FakeEnv {
 public:
  bool RemoveFile(const std::u16string& path) override {
    if (beforeRemove) beforeRemove(path);
    return FakeEnv::RemoveFile(path);
  }
  std::function<void(const std::u16string&)> beforeRemove;
};

class RetentionTest : public testing::EngineFixture {
 protected:
  void SetUp() override { StartEngine(); }

  void AddCopy(const std::string& name, uint64_t size, uint32_t second) {
    const auto path = store_ / "Backup" / name;
    testing::WriteFileText(path, "");
    std::filesystem::resize_file(path, size);  // sparse where the system can: costs no space
    env_.SetCreationTime(testing::U16(name), At(second));
  }
  void AddEditionAt(int timeStamp) {
    const std::string sql =
        "Insert Into Edition (FileID,TimeStamp) Values (1," + std::to_string(timeStamp) + ")";
    sqlite3_exec(DbmConnect()->db(), sql.c_str(), nullptr, nullptr, nullptr);
  }
  void AddEditionNaming(int timeStamp, const std::string& copy) {
    const std::string sql = "Insert Into Edition (FileID,TimeStamp,BackupName) Values (1," +
                            std::to_string(timeStamp) + ",'" + copy + "')";
    sqlite3_exec(DbmConnect()->db(), sql.c_str(), nullptr, nullptr, nullptr);
  }
  // "time:copy" for every row, in time order.
  std::vector<std::string> EditionRows() {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(DbmConnect()->db(),
                       "Select TimeStamp, coalesce(BackupName, '') From Edition Order By TimeStamp",
                       -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      rows.push_back(std::to_string(sqlite3_column_int(statement, 0)) + ":" +
                     reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    return rows;
  }
  std::set<std::string> Copies() {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(store_ / "Backup")) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  std::vector<int> EditionTimes() {
    std::vector<int> times;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(DbmConnect()->db(), "Select TimeStamp From Edition Order By TimeStamp", -1,
                       &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) times.push_back(sqlite3_column_int(statement, 0));
    sqlite3_finalize(statement);
    return times;
  }

  RemovalHookEnv env_;
  testing::ScopedEnv scoped_{&env_};
};

TEST_F(RetentionTest, TheQuotaReachedIsKeptAndPassedIsCut) {
  AddCopy("newest", 1000000, 300);
  AddCopy("middle", 677721, 200);
  AddCopy("oldest", 5, 100);
  AddEditionAt(99);
  AddEditionAt(100);
  AddEditionAt(101);
  RetentionCleanupTask({});
  EXPECT_EQ(Copies(), (std::set<std::string>{"newest", "middle"}));
  EXPECT_EQ(EditionTimes(), (std::vector<int>{101})) << "rows up to the cut copy's time go";
  const uint64_t t300 = At(300), t200 = At(200), t100 = At(100);
  EXPECT_EQ(env_.standardOutput(),
            "newest, Size = 1000000, Time = " + std::to_string(int32_t(t300 >> 32)) + "-" +
                std::to_string(int32_t(t300)) + "\n" + "middle, Size = 677721, Time = " +
                std::to_string(int32_t(t200 >> 32)) + "-" + std::to_string(int32_t(t200)) + "\n" +
                "oldest, Size = 5, Time = " + std::to_string(int32_t(t100 >> 32)) + "-" +
                std::to_string(int32_t(t100)) + "\n");
}

TEST_F(RetentionTest, TheCutOffIsTheNewestDeletedCopy) {
  AddCopy("a", 1000000, 300);
  AddCopy("b", 700000, 200);
  AddCopy("c", 10, 100);
  AddEditionAt(150);
  AddEditionAt(200);
  AddEditionAt(250);
  RetentionCleanupTask({});
  EXPECT_EQ(Copies(), (std::set<std::string>{"a"}));
  EXPECT_EQ(EditionTimes(), (std::vector<int>{250}));
}

TEST_F(RetentionTest, AHugeNewestCopyTakesEverythingWithIt) {
  AddCopy("huge", 5ull << 30, 300);  // 5 GiB, counted whole
  AddCopy("small", 10, 100);
  std::filesystem::create_directory(store_ / "Backup" / "subdirectory");
  testing::WriteFileText(store_ / "Backup" / "subdirectory" / "inside", "x");
  RetentionCleanupTask({});
  EXPECT_EQ(Copies(), (std::set<std::string>{"subdirectory"}));
  EXPECT_TRUE(std::filesystem::exists(store_ / "Backup" / "subdirectory" / "inside"));
}

TEST_F(RetentionTest, RowsFollowTheirCopiesWhateverTheirTimeStamps) {
  AddCopy("kept", 1000000, 300);
  AddCopy("cut", 700000, 200);  // past the quota: the cut-off is 200
  // An event time is not its copy's birth: read as standard time it is an
  // hour later in summer, and a host may report any time at all.
  AddEditionNaming(3800, "cut");
  AddEditionNaming(150, "kept");
  AddEditionAt(199);
  AddEditionAt(201);
  RetentionCleanupTask({});
  EXPECT_EQ(Copies(), (std::set<std::string>{"kept"}));
  EXPECT_EQ(EditionRows(), (std::vector<std::string>{"150:kept", "201:"}))
      << "no row names a removed copy, and no kept copy loses its row";
}

TEST_F(RetentionTest, ARowCommittedWhileItsCopyIsRemovedGoesToo) {
  AddCopy("kept", 1000000, 300);
  AddCopy("cut", 700000, 200);
  env_.beforeRemove = [this](const std::u16string&) {
    // The catalog writer commits a pending entry of that copy just now.
    AddEditionNaming(250, "cut");
  };
  RetentionCleanupTask({});
  env_.beforeRemove = nullptr;
  EXPECT_EQ(Copies(), (std::set<std::string>{"kept"}));
  EXPECT_EQ(EditionRows(), std::vector<std::string>{});
}

TEST_F(RetentionTest, WithinTheQuotaNothingIsTouched) {
  AddCopy("a", 10, 100);
  AddCopy("b", 10, 100);  // equal times: the later listed is walked first
  AddEditionAt(1);
  RetentionCleanupTask({});
  EXPECT_EQ(Copies().size(), 2u);
  EXPECT_EQ(EditionTimes().size(), 1u);
  const std::vector<DirectoryFile> listed =
      env_.ListDirectoryFiles(testing::U16(store_ / "Backup"));
  ASSERT_EQ(listed.size(), 2u);
  const std::string first(listed[1].name.begin(), listed[1].name.end());
  EXPECT_EQ(env_.standardOutput().rfind(first + ",", 0), 0u);

  std::filesystem::remove_all(store_ / "Backup");
  RetentionCleanupTask({});  // a store without copies: nothing at all
  EXPECT_EQ(EditionTimes().size(), 1u);
}

}  // namespace
}  // namespace orv
