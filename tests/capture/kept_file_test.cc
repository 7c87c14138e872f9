// Deletions and replacements whose old content the host kept in a file of its
// own, as the live-protection daemon keeps a hard link of each protected file.
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <filesystem>

#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "capture/notify_event.h"
#include "engine/lifecycle.h"
#include "platform/path.h"
#include "platform/text.h"
#include "support/capture_fixture.h"
#include "support/catalog_rows.h"
#include "support/event_records.h"
#include "support/paths.h"

namespace orv {
namespace {

using testing::Stored;
using testing::StoredPath;

using testing::EditionRow;
using testing::Event;
using testing::ReadFileText;
using testing::U16;
using testing::WriteFileText;

class KeptFileTest : public testing::CaptureFixture {
 protected:
  // What the daemon does while name still names the file: a second name in
  // its own directory.
  std::filesystem::path Keep(const std::string& name) {
    const std::filesystem::path kept = kept_ / name;
    std::filesystem::create_hard_link(files_ / name, kept);
    return kept;
  }
  uint32_t Record(uint32_t operation, const std::u16string& path, const std::filesystem::path& kept,
                  const char16_t* target = u"") {
    const FileEventRecord record = Event(operation, path.c_str(), 0, 0, 0, target);
    return HandleNotifyKeptFile(&record, U16(kept).c_str());
  }
  std::vector<EditionRow> Editions() { return testing::ReadEditions(catalogFile()); }
  size_t Copies() const {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(store_ / "Backup")) {
      count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
  }
#ifndef _WIN32  // inodes, link counts and mode bits as Linux tells them
  static struct stat Stat(const std::filesystem::path& path) { struct stat st { };
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }
#endif

  testing::TempDir kept_;
};

TEST_F(KeptFileTest, ADeletionOrAReplacementBecomesAnEditionOfTheKeptFileItself) {
  StartCapture();
  const std::u16string gone = File("gone.txt", "deleted words");
  const std::filesystem::path keptGone = Keep("gone.txt");
  std::filesystem::remove(files_ / "gone.txt");  // keptGone is now its only name
  EXPECT_EQ(Record(FILE_OP_DELETE, gone, keptGone), ENG_OK);

  const std::u16string replaced = File("replaced.txt", "replaced words");
  const std::filesystem::path keptReplaced = Keep("replaced.txt");
  WriteFileText(files_ / "new.txt", "the new file");
  std::filesystem::rename(files_ / "new.txt", files_ / "replaced.txt");
  const std::u16string unread = U16(files_ / "new.txt");
  EXPECT_EQ(Record(FILE_OP_RENAME, replaced, keptReplaced, unread.c_str()), ENG_OK);
  EXPECT_EQ(TheBackupModule().backuper().queuedCount(), 2u) << "queued at once, never pending";
  EXPECT_EQ(TheBackupModule().backuper().pendingCount(), 0u);
  StopEngine();

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].fileName, StoredPath(files_ / "gone.txt"));
  EXPECT_EQ(rows[0].operation, EDITION_DELETE);
  EXPECT_EQ(rows[1].fileName, StoredPath(files_ / "replaced.txt"));
  EXPECT_EQ(rows[1].operation, EDITION_MODIFY);
  EXPECT_EQ(rows[1].linkFileName, "") << "the file renamed over it is not its link";
  const std::filesystem::path keptFiles[] = {keptGone, keptReplaced};
  const char* contents[] = {"deleted words", "replaced words"};
  for (size_t i = 0; i < 2; ++i) {
    const std::filesystem::path copy = store_ / "Backup" / rows[i].backupName;
    EXPECT_EQ(ReadFileText(copy), contents[i]);
#ifndef _WIN32
    // Linked, not copied, and the kept file left for the host to remove.
    EXPECT_EQ(Stat(copy).st_ino, Stat(keptFiles[i]).st_ino) << rows[i].backupName;
    EXPECT_EQ(Stat(keptFiles[i]).st_nlink, 2u);
#endif
    EXPECT_EQ(ReadFileText(keptFiles[i]), contents[i]);
  }
  EXPECT_EQ(rows[0].backupName.rfind("gone.txt", 0), 0u);
  EXPECT_EQ(Copies(), 2u) << "no partial name left behind";
}

// A kept file that could still change (another name), or whose set-id bit a
// link would carry into the store, is copied.
TEST_F(KeptFileTest, AKeptFileThatALinkCouldNotKeepAsItIsIsCopied) {
  StartCapture();
  const std::u16string shared = File("shared.txt", "as it was");
  const std::filesystem::path keptShared = Keep("shared.txt");  // files_ still names it
  EXPECT_EQ(Record(FILE_OP_DELETE, shared, keptShared), ENG_OK);
  WriteFileText(files_ / "shared.txt", "changed through its other name");
#ifdef _WIN32
  StopEngine();
  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(ReadFileText(store_ / "Backup" / rows[0].backupName), "as it was");
#else  // set-id bits are a Linux case
  const std::u16string tool = File("tool", "set-id program");
  const std::filesystem::path keptTool = Keep("tool");
  std::filesystem::remove(files_ / "tool");
  ASSERT_EQ(::chmod(keptTool.c_str(), 04755), 0);
  EXPECT_EQ(Record(FILE_OP_DELETE, tool, keptTool), ENG_OK);
  StopEngine();

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 2u);
  const std::filesystem::path sharedCopy = store_ / "Backup" / rows[0].backupName;
  EXPECT_NE(Stat(sharedCopy).st_ino, Stat(keptShared).st_ino);
  EXPECT_EQ(ReadFileText(sharedCopy), "as it was");
  const std::filesystem::path toolCopy = store_ / "Backup" / rows[1].backupName;
  EXPECT_NE(Stat(toolCopy).st_ino, Stat(keptTool).st_ino);
  EXPECT_EQ(Stat(toolCopy).st_mode & 07777, 0755u);
  EXPECT_EQ(Stat(keptTool).st_mode & 07777, 04755u) << "the kept file is never changed";
#endif
}

TEST_F(KeptFileTest, WhatCannotBeTakenOrIsNotProtectedRecordsNothing) {
  StartCapture();
  // Outside the protected tree: nothing done, the kept file untouched.
  testing::TempDir elsewhere;
  WriteFileText(elsewhere / "free.txt", "not protected");
  const std::filesystem::path keptFree = kept_ / "free.txt";
  std::filesystem::create_hard_link(elsewhere / "free.txt", keptFree);
  std::filesystem::remove(elsewhere / "free.txt");
  EXPECT_EQ(Record(FILE_OP_DELETE, U16(elsewhere / "free.txt"), keptFree), ORV_E_NOT_PROTECTED);
  EXPECT_EQ(std::filesystem::hard_link_count(keptFree), 1u);

  // No file, a directory, a symbolic link (to a file that could be taken).
  const std::u16string path = File("victim.txt", "content");
  std::filesystem::create_directory(kept_ / "directory");
  std::vector<const char*> kepts = {"missing", "directory"};
#ifndef _WIN32  // symbolic links made by users are a Linux case
  std::filesystem::create_symlink(files_ / "victim.txt", kept_ / "link");
  kepts.push_back("link");
#endif
  for (const char* kept : kepts) {
    EXPECT_EQ(Record(FILE_OP_DELETE, path, kept_ / kept), ORV_E_NOT_KEPT) << kept;
  }
  EXPECT_EQ(std::filesystem::hard_link_count(files_ / "victim.txt"), 1u)
      << "the link was not followed";
  EXPECT_EQ(Copies(), 0u);
  StopEngine();

  EXPECT_TRUE(Editions().empty());
  EXPECT_EQ(testing::CountRows(catalogFile(), "BackupFile"), 0);
  const std::string victim = Utf16ToUtf8Lossy(std::u16string(1, kPathSeparator)) + "victim.txt";
#ifndef _WIN32
  EXPECT_TRUE(LogHas(victim + " could not be copied (source: No such file or directory)"));
#else
  EXPECT_TRUE(LogHas(victim + " could not be copied (source: "));
#endif
  EXPECT_TRUE(LogHas(victim + " could not be copied (source: not a regular file)"));
}

TEST_F(KeptFileTest, ArgumentsAndStateAreCheckedBeforeAnythingIsDone) {
  const std::u16string path = U16(files_ / "a.txt");
  const std::u16string kept = U16(kept_ / "a.txt");
  FileEventRecord record = Event(FILE_OP_DELETE, path.c_str());
  EXPECT_EQ(HandleNotifyKeptFile(&record, kept.c_str()), ENG_E_WRONG_STATE);
  EXPECT_EQ(HandleNotifyKeptFile(nullptr, nullptr), ENG_E_WRONG_STATE);

  StartCapture();
  File("a.txt");
  std::filesystem::create_hard_link(files_ / "a.txt", kept_ / "a.txt");
  EXPECT_EQ(HandleNotifyKeptFile(nullptr, kept.c_str()), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(HandleNotifyKeptFile(&record, nullptr), ENG_E_INVALID_ARGUMENT);
  for (const uint32_t operation : {FILE_OP_OPEN, FILE_OP_COMMIT, FILE_OP_CLOSE, 99u}) {
    record.FileOperation = operation;
    EXPECT_EQ(HandleNotifyKeptFile(&record, kept.c_str()), ENG_E_INVALID_ARGUMENT) << operation;
  }
  record.FileOperation = FILE_OP_DELETE;
  record.RecordType = 7;
  EXPECT_EQ(HandleNotifyKeptFile(&record, kept.c_str()), ENG_E_INVALID_ARGUMENT);
  record.RecordType = RECORD_TYPE_FILE;
  record.FilePath = nullptr;
  EXPECT_EQ(HandleNotifyKeptFile(&record, kept.c_str()), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(Copies(), 0u);
  StopEngine();
  record.FilePath = path.c_str();
  EXPECT_EQ(HandleNotifyKeptFile(&record, kept.c_str()), ENG_E_WRONG_STATE);
  EXPECT_TRUE(Editions().empty());
}

}  // namespace
}  // namespace orv
