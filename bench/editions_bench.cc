// Edition queries on a large catalog: 100,000 files, 1,000,000 editions.
#include <benchmark/benchmark.h>
#include <orv/orv.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "catalog/database_manager.h"
#include "catalog/schema.h"
#include "engine/configure_manager.h"
#include "engine/lifecycle.h"
#include "query/backup_files.h"
#include "query/editions.h"

namespace {

constexpr int kFiles = 100000;
constexpr int kEditionsPerFile = 10;

std::string FileName(int i) {
  return "/home/user" + std::to_string(i % 100) + "/project" + std::to_string(i % 1000) + "/file" +
         std::to_string(i) + ".txt";
}

// Built once, straight through SQLite, then opened by the engine.
class LargeCatalog {
 public:
  LargeCatalog() {
    std::string pattern = (std::filesystem::current_path() / "orv-bench-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    sqlite3* db = nullptr;
    sqlite3_open((dir_ / "BackupDB.s3db").c_str(), &db);
    for (const char* text : orv::kCatalogSchema) sqlite3_exec(db, text, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    sqlite3_stmt* file = nullptr;
    sqlite3_stmt* edition = nullptr;
    sqlite3_prepare_v2(db, "Insert Into BackupFile (ID, FileName) Values (?,?)", -1, &file,
                       nullptr);
    sqlite3_prepare_v2(
        db,
        "Insert Into Edition (FileID,TimeStamp,LinkFileID,Size,BackupName,Operation) "
        "Values (?,?,?,0,?,2)",
        -1, &edition, nullptr);
    for (int i = 1; i <= kFiles; ++i) {
      const std::string name = FileName(i);
      sqlite3_bind_int(file, 1, i);
      sqlite3_bind_text(file, 2, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(file);
      sqlite3_reset(file);
      for (int e = 0; e < kEditionsPerFile; ++e) {
        // The last edition of every tenth file is a rename to the next file.
        const bool link = e == kEditionsPerFile - 1 && i % 10 == 0 && i < kFiles;
        const std::string copy =
            link ? "" : "file" + std::to_string(i) + ".txt2026" + std::to_string(e);
        sqlite3_bind_int(edition, 1, i);
        sqlite3_bind_int(edition, 2, 1700000000 + i * 10 + e);
        sqlite3_bind_int(edition, 3, link ? i + 1 : 0);
        sqlite3_bind_text(edition, 4, copy.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(edition);
        sqlite3_reset(edition);
      }
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_finalize(file);
    sqlite3_finalize(edition);
    sqlite3_close(db);

    const std::u16string store(dir_.native().begin(), dir_.native().end());
    const char16_t* text = store.c_str();
    orv::TheConfiguration().Change(CONFIG_BACKUP_STORE, &text);
    uint32_t quiet = 0x1000;  // above the trace level
    orv::TheConfiguration().Change(CONFIG_LOG_LEVEL, &quiet);
    orv::EngineInitialize();
    orv::EngineStart();
  }
  ~LargeCatalog() {
    orv::EngineStop();
    orv::EngineFinalize();
    std::filesystem::remove_all(dir_);
  }

 private:
  std::filesystem::path dir_;
};

LargeCatalog& Catalog() {
  static LargeCatalog catalog;
  return catalog;
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void BM_ListOneFileByFullPath(benchmark::State& state) {
  Catalog();
  const std::u16string path = U16(FileName(54321));
  for (auto _ : state) {
    FileEditionInfo info;
    int listed = 0;
    void* handle = orv::query::FindFirstFileEditionEx(path.c_str(), 1, nullptr, nullptr, &info);
    if (handle != nullptr) {
      do ++listed;
      while (orv::query::FindNextFileEdition(handle, &info) == 1);
      orv::query::FindBackupFileClose(handle);
    }
    if (listed != kEditionsPerFile) state.SkipWithError("wrong number of editions");
    benchmark::DoNotOptimize(orv::query::GetFileEditionCount(path.c_str()));
  }
}
BENCHMARK(BM_ListOneFileByFullPath)->Unit(benchmark::kMillisecond);

void BM_CountDirectoryPattern(benchmark::State& state) {
  Catalog();
  for (auto _ : state) {
    benchmark::DoNotOptimize(orv::query::GetFileEditionCount(u"/home/user42/project542/%"));
  }
}
BENCHMARK(BM_CountDirectoryPattern)->Unit(benchmark::kMillisecond);

void BM_ListTimeRange(benchmark::State& state) {
  Catalog();
  const int32_t from = 1700500000, to = 1700500999;
  for (auto _ : state) {
    FileEditionInfo info;
    int listed = 0;
    void* handle = orv::query::FindFirstFileEditionEx(nullptr, 0, &from, &to, &info);
    if (handle != nullptr) {
      do ++listed;
      while (orv::query::FindNextFileEdition(handle, &info) == 1);
      orv::query::FindBackupFileClose(handle);
    }
    state.counters["listed"] = listed;
  }
}
BENCHMARK(BM_ListTimeRange)->Unit(benchmark::kMillisecond);

void BM_WalkAllEditions(benchmark::State& state) {
  Catalog();
  for (auto _ : state) {
    FileEditionInfo info;
    int64_t listed = 0;
    void* handle = orv::query::FindFirstFileEdition(nullptr, &info);
    if (handle != nullptr) {
      do ++listed;
      while (orv::query::FindNextFileEdition(handle, &info) == 1);
      orv::query::FindBackupFileClose(handle);
    }
    state.SetItemsProcessed(listed);
  }
}
BENCHMARK(BM_WalkAllEditions)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ResolvePlainAndLinked(benchmark::State& state) {
  Catalog();
  // Edition 10 * 500 of file 500 is a rename to file 501.
  const uint32_t edition =
      state.range(0) != 0 ? 500 * kEditionsPerFile : 500 * kEditionsPerFile - 1;
  char16_t path[1024];
  for (auto _ : state) {
    if (orv::query::GetFileEdition(edition, 1024, path) != 1) state.SkipWithError("no path");
  }
}
BENCHMARK(BM_ResolvePlainAndLinked)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"linked"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
