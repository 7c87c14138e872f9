#include "catalog/statement_builder.h"

#include <sqlite3.h>

#include <cstring>
#include <string>
#include <string_view>

#include "catalog/database_manager.h"
#include "engine/log.h"
#include "platform/path.h"
#include "platform/text.h"

namespace orv {
namespace {

bool Present(const DbmField& field) { return field.value != nullptr; }

bool Succeeded(int result) {
  return result == SQLITE_OK || result == SQLITE_ROW || result == SQLITE_DONE;
}

const char16_t* Placeholder(const DbmField& field) {
  if (field.type != DbmType::STR) return u"?";
  if (field.textCase == DbmTextCase::kFileSystemName && kFileNamesCaseSensitive) return u"?";
  return u"Lower(?)";
}

void AppendConditions(std::u16string& text, const DbmField* conditions, uint32_t count) {
  if (conditions == nullptr) return;
  text += u" Where 1 == 1 ";
  for (uint32_t i = 0; i < count; ++i) {
    if (!Present(conditions[i])) continue;
    text += u" And ";
    text += conditions[i].name;
    // Only a file name's condition follows its storage rule; other text is
    // bound as given.
    text += u" ";
    text +=
        conditions[i].textCase == DbmTextCase::kFileSystemName ? Placeholder(conditions[i]) : u"?";
    text += u" ";
  }
}

// Resets a reused statement when the caller is done with it, so that it holds
// no lock on the catalog between calls.
class ResetOnExit {
 public:
  explicit ResetOnExit(sqlite3_stmt* statement) : statement_(statement) {}
  ~ResetOnExit() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
  }
  ResetOnExit(const ResetOnExit&) = delete;
  ResetOnExit& operator=(const ResetOnExit&) = delete;

 private:
  sqlite3_stmt* statement_;
};

// The calling thread's connection and a compiled, reusable statement for text;
// null (logged when a connection exists) when either is missing.
sqlite3_stmt* PrepareReusable(const std::u16string& text, CatalogConnection** connection) {
  *connection = DbmConnect();
  WriteLog(kLogTrace, u"%s", text);
  if (*connection == nullptr) return nullptr;
  int result = SQLITE_OK;
  sqlite3_stmt* statement = (*connection)->Reusable(text, &result);
  if (statement == nullptr) LogSqliteError(*connection);
  return statement;
}

// Binds the present entries of fields as parameters *parameter + 1, ...
void BindFields(sqlite3_stmt* statement, const DbmField* fields, uint32_t count, int* parameter) {
  for (uint32_t i = 0; i < count; ++i) {
    const DbmField& field = fields[i];
    if (!Present(field)) continue;
    const int number = ++*parameter;
    switch (field.type) {
      case DbmType::INT: {
        int32_t value;
        std::memcpy(&value, field.value, sizeof(value));
        sqlite3_bind_int(statement, number, value);
        WriteLog(kLogTrace, u"DbmBindField, ID = %d, Type = INT, Value = %d", number, value);
        break;
      }
      case DbmType::STR: {
        // Bound as UTF-8 of our own making: SQLite's conversion of UTF-16 joins
        // a lone surrogate (an escaped byte of a file name) with the unit
        // after it, and takes a leading U+FEFF or U+FFFE for a byte-order mark.
        const std::string text = Utf16ToWtf8(static_cast<const char16_t*>(field.value));
        sqlite3_bind_text64(statement, number, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8);
        WriteLog(kLogTrace, u"DbmBindField, ID = %d, Type = STR, Value = %s", number,
                 static_cast<const char16_t*>(field.value));
        break;
      }
      case DbmType::BLOB:
        sqlite3_bind_blob(statement, number, field.value, static_cast<int>(field.length),
                          SQLITE_TRANSIENT);
        WriteLog(kLogTrace, u"DbmBindField, ID = %d, Type = BLOB, Value = %08X", number,
                 static_cast<uint32_t>(reinterpret_cast<uintptr_t>(field.value)));
        break;
    }
  }
}

// Binds the two lists one after another (parameter numbers run on), then steps
// once.
uint32_t RunChange(const std::u16string& text, const DbmField* first, uint32_t firstCount,
                   const DbmField* second, uint32_t secondCount) {
  CatalogConnection* connection = nullptr;
  sqlite3_stmt* statement = PrepareReusable(text, &connection);
  if (statement == nullptr) return 0;
  ResetOnExit reset(statement);
  int parameter = 0;
  if (first != nullptr) BindFields(statement, first, firstCount, &parameter);
  if (second != nullptr) BindFields(statement, second, secondCount, &parameter);
  if (Succeeded(sqlite3_step(statement))) return 1;
  LogSqliteError(connection);
  return 0;
}

}  // namespace

std::u16string ComposeSelect(std::u16string_view table, const DbmField* fields, uint32_t count,
                             const DbmField* conditions, uint32_t conditionCount) {
  std::u16string text = u"Select ";
  bool first = true;
  for (uint32_t i = 0; i < count; ++i) {
    if (!Present(fields[i])) continue;
    if (!first) text += u",";
    first = false;
    text += u" ";
    text += fields[i].name;
    text += u" ";
  }
  text += u" From ";
  text += table;
  text += u" ";
  AppendConditions(text, conditions, conditionCount);
  bool ordered = false;
  for (uint32_t i = 0; i < count; ++i) {
    if (fields[i].order == 0) continue;
    text += ordered ? u"," : u" Order By ";
    ordered = true;
    text += u" ";
    text += fields[i].name;
    text += fields[i].order == 1 ? u"  Asc " : u"  Desc ";
  }
  return text;
}

std::u16string ComposeInsert(std::u16string_view table, const DbmField* fields, uint32_t count) {
  std::u16string names, placeholders;
  for (uint32_t i = 0; i < count; ++i) {
    if (!Present(fields[i])) continue;
    if (!names.empty()) {
      names += u",";
      placeholders += u",";
    }
    names += fields[i].name;
    placeholders += Placeholder(fields[i]);
  }
  std::u16string text = u"Insert Into ";
  text += table;
  text += u" (" + names + u") Values (" + placeholders + u")";
  return text;
}

std::u16string ComposeUpdate(const DbmField& assigned, const DbmField* condition) {
  std::u16string text = u"Update Edition Set ";
  if (Present(assigned)) {
    text += assigned.name;
    text += u" = ";
    text += Placeholder(assigned);
  }
  AppendConditions(text, condition, condition != nullptr ? 1 : 0);
  return text;
}

std::u16string ComposeDelete(const DbmField* conditions, uint32_t conditionCount) {
  std::u16string text = u"Delete From Edition ";
  AppendConditions(text, conditions, conditionCount);
  return text;
}

DbmSelectHandle DbmSelect(std::u16string_view table, const DbmField* fields, uint32_t count,
                          const DbmField* conditions, uint32_t conditionCount) {
  CatalogConnection* connection = DbmConnect();
  const std::u16string text = ComposeSelect(table, fields, count, conditions, conditionCount);
  WriteLog(kLogTrace, u"%s", text);
  if (connection == nullptr) return nullptr;
  // A handle the host keeps is compiled on its own, never taken from the
  // connection's reusable statements.
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare16_v2(connection->db(), text.c_str(),
                           static_cast<int>(text.size() * sizeof(char16_t)), &statement,
                           nullptr) != SQLITE_OK ||
      statement == nullptr) {
    LogSqliteError(connection);
    sqlite3_finalize(statement);
    return nullptr;
  }
  if (conditions != nullptr) DbmBindField(statement, conditions, conditionCount);
  if (DbmFetchRow(statement, fields, count) == 1) return statement;
  DbmCloseSelect(statement);
  return nullptr;
}

uint32_t DbmSelectFirst(std::u16string_view table, const DbmField* fields, uint32_t count,
                        const DbmField* conditions, uint32_t conditionCount) {
  CatalogConnection* connection = nullptr;
  sqlite3_stmt* statement =
      PrepareReusable(ComposeSelect(table, fields, count, conditions, conditionCount), &connection);
  if (statement == nullptr) return 0;
  ResetOnExit reset(statement);
  if (conditions != nullptr) DbmBindField(statement, conditions, conditionCount);
  return DbmFetchRow(statement, fields, count);
}

uint32_t DbmFetchRow(DbmSelectHandle handle, const DbmField* fields, uint32_t count) {
  if (handle == nullptr) return 0;
  const int result = sqlite3_step(handle);
  if (result == SQLITE_ROW) {
    int column = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (!Present(fields[i])) continue;
      DbmFetchField(handle, column++, fields[i].type, fields[i].length, fields[i].value);
    }
    return 1;
  }
  if (result != SQLITE_DONE && result != SQLITE_OK) LogSqliteError(sqlite3_db_handle(handle));
  return 0;
}

void DbmCloseSelect(DbmSelectHandle handle) {
  if (handle != nullptr) sqlite3_finalize(handle);
}

uint32_t DbmInsert(std::u16string_view table, const DbmField* fields, uint32_t count) {
  return RunChange(ComposeInsert(table, fields, count), fields, count, nullptr, 0);
}

uint32_t DbmUpdate(const DbmField& assigned, const DbmField* condition) {
  return RunChange(ComposeUpdate(assigned, condition), &assigned, 1, condition,
                   condition != nullptr ? 1 : 0);
}

uint32_t DbmDelete(const DbmField* conditions, uint32_t conditionCount) {
  return RunChange(ComposeDelete(conditions, conditionCount), conditions,
                   conditions != nullptr ? conditionCount : 0, nullptr, 0);
}

uint32_t DbmExecute(const char* text) {
  CatalogConnection* connection = DbmConnect();
  if (connection == nullptr) return 0;
  if (Succeeded(sqlite3_exec(connection->db(), text, nullptr, nullptr, nullptr))) return 1;
  LogSqliteError(connection);
  return 0;
}

void DbmBindField(sqlite3_stmt* statement, const DbmField* fields, uint32_t count) {
  if (statement == nullptr || fields == nullptr) return;
  int parameter = 0;
  BindFields(statement, fields, count, &parameter);
}

void DbmFetchField(sqlite3_stmt* statement, int column, DbmType type, uint32_t length,
                   void* destination) {
  if (statement == nullptr || destination == nullptr) return;
  switch (type) {
    case DbmType::INT: {
      // length is the destination's size: one too small for the value is left
      // untouched, as a STR destination without room for a terminator is.
      if (length < sizeof(int32_t)) break;
      const int32_t value = sqlite3_column_int(statement, column);
      std::memcpy(destination, &value, sizeof(value));
      WriteLog(kLogTrace, u"DbmFetchField, ID = %d, Type = INT, Value = %d", column, value);
      break;
    }
    case DbmType::STR: {
      // Read as stored and converted here: SQLite's own conversion to UTF-16
      // reads U+FFFE, U+FFFF and lone surrogates as U+FFFD, so a name holding
      // one would not come back as bound. Text this engine did not write (not
      // in the form Utf16ToWtf8 makes) is still converted by SQLite.
      const auto* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      if (utf8 == nullptr) break;
      const std::string_view stored(utf8,
                                    static_cast<size_t>(sqlite3_column_bytes(statement, column)));
      std::u16string converted;
      const char16_t* text = nullptr;
      size_t units = 0;
      if (Wtf8ToUtf16(stored, &converted)) {
        text = converted.c_str();
        units = converted.size();
      } else {
        text = static_cast<const char16_t*>(sqlite3_column_text16(statement, column));
        if (text == nullptr) break;
        units = static_cast<size_t>(sqlite3_column_bytes16(statement, column)) / 2;
      }
      const size_t capacity = length / 2;
      if (capacity == 0) break;
      size_t copied = units < capacity - 1 ? units : capacity - 1;
      // Never keep half of a surrogate pair.
      if (copied < units && copied > 0 && text[copied - 1] >= 0xD800 &&
          text[copied - 1] <= 0xDBFF) {
        --copied;
      }
      auto* out = static_cast<char16_t*>(destination);
      std::memcpy(out, text, copied * sizeof(char16_t));
      out[copied] = u'\0';
      WriteLog(kLogTrace, u"DbmFetchField, ID = %d, Type = STR, Value = %s", column,
               std::u16string_view(text, units));
      break;
    }
    case DbmType::BLOB: {
      const void* data = sqlite3_column_blob(statement, column);
      const int bytes = sqlite3_column_bytes(statement, column);
      if (data == nullptr) break;
      const uint32_t copied = static_cast<uint32_t>(bytes) < length ? bytes : length;
      std::memcpy(destination, data, copied);
      WriteLog(kLogTrace, u"DbmFetchField, ID = %d, Type = BLOB, Value = %08X, Len = %d", column,
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)), bytes);
      break;
    }
  }
}

}  // namespace orv
