#include "catalog/transaction.h"

#include <sqlite3.h>

#include "catalog/catalog_connection.h"
#include "catalog/database_manager.h"

namespace orv {
namespace {

bool Run(CatalogConnection* connection, const char* text) {
  if (sqlite3_exec(connection->db(), text, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  LogSqliteError(connection);
  return false;
}

}  // namespace

CatalogTransaction::CatalogTransaction(CatalogConnection* connection) : connection_(connection) {
  if (connection_ != nullptr && !Run(connection_, "BEGIN IMMEDIATE;")) connection_ = nullptr;
}

CatalogTransaction::~CatalogTransaction() { Rollback(); }

bool CatalogTransaction::Commit() {
  if (connection_ == nullptr) return false;
  if (Run(connection_, "COMMIT;")) {
    connection_ = nullptr;
    return true;
  }
  Rollback();
  return false;
}

void CatalogTransaction::Rollback() {
  if (connection_ == nullptr) return;
  // Some failures (a full disk, an I/O error) end the transaction themselves:
  // a ROLLBACK then would only add an error line of its own.
  if (sqlite3_get_autocommit(connection_->db()) == 0) Run(connection_, "ROLLBACK;");
  connection_ = nullptr;
}

}  // namespace orv
