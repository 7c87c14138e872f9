// From events to catalog rows, through the engine.
#include <sqlite3.h>
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "capture/notify_event.h"
#include "engine/timings.h"
#include "platform/path.h"
#include "platform/text.h"
#ifndef _WIN32
#include "platform/unique_fd.h"
#endif
#include "query/editions.h"
#include "support/capture_fixture.h"
#include "support/catalog_rows.h"
#include "support/event_records.h"
#include "support/fake_env.h"
#include "support/paths.h"

namespace orv {
namespace {

using testing::Stored;
using testing::StoredPath;

using testing::U16;

using testing::Close;
using testing::EditionRow;
using testing::Event;
using testing::OpenForWrite;
using testing::ReadEditions;

class CaptureTest : public testing::CaptureFixture {
 protected:
  std::vector<EditionRow> Editions() { return ReadEditions(catalogFile()); }
};

TEST_F(CaptureTest, AChangedFileBecomesAnEditionHoldingItsOldContent) {
  StartCapture();
  const std::u16string path = File("report.doc", "before");
  Notify(OpenForWrite(path.c_str()));
  testing::WriteFileText(files_ / "report.doc", "after");  // the host's write goes on
  Notify(Close(path.c_str(), true));
  StopEngine();

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].fileName, StoredPath(files_ / "report.doc"));
  EXPECT_EQ(rows[0].operation, EDITION_MODIFY);
  EXPECT_EQ(rows[0].size, 0);
  EXPECT_EQ(rows[0].linkFileName, "");
  EXPECT_EQ(rows[0].backupName.rfind("report.doc", 0), 0u);
  EXPECT_EQ(testing::ReadFileText(store_ / "Backup" / rows[0].backupName), "before");
}

#ifndef _WIN32
// Linux names are bytes: an open of "r\xFF.txt", reported with its byte
// escaped, copies that file, not "r\uFFFD.txt" beside it.
TEST_F(CaptureTest, AFileNamedWithBytesThatAreNotUtf8IsCopiedItself) {
  StartCapture();
  const std::string bytesName = "r\xFF.txt";
  File(bytesName, "mine before");
  File("r\xEF\xBF\xBD.txt", "someone else's");
  const std::u16string path = FileNameToUtf16((files_ / bytesName).string());
  Notify(OpenForWrite(path.c_str()));
  testing::WriteFileText(files_ / bytesName, "mine after");
  Notify(Close(path.c_str(), true));
  StopEngine();

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 1u);
  // The catalog keeps the escape as text (a lone surrogate's own form).
  EXPECT_EQ(rows[0].fileName, files_.path().string() + "/r\xED\xB3\xBF.txt");
  std::u16string copyName;
  std::string copyBytes;
  ASSERT_TRUE(Wtf8ToUtf16(rows[0].backupName, &copyName));
  ASSERT_TRUE(Utf16ToFileName(copyName, &copyBytes));
  EXPECT_EQ(copyBytes.rfind(bytesName, 0), 0u);
  EXPECT_EQ(testing::ReadFileText(store_ / "Backup" / copyBytes), "mine before");
  size_t copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(store_ / "Backup")) {
    copies += entry.is_regular_file() ? 1 : 0;
  }
  EXPECT_EQ(copies, 1u) << "the file beside it was not copied as well";
}

// An open's second path links its edition to that file, whose content then
// stands for the edition; no other operation reads the field.
// A host that lends the file it opened has that file copied, whatever the
// name names by the time the engine copies: a name swapped for a link to
// someone else's file (or removed) cannot change what the edition holds.
TEST_F(CaptureTest, ALentFileIsCopiedNotWhatItsNameNamesNow) {
  StartCapture();
  const std::u16string path = File("mine.txt", "my own words");
  UniqueFd lent(::open((files_ / "mine.txt").c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(lent.valid());
  ASSERT_EQ(::lseek(lent.get(), 3, SEEK_SET), 3);
  // The swap: the name now names another file.
  File("secret.txt", "someone else's secret");
  std::filesystem::rename(files_ / "secret.txt", files_ / "mine.txt");
  const FileEventRecord open = OpenForWrite(path.c_str());
  ASSERT_EQ(HandleNotifyEventWithFile(&open, lent.get()), ENG_OK);
  EXPECT_EQ(::lseek(lent.get(), 0, SEEK_CUR), 3) << "the host's offset is left where it was";
  Notify(Close(path.c_str(), true));

  // Not a regular file: nothing is copied. No descriptor: refused.
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const UniqueFd readEnd(pipeEnds[0]), writeEnd(pipeEnds[1]);
  const std::u16string other = File("other.txt", "other");
  const FileEventRecord pipeOpen = OpenForWrite(other.c_str());
  ASSERT_EQ(HandleNotifyEventWithFile(&pipeOpen, readEnd.get()), ENG_OK);
  Notify(Close(other.c_str(), true));
  EXPECT_EQ(HandleNotifyEventWithFile(&pipeOpen, -1), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(HandleNotifyEventWithFile(nullptr, lent.get()), ENG_E_INVALID_ARGUMENT);
  StopEngine();
  EXPECT_EQ(HandleNotifyEventWithFile(&open, lent.get()), ENG_E_WRONG_STATE);

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].fileName, StoredPath(files_ / "mine.txt"));
  EXPECT_EQ(testing::ReadFileText(store_ / "Backup" / rows[0].backupName), "my own words");
  EXPECT_TRUE(LogHas("/other.txt could not be copied (source: not a regular file)"));
}
#endif  // _WIN32: names of bytes and lent descriptors are Linux cases

TEST_F(CaptureTest, AnOpensTargetPathBecomesItsEditionsLink) {
  StartCapture();
  const std::u16string draft = File("draft.txt", "draft");
  const std::u16string target = U16(files_ / "final.txt");
  Notify(Event(FILE_OP_OPEN, draft.c_str(), ORV_GENERIC_WRITE, 0, 0, target.c_str()));
  FileEventRecord close = Close(draft.c_str(), true);
  close.TargetPath = reinterpret_cast<const char16_t*>(alignof(char16_t));  // never read
  Notify(close);
  const std::u16string plain = File("plain.txt");
  Notify(Event(FILE_OP_OPEN, plain.c_str(), ORV_GENERIC_WRITE, 0, 0, nullptr));  // null: none
  Notify(Close(plain.c_str(), true));
  StopEngine();

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].fileName, StoredPath(files_ / "draft.txt"));
  EXPECT_EQ(rows[0].linkFileName, StoredPath(files_ / "final.txt"));
  EXPECT_EQ(rows[0].operation, EDITION_MODIFY);
  EXPECT_EQ(rows[0].backupName.rfind("draft.txt", 0), 0u) << "the copy is still made";
  EXPECT_EQ(rows[1].linkFileName, "");
  EXPECT_EQ(testing::CountRows(catalogFile(), "BackupFile"), 3);

  // The linked file has no later edition: the content is the file itself.
  StartEngine();
  FileEditionInfo info{};
  void* handle = query::FindFirstFileEdition(draft.c_str(), &info);
  ASSERT_NE(handle, nullptr);
  query::FindBackupFileClose(handle);
  char16_t path[512];
  ASSERT_EQ(query::GetFileEdition(static_cast<uint32_t>(info.EditionID), 512, path), 1u);
  EXPECT_EQ(Utf16ToUtf8Lossy(path), StoredPath(files_ / "final.txt"));
}

TEST_F(CaptureTest, RenamesDeletionsAndOpensThatChangeNothing) {
  StartCapture();
  const std::u16string kept = File("kept.txt");
  const std::u16string doomed = File("doomed.txt");
  const std::u16string twice = File("twice.txt");
  const std::u16string upper = File("Case.txt");
  const std::u16string lower = File("case.txt");

  Notify(OpenForWrite(kept.c_str()));
  Notify(Close(kept.c_str(), false));  // opened for writing, never written: no edition
  Notify(Event(FILE_OP_OPEN, doomed.c_str(), ORV_GENERIC_WRITE, ORV_FILE_DELETE_ON_CLOSE));
  const std::u16string oldName = testing::EnginePath(u"/elsewhere/old.txt");
  const std::u16string newName = testing::EnginePath(u"/elsewhere/new.txt");
  Notify(Event(FILE_OP_RENAME, oldName.c_str(), 0, 0, 0, newName.c_str()));
  Notify(OpenForWrite(twice.c_str()));
  Notify(OpenForWrite(twice.c_str()));
  Notify(Close(twice.c_str(), true));  // settles the older entry only
  Notify(OpenForWrite(upper.c_str()));
  // Another file on Linux: settles nothing. The same file on Windows: settles it.
  Notify(Close(lower.c_str(), true));
  Notify(Event(FILE_OP_OPEN, upper.c_str(), 0x80000000u));  // read only: nothing
  StopEngine();

  const bool caseSettles = !kFileNamesCaseSensitive;
  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), caseSettles ? 4u : 3u);
  EXPECT_EQ(rows[0].fileName, StoredPath(files_ / "doomed.txt"));
  EXPECT_EQ(rows[0].operation, EDITION_DELETE);
  EXPECT_EQ(rows[1].fileName, Stored(Utf16ToUtf8Lossy(oldName)));
  EXPECT_EQ(rows[1].linkFileName, Stored(Utf16ToUtf8Lossy(newName)));
  EXPECT_EQ(rows[1].operation, EDITION_RENAME);
  EXPECT_EQ(rows[1].backupName, "");
  EXPECT_EQ(rows[2].fileName, StoredPath(files_ / "twice.txt"));
  if (caseSettles) {
    EXPECT_EQ(rows[3].fileName, StoredPath(files_ / "case.txt"));
    EXPECT_EQ(rows[3].operation, EDITION_MODIFY);
  }
  EXPECT_EQ(testing::CountRows(catalogFile(), "BackupFile"), caseSettles ? 5 : 4);
  // Two opens made two copies; four copies in all: the unchanged one is gone,
  // the entries still pending at Stop keep theirs.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(store_ / "Backup"),
                          std::filesystem::directory_iterator()),
            4);
}

class UnusedCopyTest : public CaptureTest {
 protected:
  std::set<std::string> Copies() const {
    std::set<std::string> names;
    for (const auto& file : std::filesystem::directory_iterator(store_ / "Backup")) {
      names.insert(file.path().filename().string());
    }
    return names;
  }

  testing::FakeEnv env_;
  testing::ScopedEnv scoped_{&env_};
};

// Only copies that editions name stay in the store: an open for writing closed
// unchanged, and a deletion that expires unconfirmed, take theirs with them.
TEST_F(UnusedCopyTest, ACopyNoEditionWillNameIsRemovedAtOnce) {
  StartCapture();
  const std::u16string unchanged = File("unchanged.txt", "as it was");
  Notify(OpenForWrite(unchanged.c_str()));
  EXPECT_EQ(Copies().size(), 1u);
  Notify(Close(unchanged.c_str(), false));
  EXPECT_TRUE(Copies().empty()) << "removed at the close, not at Stop";

  const std::u16string kept = File("kept.txt");
  Notify(Event(FILE_OP_OPEN, kept.c_str(), ORV_DELETE));
  Notify(Close(kept.c_str(), false));  // a deletion that never comes
  const std::u16string changed = File("changed.txt", "before the change");
  Notify(Event(FILE_OP_OPEN, changed.c_str(), ORV_DELETE));
  Notify(Close(changed.c_str(), true));  // becomes a change edition at expiry
  const std::u16string written = File("written.txt", "before the write");
  Notify(OpenForWrite(written.c_str()));
  Notify(Close(written.c_str(), true));
  EXPECT_EQ(Copies().size(), 3u);

  CBackuper& backuper = TheBackupModule().backuper();
  backuper.ExpirePending(env_.GetTickCount() + 2000, 2000);
  EXPECT_EQ(Copies().size(), 3u) << "nothing has expired yet";
  backuper.ExpirePending(env_.GetTickCount() + 2001, 2000);
  EXPECT_EQ(backuper.pendingCount(), 0u);
  EXPECT_EQ(Copies().size(), 2u) << "the unconfirmed deletion's copy is gone";
  StopEngine();

  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 2u);
  std::set<std::string> named;
  for (const EditionRow& row : rows) named.insert(row.backupName);
  EXPECT_EQ(named, Copies()) << "every copy left is named by an edition";
  for (const EditionRow& row : rows) {
    const std::string expected =
        row.fileName == StoredPath(files_ / "written.txt") ? "before the write" : "before the change";
    EXPECT_EQ(testing::ReadFileText(store_ / "Backup" / row.backupName), expected);
  }
}

TEST_F(CaptureTest, TheWriterCommitsEachCycleAndStopWritesWhatIsConfirmed) {
  StartCapture(std::chrono::milliseconds(20));
  const std::u16string a = File("a.txt");
  Notify(OpenForWrite(a.c_str()));
  Notify(Close(a.c_str(), true));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (Editions().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(Editions().size(), 1u) << "written by a writer cycle, before Stop";

  // A deletion whose close reported a change is confirmed; one never closed is not.
  const std::u16string b = File("b.txt");
  const std::u16string c = File("c.txt");
  Notify(Event(FILE_OP_OPEN, b.c_str(), ORV_DELETE));
  Notify(Close(b.c_str(), true));
  Notify(OpenForWrite(c.c_str()));
  StopEngine();
  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].fileName, StoredPath(files_ / "b.txt"));
  EXPECT_EQ(rows[1].operation, EDITION_MODIFY);

  // Nothing queued before Stop comes back at a later start.
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  StopEngine();
  EXPECT_EQ(Editions().size(), 2u);
}

TEST_F(CaptureTest, ALockedCatalogDelaysEditionsWithoutLosingOrDoublingThem) {
  StartCapture(std::chrono::milliseconds(10));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(catalogFile().string().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
  for (const char* name : {"1.txt", "2.txt", "3.txt"}) {
    const std::u16string path = File(name);
    Notify(OpenForWrite(path.c_str()));
    Notify(Close(path.c_str(), true));
  }
  // Several cycles meet the lock and give their batch back.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  sqlite3_stmt* count = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(other, "Select count(*) From Edition", -1, &count, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(count, 0), 0) << "nothing got past the lock";
  sqlite3_finalize(count);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  StopEngine();
  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].fileName, StoredPath(files_ / "1.txt"));
  EXPECT_EQ(rows[2].fileName, StoredPath(files_ / "3.txt"));
}

TEST_F(CaptureTest, RenamesQueuedWithoutAPolicyAreWrittenAtStop) {
  ASSERT_EQ(testing::SetStringItem(CONFIG_POLICY_DIRECTORY, policy_.u16()), ENG_OK);
  StartEngine();
  const std::u16string oldName = testing::EnginePath(u"/x/old");
  const std::u16string newName = testing::EnginePath(u"/x/new");
  Notify(Event(FILE_OP_RENAME, oldName.c_str(), 0, 0, 0, newName.c_str()));
  Notify(OpenForWrite(File("unprotected.txt").c_str()));
  StopEngine();
  ASSERT_EQ(Editions().size(), 1u);
  EXPECT_EQ(Editions()[0].operation, EDITION_RENAME);
}

TEST_F(CaptureTest, HostileRecordsAreAcceptedAndChangeNothing) {
  StartCapture();
  std::u16string invalid = U16(files_ / "x");
  invalid.push_back(0xD800);
  FileEventRecord records[] = {
      Event(FILE_OP_OPEN, nullptr, ORV_GENERIC_WRITE),
      Event(FILE_OP_OPEN, invalid.c_str(), ORV_GENERIC_WRITE),
      Event(FILE_OP_OPEN, files_.u16().c_str(), 0xFFFFFFFFu),  // a directory
      Event(FILE_OP_OPEN, u"/dev/zero", ORV_GENERIC_WRITE),
      Event(FILE_OP_RENAME, u"/r", 0, 0, 0, nullptr),
      Event(FILE_OP_CLOSE, nullptr),
      Event(0xFFFFFFFFu, u"/f"),
      Event(3, u"/f"),
  };
  const std::u16string directory = files_.u16();
  records[2].FilePath = directory.c_str();
  records[6].RecordType = 7;
  for (const FileEventRecord& record : records) Notify(record);
  StopEngine();
  EXPECT_TRUE(Editions().empty());
  EXPECT_TRUE(std::filesystem::is_empty(store_ / "Backup"));
}

TEST_F(CaptureTest, ManyHostThreadsLoseNothing) {
  StartCapture(std::chrono::milliseconds(5));
  constexpr int kThreads = 8;
  constexpr int kFilesPerThread = 250;  // four events each: 1,000 events a thread
  std::vector<std::u16string> paths;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kFilesPerThread; ++i) {
      paths.push_back(File("t" + std::to_string(t) + "-" + std::to_string(i) + ".txt"));
    }
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kFilesPerThread; ++i) {
        const std::u16string& path = paths[t * kFilesPerThread + i];
        Notify(OpenForWrite(path.c_str()));
        Notify(Close(path.c_str(), true));
        Notify(Event(FILE_OP_OPEN, path.c_str(), 0x80000000u));
        Notify(Close(path.c_str(), false));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  StopEngine();
  const std::vector<EditionRow> rows = Editions();
  ASSERT_EQ(rows.size(), paths.size());
  std::set<std::string> seen;
  for (const EditionRow& row : rows) seen.insert(row.fileName);
  EXPECT_EQ(seen.size(), paths.size()) << "every file exactly once";
}

}  // namespace
}  // namespace orv
