#include "catalog/catalog_connection.h"

#include <sqlite3.h>

#include "engine/timings.h"
#include "platform/text.h"

namespace orv {

std::unique_ptr<CatalogConnection> CatalogConnection::Open(const std::u16string& path,
                                                           CatalogAccess access, int* result,
                                                           int* systemErrno) {
  if (systemErrno != nullptr) *systemErrno = 0;
  std::string native;
  if (!Utf16ToUtf8(path, &native)) {
    *result = SQLITE_CANTOPEN;
    return nullptr;
  }
  sqlite3* db = nullptr;
  // Never created here: the Database Manager makes the file, readable by its
  // owner only, before any connection; a missing catalog is an error to report.
  // Never reached through a symbolic link, which could aim the engine's
  // writes at another application's database.
  const int mode =
      access == CatalogAccess::kReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  *result = sqlite3_open_v2(native.c_str(), &db,
                            mode | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  if (*result != SQLITE_OK) {
    if (systemErrno != nullptr && db != nullptr) *systemErrno = sqlite3_system_errno(db);
    sqlite3_close_v2(db);
    return nullptr;
  }
  // A catalog file is data, not code: functions with side effects in its
  // views or triggers, and writes to its schema, are refused.
  sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  // Writers, the maintenance thread and host queries use separate connections:
  // without a wait, a reader fails just because another thread is committing.
  sqlite3_busy_timeout(db, static_cast<int>(CurrentTimings().catalogBusyTimeout.count()));
  return std::make_unique<CatalogConnection>(db);
}

CatalogConnection::~CatalogConnection() {
  for (auto& [text, statement] : statements_) sqlite3_finalize(statement);
  sqlite3_close_v2(db_);
}

sqlite3_stmt* CatalogConnection::Reusable(const std::u16string& text, int* result) {
  *result = SQLITE_OK;
  const auto found = statements_.find(text);
  if (found != statements_.end()) {
    sqlite3_reset(found->second);
    sqlite3_clear_bindings(found->second);
    return found->second;
  }
  sqlite3_stmt* statement = nullptr;
  *result =
      sqlite3_prepare16_v3(db_, text.c_str(), static_cast<int>(text.size() * sizeof(char16_t)),
                           SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (*result != SQLITE_OK || statement == nullptr) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  statements_.emplace(text, statement);
  return statement;
}

}  // namespace orv
