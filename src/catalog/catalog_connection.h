// One thread's connection to the catalog, with the statements it has compiled
// for reuse.
#ifndef ORV_CATALOG_CATALOG_CONNECTION_H_
#define ORV_CATALOG_CATALOG_CONNECTION_H_

#include <memory>
#include <string>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace orv {

// How a connection may use the catalog file.
enum class CatalogAccess {
  kReadWrite,
  // Never writes the file (nor a journal beside it): for recovery tools, which
  // must leave the store they read exactly as they found it.
  kReadOnly,
};

class CatalogConnection {
 public:
  // Opens the existing catalog at path (never creating it). On failure returns
  // null and puts SQLite's result code in *result and, when systemErrno is not
  // null, the operating system's error number of the failed open (0 if none).
  static std::unique_ptr<CatalogConnection> Open(const std::u16string& path, CatalogAccess access,
                                                 int* result, int* systemErrno = nullptr);
  // Takes ownership of an open connection.
  explicit CatalogConnection(sqlite3* db) : db_(db) {}

  // Finalises the cached statements, then closes. A find handle the host still
  // holds keeps the connection alive until the handle is released.
  ~CatalogConnection();
  CatalogConnection(const CatalogConnection&) = delete;
  CatalogConnection& operator=(const CatalogConnection&) = delete;

  sqlite3* db() const { return db_; }

  // A compiled statement for text, reset and with its bindings cleared, that
  // stays owned by this connection: never hand it to a caller that keeps it.
  // Null when the text does not compile (*result holds the code).
  sqlite3_stmt* Reusable(const std::u16string& text, int* result);

 private:
  sqlite3* db_;
  std::unordered_map<std::u16string, sqlite3_stmt*> statements_;
};

}  // namespace orv

#endif  // ORV_CATALOG_CATALOG_CONNECTION_H_
