#include "catalog_reader.h"

#include <sqlite3.h>

#include "tool_error.h"

namespace orv::tool {
namespace {

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
      throw ToolError(std::string("cannot read the catalog: ") + sqlite3_errmsg(db));
    }
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  bool Step() { return sqlite3_step(statement_) == SQLITE_ROW; }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

CatalogReader::CatalogReader(const std::filesystem::path& catalog) {
  if (sqlite3_open_v2(catalog.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw ToolError("cannot open the catalog " + catalog.string() + ": " + reason);
  }
  sqlite3_busy_timeout(db_, 5000);
}

CatalogReader::~CatalogReader() { sqlite3_close(db_); }

std::optional<int32_t> CatalogReader::FileIdOf(const std::string& path) {
  Statement s(db_, "Select ID From BackupFile Where FileName = ?");
  sqlite3_bind_text(s.get(), 1, path.c_str(), -1, SQLITE_TRANSIENT);
  if (!s.Step()) return std::nullopt;
  return sqlite3_column_int(s.get(), 0);
}

std::optional<std::string> CatalogReader::FileNameOf(int32_t fileId) {
  Statement s(db_, "Select FileName From BackupFile Where ID = ?");
  sqlite3_bind_int(s.get(), 1, fileId);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

std::optional<EditionDetails> CatalogReader::Details(int32_t editionId) {
  Statement s(
      db_, "Select FileID, Operation, LinkFileID, Signature, hex(Sha1) From Edition Where ID = ?");
  sqlite3_bind_int(s.get(), 1, editionId);
  if (!s.Step()) return std::nullopt;
  EditionDetails details;
  details.fileId = sqlite3_column_int(s.get(), 0);
  details.operation = sqlite3_column_int(s.get(), 1);
  details.linkFileId = sqlite3_column_int(s.get(), 2);
  details.signature = s.Text(3);
  details.sha1Hex = s.Text(4);
  if (details.sha1Hex == std::string(40, '0')) details.sha1Hex.clear();
  return details;
}

std::vector<std::pair<int32_t, std::string>> CatalogReader::Files(const std::string& pattern) {
  Statement s(db_,
              "Select ID, FileName From BackupFile Where ?1 = '' Or FileName Like ?1 "
              "Order By FileName");
  sqlite3_bind_text(s.get(), 1, pattern.c_str(), -1, SQLITE_TRANSIENT);
  std::vector<std::pair<int32_t, std::string>> files;
  while (s.Step()) files.emplace_back(sqlite3_column_int(s.get(), 0), s.Text(1));
  return files;
}

int64_t CatalogReader::EditionCount(int32_t fileId) {
  Statement s(db_, "Select count(*) From Edition Where FileID = ?");
  sqlite3_bind_int(s.get(), 1, fileId);
  return s.Step() ? sqlite3_column_int64(s.get(), 0) : 0;
}

StoreCounts CatalogReader::Counts() {
  Statement s(db_,
              "Select (Select count(*) From BackupFile), count(*), "
              "coalesce(sum(Sha1 Is Null Or Sha1 = zeroblob(20)), 0), "
              "coalesce(sum(Signature Is Null Or Signature = ''), 0) From Edition");
  StoreCounts counts;
  if (s.Step()) {
    counts.files = sqlite3_column_int64(s.get(), 0);
    counts.editions = sqlite3_column_int64(s.get(), 1);
    counts.undigested = sqlite3_column_int64(s.get(), 2);
    counts.unverified = sqlite3_column_int64(s.get(), 3);
  }
  return counts;
}

}  // namespace orv::tool
