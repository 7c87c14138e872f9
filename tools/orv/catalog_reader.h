// What the query exports do not give: read from the catalog file directly,
// read-only, beside a running engine or daemon (SQLite's locks keep the reads
// consistent while another process writes).
#ifndef ORV_TOOLS_ORV_CATALOG_READER_H_
#define ORV_TOOLS_ORV_CATALOG_READER_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace orv::tool {

struct EditionDetails {
  int32_t fileId = 0;
  int32_t operation = 0;
  int32_t linkFileId = 0;
  std::string signature;  // empty: not verified yet
  std::string sha1Hex;    // empty: not digested yet
};

struct StoreCounts {
  int64_t files = 0;
  int64_t editions = 0;
  int64_t undigested = 0;
  int64_t unverified = 0;
};

class CatalogReader {
 public:
  explicit CatalogReader(const std::filesystem::path& catalog);
  ~CatalogReader();
  CatalogReader(const CatalogReader&) = delete;
  CatalogReader& operator=(const CatalogReader&) = delete;

  // The ID of the file stored under exactly this name.
  std::optional<int32_t> FileIdOf(const std::string& path);
  std::optional<std::string> FileNameOf(int32_t fileId);
  std::optional<EditionDetails> Details(int32_t editionId);
  // The file IDs whose names match a LIKE pattern (all for an empty one), by name.
  std::vector<std::pair<int32_t, std::string>> Files(const std::string& pattern);
  int64_t EditionCount(int32_t fileId);
  StoreCounts Counts();

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_CATALOG_READER_H_
