// The catalog's editions as a test reads them, straight from the file.
#ifndef ORV_TESTS_SUPPORT_CATALOG_ROWS_H_
#define ORV_TESTS_SUPPORT_CATALOG_ROWS_H_

#include <filesystem>
#include <string>
#include <vector>

namespace orv::testing {

struct EditionRow {
  std::string fileName;
  std::string linkFileName;  // empty when LinkFileID is 0
  int operation = 0;
  int size = -1;
  int timeStamp = 0;
  std::string backupName;
};

// Every edition, in ID order. Empty when the catalog cannot be read.
std::vector<EditionRow> ReadEditions(const std::filesystem::path& catalog);
int CountRows(const std::filesystem::path& catalog, const char* table);
// What PRAGMA integrity_check says ("ok" when whole), opened for writing as the
// next engine would open it, so that a transaction left behind is rolled back.
std::string Integrity(const std::filesystem::path& catalog);

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_CATALOG_ROWS_H_
