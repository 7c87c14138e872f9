#include "query/editions.h"

#include <sqlite3.h>

#include <cstring>

#include <gtest/gtest.h>

#include "capture/notify_event.h"
#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "platform/path.h"
#include "query/backup_files.h"
#include "support/engine_fixture.h"
#include "support/event_records.h"

namespace orv {
namespace {

class EditionsTest : public testing::EngineFixture {
 protected:
  void SetUp() override { StartEngine(); }

  // Adds an edition row as the writer and the maintenance tasks leave it.
  int AddEdition(int fileId, int timeStamp, const std::u16string& backupName, int link = 0,
                 const char* sha1 = nullptr, const char* signature = nullptr) {
    sqlite3* db = DbmConnect()->db();
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db,
                                 "Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,"
                                 "Operation,Sha1,Signature) Values (?,?,?,7,?,2,?,?)",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    sqlite3_bind_int(statement, 1, fileId);
    sqlite3_bind_int(statement, 2, timeStamp);
    sqlite3_bind_int(statement, 3, link);
    sqlite3_bind_text16(statement, 4, backupName.data(),
                        static_cast<int>(backupName.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
    if (sha1 != nullptr) sqlite3_bind_blob(statement, 5, sha1, 20, SQLITE_TRANSIENT);
    if (signature != nullptr) sqlite3_bind_text(statement, 6, signature, -1, SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
    return static_cast<int>(sqlite3_last_insert_rowid(db));
  }

  // The EditionIDs a listing gives, in order.
  std::vector<int> List(const char16_t* pattern, uint32_t newestFirst = 1,
                        const int32_t* from = nullptr, const int32_t* to = nullptr) {
    std::vector<int> ids;
    FileEditionInfo info;
    void* handle = query::FindFirstFileEditionEx(pattern, newestFirst, from, to, &info);
    if (handle == nullptr) {
      const FileEditionInfo zero{};
      EXPECT_EQ(std::memcmp(&info, &zero, sizeof(info)), 0) << "an empty listing leaves zeros";
      return ids;
    }
    do {
      ids.push_back(info.EditionID);
    } while (query::FindNextFileEdition(handle, &info) == 1);
    query::FindBackupFileClose(handle);
    EXPECT_EQ(query::GetFileEditionCount(pattern),
              from || to ? query::GetFileEditionCount(pattern) : ids.size());
    return ids;
  }

  std::u16string Resolve(int editionId, uint32_t capacity = 4096) {
    std::u16string buffer(capacity, u'#');
    if (query::GetFileEdition(static_cast<uint32_t>(editionId), capacity, buffer.data()) == 0) {
      EXPECT_EQ(buffer, std::u16string(capacity, u'#')) << "a failed lookup writes nothing";
      return u"<none>";
    }
    return std::u16string(buffer.c_str());
  }

  std::u16string Snapshot(const std::u16string& name) {
    return JoinPath(SnapshotDirectory(), name);
  }
};

TEST_F(EditionsTest, ListingOrderBoundsAndPatterns) {
  const int a = AddBackupFile(u"/docs/A_1.txt");
  const int b = AddBackupFile(u"/docs/ab1.txt");
  const int c = AddBackupFile(u"/other/c.txt");
  const int e1 = AddEdition(a, 100, u"a1", 0, "12345678901234567890", "signer");
  const int e2 = AddEdition(b, 200, u"b1");
  const int e3 = AddEdition(c, 300, u"c1");
  const int e4 = AddEdition(a, 400, u"a2");
  AddEdition(999, 500, u"orphan");  // no file row: never listed

  EXPECT_EQ(List(nullptr), (std::vector<int>{e4, e3, e2, e1}));
  EXPECT_EQ(List(nullptr, 0), (std::vector<int>{e1, e2, e3, e4}));
  EXPECT_EQ(List(u"/docs/%"), (std::vector<int>{e4, e2, e1}));
  EXPECT_EQ(List(u"/DOCS/a_1.txt"), (std::vector<int>{e4, e2, e1})) << "LIKE: case and _ are loose";
  EXPECT_EQ(List(u""), std::vector<int>{});
  const int32_t from = 200, to = 300, same = 400, above = 401;
  EXPECT_EQ(List(nullptr, 1, &from, &to), (std::vector<int>{e3, e2})) << "bounds are inclusive";
  EXPECT_EQ(List(nullptr, 1, &same, &same), (std::vector<int>{e4}));
  EXPECT_EQ(List(nullptr, 1, &to, &from), std::vector<int>{});
  EXPECT_EQ(List(nullptr, 1, &above, nullptr), std::vector<int>{});
  EXPECT_EQ(query::GetFileEditionCount(nullptr), 4u);

  FileEditionInfo info;
  void* handle = query::FindFirstFileEditionEx(u"/docs/A_1.txt", 0, nullptr, nullptr, &info);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(info.FileID, a);
  EXPECT_EQ(info.TimeStamp, 100);
  EXPECT_EQ(info.Size, 7);
  EXPECT_EQ(info.Operation, 0) << "not part of the listing";
  EXPECT_EQ(std::memcmp(info.Sha1, "12345678901234567890", 20), 0);
  EXPECT_EQ(std::u16string(info.BackupName), u"a1");
  EXPECT_EQ(info.Signature[0], u'\0') << "never filled by the listing";
  ASSERT_EQ(query::FindNextFileEdition(handle, &info), 1u);
  EXPECT_EQ(std::memcmp(info.Sha1, std::string(20, '\0').data(), 20), 0) << "NULL digest: zeros";
  query::FindBackupFileClose(handle);
}

// Without the added index, a full-path pattern scans every edition.
TEST_F(EditionsTest, AFullPathPatternUsesTheFileNameIndex) {
  int32_t id = 0;
  const DbmField fields[] = {{u"EditionID", DbmType::INT, &id, 4}};
  const char16_t* pattern = u"/home/ann/report.doc";
  const DbmField conditions[] = {
      {u"FileName Like ", DbmType::STR, const_cast<char16_t*>(pattern), 0xFFFFFFFF}};
  const std::u16string plan =
      u"EXPLAIN QUERY PLAN " + ComposeSelect(u"View_FileEdition", fields, 1, conditions, 1);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare16_v2(DbmConnect()->db(), plan.c_str(), -1, &statement, nullptr),
            SQLITE_OK);
  DbmBindField(statement, conditions, 1);
  std::string details;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    details += reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
    details += "\n";
  }
  sqlite3_finalize(statement);
  EXPECT_NE(details.find("Index_BackupFile_FileName_NoCase"), std::string::npos) << details;
  EXPECT_EQ(details.find("SCAN Edition"), std::string::npos) << details;
}

TEST_F(EditionsTest, ContentPathsFollowLinks) {
  const int doc = AddBackupFile(u"/d/report.doc");
  const int renamed = AddBackupFile(u"/d/renamed.doc");
  const int final = AddBackupFile(u"/d/final.doc");
  const int gone = AddBackupFile(u"/d/gone.doc");
  const int plain = AddEdition(doc, 100, u"report.doc20260101000000000");
  // A rename to renamed.doc, whose later edition holds the content.
  const int toLater = AddEdition(doc, 110, u"", renamed);
  AddEdition(renamed, 120, u"renamed.doc20260101000002000");
  // Two renames: renamed.doc then final.doc, which never changed afterwards.
  const int twoHops = AddEdition(doc, 115, u"", renamed);
  const int secondHop = AddEdition(renamed, 130, u"", final);
  // A link to a file row that no longer exists.
  const int vanished = AddEdition(doc, 140, u"", gone);
  sqlite3_exec(DbmConnect()->db(), "Delete From BackupFile Where FileName = '/d/gone.doc'", nullptr,
               nullptr, nullptr);

  EXPECT_EQ(Resolve(plain), Snapshot(u"report.doc20260101000000000"));
  EXPECT_EQ(Resolve(toLater), Snapshot(u"renamed.doc20260101000002000"));
  EXPECT_EQ(Resolve(twoHops), Snapshot(u"renamed.doc20260101000002000"));
  EXPECT_EQ(Resolve(secondHop), u"/d/final.doc") << "the linked file itself, as stored";
  EXPECT_EQ(Resolve(vanished), u"<none>");
  EXPECT_EQ(Resolve(9999), u"<none>");
}

// A rename followed within its second by a change of the new name (what
// ransomware does: rename to .locked, then encrypt) resolves to the copy made
// before the change, not to the changed file; of several later copies, the
// earliest in time stands for the rename, whatever order they were written in.
TEST_F(EditionsTest, ARenameResolvesToTheFirstCopyAfterItEvenWithinItsSecond) {
  const int doc = AddBackupFile(u"/d/thesis.odt");
  const int locked = AddBackupFile(u"/d/thesis.odt.locked");
  // A copy of an earlier file that had the new name, in the same second but
  // before the rename: not what the renamed file held.
  AddEdition(locked, 200, u"thesis.odt.locked20260101000000000");
  const int rename = AddEdition(doc, 200, u"", locked);
  AddEdition(locked, 200, u"thesis.odt.locked20260101000000001");
  EXPECT_EQ(Resolve(rename), Snapshot(u"thesis.odt.locked20260101000000001"));

  const int other = AddBackupFile(u"/d/notes");
  const int otherLocked = AddBackupFile(u"/d/notes.locked");
  const int second = AddEdition(other, 300, u"", otherLocked);
  AddEdition(otherLocked, 310, u"notes.locked20260101000000310");
  AddEdition(otherLocked, 305, u"notes.locked20260101000000305");
  EXPECT_EQ(Resolve(second), Snapshot(u"notes.locked20260101000000305"));
}

TEST_F(EditionsTest, NoCatalogContentMakesAPathOutsideTheStore) {
  const int file = AddBackupFile(u"/d/x");
  const int target = AddBackupFile(u"/d/y");
  const std::u16string hostileNames[] = {u"",
                                         u".",
                                         u"..",
                                         u"../../etc/passwd",
                                         u"sub/name",
                                         std::u16string(u"a\0b", 3),
                                         std::u16string(300, u'n')};
  for (const std::u16string& hostile : hostileNames) {
    const std::u16string path = Resolve(AddEdition(file, 100, hostile));
    if (path == u"<none>") continue;
    // Only a name cut at an embedded 0 gets through, and it stays in the store.
    EXPECT_EQ(path, Snapshot(u"a"));
  }
  // The same through a link to a later edition.
  AddEdition(target, 200, u"../escape");
  EXPECT_EQ(Resolve(AddEdition(file, 150, u"", target)), u"<none>");
}

TEST_F(EditionsTest, APathIsWrittenWholeOrNotAtAll) {
  const int file = AddBackupFile(u"/d/x");
  const int id = AddEdition(file, 100, u"x20260101000000000");
  const std::u16string path = Snapshot(u"x20260101000000000");
  const uint32_t exact = static_cast<uint32_t>(path.size() + 1);
  EXPECT_EQ(Resolve(id, exact), path);
  EXPECT_EQ(Resolve(id, exact - 1), u"<none>");
  EXPECT_EQ(query::GetFileEdition(id, 0, nullptr), 0u);
}

TEST_F(EditionsTest, AHandleKeptAcrossStopStillCloses) {
  const int file = AddBackupFile(u"/d/x");
  AddEdition(file, 100, u"a");
  AddEdition(file, 200, u"b");
  FileEditionInfo info;
  void* handle = query::FindFirstFileEdition(nullptr, &info);
  ASSERT_NE(handle, nullptr);
  StopEngine();
  EXPECT_EQ(query::FindNextFileEdition(handle, &info), 0u);
  EXPECT_EQ(query::GetFileEditionCount(nullptr), 0u);
  EXPECT_EQ(Resolve(1), u"<none>");
  query::FindBackupFileClose(handle);
}

TEST_F(EditionsTest, ACapturedEditionResolvesToItsOldContent) {
  StopEngine();
  testing::TempDir files, policy;
  testing::WriteFileText(policy / "lpolicy.xml",
                         "<p><g><f name=\"Location\" hitaction=\"Backup\"><v v=\"" +
                             (files.path() / "").string() + "\"/></f></g></p>");
  ASSERT_EQ(testing::SetStringItem(CONFIG_POLICY_DIRECTORY, policy.u16()), ENG_OK);
  StartEngine();
  testing::WriteFileText(files / "notes.txt", "version 1");
  const std::u16string path = testing::U16(files / "notes.txt");
  FileEventRecord open = testing::OpenForWrite(path.c_str());
  FileEventRecord close = testing::Close(path.c_str(), true);
  ASSERT_EQ(HandleNotifyEvent(&open), ENG_OK);
  testing::WriteFileText(files / "notes.txt", "version 2");
  ASSERT_EQ(HandleNotifyEvent(&close), ENG_OK);
  StopEngine();
  StartEngine();

  FileEditionInfo info;
  void* handle = query::FindFirstFileEdition(path.c_str(), &info);
  ASSERT_NE(handle, nullptr);
  query::FindBackupFileClose(handle);
  const std::u16string content = Resolve(info.EditionID);
  EXPECT_EQ(testing::ReadFileText(std::string(content.begin(), content.end())), "version 1");
}

}  // namespace
}  // namespace orv
