// Capture costs: events that make no copy, settling events against many
// pending entries, snapshot copies against cp, the catalog writer's batch, the
// memory a pending entry takes, and what the journal adds to a close, a Stop
// and a Start.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <orv/orv.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "bench_support.h"
#include "capture/backup_module.h"
#include "capture/catalog_writer.h"
#include "capture/notify_event.h"
#include "capture/pending_list.h"
#include "catalog/database_manager.h"
#include "catalog/schema.h"
#include "engine/configure_manager.h"
#include "engine/lifecycle.h"
#include "engine/timings.h"
#include "latency_sample.h"
#include "platform/env.h"
#include "platform/path.h"
#include "query/editions.h"

namespace {

using orv::bench::MakeDirectory;
using orv::bench::StartedEngine;
using orv::bench::U16;

FileEventRecord Record(uint32_t operation, const char16_t* path, uint32_t access = 0) {
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.FileOperation = operation;
  record.FilePath = path;
  record.DesiredAccess = access;
  record.TargetPath = u"";
  return record;
}

void BM_NotifyEventWithoutCopy(benchmark::State& state) {
  StartedEngine engine;
  const char* home = std::getenv("HOME");
  const std::u16string document =
      U16(std::string(home ? home : "/root") + "/Documents/report.docx");
  FileEventRecord records[] = {
      Record(FILE_OP_OPEN, document.c_str(), 0x80000000u),         // read-only open
      Record(FILE_OP_OPEN, u"/etc/hosts.txt", ORV_GENERIC_WRITE),  // policy miss
      Record(FILE_OP_CLOSE, document.c_str()),                     // nothing pending
  };
  const FileEventRecord& record = records[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(orv::HandleNotifyEvent(&record));
}
BENCHMARK(BM_NotifyEventWithoutCopy)->DenseRange(0, 2)->ArgNames({"readOnly|miss|close"});

// The plain pending list: a walk from the front for the first entry of a path.
struct LinearPending {
  std::list<orv::EditionEntry> entries;
  orv::EditionEntry* Oldest(std::u16string_view path) {
    for (auto& entry : entries) {
      if (orv::SameFilePath(entry.path, path)) return &entry;
    }
    return nullptr;
  }
};

std::u16string PendingPath(int i) {
  return U16("/home/ann/Documents/project/chapter-" + std::to_string(i) + ".docx");
}

// Settling an event: find the oldest entry of a path, take it out, put an
// entry back so the list keeps its size. The path is the newest one's.
void BM_SettleIndexed(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  orv::PendingList list;
  for (int i = 0; i < count; ++i) list.Append({{}, EDITION_MODIFY, 0, PendingPath(i), u"c", u""});
  const std::u16string path = PendingPath(count - 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.Oldest(path));
    list.Append(list.RemoveOldest(path));
  }
}
BENCHMARK(BM_SettleIndexed)->Arg(10)->Arg(10000);

void BM_SettleLinear(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  LinearPending list;
  for (int i = 0; i < count; ++i)
    list.entries.push_back({{}, EDITION_MODIFY, 0, PendingPath(i), u"c", u""});
  const std::u16string path = PendingPath(count - 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.Oldest(path));
    auto it = std::prev(list.entries.end());
    list.entries.splice(list.entries.end(), list.entries, it);
  }
}
BENCHMARK(BM_SettleLinear)->Arg(10)->Arg(10000);

void BM_PendingEntryMemory(benchmark::State& state) {
  constexpr int kEntries = 100000;
  for (auto _ : state) {
    std::vector<std::u16string> paths;
    for (int i = 0; i < kEntries; ++i) paths.push_back(PendingPath(i));
    const size_t before = mallinfo2().uordblks;
    size_t pathBytes = 0;
    {
      orv::PendingList list;
      for (int i = 0; i < kEntries; ++i) {
        orv::EditionEntry entry{
            {}, EDITION_MODIFY, 0, paths[i], paths[i].substr(20) + u"20261207120000000", u""};
        // Heap blocks of the two strings, as malloc rounds them.
        pathBytes +=
            malloc_usable_size(entry.path.data()) + malloc_usable_size(entry.copyName.data()) + 16;
        list.Append(std::move(entry));
      }
      const size_t after = mallinfo2().uordblks;
      state.counters["bytes_per_entry_without_paths"] =
          static_cast<double>(after - before - pathBytes) / kEntries;
      state.counters["bytes_per_entry_with_paths"] = static_cast<double>(after - before) / kEntries;
    }
  }
}
BENCHMARK(BM_PendingEntryMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Copies of one 256 MiB file: the engine's against cp, rounds alternating.
void BM_SnapshotCopyVersusCp(benchmark::State& state) {
  StartedEngine engine;
  const auto source = engine.dir() / "big.bin";
  {
    std::ofstream out(source, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
    for (int i = 0; i < 256; ++i)
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  const std::u16string sourcePath = U16(source.string());
  std::vector<double> ours, cp;
  for (auto _ : state) {
    for (int round = 0; round < 5; ++round) {
      auto start = std::chrono::steady_clock::now();
      const std::u16string name = orv::TheBackupModule().backuper().SnapshotCopy(sourcePath);
      ours.push_back(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (name.empty()) state.SkipWithError("copy failed");
      std::filesystem::remove(engine.dir() / "store" / "Backup" /
                              std::string(name.begin(), name.end()));

      const auto target = engine.dir() / "cp-target.bin";
      const std::string command = "cp " + source.string() + " " + target.string();
      start = std::chrono::steady_clock::now();
      if (std::system(command.c_str()) != 0) state.SkipWithError("cp failed");
      cp.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      std::filesystem::remove(target);
    }
  }
  std::sort(ours.begin(), ours.end());
  std::sort(cp.begin(), cp.end());
  state.counters["ours_median_ms"] = ours[ours.size() / 2] * 1000;
  state.counters["cp_median_ms"] = cp[cp.size() / 2] * 1000;
  state.counters["ratio"] = ours[ours.size() / 2] / cp[cp.size() / 2];
}
BENCHMARK(BM_SnapshotCopyVersusCp)->Iterations(1)->Unit(benchmark::kMillisecond);

// A 4 KiB file six directories down copied into the store (the copy removed
// again each time): the cost a host thread pays per protected open.
void BM_SmallSnapshotCopy(benchmark::State& state) {
  StartedEngine engine;
  const auto directory = engine.dir() / "home" / "user" / "documents" / "projects" / "2026";
  std::filesystem::create_directories(directory);
  const auto source = directory / "notes.txt";
  std::ofstream(source, std::ios::binary) << std::string(4096, 'n');
  const std::u16string sourcePath = U16(source.string());
  const auto snapshots = engine.dir() / "store" / "Backup";
  for (auto _ : state) {
    const std::u16string name = orv::TheBackupModule().backuper().SnapshotCopy(sourcePath);
    if (name.empty()) state.SkipWithError("copy failed");
    std::filesystem::remove(snapshots / std::string(name.begin(), name.end()));
  }
}
BENCHMARK(BM_SmallSnapshotCopy)->Unit(benchmark::kMicrosecond);

// One batch of 100,000 editions over 10,000 new files, as the writer commits it.
void BM_CatalogWriterBatch(benchmark::State& state) {
  constexpr int kEntries = 100000, kFiles = 10000;
  StartedEngine engine;
  orv::EngineTimings timings = orv::CurrentTimings();
  timings.syncCopiesBeforeCommit = state.range(0) != 0;
  orv::SetTimingsForTesting(timings);
  // The writer looks at each entry's copy: 1,000 real ones, shared by the entries.
  constexpr int kCopies = 1000;
  std::vector<std::u16string> copyNames;
  for (int i = 0; i < kCopies; ++i) {
    const std::string name = "chapter.docx20261207" + std::to_string(100000000 + i);
    std::ofstream(engine.dir() / "store" / "Backup" / name) << "old";
    copyNames.push_back(U16(name));
  }
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::deque<orv::EditionEntry> entries;
    for (int i = 0; i < kEntries; ++i) {
      entries.push_back({{2026, 12, 1, 7, 12, 0, 0, 0},
                         EDITION_MODIFY,
                         0,
                         PendingPath(round * kFiles + i % kFiles),
                         copyNames[i % kCopies],
                         u""});
    }
    ++round;
    state.ResumeTiming();
    if (!orv::CatalogWriter::WriteBatch(entries)) state.SkipWithError("batch failed");
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_CatalogWriterBatch)
    ->Arg(1)
    ->Arg(0)
    ->ArgNames({"durable"})
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

void BM_PlainEditionInsert(benchmark::State& state) {
  constexpr int kEntries = 100000;
  const auto dir = MakeDirectory();
  sqlite3* db = nullptr;
  sqlite3_open((dir / "BackupDB.s3db").c_str(), &db);
  for (const char* text : orv::kCatalogSchema) sqlite3_exec(db, text, nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,Operation) "
                     "Values (?,?,?,?,?,?)",
                     -1, &insert, nullptr);
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    for (int i = 0; i < kEntries; ++i) {
      sqlite3_bind_int(insert, 1, i % 10000 + 1);
      sqlite3_bind_int(insert, 2, 1796630400);
      sqlite3_bind_int(insert, 3, 0);
      sqlite3_bind_int(insert, 4, 0);
      sqlite3_bind_text16(insert, 5, u"chapter.docx20261207120000000", -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 6, EDITION_MODIFY);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PlainEditionInsert)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// A protected file whose open has made its copy: the entry waits for the close.
std::u16string OpenedForChange(const std::filesystem::path& directory, int i) {
  const auto path = directory / ("notes-" + std::to_string(i) + ".txt");
  std::ofstream(path, std::ios::binary) << std::string(4096, 'n');
  const std::u16string text = U16(path.string());
  orv::TheBackupModule().backuper().OnOpen(Record(FILE_OP_OPEN, text.c_str(), ORV_GENERIC_WRITE));
  return text;
}

// NotifyEvent for a close with a change (the entry moves to the write queue),
// with the journal (journal:1) and without it (journal:0: another holder of
// the store's lock keeps the engine from journaling). The opens are not timed.
void BM_CloseWithChange(benchmark::State& state) {
  constexpr int kCloses = 20000;
  StartedEngine engine;
  std::unique_ptr<orv::DirectoryLock> heldElsewhere;
  if (state.range(0) == 0) {
    // A restarted engine, so that it meets the lock at its Start; one merely
    // stopped would refuse both the Start and every event after it.
    const uint32_t started = engine.Restart([&] {
      heldElsewhere =
          orv::Env::Default()->TryLockDirectory(U16(engine.snapshots().string()), nullptr);
    });
    if (!heldElsewhere || started != ENG_OK) {
      state.SkipWithError("the engine did not start again without its journal");
      return;
    }
  }
  const auto directory = engine.dir() / "documents";
  std::filesystem::create_directories(directory);
  orv::bench::LatencySample closes(kCloses);
  for (auto _ : state) {
    for (int i = 0; i < kCloses; ++i) {
      const std::u16string path = OpenedForChange(directory, i);
      FileEventRecord close = Record(FILE_OP_CLOSE, path.c_str());
      close.CloseFlags = ORV_CLOSE_FLAG_CHANGED;
      closes.Time([&] { return orv::HandleNotifyEvent(&close) == ENG_OK; });
    }
  }
  // Each close must have confirmed its change: a close the engine refused
  // or ignored would time nothing.
  if (orv::TheBackupModule().backuper().queuedCount() != kCloses) {
    state.SkipWithError("the closes did not queue their editions");
    return;
  }
  state.counters["median_us"] = closes.Median();
  state.counters["p99_us"] = closes.Percentile(99);
}
BENCHMARK(BM_CloseWithChange)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"journal"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

double MillisecondsOf(const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// Stop with 10,000 confirmed editions queued (one batch, the journal
// settled), and Start after a host was killed with 10,000 of them queued
// (every one replayed from the journal), against a Start with nothing to
// replay.
void BM_StopStartWithJournal(benchmark::State& state) {
  constexpr int kEntries = 10000;
  for (auto _ : state) {
    StartedEngine engine;
    const auto directory = engine.dir() / "documents";
    std::filesystem::create_directories(directory);
    const auto queue = [&] {
      for (int i = 0; i < kEntries; ++i) {
        const std::u16string path = OpenedForChange(directory, i);
        FileEventRecord close = Record(FILE_OP_CLOSE, path.c_str());
        close.CloseFlags = ORV_CLOSE_FLAG_CHANGED;
        orv::HandleNotifyEvent(&close);
      }
    };
    queue();
    const auto stop = [] {
      orv::EngineStop();
      orv::EngineFinalize();
    };
    const auto start = [&state] {
      orv::EngineInitialize();
      if (orv::EngineStart() != ENG_OK) state.SkipWithError("no start");
    };
    state.counters["stop_ms"] = MillisecondsOf(stop);
    state.counters["start_ms"] = MillisecondsOf(start);
    stop();
    const pid_t child = ::fork();
    if (child == 0) {
      start();
      queue();
      ::raise(SIGKILL);
    }
    ::waitpid(child, nullptr, 0);
    state.counters["start_replaying_ms"] = MillisecondsOf(start);
    // 2 x kEntries: the first run's, and the killed run's, replayed.
    state.counters["editions"] = orv::query::GetFileEditionCount(nullptr);
  }
}
BENCHMARK(BM_StopStartWithJournal)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
