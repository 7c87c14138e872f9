// Feeds arbitrary UTF-16 LIKE patterns to the query exports that take one
// (GetFileEditionCount, FindFirstFileEdition, FindFirstFileEditionEx) over a
// small catalog whose rows are known. Every listed record must be the row it
// names (texts cut as documented), within the bounds, in order, listed once.
// For a pattern SQLite's LIKE reads as given (see ReadAsGiven), the count must
// also equal the number listed, and the editions listed must be exactly those
// whose file name a plain LIKE matches.
//
// An input is flags:u8, then the optional values the flags ask for, then the
// pattern, built from the remaining bytes:
//   flags  bit 0 newest first; bit 1 a "from" bound (i32 follows); bit 2 a
//          "to" bound (i32 follows); bit 3 FindFirstFileEdition instead of
//          the Ex form (newest first, no bounds); bit 4 a null pattern; bit 5
//          GetFileEdition of the first edition listed, with a capacity (u16
//          follows, after the bounds).
//   pattern bytes: 0x01-0x7F that ASCII character; 0x80-0x9F a token of
//          kTokens (wildcards, escapes, case pairs, surrogates, noncharacters);
//          0xA0-0xDF a UTF-16 unit from a following u16 (0 left out), unpaired
//          surrogates included; 0xE0-0xFE the last piece added, b - 0xDF more
//          times; 0xFF the pattern so far, doubled (n & 0xF) + 1 times (n: a
//          following u8), up to kMaxPatternUnits (past SQLite's limit of 50,000
//          bytes for a LIKE pattern); 0x00 nothing.
// Multi-byte values are little-endian.
#include <sqlite3.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "engine/log.h"
#include "fuzz_support.h"
#include "orv/orv.h"
#include "platform/text.h"
#include "query/backup_files.h"

namespace fs = std::filesystem;
using orv::fuzz::Fail;

namespace {

constexpr size_t kMaxPatternUnits = 70000;
// SQLITE_MAX_LIKE_PATTERN_LENGTH: a longer pattern (in UTF-8 bytes) is an error.
constexpr size_t kLikePatternLimit = 50000;
constexpr size_t kNameUnits = 262;  // FileEditionInfo::BackupName

const std::u16string kTokens[] = {
    u"%",
    u"_",
    u"\\",
    u"/docs/",
    u"/other/",
    u".txt",
    u"A_1",
    u"ab1",
    u"\u00e9",
    u"\u00c9",
    u"\U0001F600",
    std::u16string(1, u'\xD83D'),
    std::u16string(1, u'\xDE00'),
    std::u16string(1, u'\xFFFF'),
    std::u16string(1, u'\xFFFE'),
    u"\uFFFD",
    u"\u0080",
    u"\u07FF",
    u"\u0800",
    u"\u017F",
    u"\u212A",
    u"\u0130",
    u"[",
    u"]",
    u"*",
    u"?",
    u"\uFEFF",
    u"%%",
    u"_%",
    u"100%",
    std::u16string(50, u'x'),
    u"\U0010FFFF",
};
constexpr size_t kTokenCount = sizeof(kTokens) / sizeof(kTokens[0]);

// A row of View_FileEdition as SQLite hands it back.
struct Edition {
  int32_t id = 0, fileId = 0, timeStamp = 0, linkFileId = 0, size = 0;
  std::u16string backupName;
  std::string sha1;
  std::u16string fileName;
  std::u32string fileNameCodePoints;  // as LIKE reads them
};
std::vector<Edition> g_editions;
std::map<int32_t, const Edition*> g_byId;

fs::path g_root;

// A text column as stored: read as UTF-8 (SQLite's own UTF-16 reads U+FFFE
// and U+FFFF as U+FFFD), or as SQLite converts it when it is not valid UTF-8.
std::u16string Column16(sqlite3_stmt* statement, int column) {
  const auto* utf8 = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  if (utf8 == nullptr) return {};
  std::u16string text;
  if (orv::Utf8ToUtf16(std::string_view(utf8, sqlite3_column_bytes(statement, column)), &text)) {
    return text;
  }
  const auto* units = static_cast<const char16_t*>(sqlite3_column_text16(statement, column));
  return std::u16string(units, static_cast<size_t>(sqlite3_column_bytes16(statement, column)) / 2);
}

std::u32string CodePoints(std::u16string_view text);

// The catalog's rows, read straight from SQLite: what the exports must report.
void LoadModel() {
  sqlite3* db = orv::DbmConnect()->db();
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db,
                         "Select EditionID, FileID, TimeStamp, LinkFileID, Size, BackupName, Sha1, "
                         "FileName From View_FileEdition",
                         -1, &statement, nullptr) != SQLITE_OK) {
    Fail("cannot read the view: %s", sqlite3_errmsg(db));
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    Edition e;
    e.id = sqlite3_column_int(statement, 0);
    e.fileId = sqlite3_column_int(statement, 1);
    e.timeStamp = sqlite3_column_int(statement, 2);
    e.linkFileId = sqlite3_column_int(statement, 3);
    e.size = sqlite3_column_int(statement, 4);
    e.backupName = Column16(statement, 5);
    if (const void* blob = sqlite3_column_blob(statement, 6)) {
      e.sha1.assign(static_cast<const char*>(blob), sqlite3_column_bytes(statement, 6));
    }
    e.fileName = Column16(statement, 7);
    g_editions.push_back(e);
  }
  sqlite3_finalize(statement);
  for (Edition& e : g_editions) {
    e.fileNameCodePoints = CodePoints(e.fileName);
    g_byId[e.id] = &e;
  }
}

// Code points as SQLite's LIKE reads them: surrogates and U+FFFE/U+FFFF are
// read as U+FFFD.
std::u32string CodePoints(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    if ((c & 0xFFFFF800) == 0xD800 || (c & 0xFFFFFFFE) == 0xFFFE) c = 0xFFFD;
    out.push_back(c);
  }
  return out;
}

bool IsValidUtf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

// True when LIKE reads every character of text as it is: valid UTF-16
// without U+FFFD, U+FFFE or U+FFFF.
bool ReadAsGiven(std::u16string_view text) {
  return IsValidUtf16(text) &&
         text.find_first_of(u"\uFFFD\uFFFE\uFFFF") == std::u16string_view::npos;
}

size_t Utf8Length(const std::u32string& text) {
  size_t bytes = 0;
  for (char32_t c : text) bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  return bytes;
}

char32_t Fold(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// SQLite's LIKE without ESCAPE: "%" any run, "_" one character, ASCII letters
// without regard to case. Greedy with one backtrack point, which is exact for
// these two wildcards.
bool Like(const std::u32string& pattern, const std::u32string& text) {
  size_t p = 0, t = 0, starP = std::u32string::npos, starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == U'%') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && (pattern[p] == U'_' || Fold(pattern[p]) == Fold(text[t]))) {
      ++p;
      ++t;
    } else if (starP != std::u32string::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == U'%') ++p;
  return p == pattern.size();
}

// A pattern made ready for many texts: runs of "%" are one "%", and every
// other character takes exactly one of the text's, so a pattern needing more
// than a text has cannot match it. Keeps Like quick on very long patterns.
struct PreparedPattern {
  explicit PreparedPattern(const std::u32string& pattern) {
    for (char32_t c : pattern) {
      if (c == U'%' && !collapsed.empty() && collapsed.back() == U'%') continue;
      collapsed.push_back(c);
      needed += c != U'%';
    }
  }
  bool Matches(const std::u32string& text) const {
    return needed <= text.size() && Like(collapsed, text);
  }

  std::u32string collapsed;
  size_t needed = 0;
};

// The BackupName a record carries: cut to 261 units, never keeping half a pair.
std::u16string CutName(const std::u16string& name) {
  size_t keep = std::min(name.size(), kNameUnits - 1);
  if (keep < name.size() && keep > 0 && name[keep - 1] >= 0xD800 && name[keep - 1] <= 0xDBFF) {
    --keep;
  }
  return name.substr(0, keep);
}

void CheckRecord(const FileEditionInfo& info) {
  const auto found = g_byId.find(info.EditionID);
  if (found == g_byId.end()) Fail("listed edition %d is not in the catalog", info.EditionID);
  const Edition& e = *found->second;
  if (info.FileID != e.fileId || info.TimeStamp != e.timeStamp || info.LinkFileID != e.linkFileId ||
      info.Size != e.size) {
    Fail("edition %d listed with other values than its row", e.id);
  }
  const size_t units = std::char_traits<char16_t>::length(info.BackupName);
  if (units >= kNameUnits) Fail("BackupName of edition %d not terminated", e.id);
  if (std::u16string(info.BackupName, units) != CutName(e.backupName)) {
    Fail("BackupName of edition %d is not its row's, cut", e.id);
  }
  uint8_t sha1[sizeof(info.Sha1)] = {};
  std::memcpy(sha1, e.sha1.data(), std::min(e.sha1.size(), sizeof(sha1)));
  if (std::memcmp(sha1, info.Sha1, sizeof(sha1)) != 0) Fail("Sha1 of edition %d differs", e.id);
}

// Lists through the exports; the IDs in listing order.
std::vector<int32_t> List(const char16_t* pattern, bool plainForm, uint32_t newestFirst,
                          const int32_t* from, const int32_t* to) {
  std::vector<int32_t> ids;
  FileEditionInfo info;
  std::memset(&info, 0x5A, sizeof(info));
  void* handle = plainForm ? FindFirstFileEdition(pattern, &info)
                           : FindFirstFileEditionEx(pattern, newestFirst, from, to, &info);
  if (handle == nullptr) {
    const FileEditionInfo zero{};
    if (std::memcmp(&info, &zero, sizeof(info)) != 0) Fail("an empty listing left a record");
    return ids;
  }
  int32_t lastTime = 0;
  do {
    CheckRecord(info);
    if (from != nullptr && info.TimeStamp < *from) Fail("edition before the from bound");
    if (to != nullptr && info.TimeStamp > *to) Fail("edition after the to bound");
    if (!ids.empty() && (newestFirst ? info.TimeStamp > lastTime : info.TimeStamp < lastTime)) {
      Fail("listing out of order");
    }
    lastTime = info.TimeStamp;
    ids.push_back(info.EditionID);
    if (ids.size() > g_editions.size()) Fail("the listing does not end");
  } while (FindNextFileEdition(handle, &info) == 1);
  FindFileEditionClose(handle);
  if (std::set<int32_t>(ids.begin(), ids.end()).size() != ids.size()) {
    Fail("an edition was listed twice");
  }
  return ids;
}

std::set<int32_t> Within(const std::set<int32_t>& ids, const int32_t* from, const int32_t* to) {
  std::set<int32_t> kept;
  for (int32_t id : ids) {
    const int32_t time = g_byId.at(id)->timeStamp;
    if ((from == nullptr || time >= *from) && (to == nullptr || time <= *to)) kept.insert(id);
  }
  return kept;
}

void CheckGetFileEdition(int32_t editionId, uint16_t capacity) {
  std::vector<char16_t> buffer(capacity, u'#');
  const uint32_t found = GetFileEdition(static_cast<uint32_t>(editionId), capacity,
                                        capacity ? buffer.data() : nullptr);
  if (found == 0) {
    if (std::any_of(buffer.begin(), buffer.end(), [](char16_t c) { return c != u'#'; })) {
      Fail("a failed GetFileEdition wrote into the buffer");
    }
    return;
  }
  if (std::find(buffer.begin(), buffer.end(), u'\0') == buffer.end()) {
    Fail("GetFileEdition left no terminator within %u units", capacity);
  }
}

std::u16string DecodePattern(orv::fuzz::Reader& in) {
  std::u16string pattern;
  std::u16string piece;  // the last character or token added
  while (!in.empty() && pattern.size() < kMaxPatternUnits) {
    const uint8_t b = in.U8();
    if (b == 0) continue;
    if (b < 0x80) {
      piece.assign(1, static_cast<char16_t>(b));
    } else if (b < 0xA0) {
      piece = kTokens[(b - 0x80) % kTokenCount];
    } else if (b < 0xE0) {
      const char16_t unit = in.U16();
      if (unit == 0) continue;
      piece.assign(1, unit);
    } else if (b < 0xFF) {
      for (int i = 0xDF; i < b; ++i) pattern += piece;
      continue;
    } else {
      const int doublings = (in.U8() & 0xF) + 1;
      for (int i = 0; i < doublings && pattern.size() < kMaxPatternUnits; ++i) pattern += pattern;
      continue;
    }
    pattern += piece;
  }
  if (pattern.size() > kMaxPatternUnits) pattern.resize(kMaxPatternUnits);
  return pattern;
}

void Populate() {
  const std::u16string cutPair = u"/docs/" + std::u16string(254, u'x') + u"\U0001F600.txt";
  const std::u16string files[] = {
      u"/docs/A_1.txt",
      u"/docs/ab1.txt",
      u"/docs/AB1.TXT",
      u"/docs/100%.txt",
      u"/docs/back\\slash.txt",
      u"/docs/\u00e9.txt",
      u"/docs/\u00c9.txt",
      u"/docs/\U0001F600.txt",
      u"/docs/[x]*?.txt",
      u"/other/c.txt",
      u"/",
      u"",
      u"/docs/" + std::u16string(300, u'x') + u".txt",
      cutPair,
      u"/docs/\u017F.txt",
      u"/docs/\u212A.txt",
      u"/docs/k.txt",
      u"/docs/lone\xD800x.txt",
      u"/docs/end\xDC00",
      u"/docs/\uFFFF\uFFFD.txt",
      u"\uFEFF/docs/bom.txt",
      u"\uFFFE/docs/swapped.txt",
  };
  for (const std::u16string& name : files) {
    if (orv::query::InsertBackupFile(name.c_str()) != 1) Fail("cannot add a file row");
    // File names are stored as given; only invalid text is SQLite's to convert.
    const std::optional<std::u16string> stored =
        orv::query::BackupFileName(orv::query::FindBackupFileId(name.c_str()));
    if (IsValidUtf16(name) && stored != name) Fail("a file name was not stored as given");
  }
  const std::u16string names[] = {
      u"a.txt20260401080645123",
      std::u16string(300, u'b'),
      std::u16string(260, u'c') + u"\U0001F600",
      u"..",
      u"",
      u"a/b",
  };
  const int32_t times[] = {100, 200, 200, -5, 0, INT_MAX, INT_MIN, 1700000000};
  const char sha1[21] = "0123456789abcdefghij";
  int k = 0;
  for (int32_t fileId = 1; fileId <= static_cast<int32_t>(std::size(files)) + 1; ++fileId) {
    // The last file ID has no row: its edition stays out of the view.
    for (int n = 0; n <= fileId % 3; ++n, ++k) {
      int32_t time = times[k % std::size(times)];
      int32_t link = k % 7 == 3 ? (fileId % 5) + 1 : 0;
      int32_t size = k;
      int32_t operation = 2 + k % 3;
      const std::u16string& backupName = names[k % std::size(names)];
      const orv::DbmField fields[] = {
          {u"FileID", orv::DbmType::INT, &fileId, 4},
          {u"TimeStamp", orv::DbmType::INT, &time, 4},
          {u"LinkFileID", orv::DbmType::INT, &link, 4},
          {u"Size", orv::DbmType::INT, &size, 4},
          {u"BackupName", orv::DbmType::STR, const_cast<char16_t*>(backupName.c_str()), 0xFFFFFFFF,
           0, orv::DbmTextCase::kFileSystemName},
          {u"Operation", orv::DbmType::INT, &operation, 4},
          {u"Sha1", orv::DbmType::BLOB, k % 2 ? const_cast<char*>(sha1) : nullptr,
           static_cast<uint32_t>(k % 4 == 1 ? 20 : 7)},
      };
      if (orv::DbmInsert(u"Edition", fields, 7) != 1) Fail("cannot add an edition row");
    }
  }
}

void BuildSeeds();

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  BuildSeeds();
  g_root = orv::fuzz::MakeScratchRoot("like-fuzz");
  fs::create_directories(g_root / "logs");
  orv::TheLog().Setup(orv::kLogStoreFault, orv::fuzz::PathU16(g_root / "logs" / "orv.log"));
  if (orv::DbmInitialize(orv::fuzz::PathU16(g_root / "store")) != 1) Fail("DbmInitialize failed");
  Populate();
  LoadModel();
  if (g_editions.size() < 20) Fail("the catalog was not populated");
  // The enumeration of files agrees with its count.
  BackupFileInfo file;
  uint32_t files = 0;
  if (void* handle = FindFirstBackupFile(&file)) {
    do {
      ++files;
    } while (FindNextBackupFile(handle, &file) == 1);
    FindBackupFileClose(handle);
  }
  if (files != GetBackupFileCount() || files == 0) Fail("file count and enumeration differ");
  std::atexit([] {
    orv::DbmFinalize();
    orv::TheLog().TakeDown();
    orv::fuzz::RemoveTree(g_root);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orv::fuzz::Reader in(data, size);
  const uint8_t flags = in.U8();
  const uint32_t newestFirst = flags & 1;
  std::optional<int32_t> from, to;
  if (flags & 2) from = in.I32();
  if (flags & 4) to = in.I32();
  const bool plainForm = (flags & 8) != 0;
  const bool nullPattern = (flags & 16) != 0;
  const std::optional<uint16_t> capacity =
      (flags & 32) ? std::optional<uint16_t>(in.U16()) : std::nullopt;
  const std::u16string patternText = DecodePattern(in);
  const char16_t* pattern = nullPattern ? nullptr : patternText.c_str();
  const int32_t* fromBound = plainForm || !from ? nullptr : &*from;
  const int32_t* toBound = plainForm || !to ? nullptr : &*to;
  const bool bounded = fromBound != nullptr || toBound != nullptr;

  const uint32_t count = GetFileEditionCount(pattern);
  const std::vector<int32_t> listed =
      List(pattern, plainForm, plainForm ? 1 : newestFirst, fromBound, toBound);
  const std::set<int32_t> listedSet(listed.begin(), listed.end());
  // Beyond the records themselves, only a pattern SQLite's LIKE reads as
  // given is checked: it reads unpaired surrogates, U+FFFE and U+FFFF as
  // U+FFFD, while the file-name index it may use instead compares the stored
  // bytes, so for such a pattern the answer depends on the query plan.
  if (!nullPattern && !ReadAsGiven(patternText)) {
    if (capacity && !listed.empty()) CheckGetFileEdition(listed.front(), *capacity);
    return 0;
  }
  if (!bounded && count != listed.size()) {
    Fail("GetFileEditionCount says %u, the listing has %zu", count, listed.size());
  }
  const std::u32string codePoints = CodePoints(patternText);
  const bool tooLong = !nullPattern && Utf8Length(codePoints) > kLikePatternLimit;
  const PreparedPattern prepared(codePoints);
  std::set<int32_t> matching;
  for (const Edition& e : g_editions) {
    if (nullPattern || (!tooLong && prepared.Matches(e.fileNameCodePoints))) matching.insert(e.id);
  }
  if (count != matching.size()) {
    Fail("GetFileEditionCount says %u, %zu editions match", count, matching.size());
  }
  if (listedSet != Within(matching, fromBound, toBound)) {
    Fail("the listing is not the editions that match (%zu listed)", listed.size());
  }
  if (capacity && !listed.empty()) CheckGetFileEdition(listed.front(), *capacity);
  return 0;
}

namespace {

void BuildSeeds() {
  using orv::fuzz::Writer;
  constexpr uint8_t kPercent = 0x80, kUnderscore = 0x81, kDocs = 0x83, kTxt = 0x85, kEAcute = 0x88,
                    kSmile = 0x8A, kHigh = 0x8B, kLow = 0x8C, kNonChar = 0x8D, kKelvin = 0x94;
  std::vector<std::pair<std::string, std::string>> seeds;
  seeds.emplace_back("everything", Writer().U8(0).U8(kPercent).bytes());
  seeds.emplace_back("null-pattern", Writer().U8(16).bytes());
  seeds.emplace_back("folder-prefix", Writer().U8(1).U8(kDocs).U8(kPercent).bytes());
  seeds.emplace_back("one-character",
                     Writer().U8(0).U8(kDocs).U8('a').U8(kUnderscore).U8('1').U8(kTxt).bytes());
  seeds.emplace_back("case-and-accents",
                     Writer().U8(8).U8(kPercent).U8(kEAcute).U8(kPercent).bytes());
  seeds.emplace_back("supplementary",
                     Writer().U8(0).U8(kDocs).U8(kUnderscore).U8(kTxt).U8(kSmile).bytes());
  seeds.emplace_back("wildcard-as-text",
                     Writer().U8(0).U8(kPercent).U8('1').U8('0').U8('0').U8(kPercent).bytes());
  seeds.emplace_back("unpaired-surrogates",
                     Writer().U8(0).U8(kPercent).U8(kHigh).U8('x').U8(kLow).U8(kPercent).bytes());
  seeds.emplace_back("noncharacters",
                     Writer().U8(0).U8(kPercent).U8(kNonChar).U8(kPercent).bytes());
  seeds.emplace_back("kelvin-is-not-k", Writer().U8(0).U8(kPercent).U8(kKelvin).U8(kTxt).bytes());
  seeds.emplace_back("time-bounds",
                     Writer().U8(1 | 2 | 4 | 32).U32(0).U32(200).U16(300).U8(kPercent).bytes());
  seeds.emplace_back("oldest-first-to-bound", Writer().U8(4).U32(100).U8(kPercent).bytes());
  // 2^16 units of "%_": past SQLite's pattern limit.
  seeds.emplace_back("very-long",
                     Writer().U8(0).U8(kPercent).U8(kUnderscore).U8(0xFF).U8(15).bytes());
  seeds.emplace_back(
      "long-but-allowed",
      Writer().U8(0).U8(kPercent).U8(kUnderscore).U8(0xFF).U8(12).U8(kPercent).bytes());
  seeds.emplace_back("repeated-piece",
                     Writer().U8(0).U8(kPercent).U8('a').U8(0xE5).U8(kPercent).bytes());
  seeds.emplace_back("raw-units",
                     Writer().U8(32).U16(600).U8(0xA0).U16(0xD800).U8(0xA0).U16(0x0025).bytes());
  orv::fuzz::WriteSeedsIfAsked(seeds);
}

}  // namespace
