// Load and crashes: what the engine promises must hold under both.
//  - No confirmed edition is lost: every save that reached NotifyEvent before
//    Stop, or before the host was killed, is in the catalog exactly once (after
//    the next Start), with a copy of the content it had.
//  - The catalog is never corrupted and never names a missing or torn copy,
//    and after a Start no copy lies in the store without a row.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "capture/notify_event.h"
#include "engine/timings.h"
#include "maintenance/retention_cleanup.h"
#include "query/editions.h"
#include "support/catalog_rows.h"
#include "support/engine_fixture.h"
#include "support/event_records.h"

namespace orv {
namespace {

using testing::Close;
using testing::Event;
using testing::OpenForWrite;
using testing::U16;

constexpr size_t kCopySize = 4096;

// Content of version v of a file: fixed size, so that a torn copy shows.
std::string Version(int file, int v) {
  std::string content = "file " + std::to_string(file) + " version " + std::to_string(v) + "\n";
  content.resize(kCopySize, '.');
  return content;
}

class StressTest : public testing::EngineFixture {
 protected:
  void StartProtecting(std::chrono::milliseconds writerPeriod,
                       std::chrono::milliseconds pendingExpiry = std::chrono::seconds(2)) {
    ProtectEverythingUnder(files_.path(), policy_);
    EngineTimings timings;
    timings.writerPeriod = writerPeriod;
    timings.pendingExpiry = pendingExpiry;
    timings.postCheckerSecond = std::chrono::milliseconds(1);  // maintenance every 300 ms
    timings.catalogBusyTimeout = std::chrono::milliseconds(2000);
    SetTimingsForTesting(timings);
    SetRetentionQuota(1ull << 40);  // the checks below count every edition
    StartEngine(0x1000);
  }
  void TearDown() override {
    EngineFixture::TearDown();
    SetTimingsForTesting(EngineTimings{});
    SetRetentionQuota(kDefaultRetentionQuota);
  }
  std::filesystem::path FilePath(int file) {
    return files_ / ("f" + std::to_string(file) + ".txt");
  }

  testing::TempDir files_;
  testing::TempDir policy_;
};

TEST_F(StressTest, EightHostThreadsWhileQueriesAndMaintenanceRun) {
  constexpr int kThreads = 8, kFilesPerThread = 125, kEventsPerThread = 10000;
  for (int f = 0; f < kThreads * kFilesPerThread; ++f)
    testing::WriteFileText(FilePath(f), Version(f, 0));
  StartProtecting(std::chrono::milliseconds(20));

  // What the events must produce: per file, the versions whose saves were
  // confirmed (each is an edition whose copy holds the version before it).
  std::vector<std::multiset<std::string>> expected(kThreads * kFilesPerThread);
  std::vector<int> deletions(kThreads * kFilesPerThread, 0);
  std::atomic<bool> hostsDone{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(t);
      std::vector<int> version(kFilesPerThread, 0);
      for (int e = 0; e < kEventsPerThread;) {
        const int local = static_cast<int>(random() % kFilesPerThread);
        const int file = t * kFilesPerThread + local;
        const std::u16string path = U16(FilePath(file));
        switch (random() % 4) {
          case 0: {  // a save: open, change, close with the change
            HandleNotifyEvent(&static_cast<const FileEventRecord&>(OpenForWrite(path.c_str())));
            expected[file].insert(Version(file, version[local]));
            testing::WriteFileText(FilePath(file), Version(file, ++version[local]));
            const FileEventRecord close = Close(path.c_str(), true);
            HandleNotifyEvent(&close);
            e += 2;
            break;
          }
          case 1: {  // opened for writing, left unchanged
            const FileEventRecord open = OpenForWrite(path.c_str()),
                                  close = Close(path.c_str(), false);
            HandleNotifyEvent(&open);
            HandleNotifyEvent(&close);
            e += 2;
            break;
          }
          case 2: {  // read only
            const FileEventRecord open = Event(FILE_OP_OPEN, path.c_str(), 0x80000000u);
            HandleNotifyEvent(&open);
            e += 1;
            break;
          }
          default: {  // deleted on close (the host keeps the file for the test)
            const FileEventRecord open =
                Event(FILE_OP_OPEN, path.c_str(), ORV_DELETE, ORV_FILE_DELETE_ON_CLOSE);
            HandleNotifyEvent(&open);
            expected[file].insert(Version(file, version[local]));
            ++deletions[file];
            e += 1;
            break;
          }
        }
      }
    });
  }
  // Hosts reading the catalog meanwhile.
  std::atomic<int> resolved{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!hostsDone.load()) {
        FileEditionInfo info;
        void* handle = query::FindFirstFileEdition(nullptr, &info);
        for (int n = 0; handle != nullptr && n < 50; ++n) {
          char16_t path[4096];
          resolved += query::GetFileEdition(static_cast<uint32_t>(info.EditionID), 4096, path);
          if (query::FindNextFileEdition(handle, &info) == 0) break;
        }
        if (handle != nullptr) query::FindBackupFileClose(handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  hostsDone.store(true);
  for (std::thread& reader : readers) reader.join();
  StopEngine();

  EXPECT_EQ(testing::Integrity(catalogFile()), "ok");
  EXPECT_GT(resolved.load(), 0);
  std::vector<std::multiset<std::string>> found(expected.size());
  std::vector<int> foundDeletions(expected.size(), 0);
  const std::string prefix = files_.path().string() + "/f";
  const std::vector<testing::EditionRow> rows = testing::ReadEditions(catalogFile());
  std::printf("load: %d events from %d host threads, %zu editions checked, %d resolved meanwhile\n",
              kThreads * kEventsPerThread, kThreads, rows.size(), resolved.load());
  for (const testing::EditionRow& row : rows) {
    ASSERT_EQ(row.fileName.rfind(prefix, 0), 0u) << row.fileName;
    const int file = std::stoi(row.fileName.substr(prefix.size()));
    const std::string copy = testing::ReadFileText(store_ / "Backup" / row.backupName);
    ASSERT_EQ(copy.size(), kCopySize) << "a missing or torn copy: " << row.backupName;
    found[file].insert(copy);
    if (row.operation == EDITION_DELETE) ++foundDeletions[file];
  }
  // The digest check may remove an edition equal to the one before it: every
  // content is still there, and none more often than the events made it.
  for (size_t file = 0; file < expected.size(); ++file) {
    const std::set<std::string> distinctFound(found[file].begin(), found[file].end());
    const std::set<std::string> distinctExpected(expected[file].begin(), expected[file].end());
    ASSERT_TRUE(distinctFound == distinctExpected) << "file " << file << ": a save is missing";
    for (const std::string& content : distinctFound) {
      ASSERT_LE(found[file].count(content), expected[file].count(content)) << "file " << file;
    }
    ASSERT_LE(foundDeletions[file], deletions[file]) << "file " << file;
  }
}

// A child process runs the engine under load and is killed at a random
// moment; a fresh engine on the same store must find it whole, and once
// started must hold every save the child was told of, once.
TEST_F(StressTest, KilledMidWorkTheStoreStaysWhole) {
  constexpr int kFiles = 20, kKills = 50;
  int storesChecked = 0, editionsChecked = 0, confirmedChecked = 0;
  for (int f = 0; f < kFiles; ++f) testing::WriteFileText(FilePath(f), Version(f, 0));
  // The saves whose close NotifyEvent had answered, as "file version" lines
  // (the version the copy holds).
  const std::filesystem::path confirmedFile = policy_ / "confirmed";
  std::set<std::string> confirmed;
  std::mt19937 random(42);
  for (int kill = 0; kill < kKills; ++kill) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const int side = ::open(confirmedFile.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
      StartProtecting(std::chrono::milliseconds(5));
      // The version each file holds now (left by the child before).
      std::vector<int> current(kFiles);
      for (int f = 0; f < kFiles; ++f) {
        const std::string content = testing::ReadFileText(FilePath(f));
        current[f] = std::stoi(content.substr(content.find("version ") + 8));
      }
      // Versions unique across children: each content is copied once at most.
      for (int v = (kill + 1) * 1000000 + 1;; ++v) {
        for (int f = 0; f < kFiles; ++f) {
          const std::u16string path = U16(FilePath(f));
          const FileEventRecord open = OpenForWrite(path.c_str()),
                                close = Close(path.c_str(), true);
          HandleNotifyEvent(&open);
          // Replaced whole, so that the kill never leaves a torn source: any
          // torn copy would then be the engine's.
          const std::filesystem::path next = FilePath(f).string() + ".next";
          testing::WriteFileText(next, Version(f, v));
          std::filesystem::rename(next, FilePath(f));
          HandleNotifyEvent(&close);
          // The copy made at the open holds the version the file held.
          const std::string line = std::to_string(f) + " " + std::to_string(current[f]) + "\n";
          if (::write(side, line.data(), line.size()) < 0) ::_exit(1);
          current[f] = v;
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 150));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);

    if (!std::filesystem::exists(catalogFile())) continue;  // killed before the store was made
    ASSERT_EQ(testing::Integrity(catalogFile()), "ok") << "after kill " << kill;
    const int editions = testing::CountRows(catalogFile(), "Edition");
    if (editions < 0) {
      // Killed while the schema was made: none of it may be there.
      ASSERT_LT(testing::CountRows(catalogFile(), "BackupFile"), 0) << "a half-made schema";
      continue;
    }
    const std::vector<testing::EditionRow> rows = testing::ReadEditions(catalogFile());
    ASSERT_EQ(static_cast<int>(rows.size()), editions);
    ++storesChecked;
    editionsChecked += editions;
    for (const testing::EditionRow& row : rows) {
      const std::string copy = testing::ReadFileText(store_ / "Backup" / row.backupName);
      ASSERT_EQ(copy.size(), kCopySize)
          << "kill " << kill << ": " << row.backupName << " exists "
          << std::filesystem::exists(store_ / "Backup" / row.backupName) << " op " << row.operation
          << " ts " << row.timeStamp;
      ASSERT_EQ(copy.rfind("file ", 0), 0u) << "kill " << kill << ": " << row.backupName;
    }

    // The next Start replays what the child left (and, with no expiry, sweeps
    // every copy nothing names).
    StartProtecting(std::chrono::hours(1), std::chrono::milliseconds(0));
    StopEngine();
    for (const std::string& line : testing::SplitLines(testing::ReadFileText(confirmedFile))) {
      const size_t blank = line.find(' ');
      if (blank == std::string::npos) continue;  // the kill tore the last line
      confirmed.insert(
          Version(std::stoi(line.substr(0, blank)), std::stoi(line.substr(blank + 1))));
    }
    std::map<std::string, int> contents;
    std::set<std::string> named;
    for (const testing::EditionRow& row : testing::ReadEditions(catalogFile())) {
      const std::string copy = testing::ReadFileText(store_ / "Backup" / row.backupName);
      ASSERT_EQ(copy.size(), kCopySize) << "kill " << kill << ": " << row.backupName;
      ++contents[copy];
      named.insert(row.backupName);
    }
    for (const auto& [content, count] : contents) {
      ASSERT_EQ(count, 1) << "kill " << kill << ": written twice: " << content.substr(0, 30);
    }
    for (const std::string& content : confirmed) {
      ASSERT_EQ(contents.count(content), 1u)
          << "kill " << kill << ": a confirmed save is lost: " << content.substr(0, 30);
    }
    for (const auto& entry : std::filesystem::directory_iterator(store_ / "Backup")) {
      ASSERT_EQ(named.count(entry.path().filename().string()), 1u)
          << "kill " << kill << ": a copy without a row: " << entry.path().filename();
    }
    confirmedChecked = static_cast<int>(confirmed.size());
  }
  std::printf(
      "crash: %d kills, the store checked whole after %d of them (%d editions), %d confirmed "
      "saves each found once after the next Start\n",
      kKills, storesChecked, editionsChecked, confirmedChecked);
  EXPECT_GT(confirmedChecked, 0);
  // And the engine keeps working on that store.
  StartProtecting(std::chrono::hours(1));
  const size_t before = testing::ReadEditions(catalogFile()).size();
  const std::u16string path = U16(FilePath(0));
  const FileEventRecord open = OpenForWrite(path.c_str()), close = Close(path.c_str(), true);
  ASSERT_EQ(HandleNotifyEvent(&open), ENG_OK);
  testing::WriteFileText(FilePath(0), Version(0, 999));
  ASSERT_EQ(HandleNotifyEvent(&close), ENG_OK);
  StopEngine();
  EXPECT_EQ(testing::ReadEditions(catalogFile()).size(), before + 1);
}

}  // namespace
}  // namespace orv
