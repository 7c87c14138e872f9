// Drives the catalog statement builder with arbitrary field lists against a
// real catalog: names, types (also values no caller uses), lengths from 0 to
// 0xFFFFFFFF, order bytes, text cases and values. Every buffer handed to the
// builder has exactly the size its field claims (ASan sees any access beyond
// it), except claims past kExactLimit, which point into a 4 GiB mapping that
// is never touched beyond what a value needs. After every fetch the outputs
// are checked against their sizes: a text is terminated within its length, an
// odd last byte and a destination too small for an integer stay untouched.
//
// An input is a sequence of at most kMaxOps operations, each kind:u8 (% 10):
//   0 select        table, list(out), conditions(in), rows:u8, flags:u8
//                   (bit 0: keep the handle until the input ends; bit 1:
//                   fetch the later rows into a second list(out), read next)
//   1 select first  table, list(out), conditions(in)
//   2 insert        table, list(in)
//   3 update        field(in), then sel:u8: odd, one condition field(in) follows
//   4 delete        conditions(in)
//   5 compose       table, list(in), conditions(in): the four texts, and the
//                   parameter count of each text that compiles
//   6 execute       u8 picking one of kExecuteTexts
//   7 disconnect    the thread's connection (kept handles stay valid)
//   8 fetch field   u8 picking a kept handle, column:i32, field(out)
//   9 reinitialise  DbmFinalize, then DbmInitialize on the same store
// table: sel:u8, below 0xF0 from kTables, else (sel & 7) UTF-16 units (u16).
// list: n:u8, n % 13 fields; conditions: n:u8, 0xFF for a null list, else
// n % 7 fields.
// field: flags:u8 (bit 0 present), name, type:u8 (as is), length, order:u8,
// textCase:u8 (as is), then for a present input field its value.
//   name: sel:u8, below 0xE0 from kNames, 0xE0 null (kept only where the
//         builder never reads it), else (sel & 7) UTF-16 units (u16).
//   length: sel:u8, below 0xF0 from kLengths, else a u16.
//   value: INT a u32; STR sel:u8, below 0x80 from kTextValues, else
//          (sel & 0x7F) UTF-16 units (u16; terminated by the harness);
//          BLOB n:u8 then n bytes, zero-padded to the length.
// Multi-byte values are little-endian.
//
// Before an input the catalog is put back to the same few rows (when the input
// before may have changed them), so an input means the same thing whenever it
// runs.
#include <sqlite3.h>
#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "engine/log.h"
#include "fuzz_support.h"
#include "platform/text.h"

namespace fs = std::filesystem;
using orv::DbmField;
using orv::DbmType;
using orv::fuzz::Fail;

namespace {

constexpr int kMaxOps = 12;
constexpr uint32_t kExactLimit = 1 << 16;
constexpr uint64_t kArenaBytes = 1ull << 32;
constexpr uint8_t kFill = 0xA5;
constexpr size_t kMaxKeptHandles = 4;

const char16_t* const kTables[] = {u"BackupFile",  u"Edition", u"View_FileEdition",
                                   u"NoSuchTable", u"",        u"sqlite_master"};

struct Name {
  const char16_t* text;
  bool plain;  // no quote, comment or parameter of its own: placeholders stay countable
};
const Name kNames[] = {
    {u"ID", true},
    {u"FileID", true},
    {u"TimeStamp", true},
    {u"LinkFileID", true},
    {u"Size", true},
    {u"BackupName", true},
    {u"SubjectFileID", true},
    {u"Operation", true},
    {u"Signature", true},
    {u"Sha1", true},
    {u"FileName", true},
    {u"EditionID", true},
    {u"count(*)", true},
    {u"*", true},
    {u"", true},
    {u"Lower(FileName)", true},
    {u"length(BackupName)", true},
    {u"ID == ", true},
    {u"FileID == ", true},
    {u"TimeStamp >= ", true},
    {u"TimeStamp <= ", true},
    {u"TimeStamp > ", true},
    {u"FileName Like ", true},
    {u"FileName like", true},
    {u"FileName == ", true},
    {u"BackupName == ", true},
    {u"Signature == ", true},
    {u"Sha1 == ", true},
    {u"Sha1 Is ", true},
    {u"ID In", true},
    {u"[ID]", true},
    {u"\"FileName\"", false},
    {u"'text", false},
    {u"?", false},
    {u":a", false},
    {u"-- ", false},
    {u"\u540d\u524d", true},
    {u"ID\xD800", true},
};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

constexpr uint32_t kLengths[] = {
    0,   1,   2,   3,    4,    5,      8,          19,         20,         21,        40,
    523, 524, 525, 1000, 4096, 100000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};
constexpr size_t kLengthCount = sizeof(kLengths) / sizeof(kLengths[0]);

const char16_t* const kTextValues[] = {
    u"/docs/a.txt", u"/docs/b.txt", u"%",          u"_", u"/docs/%", u"a.txt20260401080645123", u"",
    u"NOSIGNATURE", u"\u00e9",      u"\U0001F600",
};
constexpr size_t kTextValueCount = sizeof(kTextValues) / sizeof(kTextValues[0]);

const char* const kExecuteTexts[] = {
    "BEGIN IMMEDIATE;",
    "COMMIT;",
    "ROLLBACK;",
    "BEGIN;",
    "SAVEPOINT s;",
    "RELEASE s;",
    "ROLLBACK TO s;",
    "",
    ";",
    "Select 1;",
    "Delete From Edition Where ID == 1;",
    "not sql",
};
constexpr size_t kExecuteTextCount = sizeof(kExecuteTexts) / sizeof(kExecuteTexts[0]);

fs::path g_root, g_store;
std::u16string g_storeU16;
uint8_t* g_outputArena = nullptr;       // read-write, for outputs that claim a huge size
const uint8_t* g_inputArena = nullptr;  // read-only zeros, for BLOBs that claim one
sqlite3* g_tunedDb = nullptr;
// Set by every operation that may change rows or the connection; selects
// cannot, so an input of selects needs no reset after it.
bool g_rowsTouched = true;

// The buffers of one input, released when it ends.
class Buffers {
 public:
  Buffers() = default;
  Buffers(const Buffers&) = delete;
  Buffers& operator=(const Buffers&) = delete;
  ~Buffers() {
    for (void* block : blocks_) std::free(block);
  }
  // Exactly size bytes (malloc(0) gives a block ASan guards whole).
  uint8_t* Allocate(size_t size) {
    auto* block = static_cast<uint8_t*>(std::malloc(size));
    if (block == nullptr) Fail("malloc(%zu) failed", size);
    blocks_.push_back(block);
    return block;
  }

 private:
  std::vector<void*> blocks_;
};

// One decoded list: the fields, the storage of their names, and which of them
// have exact buffers that can be checked after a fetch.
struct FieldList {
  std::vector<DbmField> fields;
  std::vector<std::unique_ptr<std::u16string>> names;
  bool plain = true;
  bool isNull = false;

  const DbmField* data() const {
    static const DbmField kNone{};
    if (isNull) return nullptr;
    return fields.empty() ? &kNone : fields.data();
  }
  uint32_t count() const { return static_cast<uint32_t>(fields.size()); }
  uint32_t present() const {
    uint32_t n = 0;
    for (const DbmField& field : fields) n += field.value != nullptr;
    return n;
  }
};

std::u16string DecodeUnits(orv::fuzz::Reader& in, int count) {
  std::u16string text;
  for (int i = 0; i < count; ++i) {
    const char16_t unit = in.U16();
    if (unit != 0) text += unit;
  }
  return text;
}

const char16_t* DecodeTable(orv::fuzz::Reader& in, std::u16string* storage) {
  const uint8_t sel = in.U8();
  if (sel < 0xF0) return kTables[sel % (sizeof(kTables) / sizeof(kTables[0]))];
  *storage = DecodeUnits(in, sel & 7);
  return storage->c_str();
}

bool IsOutputChecked(const DbmField& field) {
  return field.value != nullptr && field.length <= kExactLimit;
}

void DecodeField(orv::fuzz::Reader& in, bool output, Buffers& buffers, FieldList& list) {
  DbmField field;
  const bool present = (in.U8() & 1) != 0;
  const uint8_t nameSel = in.U8();
  if (nameSel < 0xE0) {
    const Name& name = kNames[nameSel % kNameCount];
    field.name = name.text;
    list.plain = list.plain && name.plain;
  } else if (nameSel > 0xE0) {
    list.names.push_back(std::make_unique<std::u16string>(DecodeUnits(in, nameSel & 7)));
    field.name = list.names.back()->c_str();
    list.plain = false;
  }
  field.type = static_cast<DbmType>(in.U8());
  const uint8_t lengthSel = in.U8();
  field.length = lengthSel < 0xF0 ? kLengths[lengthSel % kLengthCount] : in.U16();
  field.order = in.U8();
  field.textCase = static_cast<orv::DbmTextCase>(in.U8());
  // A null name only where the builder never reads it: an absent field that
  // does not order.
  if (field.name == nullptr && (present || field.order != 0)) field.name = u"";
  if (present) {
    if (output) {
      if (field.length <= kExactLimit) {
        field.value = buffers.Allocate(field.length);
      } else {
        field.value = g_outputArena;
      }
    } else if (field.type == DbmType::INT) {
      const uint32_t value = in.U32();
      field.value = buffers.Allocate(sizeof(value));
      std::memcpy(field.value, &value, sizeof(value));
    } else if (field.type == DbmType::STR) {
      const uint8_t sel = in.U8();
      const std::u16string text = sel < 0x80 ? std::u16string(kTextValues[sel % kTextValueCount])
                                             : DecodeUnits(in, sel & 0x7F);
      const size_t bytes = (text.size() + 1) * sizeof(char16_t);
      field.value = buffers.Allocate(bytes);
      std::memcpy(field.value, text.c_str(), bytes);
    } else if (field.type == DbmType::BLOB) {
      const uint8_t given = in.U8();
      if (field.length <= kExactLimit) {
        uint8_t* blob = buffers.Allocate(field.length);
        std::memset(blob, 0, field.length);
        for (uint32_t i = 0; i < given; ++i) {
          const uint8_t byte = in.U8();
          if (i < field.length) blob[i] = byte;
        }
        field.value = blob;
      } else {
        for (uint32_t i = 0; i < given; ++i) in.U8();
        field.value = const_cast<uint8_t*>(g_inputArena);
      }
    } else {
      // A type no caller uses: the builder must neither bind nor fetch it.
      field.value = buffers.Allocate(0);
    }
  }
  list.fields.push_back(field);
}

FieldList DecodeList(orv::fuzz::Reader& in, bool output, bool conditions, Buffers& buffers) {
  FieldList list;
  const uint8_t n = in.U8();
  if (conditions && n == 0xFF) {
    list.isNull = true;
    return list;
  }
  const int count = conditions ? n % 7 : n % 13;
  for (int i = 0; i < count; ++i) DecodeField(in, output, buffers, list);
  return list;
}

void FillOutputs(const FieldList& list) {
  for (const DbmField& field : list.fields) {
    if (IsOutputChecked(field)) std::memset(field.value, kFill, field.length);
  }
}

// What a fetch may have written, given the sizes the fields claim.
void CheckOutputs(const FieldList& list) {
  for (const DbmField& field : list.fields) {
    if (!IsOutputChecked(field)) continue;
    const auto* bytes = static_cast<const uint8_t*>(field.value);
    if (field.type == DbmType::INT && field.length < sizeof(int32_t)) {
      for (uint32_t i = 0; i < field.length; ++i) {
        if (bytes[i] != kFill) Fail("an INT fetch wrote into a %u-byte destination", field.length);
      }
    }
    if (field.type != DbmType::STR) continue;
    const uint32_t units = field.length / 2;
    if ((field.length & 1) != 0 && bytes[field.length - 1] != kFill) {
      Fail("a STR fetch wrote the odd last byte of a %u-byte destination", field.length);
    }
    bool written = false;
    for (uint32_t i = 0; i < units * 2; ++i) written = written || bytes[i] != kFill;
    if (!written) continue;
    bool terminated = false;
    for (uint32_t i = 0; i < units && !terminated; ++i) {
      terminated = bytes[2 * i] == 0 && bytes[2 * i + 1] == 0;
    }
    if (!terminated) Fail("a STR fetch left no terminator within %u bytes", field.length);
  }
}

void Execute(sqlite3* db, const std::string& text) {
  char* error = nullptr;
  if (sqlite3_exec(db, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    Fail("harness statement failed: %s (%s)", error != nullptr ? error : "?", text.c_str());
  }
}

// The same rows before every input, on the thread's connection.
void ResetRows() {
  if (!g_rowsTouched) return;
  g_rowsTouched = false;
  orv::CatalogConnection* connection = orv::DbmConnect();
  if (connection == nullptr) Fail("no catalog connection");
  sqlite3* db = connection->db();
  if (!sqlite3_get_autocommit(db)) Execute(db, "ROLLBACK;");
  if (db != g_tunedDb) {
    // The harness's own settings for speed; the builder's statements are the same.
    Execute(db, "PRAGMA synchronous=OFF; PRAGMA journal_mode=MEMORY;");
    g_tunedDb = db;
  }
  // A name whose 262-unit cut falls inside a surrogate pair, and long texts.
  const std::string cutName = "/docs/" + std::string(254, 'x') + "\xf0\x9f\x98\x80.txt";
  const std::string longText(300, 'y');
  Execute(db,
          "BEGIN; Delete From Edition; Delete From BackupFile; Delete From sqlite_sequence;"
          "Insert Into BackupFile (ID, FileName) Values (1, '/docs/a.txt'), (2, '/docs/B.TXT'),"
          " (3, '/docs/\xc3\xa9.txt'), (4, '" +
              cutName +
              "'), (5, '');"
              "Insert Into Edition (ID, FileID, TimeStamp, LinkFileID, Size, BackupName, "
              "Operation, Signature, Sha1) Values"
              " (1, 1, 100, 0, 7, 'a.txt20260401080645123', 2, Null,"
              " x'00112233445566778899aabbccddeeff00112233'),"
              " (2, 1, 200, 2, 0, '', 4, 'nosignature', Null),"
              " (3, 4, -1, 0, 0, '" +
              longText + "', 3, '" + longText +
              "', x''),"
              " (4, 3, 2147483647, 0, Null, Null, 2, Null, x'ff');"
              "COMMIT;");
}

// The number of parameters the text compiles to, or -1 when it does not compile.
int ParameterCount(const std::u16string& text) {
  sqlite3_stmt* statement = nullptr;
  const int result = sqlite3_prepare16_v2(orv::DbmConnect()->db(), text.c_str(),
                                          static_cast<int>(text.size() * 2), &statement, nullptr);
  const int count =
      result == SQLITE_OK && statement != nullptr ? sqlite3_bind_parameter_count(statement) : -1;
  sqlite3_finalize(statement);
  return count;
}

void CheckParameters(const char* what, const std::u16string& text, uint32_t expected) {
  const int count = ParameterCount(text);
  if (count >= 0 && static_cast<uint32_t>(count) != expected) {
    Fail("%s: %d parameters for %u bound values in %s", what, count, expected,
         orv::Utf16ToUtf8Lossy(text).c_str());
  }
}

void Compose(orv::fuzz::Reader& in, Buffers& buffers) {
  std::u16string tableStorage;
  const char16_t* table = DecodeTable(in, &tableStorage);
  const FieldList list = DecodeList(in, false, false, buffers);
  const FieldList conditions = DecodeList(in, false, true, buffers);
  const std::u16string select =
      orv::ComposeSelect(table, list.data(), list.count(), conditions.data(), conditions.count());
  const std::u16string insert = orv::ComposeInsert(table, list.data(), list.count());
  const DbmField& assigned = list.fields.empty() ? *list.data() : list.fields[0];
  const DbmField* condition =
      conditions.isNull || conditions.fields.empty() ? nullptr : &conditions.fields[0];
  const std::u16string update = orv::ComposeUpdate(assigned, condition);
  const std::u16string remove = orv::ComposeDelete(conditions.data(), conditions.count());
  if ((select.find(u" Where 1 == 1 ") != std::u16string::npos) == conditions.isNull && list.plain &&
      conditions.plain && tableStorage.empty()) {
    Fail("a select's Where clause does not match its condition list");
  }
  if (!list.plain || !conditions.plain || !tableStorage.empty()) return;
  CheckParameters("select", select, conditions.isNull ? 0 : conditions.present());
  CheckParameters("insert", insert, list.present());
  CheckParameters(
      "update", update,
      (assigned.value != nullptr) + (condition != nullptr && condition->value != nullptr));
  CheckParameters("delete", remove, conditions.isNull ? 0 : conditions.present());
}

void BuildSeeds();

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  BuildSeeds();
  g_root = orv::fuzz::MakeScratchRoot("statement-fuzz");
  g_store = g_root / "store";
  g_storeU16 = orv::fuzz::PathU16(g_store);
  fs::create_directories(g_root / "logs");
  void* output = ::mmap(nullptr, kArenaBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  void* input =
      ::mmap(nullptr, kArenaBytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (output == MAP_FAILED || input == MAP_FAILED) Fail("cannot map the arenas");
  g_outputArena = static_cast<uint8_t*>(output);
  g_inputArena = static_cast<const uint8_t*>(input);
  // Trace level: every bound and fetched value goes through the log formatter too.
  orv::TheLog().Setup(orv::kLogTrace, orv::fuzz::PathU16(g_root / "logs" / "orv.log"));
  if (orv::DbmInitialize(g_storeU16) != 1) Fail("DbmInitialize failed");
  ResetRows();
  std::atexit([] {
    orv::DbmFinalize();
    orv::TheLog().TakeDown();
    orv::fuzz::RemoveTree(g_root);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ResetRows();
  orv::fuzz::Reader in(data, size);
  Buffers buffers;
  std::vector<orv::DbmSelectHandle> kept;
  for (int op = 0; op < kMaxOps && !in.empty(); ++op) {
    const uint8_t kind = in.U8() % 10;
    if (kind != 0 && kind != 1 && kind != 5 && kind != 8) g_rowsTouched = true;
    switch (kind) {
      case 0: {
        std::u16string tableStorage;
        const char16_t* table = DecodeTable(in, &tableStorage);
        const FieldList list = DecodeList(in, true, false, buffers);
        const FieldList conditions = DecodeList(in, false, true, buffers);
        const int rows = in.U8() % 8;
        const uint8_t flags = in.U8();
        const FieldList second = (flags & 2) ? DecodeList(in, true, false, buffers) : FieldList{};
        const FieldList& later = (flags & 2) ? second : list;
        FillOutputs(list);
        orv::DbmSelectHandle handle =
            orv::DbmSelect(table, list.data(), list.count(), conditions.data(), conditions.count());
        CheckOutputs(list);
        for (int row = 0; handle != nullptr && row < rows; ++row) {
          FillOutputs(later);
          const uint32_t fetched = orv::DbmFetchRow(handle, later.data(), later.count());
          CheckOutputs(later);
          if (fetched != 1) break;
        }
        if (handle != nullptr && (flags & 1) && kept.size() < kMaxKeptHandles) {
          kept.push_back(handle);
        } else {
          orv::DbmCloseSelect(handle);
        }
        break;
      }
      case 1: {
        std::u16string tableStorage;
        const char16_t* table = DecodeTable(in, &tableStorage);
        const FieldList list = DecodeList(in, true, false, buffers);
        const FieldList conditions = DecodeList(in, false, true, buffers);
        FillOutputs(list);
        orv::DbmSelectFirst(table, list.data(), list.count(), conditions.data(),
                            conditions.count());
        CheckOutputs(list);
        break;
      }
      case 2: {
        std::u16string tableStorage;
        const char16_t* table = DecodeTable(in, &tableStorage);
        const FieldList list = DecodeList(in, false, false, buffers);
        orv::DbmInsert(table, list.data(), list.count());
        break;
      }
      case 3: {
        FieldList assigned;
        DecodeField(in, false, buffers, assigned);
        FieldList condition;
        if (in.U8() & 1) DecodeField(in, false, buffers, condition);
        orv::DbmUpdate(assigned.fields[0], condition.fields.empty() ? nullptr : condition.data());
        break;
      }
      case 4: {
        const FieldList conditions = DecodeList(in, false, true, buffers);
        orv::DbmDelete(conditions.data(), conditions.count());
        break;
      }
      case 5:
        Compose(in, buffers);
        break;
      case 6:
        orv::DbmExecute(kExecuteTexts[in.U8() % kExecuteTextCount]);
        break;
      case 7:
        orv::DbmDisconnect();
        break;
      case 8: {
        const uint8_t pick = in.U8();
        orv::DbmSelectHandle handle = kept.empty() ? nullptr : kept[pick % kept.size()];
        const int column = in.I32();
        FieldList list;
        DecodeField(in, true, buffers, list);
        FillOutputs(list);
        const DbmField& field = list.fields[0];
        orv::DbmFetchField(handle, column, field.type, field.length, field.value);
        CheckOutputs(list);
        break;
      }
      case 9:
        orv::DbmFinalize();
        if (orv::DbmInitialize(g_storeU16) != 1) Fail("DbmInitialize failed again");
        break;
    }
  }
  for (orv::DbmSelectHandle handle : kept) orv::DbmCloseSelect(handle);
  return 0;
}

namespace {

// Seeds: the lists the engine's own callers build, then odd ones.
void BuildSeeds() {
  using orv::fuzz::Writer;
  // field(flags, name index, type, length index, order, textCase)
  const auto field = [](Writer& w, bool present, uint8_t name, uint8_t type, uint8_t length,
                        uint8_t order = 0, uint8_t textCase = 0) -> Writer& {
    return w.U8(present ? 1 : 0).U8(name).U8(type).U8(length).U8(order).U8(textCase);
  };
  constexpr uint8_t kInt = 0, kStr = 1, kBlob = 2;
  constexpr uint8_t kLen0 = 0, kLen2 = 2, kLen4 = 4, kLen20 = 8, kLen524 = 12, kLen525 = 13,
                    kLenHuge = 20, kLen1 = 1, kLen3 = 3;
  constexpr uint8_t nID = 0, nFileID = 1, nTimeStamp = 2, nBackupName = 5, nSha1 = 9,
                    nFileName = 10, nCount = 12, nIdEq = 17, nLike = 22, nTsGe = 19;
  std::vector<std::pair<std::string, std::string>> seeds;

  Writer listing;  // the editions listing: seven columns, a LIKE and a time bound, newest first
  listing.U8(0).U8(2).U8(7);
  field(listing, true, 11, kInt, kLen4);
  field(listing, true, nFileID, kInt, kLen4);
  field(listing, true, nTimeStamp, kInt, kLen4, 2);
  field(listing, true, 3, kInt, kLen4);
  field(listing, true, 4, kInt, kLen4);
  field(listing, true, nBackupName, kStr, kLen524);
  field(listing, true, nSha1, kBlob, kLen20);
  listing.U8(3);
  field(listing, true, nLike, kStr, kLenHuge).U8(4);  // "/docs/%"
  field(listing, true, nTsGe, kInt, kLen4).U32(0);
  field(listing, false, 20, kInt, kLen4);
  listing.U8(7).U8(0);
  seeds.emplace_back("editions-listing", listing.bytes());

  Writer files;  // the files enumeration, a count, a lookup by name and one by ID
  files.U8(0).U8(0).U8(2);
  field(files, true, nID, kInt, kLen4);
  field(files, true, nFileName, kStr, kLen524);
  files.U8(0xFF).U8(7).U8(0);
  files.U8(1).U8(0).U8(1);
  field(files, true, nCount, kInt, kLen4);
  files.U8(1);
  field(files, false, 14, kInt, kLen0);
  files.U8(1).U8(0).U8(1);
  field(files, true, nID, kInt, kLen4);
  files.U8(1);
  field(files, true, 24, kStr, kLenHuge).U8(0);  // FileName == "/docs/a.txt"
  files.U8(1).U8(0).U8(1);
  field(files, true, nFileName, kStr, kLen20);
  files.U8(1);
  field(files, true, nIdEq, kInt, kLen4).U32(4);
  seeds.emplace_back("files-lookups", files.bytes());

  Writer writes;  // the writer's batch: a file row and an edition row in a transaction
  writes.U8(6).U8(0);
  writes.U8(2).U8(0).U8(2);
  field(writes, false, nID, kInt, kLen4);
  field(writes, true, nFileName, kStr, kLenHuge, 0, 1).U8(0x80 | 3).U16('/').U16('n').U16(0xD800);
  writes.U8(2).U8(1).U8(6);
  field(writes, true, nFileID, kInt, kLen4).U32(1);
  field(writes, true, nTimeStamp, kInt, kLen4).U32(300);
  field(writes, true, 3, kInt, kLen4).U32(0);
  field(writes, true, 4, kInt, kLen4).U32(0);
  field(writes, true, nBackupName, kStr, kLenHuge, 0, 1).U8(5);
  field(writes, true, 7, kInt, kLen4).U32(2);
  writes.U8(6).U8(1);
  seeds.emplace_back("writer-batch", writes.bytes());

  Writer maintenance;  // digest and signer updates, then deletions by ID and by time
  maintenance.U8(3);
  field(maintenance, true, nSha1, kBlob, kLen20).U8(3).U8(1).U8(2).U8(3);
  maintenance.U8(1);
  field(maintenance, true, nIdEq, kInt, kLen4).U32(1);
  maintenance.U8(3);
  field(maintenance, true, 8, kStr, kLenHuge).U8(7);
  maintenance.U8(1);
  field(maintenance, true, nIdEq, kInt, kLen4).U32(2);
  maintenance.U8(4).U8(2);
  field(maintenance, true, nIdEq, kInt, kLen4).U32(3);
  field(maintenance, false, 20, kInt, kLen4);
  maintenance.U8(4).U8(1);
  field(maintenance, false, 20, kInt, kLen4);
  seeds.emplace_back("maintenance-changes", maintenance.bytes());

  Writer sizes;  // destinations of every awkward size, and types no caller uses
  sizes.U8(0).U8(1).U8(6);
  field(sizes, true, nBackupName, kStr, kLen1);
  field(sizes, true, nBackupName, kStr, kLen3);
  field(sizes, true, nBackupName, kStr, kLen525);
  field(sizes, true, nID, kInt, kLen2);
  field(sizes, true, nSha1, kBlob, kLen0);
  field(sizes, true, 8, 7, kLen4);
  sizes.U8(0xFF).U8(7).U8(1);
  sizes.U8(8).U8(0).U32(0xFFFFFFFF);
  field(sizes, true, nBackupName, kStr, kLenHuge);
  sizes.U8(8).U8(0).U32(99);
  field(sizes, true, nID, kInt, kLen0);
  seeds.emplace_back("awkward-sizes", sizes.bytes());

  Writer odd;  // null and empty lists, absent fields that order, unusual names
  odd.U8(5).U8(0xF3).U16('E').U16(0xDC00).U16('\'').U8(2);
  field(odd, true, 33, kInt, kLen4).U32(1);
  field(odd, false, 0xE0, kStr, kLen0);
  odd.U8(0);
  odd.U8(1).U8(1).U8(3);
  field(odd, true, nID, kInt, kLen4);
  field(odd, false, nTimeStamp, kInt, kLen4, 1);
  field(odd, false, 4, kInt, kLen4, 2);
  odd.U8(0xFF);
  odd.U8(7).U8(9);
  odd.U8(4).U8(0xFF);
  seeds.emplace_back("odd-lists", odd.bytes());

  orv::fuzz::WriteSeedsIfAsked(seeds);
}

}  // namespace
