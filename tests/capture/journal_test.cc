// The edition journal: what a killed host had confirmed is written by the next
// Start, once; a pending save is settled by its file; copies nothing names go;
// and no damaged, hostile or unwritable journal costs an event or makes a row.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <map>

#include <gtest/gtest.h>

#include "capture/journal_record.h"
#include "catalog/store_layout.h"
#include "platform/path.h"
#include "platform/text.h"
#include "support/capture_fixture.h"
#include "support/catalog_rows.h"
#include "support/event_records.h"
#include "support/fake_env.h"
#include "support/paths.h"

namespace orv {
namespace {

using testing::Stored;

using testing::Close;
using testing::EditionRow;
using testing::Event;
using testing::OpenForWrite;
using testing::ReadEditions;
using testing::U16;

// Paths written with "/" are taken in the platform's form.
EditionEntry Entry(uint64_t id, uint32_t kind, std::u16string_view path, std::u16string copy,
                   std::u16string_view second = u"") {
  EditionEntry entry;
  entry.journalId = id;
  entry.kind = kind;
  entry.eventTime = {2026, 4, 1, 6, 8, 6, 45, 123};
  entry.path = testing::EnginePath(path);
  entry.copyName = std::move(copy);
  entry.secondPath = testing::EnginePath(second);
  return entry;
}

TEST(JournalRecordTest, RecordsReadBackWholeAndAnythingElseIsSkipped) {
  // The standard check value, and a length that is no multiple of eight.
  EXPECT_EQ(Crc32c("123456789"), 0xE3069283u);
  EXPECT_EQ(Crc32c(""), 0u);
  std::string data;
  EncodeEntryRecord(JournalRecordType::kPending,
                    Entry(7, EDITION_MODIFY, u"/d/a.txt", u"a.txt20260401060845123"), &data);
  EncodeWatermarkRecord(41, &data);
  const size_t secondStart = data.size();
  EncodeEntryRecord(JournalRecordType::kConfirmed,
                    Entry(8, EDITION_RENAME, u"/d/b", u"", u"/d/c\u00e9"), &data);
  size_t skipped = 9;
  std::vector<JournalRecord> records = DecodeJournal(data, &skipped);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(skipped, 0u);
  EXPECT_EQ(records[0].type, JournalRecordType::kPending);
  EXPECT_EQ(records[0].entry.journalId, 7u);
  EXPECT_EQ(records[0].entry.copyName, u"a.txt20260401060845123");
  EXPECT_EQ(records[0].entry.eventTime.Milliseconds, 123);
  EXPECT_EQ(records[1].watermark, 41);
  EXPECT_EQ(records[2].entry.secondPath, testing::EnginePath(u"/d/c\u00e9"));

  // A byte flipped in the middle costs that record only; a torn end is dropped.
  std::string damaged = data;
  damaged[secondStart - 3] ^= 0x01;
  damaged.append(data.substr(0, 20));
  records = DecodeJournal(damaged, &skipped);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].entry.journalId, 8u);
  EXPECT_EQ(skipped, 2u);

  // Well sealed but never written by the engine: each is refused.
  const EditionEntry hostile[] = {
      Entry(1, EDITION_MODIFY, u"/d/a", u"../../etc/passwd"),
      Entry(2, EDITION_MODIFY, u"/d/a", u".."),
      Entry(3, EDITION_MODIFY, u"/d/a", u".orv-partial-1.partial"),
      Entry(4, EDITION_MODIFY, u"/d/a", u""),
      Entry(5, EDITION_MODIFY, u"d/relative", u"a20260401060845123"),
      Entry(6, EDITION_DELETE, u"/d/../etc/a", u"a20260401060845123"),
      Entry(7, EDITION_RENAME, u"/d/a", u"a20260401060845123", u"/d/b"),
      Entry(8, 9, u"/d/a", u"a20260401060845123"),
      Entry(0, EDITION_MODIFY, u"/d/a", u"a20260401060845123"),
  };
  std::string refused;
  for (const EditionEntry& entry : hostile) {
    EncodeEntryRecord(JournalRecordType::kConfirmed, entry, &refused);
  }
  EncodeEntryRecord(JournalRecordType::kPending, Entry(9, EDITION_RENAME, u"/d/a", u"", u"/d/b"),
                    &refused);
  EXPECT_TRUE(DecodeJournal(refused, &skipped).empty());
  EXPECT_EQ(skipped, std::size(hostile) + 1);

  // A length that claims more than the file holds, or more than any record.
  std::string header = data.substr(0, 12);
  header[4] = header[5] = header[6] = '\xFF';
  EXPECT_TRUE(DecodeJournal(header + std::string(64, 'x'), nullptr).empty());
}

TEST(JournalRecordTest, GenerationNamesAreDecimalWithoutLeadingZeros) {
  EXPECT_EQ(JournalFileName(17), u"journal.17");
  EXPECT_EQ(JournalGeneration(u"journal.17"), 17u);
  EXPECT_EQ(JournalGeneration(u"journal.0"), 0u);
  for (const char16_t* name : {u"journal.", u"journal.017", u"journal.1x", u"journal.3.unreadable",
                               u"journal", u"journal.99999999999999999999", u"xjournal.1"}) {
    EXPECT_FALSE(JournalGeneration(name)) << Utf16ToUtf8Lossy(name);
  }
}

class JournalTest : public testing::CaptureFixture {
 protected:
#ifndef _WIN32  // fork
  // Runs work in a child process with a started engine (writer period of an
  // hour: nothing reaches the catalog by itself), then kills it there.
  void KilledAfter(const std::function<void()>& work) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      StartCapture();
      work();
      ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
  }
#endif
  void Save(const std::string& name, const std::string& after) {
    const std::u16string path = U16(files_ / name);
    Notify(OpenForWrite(path.c_str()));
    testing::WriteFileText(files_ / name, after);
    Notify(Close(path.c_str(), true));
  }
  void StartWithExpiry(std::chrono::milliseconds expiry) {
    ProtectEverythingUnder(files_.path(), policy_);
    EngineTimings timings;
    timings.writerPeriod = std::chrono::hours(1);
    timings.pendingExpiry = expiry;
    SetTimingsForTesting(timings);
    StartEngine();
  }
  std::vector<std::string> Copies() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(store_ / "Backup")) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::map<std::string, std::string> JournalFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(store_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("journal.", 0) == 0) files[name] = testing::ReadFileText(entry.path());
    }
    return files;
  }
  std::string Content(const EditionRow& row) const {
    return testing::ReadFileText(store_ / "Backup" / row.backupName);
  }
};

#ifndef _WIN32  // a killed host is made with fork
TEST_F(JournalTest, WhatAKilledHostConfirmedIsWrittenOnceByTheNextStart) {
  File("a.txt", "a before");
  File("d.txt", "d before");
  const std::u16string b = U16(files_ / "b.txt"), c = U16(files_ / "c.txt"),
                       d = U16(files_ / "d.txt");
  KilledAfter([&] {
    Save("a.txt", "a after");
    Notify(Event(FILE_OP_RENAME, b.c_str(), 0, 0, 0, c.c_str()));
    Notify(Event(FILE_OP_OPEN, d.c_str(), ORV_DELETE, ORV_FILE_DELETE_ON_CLOSE));
  });
  EXPECT_EQ(testing::CountRows(catalogFile(), "Edition"), 0);

  StartCapture();
  StopEngine();
  std::vector<EditionRow> rows = ReadEditions(catalogFile());
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].operation, EDITION_MODIFY);
  EXPECT_EQ(Content(rows[0]), "a before");
  EXPECT_EQ(rows[1].operation, EDITION_RENAME);
  EXPECT_EQ(rows[1].linkFileName, Stored(Utf16ToUtf8Lossy(c)));
  EXPECT_EQ(rows[2].operation, EDITION_DELETE);
  EXPECT_EQ(Content(rows[2]), "d before");
  EXPECT_TRUE(LogHas("Journal replayed: 3 editions to write"));

  // The journal was emptied: a further Start writes nothing again.
  StartCapture();
  StopEngine();
  EXPECT_EQ(ReadEditions(catalogFile()).size(), 3u);
}
#endif

#ifndef _WIN32  // a killed host is made with fork
TEST_F(JournalTest, APendingSaveAtTheKillIsSettledByWhatItsFileDidAfterwards) {
  File("changed.txt", "changed before");
  File("same.txt", "same before");
  File("gone.txt", "gone before");
  KilledAfter([&] {
    for (const char* name : {"changed.txt", "same.txt", "gone.txt"}) {
      Notify(OpenForWrite(U16(files_ / name).c_str()));
    }
  });
  ASSERT_EQ(Copies().size(), 3u);
  // What the host did after its opens, while no engine ran.
  testing::WriteFileText(files_ / "changed.txt", "changed after");
  std::filesystem::remove(files_ / "gone.txt");

  StartCapture();
  StopEngine();
  const std::vector<EditionRow> rows = ReadEditions(catalogFile());
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].fileName, Stored((files_ / "changed.txt").string()));
  EXPECT_EQ(rows[0].operation, EDITION_MODIFY);
  EXPECT_EQ(Content(rows[0]), "changed before");
  EXPECT_EQ(rows[1].fileName, Stored((files_ / "gone.txt").string()));
  EXPECT_EQ(rows[1].operation, EDITION_DELETE);
  EXPECT_EQ(Content(rows[1]), "gone before");
  // The unchanged file's copy is gone with its entry.
  EXPECT_EQ(Copies(), (std::vector<std::string>{rows[0].backupName, rows[1].backupName}));
}
#endif

// Killed after the commit, before the journal was emptied: the journal as it
// was before the commit is put back, and the replay finds its rows.
TEST_F(JournalTest, AJournalWhoseEntriesWereCommittedWritesNothingTwice) {
  File("a.txt", "a before");
  const std::u16string p = U16(files_ / "p.txt"), q = U16(files_ / "q.txt");
  StartCapture();
  Save("a.txt", "a after");
  Notify(Event(FILE_OP_RENAME, p.c_str(), 0, 0, 0, q.c_str()));
  Notify(Event(FILE_OP_RENAME, p.c_str(), 0, 0, 0, q.c_str()));
  const std::map<std::string, std::string> before = JournalFiles();
  ASSERT_FALSE(before.empty());
  StopEngine();
  ASSERT_EQ(ReadEditions(catalogFile()).size(), 3u);
  for (const auto& [name, content] : before) testing::WriteFileText(store_ / name, content);

  StartCapture();
  StopEngine();
  EXPECT_EQ(ReadEditions(catalogFile()).size(), 3u);
  EXPECT_TRUE(LogHas("Journal replayed: 0 editions to write"));
}

TEST_F(JournalTest, CopiesThatNoRowNamesGoOnceTheyAreOlderThanTheExpiry) {
  File("a.txt", "a before");
  StartCapture();
  Save("a.txt", "a after");
  StopEngine();
  const std::vector<EditionRow> rows = ReadEditions(catalogFile());
  ASSERT_EQ(rows.size(), 1u);
  const std::string orphan = "b.txt20260401060845123";
  testing::WriteFileText(store_ / "Backup" / orphan, "left by a crash");

  StartWithExpiry(std::chrono::hours(1));  // too young to go
  StopEngine();
  EXPECT_EQ(Copies(), (std::vector<std::string>{rows[0].backupName, orphan}));

  StartWithExpiry(std::chrono::milliseconds(0));
  StopEngine();
  EXPECT_EQ(Copies(), std::vector<std::string>{rows[0].backupName});
  EXPECT_TRUE(LogHas("1 copies named by no edition removed"));
}

TEST_F(JournalTest, AHostileJournalMakesNoRowOutsideTheSnapshotDirectory) {
  StartCapture();
  StopEngine();
  const std::u16string a = U16(files_ / "a.txt");
  const std::string copy = "a.txt20260401060845123";
  testing::WriteFileText(store_ / "Backup" / copy, "kept");
  testing::WriteFileText(store_.path() / "secret", "not a copy");
  std::string journal = "garbage that is no record";
  EncodeEntryRecord(JournalRecordType::kConfirmed, Entry(1, EDITION_MODIFY, a, U16(copy)),
                    &journal);
  EncodeEntryRecord(JournalRecordType::kConfirmed, Entry(2, EDITION_MODIFY, a, u"../secret"),
                    &journal);
  // A record naming a copy that is not there makes no row either.
  EncodeEntryRecord(JournalRecordType::kConfirmed,
                    Entry(3, EDITION_DELETE, a, u"a.txt20260401060845999"), &journal);
  journal += journal.substr(25, 30);  // torn
  testing::WriteFileText(store_ / "journal.4", journal);

  StartCapture();
  StopEngine();
  const std::vector<EditionRow> rows = ReadEditions(catalogFile());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].backupName, copy);
  EXPECT_TRUE(LogHas("journal records skipped"));
  EXPECT_TRUE(LogHas("1 journaled editions dropped: their copies are gone"));
  EXPECT_EQ(testing::ReadFileText(store_.path() / "secret"), "not a copy");
  EXPECT_FALSE(std::filesystem::exists(store_ / "journal.4"));
}

TEST_F(JournalTest, AJournalThatCannotBeMadeCostsTheEventsNothing) {
  File("a.txt", "a before");
  // What the first generation's name is taken by cannot be appended to.
  std::filesystem::create_directories(store_ / "journal.1");
  StartCapture();
  Save("a.txt", "a after");
  StopEngine();
  EXPECT_EQ(ReadEditions(catalogFile()).size(), 1u);
  EXPECT_TRUE(LogHas("cannot be made: changes are not journaled"));
}

TEST_F(JournalTest, AStoreAnotherEngineHoldsIsNeitherReplayedNorJournaled) {
  StartCapture();
  StopEngine();
  std::string journal;
  EncodeEntryRecord(JournalRecordType::kConfirmed, Entry(1, EDITION_RENAME, u"/d/p", u"", u"/d/q"),
                    &journal);
  testing::WriteFileText(store_ / "journal.1", journal);
  const std::unique_ptr<DirectoryLock> other =
      Env::Default()->TryLockDirectory(U16(store_ / "Backup"), nullptr);
  ASSERT_NE(other, nullptr);

  File("a.txt", "a before");
  StartCapture();
  Save("a.txt", "a after");
  StopEngine();
  EXPECT_EQ(ReadEditions(catalogFile()).size(), 1u);
  EXPECT_TRUE(LogHas("Another engine uses the store"));
  EXPECT_EQ(JournalFiles(), (std::map<std::string, std::string>{{"journal.1", journal}}));
}

#ifndef _WIN32  // a killed host is made with fork
// A rename like one already written (same file, link and second) is a new
// edition: only rows above the journal's watermark stand for its entries.
TEST_F(JournalTest, ARenameLikeOneWrittenBeforeIsStillWrittenAfterAKill) {
  const std::u16string p = U16(files_ / "p.txt"), q = U16(files_ / "q.txt");
  StartCapture();
  Notify(Event(FILE_OP_RENAME, p.c_str(), 0, 0, 0, q.c_str()));
  StopEngine();
  ASSERT_EQ(ReadEditions(catalogFile()).size(), 1u);
  KilledAfter([&] { Notify(Event(FILE_OP_RENAME, p.c_str(), 0, 0, 0, q.c_str())); });

  StartCapture();
  StopEngine();
  EXPECT_EQ(ReadEditions(catalogFile()).size(), 2u);
}
#endif

// Stop writes what is confirmed; an entry still pending stays in the journal,
// and the next Start settles it by its file, as after a kill.
TEST_F(JournalTest, AnEntryPendingAtStopIsSettledByTheNextStart) {
  File("open.txt", "open before");
  StartCapture();
  Notify(OpenForWrite(U16(files_ / "open.txt").c_str()));
  StopEngine();
  EXPECT_TRUE(ReadEditions(catalogFile()).empty());
  testing::WriteFileText(files_ / "open.txt", "written after the Stop");

  StartCapture();
  StopEngine();
  const std::vector<EditionRow> rows = ReadEditions(catalogFile());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(Content(rows[0]), "open before");
}

TEST_F(JournalTest, AJournalThatCannotBeWrittenIsLoggedOnceAndCostsTheEventsNothing) {
  testing::FakeEnv env;
  testing::ScopedEnv scoped(&env);
  File("a.txt", "a before");
  const std::u16string p = U16(files_ / "p.txt"), q = U16(files_ / "q.txt");
  StartCapture();
  env.FailJournalAppends(true);
  Save("a.txt", "a after");
  Notify(Event(FILE_OP_RENAME, p.c_str(), 0, 0, 0, q.c_str()));
  env.FailJournalAppends(false);
  StopEngine();
  EXPECT_EQ(ReadEditions(catalogFile()).size(), 2u);
  const std::vector<std::string> lines = LogLines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find("cannot be written: changes of the last seconds") !=
                                   std::string::npos;
                          }),
            1);
}

}  // namespace
}  // namespace orv
