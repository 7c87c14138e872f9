#include "catalog/database_manager.h"

#include <sqlite3.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/path.h"
#include "query/backup_files.h"
#include "support/engine_fixture.h"
#include "support/paths.h"

namespace orv {
namespace {

using testing::EngineFixture;

#ifndef _WIN32
uint32_t ModeOf(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 0777;
}
#endif

class DatabaseManagerTest : public EngineFixture {};

TEST_F(DatabaseManagerTest, FirstStartCreatesTheStoreAndLaterStartsFindIt) {
  std::filesystem::remove(store_.path());
  StartEngine();
  EXPECT_TRUE(IsCatalogReady());
  EXPECT_TRUE(std::filesystem::is_directory(store_ / "Backup"));
#ifndef _WIN32  // permission bits
  EXPECT_EQ(ModeOf(store_.path()), 0700u);
  EXPECT_EQ(ModeOf(store_ / "Backup"), 0700u);
  EXPECT_EQ(ModeOf(catalogFile()), 0600u);
#endif
  StopEngine();
  EXPECT_FALSE(IsCatalogReady());
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  ASSERT_EQ(EngineStop(), ENG_OK);

  const std::vector<std::string> expected = {
      "Sqlite error code 1, no such table: BackupFile",
      "Succeeded to create database.",
      "Database Manager Initialized.",
      "[Backup Module] Stopped",
      "Database Manager Finalized.",
      // The second start finds the schema: no error, nothing created.
      "Database Manager Initialized.",
      "[Backup Module] Stopped",
      "Database Manager Finalized.",
  };
  EXPECT_EQ(LogLines(), expected);
}

TEST_F(DatabaseManagerTest, StorePathsAreAbsoluteWithOneSeparator) {
  const std::u16string store = store_.u16() + kPathSeparator + testing::EnginePath(u"./sub/../x//");
  ASSERT_EQ(testing::SetStringItem(CONFIG_BACKUP_STORE, store), ENG_OK);
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  const std::u16string x = JoinPath(store_.u16(), u"x");
  EXPECT_EQ(CatalogPath(), JoinPath(x, u"BackupDB.s3db"));
  EXPECT_EQ(SnapshotDirectory(), JoinPath(x, u"Backup"));
  EXPECT_TRUE(std::filesystem::is_directory(store_ / "x" / "Backup"));
}

TEST_F(DatabaseManagerTest, NoStoreMeansNotReadyAndQueriesAnswerNothing) {
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  EXPECT_FALSE(IsCatalogReady());
  EXPECT_EQ(DbmConnect(), nullptr);
  EXPECT_EQ(query::ConnectBackupStorage(), 0u);
  EXPECT_EQ(query::GetBackupFileCount(), 0u);
  BackupFileInfo info;
  EXPECT_EQ(query::FindFirstBackupFile(&info), nullptr);
}

TEST_F(DatabaseManagerTest, AFileThatIsNotADatabaseIsKeptAsideWholeAndANewCatalogMade) {
  const std::string junk(5000, 'j');
  testing::WriteFileText(catalogFile(), junk);
  testing::WriteFileText(catalogFile().string() + ".unreadable", "an earlier one");
  StartEngine();
  EXPECT_TRUE(IsCatalogReady());
  EXPECT_EQ(query::InsertBackupFile(u"/a"), 1u);
  EXPECT_EQ(query::GetBackupFileCount(), 1u);
  StopEngine();
  EXPECT_EQ(testing::ReadFileText(catalogFile().string() + ".unreadable"), "an earlier one");
  EXPECT_TRUE(testing::ReadFileText(catalogFile().string() + ".unreadable-2") == junk);
  int errors = 0;
  for (const std::string& line : LogLines()) errors += line.rfind("Sqlite error code 26, ", 0) == 0;
  EXPECT_EQ(errors, 1) << "the probe, and nothing after the new catalog is made";
}

#ifndef _WIN32  // symbolic links made by users are a Linux case
TEST_F(DatabaseManagerTest, ACatalogLinkedToAnotherDatabaseIsNeverWritten) {
  testing::TempDir elsewhere;
  const std::filesystem::path other = elsewhere / "app.db";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE Mine(x);", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  std::filesystem::create_directories(store_.path());
  std::filesystem::create_symlink(other, catalogFile());
  StartEngine();
  EXPECT_EQ(query::InsertBackupFile(u"/a"), 0u);
  StopEngine();
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  EXPECT_NE(sqlite3_exec(db, "SELECT 1 FROM BackupFile;", nullptr, nullptr, nullptr), SQLITE_OK)
      << "no table of ours in another application's database";
  sqlite3_close(db);
}
#endif  // _WIN32

TEST_F(DatabaseManagerTest, ConnectionsArePerThreadAndReopenAfterDisconnect) {
  StartEngine();
  CatalogConnection* mine = DbmConnect();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(DbmConnect(), mine);
  CatalogConnection* other = nullptr;
  std::thread([&] { other = DbmConnect(); }).join();
  EXPECT_NE(other, nullptr);
  EXPECT_NE(other, mine);
  query::DisconnectBackupStorage();
  EXPECT_EQ(query::ConnectBackupStorage(), 1u);
  EXPECT_EQ(query::InsertBackupFile(u"/after/reconnect"), 1u);
}

// Another connection commits while a host counts: the count must wait for the
// lock rather than fail with "busy" and answer 0.
// Asking for the last failure of a thread that has no connection opens none.
TEST_F(DatabaseManagerTest, TheLastErrorOfAThreadWithoutAConnectionOpensNone) {
  StartEngine();
  // The catalog's open descriptors, as Linux lists them; Windows has no such list.
  const auto openCatalogs = [&] {
    int count = 0;
#ifndef _WIN32
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code error;
      count += std::filesystem::read_symlink(fd.path(), error) == catalogFile();
    }
#endif
    return count;
  };
  const int before = openCatalogs();
  int code = SQLITE_OK;
  int during = 0;
  std::thread([&] {
    code = DbmLastErrorCode();
    during = openCatalogs();
  }).join();
  EXPECT_EQ(code, SQLITE_CANTOPEN);
  EXPECT_EQ(during, before);
  // With a connection, it tells that connection's last failure.
  EXPECT_EQ(query::InsertBackupFile(u"/twice"), 1u);
  EXPECT_EQ(query::InsertBackupFile(u"/twice"), 0u);
  EXPECT_EQ(DbmLastErrorCode(), SQLITE_CONSTRAINT);
}

TEST_F(DatabaseManagerTest, AReaderWaitsForAWritersCommit) {
  StartEngine();
  ASSERT_EQ(query::InsertBackupFile(u"/first"), 1u);
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(catalogFile().string().c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer,
                         "BEGIN EXCLUSIVE; Insert Into BackupFile (FileName) Values "
                         "('/second');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::mutex lock;
  std::condition_variable changed;
  bool counting = false;
  uint32_t count = 0;
  std::thread reader([&] {
    {
      std::lock_guard guard(lock);
      counting = true;
    }
    changed.notify_one();
    count = query::GetBackupFileCount();
  });
  {
    std::unique_lock guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(5), [&] { return counting; }));
  }
  // Give the reader time to meet the lock; the commit comes within its timeout.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  reader.join();
  sqlite3_close(writer);
  EXPECT_EQ(count, 2u);
}

TEST_F(DatabaseManagerTest, AHandleKeptAcrossStopStillClosesSafely) {
  StartEngine();
  ASSERT_EQ(query::InsertBackupFile(u"/a"), 1u);
  ASSERT_EQ(query::InsertBackupFile(u"/b"), 1u);
  BackupFileInfo info;
  void* handle = query::FindFirstBackupFile(&info);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(EngineStop(), ENG_OK);
  EXPECT_EQ(query::FindNextBackupFile(handle, &info), 0u);
  EXPECT_EQ(query::GetBackupFileCount(), 0u);
  query::FindBackupFileClose(handle);  // finishes closing the connection: no leak, no crash
}

}  // namespace
}  // namespace orv
