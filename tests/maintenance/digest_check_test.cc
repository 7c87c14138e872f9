#include "maintenance/digest_check.h"

#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "maintenance/file_sha1.h"
#include "query/backup_files.h"
#include "support/engine_fixture.h"

namespace orv {
namespace {

class DigestCheckTest : public testing::EngineFixture {
 protected:
  void SetUp() override { StartEngine(); }

  // An edition whose copy holds content; digested when sha1 is given.
  int AddEdition(int fileId, int timeStamp, const std::string& copy, const std::string& content,
                 const Sha1Digest* sha1 = nullptr) {
    testing::WriteFileText(store_ / "Backup" / copy, content);
    sqlite3* db = DbmConnect()->db();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db,
                       "Insert Into Edition (FileID,TimeStamp,BackupName,Operation,Sha1) "
                       "Values (?,?,?,2,?)",
                       -1, &statement, nullptr);
    sqlite3_bind_int(statement, 1, fileId);
    sqlite3_bind_int(statement, 2, timeStamp);
    sqlite3_bind_text(statement, 3, copy.c_str(), -1, SQLITE_TRANSIENT);
    if (sha1 != nullptr) sqlite3_bind_blob(statement, 4, sha1->data(), 20, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
    return static_cast<int>(sqlite3_last_insert_rowid(db));
  }
  // The copies whose rows remain, and whether each has its digest, in ID order.
  std::string Remaining() {
    std::string result;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(DbmConnect()->db(), "Select BackupName, Sha1 From Edition Order By ID", -1,
                       &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      result += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      result += sqlite3_column_bytes(statement, 1) == 20 ? "+ " : "- ";
    }
    sqlite3_finalize(statement);
    return result;
  }
  bool CopyExists(const std::string& copy) {
    return std::filesystem::exists(store_ / "Backup" / copy);
  }
};

TEST_F(DigestCheckTest, AnEditionEqualToTheOneBeforeItGoes) {
  struct Scenario {
    const char* what;
    std::vector<std::string> contents;  // oldest first
    std::string remaining;
  } scenarios[] = {
      {"A,B,C with B = C", {"a", "b", "b"}, "c0+ c1+ "},
      {"A,B,A all stay", {"a", "b", "a"}, "c0+ c1+ c2+ "},
      {"A,A',A'' keep the first", {"a", "a", "a"}, "c0+ "},
      {"empty files are equal", {"", ""}, "c0+ "},
  };
  for (const Scenario& s : scenarios) {
    sqlite3_exec(DbmConnect()->db(), "Delete From Edition", nullptr, nullptr, nullptr);
    std::filesystem::remove_all(store_ / "Backup");
    std::filesystem::create_directory(store_ / "Backup");
    const int file = AddBackupFile(u"/f" + std::u16string(1, u'a' + (&s - scenarios)));
    for (size_t i = 0; i < s.contents.size(); ++i) {
      AddEdition(file, 100 + static_cast<int>(i), "c" + std::to_string(i), s.contents[i]);
    }
    DigestCheckTask({});
    EXPECT_EQ(Remaining(), s.remaining) << s.what;
    for (size_t i = 0; i < s.contents.size(); ++i) {
      const std::string copy = "c" + std::to_string(i);
      EXPECT_EQ(CopyExists(copy), s.remaining.find(copy + "+") != std::string::npos)
          << s.what << " " << copy;
    }
  }
}

TEST_F(DigestCheckTest, RecordedDigestsAreComparedNotRecomputed) {
  const int file = AddBackupFile(u"/f");
  Sha1Digest sha1;
  testing::WriteFileText(store_ / "probe", "a");
  ASSERT_TRUE(ComputeFileSha1(testing::U16(store_ / "probe"), &sha1));
  AddEdition(file, 100, "first", "a", &sha1);
  std::filesystem::remove(store_ / "Backup" / "first");  // never read again
  AddEdition(file, 200, "second", "a");
  DigestCheckTask({});
  EXPECT_EQ(Remaining(), "first+ ");
  EXPECT_FALSE(CopyExists("second"));
}

TEST_F(DigestCheckTest, FilesAreWalkedAloneAndOversizedCopiesAreLeft) {
  const int underscore = AddBackupFile(u"/d/a_b");
  const int other = AddBackupFile(u"/d/axb");
  AddEdition(underscore, 100, "u", "same");
  AddEdition(other, 200, "o", "same");  // another file: never its duplicate
  const int big = AddBackupFile(u"/d/big");
  AddEdition(big, 100, "limit", std::string(kMaxDigestedFileBytes, 'x'));
  AddEdition(big, 200, "over", std::string(kMaxDigestedFileBytes + 1, 'x'));
  AddEdition(big, 300, "over2", std::string(kMaxDigestedFileBytes + 1, 'x'));
  DigestCheckTask({});
  DigestCheckTask({});
  EXPECT_EQ(Remaining(), "u+ o+ limit+ over- over2- ");
}

TEST_F(DigestCheckTest, AnUndigestedEditionIsNeverSkippedOver) {
  // A, B, A: the last A is the file's newest state. When B has no digest (its
  // copy is too large to digest, or it has no copy at all), the last A must
  // not be taken for a duplicate of the first.
  const int big = AddBackupFile(u"/big");
  AddEdition(big, 100, "a0", "a");
  AddEdition(big, 200, "b", std::string(kMaxDigestedFileBytes + 1, 'b'));
  AddEdition(big, 300, "a1", "a");
  const int renamed = AddBackupFile(u"/renamed");
  AddEdition(renamed, 100, "r0", "r");
  const std::string rename =
      "Insert Into Edition (FileID,TimeStamp,BackupName,Operation) Values (" +
      std::to_string(renamed) + ",200,'',4)";
  sqlite3_exec(DbmConnect()->db(), rename.c_str(), nullptr, nullptr, nullptr);
  AddEdition(renamed, 300, "r1", "r");
  DigestCheckTask({});
  EXPECT_EQ(Remaining(), "a0+ b- a1+ r0+ - r1+ ");
  EXPECT_TRUE(CopyExists("a1"));
  EXPECT_TRUE(CopyExists("r1"));
}

TEST_F(DigestCheckTest, HostileCopyNamesAreNeverReadOrDeleted) {
  const int file = AddBackupFile(u"/f");
  AddEdition(file, 100, "c0", "secret");
  testing::WriteFileText(store_ / "outside", "secret");
  sqlite3_exec(DbmConnect()->db(),
               "Insert Into Edition (FileID,TimeStamp,BackupName) Values (1,200,'../outside'),"
               "(1,300,''),(1,400,'..'),(1,500,'.')",
               nullptr, nullptr, nullptr);
  DigestCheckTask({});
  EXPECT_EQ(Remaining(), "c0+ ../outside- - ..- .- ");
  EXPECT_TRUE(std::filesystem::exists(store_ / "outside"));
}

TEST_F(DigestCheckTest, AStopRequestEndsTheRunEarly) {
  const int file = AddBackupFile(u"/f");
  AddEdition(file, 100, "c0", "a");
  AddEdition(file, 200, "c1", "a");
  DigestCheckTask([] { return true; });
  EXPECT_EQ(Remaining(), "c0- c1- ");
}

}  // namespace
}  // namespace orv
