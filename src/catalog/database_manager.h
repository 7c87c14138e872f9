// The Database Manager: places the catalog in the backup store, creates its
// schema, and gives each thread its own connection.
//
// The catalog and the snapshot directory lie in the configured backup store
// made absolute, as catalog/store_layout.h names them.
#ifndef ORV_CATALOG_DATABASE_MANAGER_H_
#define ORV_CATALOG_DATABASE_MANAGER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "catalog/catalog_connection.h"

namespace orv {

// Places the catalog in backupStore, creating the snapshot directory and, in a
// new file, the schema. 1 when the catalog is ready afterwards, 0 when it is
// not (no store configured, a directory that cannot be made, or a SQLite
// build that is not thread-safe).
uint32_t DbmInitialize(const std::u16string& backupStore);

// Puts back what was taken from under a started engine: a snapshot directory
// or a catalog file that was removed, and (when probeCatalog) a catalog that
// cannot be read (kept aside as <catalog>.unreadable, or .unreadable-N when
// that name is taken, and a new one made). For a thread without a connection;
// leaves it without one.
void DbmRepairStore(bool probeCatalog);

// Counts the times copies may have gone from under queued entries: the store
// made anew, or a retention run about to remove copies. The catalog writer
// looks for the copy only of an entry made under an earlier count.
uint32_t DbmCopyRemovalEpoch();
void DbmNoteCopiesRemoved();

// What placing the catalog for reading only met.
enum class ReadOnlyOpen {
  kOpened,
  kNoCatalog,     // no catalog file at the store (or no store)
  kAccessDenied,  // the catalog, or a directory on the way, may not be read
  kNotAFile,      // something other than a regular file stands at the catalog's path
  kUnreadable,    // SQLite cannot read it as a catalog (garbage, damage, other schema)
  kBusy,          // another process kept it locked past the wait
};

// Places the existing catalog of backupStore for queries, read-only: nothing
// in the store is created, repaired, renamed, re-moded or written, and every
// connection opened until DbmFinalize (or the next DbmInitialize) is
// read-only. The calling thread's connection stays open. Any catalog placed
// before is closed first. Not while the engine is started.
ReadOnlyOpen DbmOpenReadOnly(const std::u16string& backupStore);

// True while the catalog was placed by DbmOpenReadOnly.
bool IsCatalogReadOnly();

// Leaves the ready state, then closes every thread's connection. Only when no
// engine thread and no query runs any more.
void DbmFinalize();

// The calling thread's connection, opened on first use; null when the catalog
// is not placed or the open failed (logged).
CatalogConnection* DbmConnect();

// Closes and forgets the calling thread's connection.
void DbmDisconnect();

// The calling thread's connection, kept open by the returned reference even
// when DbmFinalize closes every connection meanwhile (it then closes when the
// reference goes). For a thread that may outlive Stop.
std::shared_ptr<CatalogConnection> DbmLeaseConnection();

// 1 when BackupFile can be read on the calling thread's connection.
uint32_t DbmProbeSchema();
void DbmCreateSchema();

// The primary result code of the calling thread's connection's last failure;
// SQLITE_CANTOPEN when the thread has no connection (its open failed, or it
// never connected). Never opens one.
int DbmLastErrorCode();

// True for failures that may go away by themselves (a lock, a full disk, an
// I/O error, a store that cannot be opened now); false for failures that
// retrying the same rows would meet again (a constraint, a value too big).
bool IsTransientSqliteError(int code);

// True from a successful DbmInitialize until DbmFinalize.
bool IsCatalogReady();
std::u16string CatalogPath();
std::u16string SnapshotDirectory();

// Writes "Sqlite error code %d, %s\n" for the connection's last error
// (nothing for null).
void LogSqliteError(sqlite3* db);
inline void LogSqliteError(const CatalogConnection* connection) {
  if (connection != nullptr) LogSqliteError(connection->db());
}

}  // namespace orv

#endif  // ORV_CATALOG_DATABASE_MANAGER_H_
