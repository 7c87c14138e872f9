// The statement builder: every row of the catalog is read and written through
// arrays of field descriptors, turned into SQL texts whose values are always
// bound as parameters, never spliced into the text.
//
// Only present fields (value not null) take part in a text, a parameter number
// or a column number: the i-th present field of a field list is result column
// i (from 0), the i-th present entry of a bound list is parameter i (from 1).
#ifndef ORV_CATALOG_STATEMENT_BUILDER_H_
#define ORV_CATALOG_STATEMENT_BUILDER_H_

#include <cstddef>
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

// Field makers, so that no caller spells a type, a length or a case rule by
// hand. A ...Field is a column fetched into the caller's storage; a ...Value is
// only bound (a condition, or a value inserted or assigned) and only read.
// A null pointer makes the field absent.

// An INT column fetched into *destination (4 bytes); order as in DbmField.
constexpr DbmField IntField(const char16_t* name, int32_t* destination, uint8_t order = 0) {
  return {name, DbmType::INT, destination, sizeof(int32_t), order};
}
constexpr DbmField IntField(const char16_t* name, uint32_t* destination, uint8_t order = 0) {
  return {name, DbmType::INT, destination, sizeof(uint32_t), order};
}
// A STR column fetched into buffer, terminator included; bytes is its size.
constexpr DbmField TextField(const char16_t* name, char16_t* buffer, uint32_t bytes) {
  return {name, DbmType::STR, buffer, bytes};
}
template <size_t N>
constexpr DbmField TextField(const char16_t* name, char16_t (&buffer)[N]) {
  return TextField(name, buffer, static_cast<uint32_t>(sizeof(buffer)));
}
// A BLOB column: at most N bytes are fetched into buffer.
template <size_t N>
constexpr DbmField BlobField(const char16_t* name, uint8_t (&buffer)[N]) {
  return {name, DbmType::BLOB, buffer, static_cast<uint32_t>(N)};
}
// A field that only takes part in the order clause (or stands absent).
constexpr DbmField AbsentField(const char16_t* name, uint8_t order = 0) {
  return {name, DbmType::INT, nullptr, sizeof(int32_t), order};
}

// The builder only reads what it binds: the const is cast away for DbmField's
// one storage pointer, never written through.
constexpr DbmField IntValue(const char16_t* name, const int32_t* value) {
  return {name, DbmType::INT, const_cast<int32_t*>(value), sizeof(int32_t)};
}
// A text condition value (bound as given).
constexpr DbmField TextValue(const char16_t* name, const char16_t* text) {
  return {name, DbmType::STR, const_cast<char16_t*>(text), 0xFFFFFFFF};
}
// A file or copy name compared exactly with one stored as kFileSystemName:
// bound through the same rule, so that it meets the stored text.
constexpr DbmField FileNameValue(const char16_t* name, const char16_t* text) {
  return {
      name, DbmType::STR, const_cast<char16_t*>(text), 0xFFFFFFFF, 0, DbmTextCase::kFileSystemName};
}
// A text inserted or assigned, stored by its case rule.
constexpr DbmField StoredText(const char16_t* name, const char16_t* text, DbmTextCase textCase) {
  return {name, DbmType::STR, const_cast<char16_t*>(text), 0xFFFFFFFF, 0, textCase};
}
constexpr DbmField BlobValue(const char16_t* name, const void* data, uint32_t bytes) {
  return {name, DbmType::BLOB, const_cast<void*>(data), bytes};
}

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

// The same operations on arrays, whose sizes are counted here.
template <size_t N>
DbmSelectHandle DbmSelect(std::u16string_view table, const DbmField (&fields)[N]) {
  return DbmSelect(table, fields, N, nullptr, 0);
}
template <size_t N, size_t M>
DbmSelectHandle DbmSelect(std::u16string_view table, const DbmField (&fields)[N],
                          const DbmField (&conditions)[M]) {
  return DbmSelect(table, fields, N, conditions, M);
}
template <size_t N>
uint32_t DbmSelectFirst(std::u16string_view table, const DbmField (&fields)[N]) {
  return DbmSelectFirst(table, fields, N, nullptr, 0);
}
template <size_t N, size_t M>
uint32_t DbmSelectFirst(std::u16string_view table, const DbmField (&fields)[N],
                        const DbmField (&conditions)[M]) {
  return DbmSelectFirst(table, fields, N, conditions, M);
}
template <size_t N>
uint32_t DbmFetchRow(DbmSelectHandle handle, const DbmField (&fields)[N]) {
  return DbmFetchRow(handle, fields, N);
}
template <size_t N>
uint32_t DbmInsert(std::u16string_view table, const DbmField (&fields)[N]) {
  return DbmInsert(table, fields, N);
}
template <size_t N>
uint32_t DbmDelete(const DbmField (&conditions)[N]) {
  return DbmDelete(conditions, N);
}

void DbmBindField(sqlite3_stmt* statement, const DbmField* fields, uint32_t count);
void DbmFetchField(sqlite3_stmt* statement, int column, DbmType type, uint32_t length,
                   void* destination);

}  // namespace orv

#endif  // ORV_CATALOG_STATEMENT_BUILDER_H_
