// Adding new files to the catalog as the catalog writer does (look the name up,
// insert it when new), against a plain prepared-insert loop of the same rows,
// each inside one transaction, on the same file system.
#include <benchmark/benchmark.h>
#include <orv/orv.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog/database_manager.h"
#include "catalog/schema.h"
#include "catalog/statement_builder.h"
#include "engine/configure_manager.h"
#include "engine/lifecycle.h"
#include "query/backup_files.h"

namespace {

constexpr int kNames = 100000;

std::filesystem::path MakeStoreDirectory() {
  // Next to the build, on the file system a store would normally use.
  std::string pattern = (std::filesystem::current_path() / "orv-bench-XXXXXX").string();
  return ::mkdtemp(pattern.data());
}

std::vector<std::u16string> MakeNames(int round) {
  std::vector<std::u16string> names;
  names.reserve(kNames);
  for (int i = 0; i < kNames; ++i) {
    const std::string name = "/home/ann/Documents/project-" + std::to_string(i % 97) + "/report-" +
                             std::to_string(round) + "-" + std::to_string(i) + ".docx";
    names.emplace_back(name.begin(), name.end());
  }
  return names;
}

void BM_BuilderFindAndInsert(benchmark::State& state) {
  const auto dir = MakeStoreDirectory();
  const std::u16string store(dir.native().begin(), dir.native().end());
  const char16_t* text = store.c_str();
  orv::TheConfiguration().Change(CONFIG_BACKUP_STORE, &text);
  orv::EngineInitialize();
  orv::EngineStart();
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::vector<std::u16string> names = MakeNames(round++);
    state.ResumeTiming();
    orv::DbmExecute("BEGIN IMMEDIATE;");
    for (const std::u16string& name : names) {
      if (orv::query::FindBackupFileId(name.c_str()) == 0)
        orv::query::InsertBackupFile(name.c_str());
    }
    orv::DbmExecute("COMMIT;");
  }
  state.SetItemsProcessed(state.iterations() * kNames);
  if (orv::query::GetBackupFileCount() != static_cast<uint32_t>(round * kNames)) {
    state.SkipWithError("rows are missing");
  }
  orv::EngineStop();
  orv::EngineFinalize();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_BuilderFindAndInsert)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PlainPreparedInsert(benchmark::State& state) {
  const auto dir = MakeStoreDirectory();
  sqlite3* db = nullptr;
  sqlite3_open((dir / "BackupDB.s3db").c_str(), &db);
  for (const char* text : orv::kCatalogSchema) sqlite3_exec(db, text, nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare16_v2(db, u"Insert Into BackupFile (FileName) Values (?)", -1, &insert, nullptr);
  int round = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::vector<std::u16string> names = MakeNames(round++);
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    for (const std::u16string& name : names) {
      sqlite3_bind_text16(insert, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * kNames);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_PlainPreparedInsert)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
