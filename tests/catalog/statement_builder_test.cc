#include "catalog/statement_builder.h"

#include <sqlite3.h>

#include <cstring>
#include <set>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "platform/path.h"
#include "platform/text.h"
#include "query/backup_files.h"
#include "support/engine_fixture.h"

namespace orv {
namespace {

int32_t g_int = 0;
char16_t g_text[262];
uint8_t g_blob[20];

DbmField Int(const char16_t* name, uint8_t order = 0) {
  return {name, DbmType::INT, &g_int, 4, order};
}
DbmField Absent(const char16_t* name, uint8_t order = 0) {
  return {name, DbmType::INT, nullptr, 4, order};
}
DbmField Str(const char16_t* name, DbmTextCase textCase = DbmTextCase::kLowered) {
  return {name, DbmType::STR, g_text, sizeof(g_text), 0, textCase};
}

TEST(StatementTextTest, EveryShapeTheCallersUse) {
  const DbmField files[] = {Int(u"ID"), Str(u"FileName")};
  EXPECT_EQ(ComposeSelect(u"BackupFile", files, 2, nullptr, 0),
            u"Select  ID , FileName  From BackupFile ");

  const DbmField count[] = {Int(u"count(*)")};
  const DbmField noCondition[] = {Absent(u"")};
  EXPECT_EQ(ComposeSelect(u"BackupFile", count, 1, noCondition, 1),
            u"Select  count(*)  From BackupFile  Where 1 == 1 ");

  const DbmField editions[] = {Int(u"EditionID"),
                               Int(u"FileID"),
                               Int(u"TimeStamp", 2),
                               Int(u"LinkFileID"),
                               Int(u"Size"),
                               Str(u"BackupName"),
                               {u"Sha1", DbmType::BLOB, g_blob, 20}};
  const DbmField bounds[] = {Str(u"FileName Like "), Int(u"TimeStamp >= "),
                             Absent(u"TimeStamp <= ")};
  EXPECT_EQ(ComposeSelect(u"View_FileEdition", editions, 7, bounds, 3),
            u"Select  EditionID , FileID , TimeStamp , LinkFileID , Size , BackupName , Sha1  "
            u"From View_FileEdition  Where 1 == 1  And FileName Like  ?  And TimeStamp >=  ?  "
            u"Order By  TimeStamp  Desc ");

  // An absent field with an order byte still orders, though it is not selected.
  const DbmField ordered[] = {Int(u"ID"), Absent(u"TimeStamp", 1), Absent(u"Size", 2)};
  EXPECT_EQ(ComposeSelect(u"Edition", ordered, 3, nullptr, 0),
            u"Select  ID  From Edition  Order By  TimeStamp  Asc , Size  Desc ");

  // File-system names are stored as given where file names are case-sensitive,
  // lowered where they are not; other text is always lowered.
  const DbmField newFile[] = {Absent(u"ID"), Str(u"FileName", DbmTextCase::kFileSystemName)};
  const std::u16string name = kFileNamesCaseSensitive ? u"?" : u"Lower(?)";
  EXPECT_EQ(ComposeInsert(u"BackupFile", newFile, 2),
            u"Insert Into BackupFile (FileName) Values (" + name + u")");
  const DbmField edition[] = {Int(u"FileID"),
                              Int(u"TimeStamp"),
                              Int(u"LinkFileID"),
                              Int(u"Size"),
                              Str(u"BackupName", DbmTextCase::kFileSystemName),
                              Int(u"Operation")};
  EXPECT_EQ(ComposeInsert(u"Edition", edition, 6),
            u"Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,Operation) "
            u"Values (?,?,?,?," +
                name + u",?)");

  const DbmField byId = Int(u"ID == ");
  EXPECT_EQ(ComposeUpdate({u"Sha1", DbmType::BLOB, g_blob, 20}, &byId),
            u"Update Edition Set Sha1 = ? Where 1 == 1  And ID ==  ? ");
  EXPECT_EQ(ComposeUpdate(Str(u"Signature"), &byId),
            u"Update Edition Set Signature = Lower(?) Where 1 == 1  And ID ==  ? ");
  EXPECT_EQ(ComposeDelete(&byId, 1), u"Delete From Edition  Where 1 == 1  And ID ==  ? ");
  const DbmField noBound = Absent(u"TimeStamp <= ");
  EXPECT_EQ(ComposeDelete(&noBound, 1), u"Delete From Edition  Where 1 == 1 ");
}

class StatementBuilderTest : public testing::EngineFixture {
 protected:
  void SetUp() override { StartEngine(); }

  // Adds an edition row straight through SQL, for reading it back.
  void AddEdition(int fileId, int timeStamp, const char16_t* backupName, const void* sha1,
                  int sha1Bytes) {
    sqlite3* db = DbmConnect()->db();
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "Insert Into Edition (FileID,TimeStamp,BackupName,Sha1) "
                                 "Values (?,?,?,?)",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    sqlite3_bind_int(statement, 1, fileId);
    sqlite3_bind_int(statement, 2, timeStamp);
    sqlite3_bind_text16(statement, 3, backupName, -1, SQLITE_TRANSIENT);
    if (sha1 != nullptr) sqlite3_bind_blob(statement, 4, sha1, sha1Bytes, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
  }

  uint32_t EditionCount() {
    int32_t count = 0;
    const DbmField fields[] = {{u"count(*)", DbmType::INT, &count, 4}};
    DbmSelectFirst(u"Edition", fields, 1, nullptr, 0);
    return static_cast<uint32_t>(count);
  }
};

TEST_F(StatementBuilderTest, AbsentEntriesTakeNoParameterNumber) {
  AddEdition(1, 100, u"a", nullptr, 0);
  AddEdition(2, 200, u"b", nullptr, 0);
  int32_t id = 0, stamp = 0;
  int32_t fileId = 2, minimum = 150;
  const DbmField fields[] = {
      Absent(u"Size"), {u"ID", DbmType::INT, &id, 4}, {u"TimeStamp", DbmType::INT, &stamp, 4}};
  const DbmField conditions[] = {Absent(u"LinkFileID == "),
                                 {u"FileID == ", DbmType::INT, &fileId, 4},
                                 Absent(u"Size == "),
                                 {u"TimeStamp >= ", DbmType::INT, &minimum, 4}};
  ASSERT_EQ(DbmSelectFirst(u"Edition", fields, 3, conditions, 4), 1u);
  EXPECT_EQ(stamp, 200) << "column numbers count present fields only";
}

TEST_F(StatementBuilderTest, FetchesAreCutToTheirDestinations) {
  std::u16string longName(300, u'n');
  longName[260] = 0xD83D;  // a surrogate pair straddling the cut
  longName[261] = 0xDE00;
  const uint8_t bytes32[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
  AddEdition(1, 100, longName.c_str(), bytes32, 32);
  AddEdition(1, 200, u"short", bytes32, 4);

  char16_t name[262];
  uint8_t sha1[20];
  std::memset(name, 0xAB, sizeof(name));
  std::memset(sha1, 0xEE, sizeof(sha1));
  int32_t stamp = 100;
  const DbmField fields[] = {{u"BackupName", DbmType::STR, name, sizeof(name)},
                             {u"Sha1", DbmType::BLOB, sha1, sizeof(sha1)}};
  const DbmField at[] = {{u"TimeStamp == ", DbmType::INT, &stamp, 4}};
  ASSERT_EQ(DbmSelectFirst(u"Edition", fields, 2, at, 1), 1u);
  EXPECT_EQ(std::u16string(name), longName.substr(0, 260)) << "cut before half a pair";
  EXPECT_EQ(std::memcmp(sha1, bytes32, 20), 0);

  std::memset(sha1, 0xEE, sizeof(sha1));
  stamp = 200;
  ASSERT_EQ(DbmSelectFirst(u"Edition", fields, 2, at, 1), 1u);
  EXPECT_EQ(std::u16string(name), u"short");
  EXPECT_EQ(std::memcmp(sha1, bytes32, 4), 0);
  EXPECT_EQ(sha1[4], 0xEE) << "bytes past a short blob are left alone";

  // A destination of one byte has no room for even a terminator.
  char16_t tiny[2] = {u'x', u'y'};
  const DbmField tooSmall[] = {{u"BackupName", DbmType::STR, tiny, 1}};
  ASSERT_EQ(DbmSelectFirst(u"Edition", tooSmall, 1, at, 1), 1u);
  EXPECT_EQ(tiny[0], u'x');
}

// The makers' lengths come from their arrays, and each text keeps its case rule.
TEST_F(StatementBuilderTest, FieldMakersBindAndFetchWhatTheyName) {
  const int32_t fileId = 7, stamp = 300;
  const uint8_t digest[20] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
  const DbmField row[] = {
      IntValue(u"FileID", &fileId),
      IntValue(u"TimeStamp", &stamp),
      AbsentField(u"Size"),
      StoredText(u"BackupName", u"Report.DOC1", DbmTextCase::kFileSystemName),
      BlobValue(u"Sha1", digest, sizeof(digest)),
  };
  ASSERT_EQ(DbmInsert(u"Edition", row), 1u);
  const DbmField byFile = IntValue(u"FileID == ", &fileId);
  ASSERT_EQ(DbmUpdate(StoredText(u"Signature", u"ACME Corp", DbmTextCase::kLowered), &byFile), 1u);

  char16_t shortName[5];
  char16_t signer[32] = {};
  uint8_t sha1[20] = {};
  int32_t size = -1;
  const DbmField fields[] = {TextField(u"BackupName", shortName), TextField(u"Signature", signer),
                             BlobField(u"Sha1", sha1), IntField(u"Size", &size)};
  const DbmField at[] = {IntValue(u"TimeStamp == ", &stamp)};
  ASSERT_EQ(DbmSelectFirst(u"Edition", fields, at), 1u);
  // The file-system name as this platform stores it.
  const char16_t* stored = kFileNamesCaseSensitive ? u"Report.DOC1" : u"report.doc1";
  EXPECT_EQ(std::u16string(shortName), std::u16string(stored, 4))
      << "cut to the array, terminator included";
  EXPECT_EQ(std::u16string(signer), u"acme corp");
  EXPECT_EQ(std::memcmp(sha1, digest, sizeof(digest)), 0);
  EXPECT_EQ(size, 0) << "an absent field is never inserted";
  const DbmField byName[] = {TextValue(u"BackupName == ", stored)};
  EXPECT_EQ(DbmDelete(byName), 1u);
  EXPECT_EQ(EditionCount(), 0u) << "the file-system name was stored in the platform's form";
}

// Found by the statement builder fuzzer: an INT fetch wrote four bytes into a
// destination whose field declared fewer.
TEST_F(StatementBuilderTest, IntFetchesNeverWritePastASmallerDestination) {
  AddEdition(1, 0x01020304, u"a", nullptr, 0);
  for (uint32_t length : {0u, 1u, 2u, 3u}) {
    uint8_t destination[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const DbmField fields[] = {{u"TimeStamp", DbmType::INT, destination, length},
                               {u"ID", DbmType::INT, &g_int, 4}};
    g_int = 0;
    ASSERT_EQ(DbmSelectFirst(u"Edition", fields, 2, nullptr, 0), 1u) << length;
    for (uint8_t byte : destination) EXPECT_EQ(byte, 0xEE) << "length " << length;
    EXPECT_EQ(g_int, 1) << "the next column is still fetched";
  }
  int32_t stamp = 0;
  const DbmField fits[] = {{u"TimeStamp", DbmType::INT, &stamp, 4}};
  ASSERT_EQ(DbmSelectFirst(u"Edition", fits, 1, nullptr, 0), 1u);
  EXPECT_EQ(stamp, 0x01020304);
}

// Found by the LIKE pattern fuzzer: SQLite took a bound text's leading U+FEFF
// or U+FFFE for a byte-order mark, so such names were stored without it (or
// byte-swapped after U+FFFE), and patterns starting with one matched others.
TEST_F(StatementBuilderTest, TextsStartingWithByteOrderMarkCharactersAreBoundAsGiven) {
  const std::u16string marked = u"\uFEFFnotes.txt";
  const std::u16string swapped = u"\uFFFEnotes.txt";
  ASSERT_EQ(query::InsertBackupFile(marked.c_str()), 1u);
  ASSERT_EQ(query::InsertBackupFile(swapped.c_str()), 1u);
  ASSERT_EQ(query::InsertBackupFile(u"notes.txt"), 1u) << "a name of its own, not a duplicate";
  for (const std::u16string& name : {marked, swapped, std::u16string(u"notes.txt")}) {
    const uint32_t id = query::FindBackupFileId(name.c_str());
    ASSERT_NE(id, 0u);
    EXPECT_EQ(query::BackupFileName(id).value_or(u"<none>"), name);
  }

  int32_t count = 0;
  const DbmField fields[] = {{u"count(*)", DbmType::INT, &count, 4}};
  for (const char16_t* pattern : {u"\uFEFF%", u"\uFFFE%"}) {
    const DbmField like[] = {{u"FileName Like ", DbmType::STR, const_cast<char16_t*>(pattern), 0}};
    ASSERT_EQ(DbmSelectFirst(u"BackupFile", fields, 1, like, 1), 1u);
    EXPECT_EQ(count, 1) << "only the name that starts with the pattern's first character";
  }
}

// Found with the LIKE pattern fuzzer's catalog: SQLite's conversion to UTF-16
// reads U+FFFE and U+FFFF as U+FFFD, so such a stored name came back changed
// (and a path made of it named another file).
TEST_F(StatementBuilderTest, NoncharactersInTextsComeBackAsStored) {
  const std::u16string name = u"/docs/a\uFFFFb\uFFFE.txt";
  ASSERT_EQ(query::InsertBackupFile(name.c_str()), 1u);
  const uint32_t id = query::FindBackupFileId(name.c_str());
  ASSERT_NE(id, 0u);
  EXPECT_EQ(query::BackupFileName(id).value_or(u"<none>"), name);
  AddEdition(static_cast<int>(id), 100, u"a\uFFFFb20260401080645123", nullptr, 0);
  char16_t backupName[262] = {};
  const DbmField fields[] = {{u"BackupName", DbmType::STR, backupName, sizeof(backupName)}};
  ASSERT_EQ(DbmSelectFirst(u"Edition", fields, 1, nullptr, 0), 1u);
  EXPECT_EQ(std::u16string(backupName), u"a\uFFFFb20260401080645123");
}

// A name with a byte that is not UTF-8 holds a lone surrogate. SQLite's own
// conversion of UTF-16 joined it with the next unit: "r\uDCFF.txt" was stored
// as "r\U0004FC2Etxt", another valid name.
TEST_F(StatementBuilderTest, LoneSurrogatesInNamesComeBackAsBound) {
  const std::u16string escaped = {u'/', u'r', 0xDCFF, u'.', u't', u'x', u't'};
  const std::u16string atTheEnd = {u'/', u'r', 0xDCFF};
  const std::u16string highAlone = {u'/', 0xD800, u'x'};
  const std::u16string replaced = u"/r\uFFFD.txt";
  const std::u16string joined = u"/r\U0004FC2Etxt";
  const std::u16string names[] = {escaped, atTheEnd, highAlone, replaced, joined};
  std::set<uint32_t> ids;
  for (const std::u16string& name : names) ASSERT_EQ(query::InsertBackupFile(name.c_str()), 1u);
  for (const std::u16string& name : names) {
    const uint32_t id = query::FindBackupFileId(name.c_str());
    ASSERT_NE(id, 0u) << Utf16ToUtf8Lossy(name);
    EXPECT_EQ(query::BackupFileName(id).value_or(u"<none>"), name);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), std::size(names)) << "each name is a row of its own";

  // Stored as the surrogate's own 3-byte form, so SQL sees the rest unchanged.
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(DbmConnect()->db(), "Select hex(FileName) From BackupFile Where ID == ?",
                         -1, &statement, nullptr),
      SQLITE_OK);
  sqlite3_bind_int(statement, 1, static_cast<int>(query::FindBackupFileId(escaped.c_str())));
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
               "2F72EDB3BF2E747874");
  sqlite3_finalize(statement);

  char16_t fetched[262] = {};
  const DbmField fields[] = {{u"FileName", DbmType::STR, fetched, sizeof(fetched)}};
  const DbmField byName[] = {
      {u"FileName == ", DbmType::STR, const_cast<char16_t*>(atTheEnd.c_str()), 0}};
  ASSERT_EQ(DbmSelectFirst(u"BackupFile", fields, 1, byName, 1), 1u);
  EXPECT_EQ(std::u16string(fetched), atTheEnd);
}

TEST_F(StatementBuilderTest, LikeConditionsIgnoreAsciiCaseAndTreatWildcardsAsSuch) {
  ASSERT_EQ(query::InsertBackupFile(u"/Home/Ann/a_b.txt"), 1u);
  ASSERT_EQ(query::InsertBackupFile(u"/home/ann/axb.txt"), 1u);
  int32_t count = 0;
  const DbmField fields[] = {{u"count(*)", DbmType::INT, &count, 4}};
  const char16_t* pattern = u"/HOME/ANN/a_b.txt";
  const DbmField like[] = {{u"FileName Like ", DbmType::STR, const_cast<char16_t*>(pattern), 0}};
  ASSERT_EQ(DbmSelectFirst(u"BackupFile", fields, 1, like, 1), 1u);
  EXPECT_EQ(count, 2);
}

TEST_F(StatementBuilderTest, UpdateAndDeleteWithoutAPresentConditionTouchEveryRow) {
  AddEdition(1, 100, u"a", nullptr, 0);
  AddEdition(2, 200, u"b", nullptr, 0);
  const char16_t* signer = u"Example Signer";
  const DbmField absent = Absent(u"ID == ");
  ASSERT_EQ(DbmUpdate({u"Signature", DbmType::STR, const_cast<char16_t*>(signer), 0}, &absent), 1u);
  char16_t stored[64] = {};
  const DbmField fields[] = {{u"Signature", DbmType::STR, stored, sizeof(stored)}};
  int32_t stamp = 200;
  const DbmField at[] = {{u"TimeStamp == ", DbmType::INT, &stamp, 4}};
  ASSERT_EQ(DbmSelectFirst(u"Edition", fields, 1, at, 1), 1u);
  EXPECT_EQ(std::u16string(stored), u"example signer") << "signers are stored lowered";

  int32_t before = 150;
  const DbmField older[] = {{u"TimeStamp <= ", DbmType::INT, &before, 4}};
  ASSERT_EQ(DbmDelete(older, 1), 1u);
  EXPECT_EQ(EditionCount(), 1u);
  ASSERT_EQ(DbmDelete(&absent, 1), 1u);
  EXPECT_EQ(EditionCount(), 0u);
}

TEST_F(StatementBuilderTest, FailuresAreLoggedAndReturnNothing) {
  const DbmField fields[] = {Int(u"NoSuchColumn")};
  EXPECT_EQ(DbmSelect(u"BackupFile", fields, 1, nullptr, 0), nullptr);
  EXPECT_EQ(DbmInsert(u"NoSuchTable", fields, 1), 0u);
  EXPECT_EQ(DbmExecute("COMMIT;"), 0u) << "no transaction is open";
  StopEngine();
  // The first line is the schema probe of a new catalog.
  int errors = 0;
  for (const std::string& line : LogLines()) errors += line.rfind("Sqlite error code 1, ", 0) == 0;
  EXPECT_EQ(errors, 1 + 3);
}

}  // namespace
}  // namespace orv
