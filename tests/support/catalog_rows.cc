#include "support/catalog_rows.h"

#include <sqlite3.h>

namespace orv::testing {
namespace {

std::string Text(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
}

}  // namespace

std::vector<EditionRow> ReadEditions(const std::filesystem::path& catalog) {
  std::vector<EditionRow> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(catalog.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db,
                         "Select f.FileName, l.FileName, e.Operation, e.Size, e.TimeStamp, "
                         "e.BackupName From Edition e Join BackupFile f On f.ID = e.FileID "
                         "Left Join BackupFile l On l.ID = e.LinkFileID Order By e.ID",
                         -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      rows.push_back({Text(statement, 0), Text(statement, 1), sqlite3_column_int(statement, 2),
                      sqlite3_column_int(statement, 3), sqlite3_column_int(statement, 4),
                      Text(statement, 5)});
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

int CountRows(const std::filesystem::path& catalog, const char* table) {
  sqlite3* db = nullptr;
  int count = -1;
  if (sqlite3_open_v2(catalog.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    const std::string sql = std::string("Select count(*) From ") + table;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      count = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return count;
}

std::string Integrity(const std::filesystem::path& catalog) {
  sqlite3* db = nullptr;
  std::string result = "cannot open";
  if (sqlite3_open_v2(catalog.string().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}

}  // namespace orv::testing
