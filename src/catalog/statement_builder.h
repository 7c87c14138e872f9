// The statement builder: every row of the catalog is read and written through
// arrays of field descriptors, turned into SQL texts whose values are always
// bound as parameters, never spliced into the text.
//
// Only present fields (value not null) take part in a text, a parameter number
// or a column number: the i-th present field of a field list is result column
// i (from 0), the i-th present entry of a bound list is parameter i (from 1).
#ifndef ORV_CATALOG_STATEMENT_BUILDER_H_
#define ORV_CATALOG_STATEMENT_BUILDER_H_

#include <cstdint>
#include <string>
#include <string_view>

struct sqlite3_stmt;

namespace orv {

enum class DbmType : uint8_t { INT = 0, STR = 1, BLOB = 2 };

// How an inserted or assigned STR value is stored.
enum class DbmTextCase : uint8_t {
  // Through the database's Lower(): for names compared without regard to case
  // (signers).
  kLowered,
  // As the platform names files: as given where file names are case-sensitive,
  // so that a stored name names the real file.
  kFileSystemName,
};

struct DbmField {
  // A column name or expression for field lists; a condition text with its
  // operator ("ID == ", "FileName Like ") for condition lists.
  const char16_t* name = nullptr;
  DbmType type = DbmType::INT;
  // The caller's storage: bound from, or fetched into. Null: the field is absent.
  void* value = nullptr;
  // Bytes of the destination for a fetch (STR: terminator included), and the
  // byte count of a bound BLOB.
  uint32_t length = 0;
  // Select lists: 0 no ordering, 1 ascending, other non-zero descending.
  uint8_t order = 0;
  DbmTextCase textCase = DbmTextCase::kLowered;
};

// A select handle: a statement of the calling thread's connection positioned on
// a row. Owned by the caller until DbmCloseSelect.
using DbmSelectHandle = sqlite3_stmt*;

// Statement texts, exactly as run. A null condition list means no list; a
// list whose entries are all absent still gives " Where 1 == 1 ".
std::u16string ComposeSelect(std::u16string_view table, const DbmField* fields, uint32_t count,
                             const DbmField* conditions, uint32_t conditionCount);
std::u16string ComposeInsert(std::u16string_view table, const DbmField* fields, uint32_t count);
std::u16string ComposeUpdate(const DbmField& assigned, const DbmField* condition);
std::u16string ComposeDelete(const DbmField* conditions, uint32_t conditionCount);

// Runs a select and fetches its first row into fields. The handle, or null
// when there is no row or on failure (logged).
DbmSelectHandle DbmSelect(std::u16string_view table, const DbmField* fields, uint32_t count,
                          const DbmField* conditions, uint32_t conditionCount);
// The same for a caller that wants the first row only: no handle is kept, and
// the compiled statement is reused by later calls. 1 when a row was fetched.
uint32_t DbmSelectFirst(std::u16string_view table, const DbmField* fields, uint32_t count,
                        const DbmField* conditions, uint32_t conditionCount);
// 1 when the next row was fetched into fields; 0 at the end or on failure.
uint32_t DbmFetchRow(DbmSelectHandle handle, const DbmField* fields, uint32_t count);
void DbmCloseSelect(DbmSelectHandle handle);

// 1 on success, 0 on failure (logged). Update and delete always name Edition.
uint32_t DbmInsert(std::u16string_view table, const DbmField* fields, uint32_t count);
uint32_t DbmUpdate(const DbmField& assigned, const DbmField* condition);
uint32_t DbmDelete(const DbmField* conditions, uint32_t conditionCount);

// Runs a fixed text such as "BEGIN IMMEDIATE;" or "COMMIT;". Not logged.
uint32_t DbmExecute(const char* text);

void DbmBindField(sqlite3_stmt* statement, const DbmField* fields, uint32_t count);
void DbmFetchField(sqlite3_stmt* statement, int column, DbmType type, uint32_t length,
                   void* destination);

}  // namespace orv

#endif  // ORV_CATALOG_STATEMENT_BUILDER_H_
