#include "query/backup_files.h"

#include <sqlite3.h>

#include <cstring>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "platform/path.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/paths.h"

namespace orv {
namespace {

using testing::Stored;

bool AllZero(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

class BackupFilesTest : public testing::EngineFixture {
 protected:
  void SetUp() override { StartEngine(); }
};

TEST_F(BackupFilesTest, EnumerationFromEmptyToOneFile) {
  EXPECT_EQ(query::ConnectBackupStorage(), 1u);
  EXPECT_EQ(query::GetBackupFileCount(), 0u);
  BackupFileInfo info;
  std::memset(&info, 0x5A, sizeof(info));
  EXPECT_EQ(query::FindFirstBackupFile(&info), nullptr);
  EXPECT_TRUE(AllZero(&info, sizeof(info)));
  EXPECT_EQ(query::FindFirstBackupFile(nullptr), nullptr);

  ASSERT_EQ(query::InsertBackupFile(u"/home/Ann/Report.docx"), 1u);
  EXPECT_EQ(query::GetBackupFileCount(), 1u);
  void* handle = query::FindFirstBackupFile(&info);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(info.ID, 1u);
  EXPECT_EQ(std::u16string(info.FileName), Stored(u"/home/Ann/Report.docx"))
      << "stored as given, or lowered where names ignore case";
  EXPECT_EQ(query::FindNextBackupFile(handle, &info), 0u);
  EXPECT_TRUE(AllZero(&info, sizeof(info)));
  EXPECT_EQ(query::FindNextBackupFile(nullptr, &info), 0u);
  EXPECT_EQ(query::FindNextBackupFile(handle, nullptr), 0u);
  query::FindBackupFileClose(handle);
  query::FindBackupFileClose(nullptr);
}

TEST_F(BackupFilesTest, NamesAreFileIdentitiesNotPatterns) {
  // Names that differ only in case: another file on Linux, the same on Windows.
  const bool twoFiles = kFileNamesCaseSensitive;
  ASSERT_EQ(query::InsertBackupFile(u"/d/a_b.txt"), 1u);
  ASSERT_EQ(query::InsertBackupFile(u"/d/A_B.txt"), twoFiles ? 1u : 0u);
  ASSERT_EQ(query::InsertBackupFile(u"/d/100%.txt"), 1u);
  EXPECT_EQ(query::FindBackupFileId(u"/d/a_b.txt"), 1u);
  EXPECT_EQ(query::FindBackupFileId(u"/d/A_B.txt"), twoFiles ? 2u : 1u);
  EXPECT_EQ(query::FindBackupFileId(u"/d/aXb.txt"), 0u) << "_ is no wildcard";
  EXPECT_EQ(query::FindBackupFileId(u"/d/100"), 0u);
  EXPECT_EQ(query::FindBackupFileId(u"/d/1%"), 0u) << "% is no wildcard";
  EXPECT_EQ(query::FindBackupFileId(nullptr), 0u);

  EXPECT_EQ(query::InsertBackupFile(u"/d/a_b.txt"), 0u) << "a name is stored once";
  EXPECT_EQ(query::InsertBackupFile(nullptr), 0u);
  EXPECT_EQ(query::GetBackupFileCount(), twoFiles ? 3u : 2u);
  StopEngine();
  int unique = 0;
  for (const std::string& line : LogLines()) {
    unique += line.rfind("Sqlite error code 19, UNIQUE constraint failed", 0) == 0;
  }
  EXPECT_EQ(unique, twoFiles ? 1 : 2);
}

TEST_F(BackupFilesTest, HostileNamesAreBoundNeverSpliced) {
  std::u16string loneSurrogate = u"/d/x";
  loneSurrogate.push_back(0xD800);
  const std::u16string names[] = {
      u"/d/it's \"quoted\"; DROP TABLE BackupFile; --",
      u"/d/') Or 1 == 1 --",
      std::u16string(10000, u'n'),
      loneSurrogate,
      u"/d/\u00e9\U0001F600\x01\x7f",
  };
  uint32_t inserted = 0;
  for (const std::u16string& name : names) {
    inserted += query::InsertBackupFile(name.c_str());
    EXPECT_NE(query::FindBackupFileId(name.c_str()), 0u);
  }
  EXPECT_EQ(inserted, std::size(names));
  EXPECT_EQ(query::GetBackupFileCount(), std::size(names));

  char16_t buffer[10];
  std::memset(buffer, 0xFF, sizeof(buffer));
  ASSERT_EQ(query::GetBackupFileName(query::FindBackupFileId(names[2].c_str()), 10, buffer), 1u);
  EXPECT_EQ(std::u16string(buffer), std::u16string(9, u'n'));
  BackupFileInfo info;
  void* handle = query::FindFirstBackupFile(&info);
  ASSERT_NE(handle, nullptr);
  while (std::u16string(info.FileName).size() != 261)
    ASSERT_EQ(query::FindNextBackupFile(handle, &info), 1u);
  EXPECT_EQ(info.FileName[261], u'\0');
  query::FindBackupFileClose(handle);
}

TEST_F(BackupFilesTest, FileNamesByIdAndIdsAreNeverReused) {
  ASSERT_EQ(query::InsertBackupFile(u"/a"), 1u);
  char16_t untouched[4] = {u'x', u'y', u'z', 0};
  EXPECT_EQ(query::GetBackupFileName(99, 4, untouched), 0u);
  EXPECT_EQ(std::u16string(untouched), u"xyz");
  EXPECT_EQ(query::GetBackupFileName(1, 0, untouched), 0u);
  EXPECT_EQ(query::GetBackupFileName(1, 4, nullptr), 0u);

  sqlite3_exec(DbmConnect()->db(), "Delete From BackupFile", nullptr, nullptr, nullptr);
  ASSERT_EQ(query::InsertBackupFile(u"/a"), 1u);
  EXPECT_EQ(query::FindBackupFileId(u"/a"), 2u);
}

}  // namespace
}  // namespace orv
