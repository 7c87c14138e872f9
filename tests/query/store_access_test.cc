// Reading a store without starting the engine: nothing in it changes, every
// reason it cannot be read is told apart, and the queries the tools need.
#include "query/store_access.h"

#include <sqlite3.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstring>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "engine/timings.h"
#include "platform/path.h"
#include "query/editions.h"
#include "support/engine_fixture.h"

namespace orv {
namespace {

class StoreAccessTest : public testing::EngineFixture {
 protected:
  // A stopped store with two files (names that differ only in case where
  // names are case-sensitive; where they are not, a name that sorts first too)
  // and three editions, one of them a rename with a signer and a digest.
  void MakeStore() {
    StartEngine();
    lower_ = AddBackupFile(u"/docs/a_b.txt");
    upper_ = AddBackupFile(upperName_);
    Sql("Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,Operation) Values (" +
        std::to_string(lower_) + ",100,0,0,'a_b.txt1',2)");
    Sql("Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,Operation,Sha1,"
        "Signature) Values (" +
        std::to_string(lower_) + ",200," + std::to_string(upper_) +
        ",0,'',4,x'0102030405060708090a0b0c0d0e0f1011121314','acme')");
    Sql("Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,Operation) Values (" +
        std::to_string(upper_) + ",300,0,0,'A_B.txt3',3)");
    testing::WriteFileText(store_ / "Backup" / "a_b.txt1", "12345");
    StopEngine();
  }

  void Sql(const std::string& text) {
    sqlite3* db = DbmConnect()->db();
    ASSERT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << text;
  }

  int lower_ = 0, upper_ = 0;
  const std::u16string upperName_ = kFileNamesCaseSensitive ? u"/docs/A_B.txt" : u"/docs/a-b.txt";
};

TEST_F(StoreAccessTest, QueriesOnAStoreOpenedForReadingChangeNothing) {
  MakeStore();
  const std::string before = testing::DescribeTree(store_.path());
  ASSERT_EQ(EngineOpenStoreReadOnly(store_.u16()), ENG_OK);
  EXPECT_TRUE(IsCatalogReadOnly());

  EXPECT_EQ(query::FindBackupFileId(u"/docs/a_b.txt"), static_cast<uint32_t>(lower_));
  EXPECT_EQ(query::FindBackupFileId(u"/docs/a%"), 0u) << "an exact name, not a pattern";
  EXPECT_EQ(query::GetFileEditionCountById(static_cast<uint32_t>(lower_)), 2u);
  EXPECT_EQ(query::GetFileEditionCountById(999), 0u);

  FileEditionInfo details;
  ASSERT_EQ(query::GetEditionDetails(2, &details), 1u);
  EXPECT_EQ(details.Operation, static_cast<int32_t>(EDITION_RENAME));
  EXPECT_EQ(details.LinkFileID, upper_);
  EXPECT_EQ(details.TimeStamp, 200);
  EXPECT_EQ(std::u16string(details.Signature), u"acme");
  EXPECT_EQ(details.Sha1[0], 1);
  EXPECT_EQ(details.Sha1[19], 0x14);
  EXPECT_EQ(query::GetEditionDetails(99, &details), 0u);
  const FileEditionInfo zero{};
  EXPECT_EQ(std::memcmp(&details, &zero, sizeof(details)), 0) << "a miss leaves zeros";

  // The whole name, with its length first.
  EXPECT_EQ(query::GetWholeBackupFileName(static_cast<uint32_t>(upper_), 0, nullptr), 13u);
  char16_t name[14] = {u'#'};
  EXPECT_EQ(query::GetWholeBackupFileName(static_cast<uint32_t>(upper_), 13, name), 13u);
  EXPECT_EQ(name[0], u'#') << "no room for the terminator: nothing written";
  EXPECT_EQ(query::GetWholeBackupFileName(static_cast<uint32_t>(upper_), 14, name), 13u);
  EXPECT_EQ(std::u16string(name), upperName_);
  EXPECT_EQ(query::GetWholeBackupFileName(999, 14, name), 0u);

  // Files by pattern, in the order of their names (upper case sorts first).
  BackupFileInfo file;
  void* handle = query::FindFirstBackupFileEx(u"/docs/a%", &file);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(std::u16string(file.FileName), upperName_);
  ASSERT_EQ(query::FindNextBackupFile(handle, &file), 1u);
  EXPECT_EQ(std::u16string(file.FileName), u"/docs/a_b.txt");
  EXPECT_EQ(query::FindNextBackupFile(handle, &file), 0u);
  query::FindBackupFileClose(handle);
  EXPECT_EQ(query::FindFirstBackupFileEx(u"/other/%", &file), nullptr);

  OrvStoreInfo info;
  ASSERT_EQ(query::GetStoreInfo(&info), 1u);
  EXPECT_EQ(info.Files, 2u);
  EXPECT_EQ(info.Editions, 3u);
  EXPECT_EQ(info.Undigested, 2u);
  EXPECT_EQ(info.Unverified, 2u);
  EXPECT_EQ(info.Copies, 1u);
  EXPECT_EQ(info.CopyBytes, 5u);
  EXPECT_GT(info.CatalogBytes, 0u);
  EXPECT_EQ(info.Flags, ORV_STORE_READ_ONLY);

  char16_t path[512];
  ASSERT_EQ(query::GetFileEdition(1, 512, path), 1u);
  EXPECT_EQ(std::u16string(path), JoinPath(JoinPath(store_.u16(), u"Backup"), u"a_b.txt1"));

  ASSERT_EQ(EngineCloseStore(), ENG_OK);
  EXPECT_FALSE(IsCatalogReady());
  EXPECT_EQ(testing::DescribeTree(store_.path()), before);
}

TEST_F(StoreAccessTest, EveryReasonAStoreCannotBeReadIsToldAndNothingIsRepaired) {
  EXPECT_EQ(EngineOpenStoreReadOnly(u""), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(EngineOpenStoreReadOnly(JoinPath(store_.u16(), u"none")), ORV_E_NO_CATALOG);
  EXPECT_FALSE(std::filesystem::exists(store_ / "none")) << "nothing is created";
  EXPECT_EQ(EngineOpenStoreReadOnly(store_.u16()), ORV_E_NO_CATALOG);

  // Garbage where the catalog belongs stays where it is, byte for byte.
  testing::WriteFileText(catalogFile(), std::string(4096, 'x'));
  const std::string before = testing::DescribeTree(store_.path());
  EXPECT_EQ(EngineOpenStoreReadOnly(store_.u16()), ORV_E_UNREADABLE_CATALOG);
  EXPECT_FALSE(IsCatalogReady());
  EXPECT_EQ(testing::DescribeTree(store_.path()), before) << "no Backup/, no rename, no chmod";

  // A database that is not a catalog.
  std::filesystem::remove(catalogFile());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(catalogFile().string().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "Create Table Other (X)", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(EngineOpenStoreReadOnly(store_.u16()), ORV_E_UNREADABLE_CATALOG);

  std::filesystem::remove(catalogFile());
#ifndef _WIN32
  // A FIFO at the catalog's path must not block the reader.
  ASSERT_EQ(::mkfifo(catalogFile().c_str(), 0600), 0);
  EXPECT_EQ(EngineOpenStoreReadOnly(store_.u16()), ORV_E_NOT_A_FILE);
  std::filesystem::remove(catalogFile());
#endif
  // A directory at the catalog's path is no catalog either.
  std::filesystem::create_directory(catalogFile());
  EXPECT_EQ(EngineOpenStoreReadOnly(store_.u16()), ORV_E_NOT_A_FILE);
  std::filesystem::remove(catalogFile());

  // Another process holding the catalog locked for writing.
  MakeStore();
  ASSERT_EQ(sqlite3_open(catalogFile().string().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::u16string store = store_.u16();
  EngineTimings shortWait;
  shortWait.catalogBusyTimeout = std::chrono::milliseconds(50);
  SetTimingsForTesting(shortWait);
  EXPECT_EQ(EngineOpenStoreReadOnly(store), ORV_E_CATALOG_BUSY);
  SetTimingsForTesting(EngineTimings{});
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);

#ifndef _WIN32  // permission bits
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(catalogFile().c_str(), 0), 0);
    EXPECT_EQ(EngineOpenStoreReadOnly(store), ORV_E_ACCESS_DENIED);
    ASSERT_EQ(::chmod(catalogFile().c_str(), 0600), 0);
  }
#endif
}

TEST_F(StoreAccessTest, TheLifecycleClosesAReadOnlyStoreAndStartWritesAgain) {
  MakeStore();
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineOpenStoreReadOnly(store_.u16()), ENG_OK);
  // Start places the catalog for writing: the read-only store goes first.
  ASSERT_EQ(EngineStart(), ENG_OK);
  EXPECT_FALSE(IsCatalogReadOnly());
  EXPECT_EQ(EngineOpenStoreReadOnly(store_.u16()), ENG_E_WRONG_STATE);
  EXPECT_EQ(EngineCloseStore(), ENG_E_WRONG_STATE);
  EXPECT_EQ(query::InsertBackupFile(u"/docs/new.txt"), 1u) << "a started engine writes";
  StopEngine();

  ASSERT_EQ(EngineOpenStoreReadOnly(store_.u16()), ENG_OK);
  EXPECT_EQ(query::FindBackupFileId(u"/docs/new.txt"), 3u);
  EXPECT_EQ(query::InsertBackupFile(u"/docs/refused.txt"), 0u) << "read-only means read-only";
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineFinalize(), ENG_OK);
  EXPECT_FALSE(IsCatalogReady()) << "a restart starts clean";
}

}  // namespace
}  // namespace orv
