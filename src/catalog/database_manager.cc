#include "catalog/database_manager.h"

#include <sqlite3.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>

#include "catalog/schema.h"
#include "catalog/store_layout.h"
#include "catalog/transaction.h"
#include "engine/log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "platform/system_error.h"
#include "platform/text.h"

namespace orv {
namespace {

struct CatalogState {
  std::atomic<bool> ready{false};
  std::atomic<uint32_t> copyRemovalEpoch{0};
  // Guards what follows: the paths and the connection registry.
  std::mutex lock;
  bool placed = false;
  CatalogAccess access = CatalogAccess::kReadWrite;
  std::u16string catalogPath;  // empty: connections cannot be opened
  std::u16string snapshotDirectory;
  // Connections by thread identifier; an entry stays, without a connection,
  // once its connection is closed.
  std::map<uint32_t, std::shared_ptr<CatalogConnection>> connections;
};

CatalogState& State() {
  static CatalogState state;
  return state;
}

void AddIndexes() {
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr) return;
  for (const char* text : kCatalogAddedIndexes) {
    if (sqlite3_exec(connection->db(), text, nullptr, nullptr, nullptr) != SQLITE_OK) {
      LogSqliteError(connection);
    }
  }
}

// Reads the schema probe on db: SQLITE_OK when BackupFile can be read, else
// the code of the failure (left on db for the caller to log or not).
int RunSchemaProbe(sqlite3* db) {
  sqlite3_stmt* statement = nullptr;
  int result = sqlite3_prepare_v2(db, kSchemaProbe, -1, &statement, nullptr);
  if (result == SQLITE_OK) {
    result = sqlite3_step(statement);
    if (result == SQLITE_ROW || result == SQLITE_DONE) result = SQLITE_OK;
  }
  sqlite3_finalize(statement);
  return result;
}

// True when SQLite says the file holds no catalog it can read.
bool IsUnreadableCatalog(int code) {
  code &= 0xFF;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

// Makes the calling thread's connection point at a usable catalog at
// catalogPath, creating the file and its schema where missing. A file SQLite
// cannot read is kept beside it for an administrator and replaced by a new
// catalog: capture must go on, and retrying the same file would never succeed.
void PrepareCatalog(const std::u16string& catalogPath) {
  Env* env = CurrentEnv();
  // Made before SQLite opens it, so that the catalog (and its journal, which
  // takes the catalog's mode) is never readable by other users.
  if (!env->CreatePrivateFile(catalogPath)) {
    WriteLog(kLogStoreFault, u"Database Manager: %s cannot be made a private regular file.\n",
             catalogPath);
    return;
  }
  if (DbmProbeSchema() == 1) {
    AddIndexes();
    return;
  }
  if (IsUnreadableCatalog(DbmLastErrorCode())) {
    DbmDisconnect();
    // A catalog set aside before is never replaced: each keeps its history.
    std::u16string setAside = catalogPath + kUnreadableCatalogSuffix;
    for (int n = 2; env->GetFileSize(setAside) && n < 1000; ++n) {
      setAside =
          catalogPath + kUnreadableCatalogSuffix + u"-" + Utf8ToUtf16OrEmpty(std::to_string(n));
    }
    if (!env->RenameReplacing(catalogPath, setAside)) return;
    WriteLog(kLogStoreFault,
             u"Database Manager: %s is not a readable catalog; kept as %s, a new one is created.\n",
             catalogPath, setAside);
    env->CreatePrivateFile(catalogPath);
  }
  DbmCreateSchema();
  AddIndexes();
}

}  // namespace

void DbmRepairStore(bool probeCatalog) {
  if (!IsCatalogReady()) return;
  Env* env = CurrentEnv();
  const std::u16string snapshotDirectory = SnapshotDirectory();
  const std::u16string catalogPath = CatalogPath();
  if (catalogPath.empty()) return;
  bool recreated = false;
  if (!env->GetFileSize(snapshotDirectory)) {
    if (!env->CreateDirectories(snapshotDirectory)) return;
    WriteLog(kLogStoreFault,
             u"Database Manager: the snapshot directory %s was missing; created again.\n",
             snapshotDirectory);
    recreated = true;
  }
  // Checked before connecting: a connection never creates the catalog, which
  // must be made private first. The calling thread holds no connection here,
  // so the one it opens next is on the file now at the path.
  if (!env->GetFileSize(catalogPath)) {
    WriteLog(kLogStoreFault, u"Database Manager: the catalog %s was missing; made again.\n",
             catalogPath);
    recreated = true;
  }
  if (recreated) {
    DbmNoteCopiesRemoved();
    PrepareCatalog(catalogPath);
  } else if (probeCatalog && DbmProbeSchema() == 0) {
    // A catalog overwritten in place is still at its path: only its pages
    // tell. A lock, a full disk or an I/O error passes by itself and is left
    // alone.
    const int code = DbmLastErrorCode();
    if (IsUnreadableCatalog(code) || (code & 0xFF) == SQLITE_ERROR) PrepareCatalog(catalogPath);
  }
  DbmDisconnect();
}

void LogSqliteError(sqlite3* db) {
  if (db == nullptr) return;
  WriteLog(kLogStoreFault, u"Sqlite error code %d, %s\n", sqlite3_errcode(db),
           static_cast<const char16_t*>(sqlite3_errmsg16(db)));
}

uint32_t DbmInitialize(const std::u16string& backupStore) {
  CatalogState& state = State();
  if (sqlite3_threadsafe() == 0) {
    WriteLog(kLogStoreFault, u"Database Manager: the SQLite library is not thread-safe.\n");
    return 0;
  }
  Env* env = CurrentEnv();
  const std::optional<std::u16string> base = env->AbsolutePath(backupStore);
  if (!base) return 0;
  const std::u16string snapshotDirectory = JoinPath(*base, kSnapshotDirectoryName);
  const std::u16string catalogPath = JoinPath(*base, kCatalogFileName);
  // A store opened for reading before is closed: from here on the engine writes.
  DbmFinalize();
  {
    std::lock_guard guard(state.lock);
    state.snapshotDirectory = snapshotDirectory;
    state.access = CatalogAccess::kReadWrite;
  }
  if (!env->CreateDirectories(snapshotDirectory)) return 0;
  {
    std::lock_guard guard(state.lock);
    state.catalogPath = catalogPath;
    state.placed = true;
  }
  PrepareCatalog(catalogPath);
  state.ready.store(true, std::memory_order_release);
  WriteLog(kLogLifecycle, u"Database Manager Initialized.");
  return 1;
}

void DbmFinalize() {
  CatalogState& state = State();
  state.ready.store(false, std::memory_order_release);
  bool wasPlaced = false;
  {
    std::lock_guard guard(state.lock);
    wasPlaced = state.placed;
    state.placed = false;
    state.catalogPath.clear();
    for (auto& [thread, connection] : state.connections) connection.reset();
  }
  if (wasPlaced) WriteLog(kLogLifecycle, u"Database Manager Finalized.");
}

std::shared_ptr<CatalogConnection> DbmLeaseConnection() {
  CatalogState& state = State();
  const uint32_t thread = CurrentEnv()->GetCurrentThreadId();
  std::lock_guard guard(state.lock);
  std::shared_ptr<CatalogConnection>& entry = state.connections[thread];
  if (entry) return entry;
  if (state.catalogPath.empty()) return nullptr;
  int result = SQLITE_OK;
  entry = CatalogConnection::Open(state.catalogPath, state.access, &result);
  if (!entry) {
    WriteLog(kLogConnectFailure, u"TID:%d Open DB(%s) Failed (ret = %d)\n", thread,
             state.catalogPath, result);
  }
  return entry;
}

CatalogConnection* DbmConnect() { return DbmLeaseConnection().get(); }

void DbmDisconnect() {
  CatalogState& state = State();
  const uint32_t thread = CurrentEnv()->GetCurrentThreadId();
  std::shared_ptr<CatalogConnection> taken;
  {
    std::lock_guard guard(state.lock);
    taken = std::move(state.connections[thread]);
  }
  // Closed outside the lock: finalising and closing may take a while.
}

uint32_t DbmProbeSchema() {
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr) return 0;
  if (RunSchemaProbe(connection->db()) == SQLITE_OK) return 1;
  LogSqliteError(connection);
  return 0;
}

void DbmCreateSchema() {
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr) return;
  // One transaction: a process killed half-way must not leave a catalog whose
  // BackupFile table passes the probe while Edition is missing.
  CatalogTransaction transaction(connection);
  if (!transaction.active()) return;
  for (const char* text : kCatalogSchema) {
    const int result = sqlite3_exec(connection->db(), text, nullptr, nullptr, nullptr);
    if (result != SQLITE_OK && result != SQLITE_ROW && result != SQLITE_DONE) {
      LogSqliteError(connection);
      return;
    }
  }
  if (!transaction.Commit()) return;
  WriteLog(kLogLifecycle, u"Succeeded to create database.");
}

int DbmLastErrorCode() {
  CatalogState& state = State();
  const uint32_t thread = CurrentEnv()->GetCurrentThreadId();
  std::shared_ptr<CatalogConnection> connection;
  {
    // Looked up, never opened: a connection opened now would have no failure
    // to tell, and asking must not change the thread's state.
    std::lock_guard guard(state.lock);
    const auto found = state.connections.find(thread);
    if (found != state.connections.end()) connection = found->second;
  }
  return connection == nullptr ? SQLITE_CANTOPEN : (sqlite3_errcode(connection->db()) & 0xFF);
}

bool IsTransientSqliteError(int code) {
  switch (code & 0xFF) {
    case SQLITE_CONSTRAINT:
    case SQLITE_TOOBIG:
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
      return false;
    default:
      return true;
  }
}

ReadOnlyOpen DbmOpenReadOnly(const std::u16string& backupStore) {
  CatalogState& state = State();
  DbmFinalize();
  Env* env = CurrentEnv();
  const std::optional<std::u16string> base = env->AbsolutePath(backupStore);
  if (!base) return ReadOnlyOpen::kNoCatalog;
  const std::u16string catalogPath = JoinPath(*base, kCatalogFileName);
  // Looked at before SQLite opens it: an open of a FIFO there would block.
  switch (env->ProbeFile(catalogPath)) {
    case Env::FileProbe::kReadableFile:
      break;
    case Env::FileProbe::kMissing:
      return ReadOnlyOpen::kNoCatalog;
    case Env::FileProbe::kAccessDenied:
      return ReadOnlyOpen::kAccessDenied;
    case Env::FileProbe::kNotAFile:
      return ReadOnlyOpen::kNotAFile;
  }
  int result = SQLITE_OK;
  int systemErrno = 0;
  std::shared_ptr<CatalogConnection> connection =
      CatalogConnection::Open(catalogPath, CatalogAccess::kReadOnly, &result, &systemErrno);
  if (!connection)
    return IsAccessDeniedError(systemErrno) ? ReadOnlyOpen::kAccessDenied
                                            : ReadOnlyOpen::kUnreadable;
  // The same probe as a started engine's, but nothing is done about a failure.
  result = RunSchemaProbe(connection->db());
  if (result != SQLITE_OK) {
    switch (result & 0xFF) {
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        return ReadOnlyOpen::kBusy;
      case SQLITE_PERM:
      case SQLITE_AUTH:
        return ReadOnlyOpen::kAccessDenied;
      default:
        return ReadOnlyOpen::kUnreadable;
    }
  }
  {
    std::lock_guard guard(state.lock);
    state.access = CatalogAccess::kReadOnly;
    state.snapshotDirectory = JoinPath(*base, kSnapshotDirectoryName);
    state.catalogPath = catalogPath;
    state.placed = true;
    state.connections[env->GetCurrentThreadId()] = std::move(connection);
  }
  state.ready.store(true, std::memory_order_release);
  return ReadOnlyOpen::kOpened;
}

bool IsCatalogReadOnly() {
  std::lock_guard guard(State().lock);
  return State().placed && State().access == CatalogAccess::kReadOnly;
}

uint32_t DbmCopyRemovalEpoch() { return State().copyRemovalEpoch.load(std::memory_order_acquire); }

void DbmNoteCopiesRemoved() { State().copyRemovalEpoch.fetch_add(1, std::memory_order_acq_rel); }

bool IsCatalogReady() { return State().ready.load(std::memory_order_acquire); }

std::u16string CatalogPath() {
  std::lock_guard guard(State().lock);
  return State().catalogPath;
}

std::u16string SnapshotDirectory() {
  std::lock_guard guard(State().lock);
  return State().snapshotDirectory;
}

}  // namespace orv
