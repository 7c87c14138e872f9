// Routes arbitrary event records through NotifyEvent on a started engine whose
// policy protects a small tree, and checks what the engine may do to the file
// system: it only reads the files events name, so the tree and a canary beside
// it never change, and nothing new appears outside the backup store but the
// copies that the input's opens asked for.
//
// An input is a sequence of events (at most kMaxEvents), each:
//   op:u8      low 3 bits: 0,1 open; 2 commit; 3 close; 4 rename; 5 delete;
//              6 FileOperation from a u32; 7 FileOperation, then RecordType,
//              from two u32 (any values). Bit 3: NotifyEvent(nullptr) instead.
//   access:u8  below 0xF0 picks from kAccess; else DesiredAccess is a u32.
//   misc:u8    bit 0 FILE_DELETE_ON_CLOSE; bit 1 CreateOptions from a u32;
//              bit 2 CLOSE_FLAG_CHANGED; bit 3 CloseFlags from a u8; bit 4
//              EventTime from 8 x u16; bit 5 a TargetPath follows (else "",
//              as hosts fill it).
//   FilePath, then TargetPath when misc bit 5, each a path:
//     sel:u8  0 null; 1 ""; 2..0x5F tree + "/" + kNames[sel - 2];
//             0x60..0x7F tree + (sel & 0x1F) + 1 tokens, each a u8 picking
//             from kTokens; 0x80..0xFF tree + "/" + (sel & 0x7F) UTF-16 units
//             (u16 each; a 0 unit is left out), unpaired surrogates included.
// Multi-byte values are little-endian. Raw values are read in the order
// listed: op's, access's, misc's, then the paths.
//
// The engine runs with test timings (a writer cycle of a few milliseconds) and
// is restarted on an empty store every kRestartEvery inputs or when the store
// grows, so memory and disk stay bounded. Every kCatalogCheckEvery inputs, at
// each restart and at exit (after Stop's final batch) the catalog is checked
// too: every copy an edition names exists, every edition names a file row.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "capture/backup_module.h"
#include "engine/timings.h"
#include "fuzz_support.h"
#include "orv/orv.h"
#include "platform/text.h"

namespace fs = std::filesystem;
using orv::fuzz::Fail;

namespace {

constexpr int kMaxEvents = 64;
constexpr int kRestartEvery = 2000;
constexpr int kCatalogCheckEvery = 256;
constexpr size_t kMaxStoreCopies = 400;
constexpr uint64_t kMaxStoreBytes = 8u << 20;
constexpr size_t kStampDigits = 17;  // yyyymmddhhmmssmmm

constexpr uint32_t kAccess[] = {
    ORV_GENERIC_WRITE,
    ORV_FILE_WRITE_DATA,
    ORV_FILE_APPEND_DATA,
    ORV_FILE_WRITE_EA,
    ORV_DELETE,
    ORV_DELETE | ORV_SYNCHRONIZE,
    ORV_GENERIC_WRITE | ORV_DELETE,
    ORV_GENERIC_WRITE | ORV_SYNCHRONIZE,
    ORV_FILE_WRITE_DATA | ORV_DELETE | ORV_SYNCHRONIZE,
    0x80000000u,  // read only
    0,
    0x0012019Fu,
    0xFFFFFFFFu,
};

// Names inside the tree, some of them leading out of it.
const char16_t* const kNames[] = {
    u"a.txt",
    u"b.doc",
    u"Upper.TXT",
    u"upper.txt",
    u"space name.txt",
    u"\u00e9.txt",
    u"\U0001F600.txt",
    u"sub/c.bin",
    u"sub",
    u"sub/",
    u"link.txt",
    u"fifo",
    u"empty.txt",
    u"missing.txt",
    u"../outside/canary.txt",
    u"sub/../a.txt",
    u"./a.txt",
    u"a.txt/",
    u"/a.txt",
    u"a.txt/..",
    u"",
    u"sub/deeper/d.txt",
    u"dirlink/canary.txt",
    u"../store/BackupDB.s3db",
    u"../logs/orv.log",
    u"../policy/lpolicy.xml",
    u"\uFEFFbom.txt",
    u"\uFFFEswapped.txt",
};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

const std::u16string kTokens[] = {
    u"/",
    u"..",
    u".",
    u"a.txt",
    u"sub",
    u"outside",
    u"canary.txt",
    u"store",
    u"Backup",
    u"BackupDB.s3db",
    u"x",
    std::u16string(1, u'\xD800'),
    std::u16string(1, u'\xDC00'),
    u"\U0001F600",
    u"\u00e9",
    u"\\",
    u"%",
    u"_",
    u"*",
    u" ",
    u".orv-partial-1",
    std::u16string(100, u'n'),
    u"link.txt",
    u"fifo",
    u"dirlink",
    u"tree",
    u"~",
    std::u16string(1, u'\xFFFF'),
    std::u16string(1, u'\x0080'),
    u"\uFEFF",
    std::u16string(1, u'\xFFFE'),
};
constexpr size_t kTokenCount = sizeof(kTokens) / sizeof(kTokens[0]);

struct Paths {
  fs::path root, tree, outside, store, logs, policy;
  std::u16string treeU16;
};
Paths g_paths;

// What the engine must leave alone, as lstat and the content show it.
struct EntryState {
  mode_t mode = 0;
  ino_t inode = 0;
  nlink_t links = 0;
  off_t size = 0;
  int64_t modifiedNs = 0, changedNs = 0;
  std::string content;  // regular files: the bytes; symbolic links: the target

  bool operator==(const EntryState& o) const {
    return mode == o.mode && inode == o.inode && links == o.links && size == o.size &&
           modifiedNs == o.modifiedNs && changedNs == o.changedNs && content == o.content;
  }
};
using TreeState = std::map<std::string, EntryState>;

std::string ReadAll(const fs::path& path) {
  // O_NONBLOCK: only regular files get here, but never hang if that changes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return "<unreadable>";
  std::string content;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) content.append(buffer, n);
  ::close(fd);
  return content;
}

// Every entry below directory (symbolic links not followed), by relative path.
// Without content, a change still shows: any write or link moves the ctime.
TreeState Capture(const fs::path& directory, bool withContent) {
  TreeState state;
  std::error_code error;
  for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    EntryState entry;
    entry.mode = st.st_mode;
    entry.inode = st.st_ino;
    entry.links = st.st_nlink;
    entry.size = S_ISDIR(st.st_mode) ? 0 : st.st_size;
    entry.modifiedNs = st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec;
    entry.changedNs = st.st_ctim.tv_sec * 1000000000ll + st.st_ctim.tv_nsec;
    if (S_ISREG(st.st_mode)) {
      if (withContent) entry.content = ReadAll(it->path());
    } else if (S_ISLNK(st.st_mode)) {
      entry.content = fs::read_symlink(it->path(), error).string();
    }
    state[it->path().string().substr(directory.string().size())] = entry;
  }
  return state;
}

std::set<std::string> ListNames(const fs::path& directory) {
  std::set<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  ::closedir(dir);
  return names;
}

// What the engine must leave alone, whole and (checked after every input) without content.
struct Protected {
  fs::path directory;
  const char* what;
  TreeState whole, stat;
};
std::vector<Protected> g_protected;

void CheckProtected(bool withContent) {
  for (const Protected& p : g_protected) {
    if (Capture(p.directory, withContent) != (withContent ? p.whole : p.stat)) {
      Fail("%s changed", p.what);
    }
  }
}

std::set<std::string> g_copies;  // the snapshot directory's names after the last input
uint64_t g_copyBytes = 0;        // their sizes (a copy never changes once named)
int g_inputsSinceRestart = 0;

void SetString(ConfigItem item, const fs::path& value) {
  std::u16string text = orv::fuzz::PathU16(value);
  ConfigStringBuffer buffer{text.data(), nullptr};
  if (ChangeConfigure(item, &buffer) != ENG_OK) Fail("ChangeConfigure(%u) failed", item);
}

void StartEngine() {
  if (Initialize() != ENG_OK || Start() != ENG_OK) Fail("the engine did not start");
  if (orv::TheBackupModule().policyKit().empty()) Fail("the policy was not loaded");
  g_copies.clear();
  g_copyBytes = 0;
  g_inputsSinceRestart = 0;
}

// Every row that names a copy names one in the snapshot directory, and every
// edition names a file: maintenance never runs, and the engine removes only the
// copies no edition will ever name.
void CheckCatalog() {
  const fs::path catalog = g_paths.store / "BackupDB.s3db";
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(catalog.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    Fail("cannot open the catalog %s", catalog.c_str());
  }
  sqlite3_busy_timeout(db, 10000);  // the writer may be committing
  const std::set<std::string> copies = ListNames(g_paths.store / "Backup");
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db,
                         "Select BackupName From Edition Where BackupName Is Not Null And "
                         "BackupName <> ''",
                         -1, &statement, nullptr) != SQLITE_OK) {
    Fail("cannot read Edition: %s", sqlite3_errmsg(db));
  }
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    if (copies.count(name) == 0) Fail("an edition names the missing copy %s", name);
  }
  sqlite3_finalize(statement);
  if (sqlite3_prepare_v2(db,
                         "Select count(*) From Edition Where FileID Not In (Select ID From "
                         "BackupFile) Or (LinkFileID <> 0 And LinkFileID Not In (Select ID From "
                         "BackupFile))",
                         -1, &statement, nullptr) != SQLITE_OK ||
      sqlite3_step(statement) != SQLITE_ROW) {
    Fail("cannot check Edition: %s", sqlite3_errmsg(db));
  }
  if (sqlite3_column_int(statement, 0) != 0) Fail("an edition names a file that has no row");
  sqlite3_finalize(statement);
  sqlite3_close(db);
}

void StopEngine() {
  if (Stop() != ENG_OK || Finalize() != ENG_OK) Fail("the engine did not stop");
}

void Restart() {
  StopEngine();
  CheckProtected(true);
  CheckCatalog();
  orv::fuzz::RemoveTree(g_paths.store);
  StartEngine();
}

void Cleanup() {
  StopEngine();
  // After the final batch, so that a run of a single input is checked whole too.
  CheckProtected(true);
  CheckCatalog();
  orv::fuzz::RemoveTree(g_paths.root);
}

// The copy names an input may make: each open's base name, shortened to fit
// a file name with the stamp, in UTF-8 as on disk.
bool NamedByInput(const std::string& copy, const std::vector<std::string>& baseNames) {
  if (copy.size() <= kStampDigits) return false;
  const std::string stamp = copy.substr(copy.size() - kStampDigits);
  if (stamp.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string base = copy.substr(0, copy.size() - kStampDigits);
  for (const std::string& named : baseNames) {
    if (named.compare(0, base.size(), base) == 0) return true;
  }
  return false;
}

void CheckFileSystem(const std::vector<std::string>& openedBaseNames) {
  CheckProtected(false);

  const std::set<std::string> top = ListNames(g_paths.root);
  if (top != std::set<std::string>{"logs", "outside", "policy", "store", "tree"}) {
    Fail("something appeared beside the tree (%zu entries)", top.size());
  }
  for (const std::string& name : ListNames(g_paths.logs)) {
    if (name != "orv.log" && name != "orv.log.old") Fail("unexpected log file %s", name.c_str());
  }
  // A journal generation is "journal." and its number.
  const auto journal = [](const std::string& name) {
    return name.size() > 8 && name.compare(0, 8, "journal.") == 0 &&
           name.find_first_not_of("0123456789", 8) == std::string::npos;
  };
  for (const std::string& name : ListNames(g_paths.store)) {
    if (name != "Backup" && name != "BackupDB.s3db" && name != "BackupDB.s3db-journal" &&
        !journal(name)) {
      Fail("unexpected file in the store: %s", name.c_str());
    }
  }

  const fs::path snapshots = g_paths.store / "Backup";
  const std::set<std::string> copies = ListNames(snapshots);
  // A copy may go (its open ended without a change); whether one an edition
  // names stayed is CheckCatalog's to see.
  for (const std::string& name : copies) {
    if (g_copies.count(name) != 0) continue;
    struct stat st {};
    if (::lstat((snapshots / name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
      Fail("%s in the snapshot directory is not a regular file", name.c_str());
    }
    if (!NamedByInput(name, openedBaseNames)) {
      Fail("the copy %s was not asked for by any open of this input", name.c_str());
    }
    g_copyBytes += static_cast<uint64_t>(st.st_size);
  }
  g_copies = copies;
  if (copies.size() > kMaxStoreCopies || g_copyBytes > kMaxStoreBytes) {
    g_inputsSinceRestart = kRestartEvery;
  }
}

std::u16string DecodePath(orv::fuzz::Reader& in, bool* isNull) {
  const uint8_t sel = in.U8();
  *isNull = sel == 0;
  if (sel <= 1) return u"";
  std::u16string path = g_paths.treeU16;
  if (sel < 0x60) {
    path += u'/';
    path += kNames[(sel - 2) % kNameCount];
  } else if (sel < 0x80) {
    const int count = (sel & 0x1F) + 1;
    for (int i = 0; i < count; ++i) path += kTokens[in.U8() % kTokenCount];
  } else {
    path += u'/';
    const int count = sel & 0x7F;
    for (int i = 0; i < count; ++i) {
      const char16_t unit = in.U16();
      if (unit != 0) path += unit;
    }
  }
  return path;
}

// The base name of an open's path as the copy's name starts, in UTF-8; empty
// when no copy can be named after it.
std::string BaseNameUtf8(const std::u16string& path) {
  const size_t slash = path.rfind(u'/');
  std::string base;
  if (slash == std::u16string::npos || !orv::Utf16ToUtf8(path.substr(slash + 1), &base)) return {};
  return base;
}

void BuildSeeds();

// The engine keeps state from one input to the next (pending entries, copies)
// and its writer thread allocates meanwhile, so most inputs end with more
// allocations than releases, and libFuzzer would run a whole LeakSanitizer
// pass after each new one: most of the run's time. Unless the command line
// says otherwise, -detect_leaks=0 is added (libFuzzer reads its flags after
// LLVMFuzzerInitialize).
void TurnOffPerInputLeakChecks(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    if (std::strncmp((*argv)[i], "-detect_leaks=", 14) == 0) return;
  }
  static std::vector<char*> arguments;
  static char flag[] = "-detect_leaks=0";
  arguments.assign(*argv, *argv + *argc);
  arguments.push_back(flag);
  arguments.push_back(nullptr);
  *argv = arguments.data();
  *argc += 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  BuildSeeds();
  TurnOffPerInputLeakChecks(argc, argv);
  g_paths.root = orv::fuzz::MakeScratchRoot("notify-fuzz");
  g_paths.tree = g_paths.root / "tree";
  g_paths.outside = g_paths.root / "outside";
  g_paths.store = g_paths.root / "store";
  g_paths.logs = g_paths.root / "logs";
  g_paths.policy = g_paths.root / "policy";
  g_paths.treeU16 = orv::fuzz::PathU16(g_paths.tree);
  for (const fs::path& dir : {g_paths.tree, g_paths.tree / "sub" / "deeper", g_paths.outside,
                              g_paths.store, g_paths.logs, g_paths.policy}) {
    fs::create_directories(dir);
  }
  using orv::fuzz::WriteFile;
  WriteFile(g_paths.tree / "a.txt", "alpha\n");
  WriteFile(g_paths.tree / "b.doc", "bravo: a document\n");
  WriteFile(g_paths.tree / "Upper.TXT", "UPPER\n");
  WriteFile(g_paths.tree / "space name.txt", "space\n");
  WriteFile(g_paths.tree / "\xc3\xa9.txt", "accent\n");
  WriteFile(g_paths.tree / "\xf0\x9f\x98\x80.txt", "smile\n");
  WriteFile(g_paths.tree / "empty.txt", "");
  WriteFile(g_paths.tree /
                "\xef\xbb\xbf"
                "bom.txt",
            "a name that starts with U+FEFF\n");
  WriteFile(g_paths.tree / "sub" / "c.bin", std::string("\0\1\2\3binary", 10));
  WriteFile(g_paths.tree / "sub" / "deeper" / "d.txt", "deep\n");
  WriteFile(g_paths.outside / "canary.txt", "canary: never changed, never removed\n");
  fs::create_symlink("../outside/canary.txt", g_paths.tree / "link.txt");
  fs::create_directory_symlink("../outside", g_paths.tree / "dirlink");
  if (::mkfifo((g_paths.tree / "fifo").c_str(), 0600) != 0) Fail("mkfifo failed");
  WriteFile(g_paths.policy / "lpolicy.xml",
            "<p><g><f name=\"Location\" hitaction=\"Backup\" missaction=\"Ignore\"><v v=\"" +
                g_paths.tree.string() + "/\"/></f></g></p>");
  for (auto [directory, what] : {std::pair{g_paths.tree, "the protected tree"},
                                 std::pair{g_paths.outside, "the canary outside the tree"},
                                 std::pair{g_paths.policy, "the policy directory"}}) {
    g_protected.push_back({directory, what, Capture(directory, true), Capture(directory, false)});
  }

  SetString(CONFIG_BACKUP_STORE, g_paths.store);
  SetString(CONFIG_LOG_DIRECTORY, g_paths.logs);
  SetString(CONFIG_POLICY_DIRECTORY, g_paths.policy);
  uint32_t level = 0x1000;  // copy failures and SQL errors: formats the input's paths
  ChangeConfigure(CONFIG_LOG_LEVEL, &level);
  orv::EngineTimings timings;
  timings.writerPeriod = std::chrono::milliseconds(5);
  timings.pendingExpiry = std::chrono::milliseconds(10);
  timings.catalogBusyTimeout = std::chrono::milliseconds(50);
  // Maintenance never runs: it may remove copies, and the checks rely on it not doing so.
  timings.postCheckerSecond = std::chrono::hours(1);
  // Durability is not under test; a file-system sync per batch would only slow the run.
  timings.syncCopiesBeforeCommit = false;
  orv::SetTimingsForTesting(timings);
  StartEngine();

  // The set-up must make copies, or the run would test nothing.
  const std::u16string probe = g_paths.treeU16 + u"/a.txt";
  FileEventRecord open{};
  open.RecordType = RECORD_TYPE_FILE;
  open.FileOperation = FILE_OP_OPEN;
  open.DesiredAccess = ORV_GENERIC_WRITE;
  open.FilePath = probe.c_str();
  open.TargetPath = u"";
  if (NotifyEvent(&open) != ENG_OK || ListNames(g_paths.store / "Backup").empty()) {
    Fail("an open for writing inside the tree made no copy");
  }
  Restart();
  // Registered once every process-wide object exists, so it runs before their destructors.
  std::atexit(Cleanup);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (++g_inputsSinceRestart > kRestartEvery) Restart();
  if (g_inputsSinceRestart % kCatalogCheckEvery == 0) CheckCatalog();
  orv::fuzz::Reader in(data, size);
  std::deque<std::u16string> texts;  // the paths stay put while events refer to them
  std::vector<std::string> openedBaseNames;
  for (int event = 0; event < kMaxEvents && !in.empty(); ++event) {
    FileEventRecord record{};
    record.RecordType = RECORD_TYPE_FILE;
    record.EventTime = {2026, 4, 3, 1, 8, 6, 45, 123};
    const uint8_t op = in.U8();
    static constexpr uint32_t kOperations[] = {FILE_OP_OPEN,  FILE_OP_OPEN,   FILE_OP_COMMIT,
                                               FILE_OP_CLOSE, FILE_OP_RENAME, FILE_OP_DELETE};
    if ((op & 7) < 6) {
      record.FileOperation = kOperations[op & 7];
    } else {
      record.FileOperation = in.U32();
      if ((op & 7) == 7) record.RecordType = in.U32();
    }
    const uint8_t access = in.U8();
    record.DesiredAccess =
        access < 0xF0 ? kAccess[access % (sizeof(kAccess) / sizeof(kAccess[0]))] : in.U32();
    const uint8_t misc = in.U8();
    if (misc & 1) record.CreateOptions = ORV_FILE_DELETE_ON_CLOSE;
    if (misc & 2) record.CreateOptions = in.U32();
    if (misc & 4) record.CloseFlags = ORV_CLOSE_FLAG_CHANGED;
    if (misc & 8) record.CloseFlags = in.U8();
    if (misc & 16) {
      FileEventTime& t = record.EventTime;
      for (uint16_t* field : {&t.Year, &t.Month, &t.DayOfWeek, &t.Day, &t.Hour, &t.Minute,
                              &t.Second, &t.Milliseconds}) {
        *field = in.U16();
      }
    }
    bool isNull = false;
    texts.push_back(DecodePath(in, &isNull));
    record.FilePath = isNull ? nullptr : texts.back().c_str();
    record.TargetPath = u"";
    if (misc & 32) {
      texts.push_back(DecodePath(in, &isNull));
      record.TargetPath = isNull ? nullptr : texts.back().c_str();
    }
    if (op & 8) {
      if (NotifyEvent(nullptr) != ENG_E_INVALID_ARGUMENT) Fail("a null record was accepted");
      continue;
    }
    if (record.RecordType == RECORD_TYPE_FILE && record.FileOperation == FILE_OP_OPEN &&
        record.FilePath != nullptr) {
      const std::string base = BaseNameUtf8(record.FilePath);
      if (!base.empty()) openedBaseNames.push_back(base);
    }
    if (NotifyEvent(&record) != ENG_OK) Fail("a record was refused by a started engine");
  }
  CheckFileSystem(openedBaseNames);
  return 0;
}

namespace {

// Seeds: the event shapes hosts send, then hostile ones.
void BuildSeeds() {
  using orv::fuzz::Writer;
  const auto name = [](Writer& w, const char16_t* wanted) -> Writer& {
    for (size_t i = 0; i < kNameCount; ++i) {
      if (std::u16string_view(kNames[i]) == wanted) return w.U8(static_cast<uint8_t>(2 + i));
    }
    Fail("no such starting input");
  };
  const auto tokens = [](Writer& w, std::initializer_list<size_t> picks) -> Writer& {
    w.U8(static_cast<uint8_t>(0x60 + picks.size() - 1));
    for (size_t pick : picks) w.U8(static_cast<uint8_t>(pick));
    return w;
  };
  const auto raw = [](Writer& w, std::u16string_view units) -> Writer& {
    w.U8(static_cast<uint8_t>(0x80 | units.size()));
    for (char16_t unit : units) w.U16(unit);
    return w;
  };
  constexpr uint8_t kOpen = 0, kCommit = 2, kClose = 3, kRename = 4, kDelete = 5;
  constexpr uint8_t kWrite = 0, kDeleteAccess = 4, kDeleteSync = 5, kReadOnly = 9;
  constexpr uint8_t kChanged = 4, kWithTarget = 32;
  std::vector<std::pair<std::string, std::string>> seeds;

  Writer edit;  // an editor saves in place
  name(edit.U8(kOpen).U8(kWrite).U8(0), u"a.txt");
  name(edit.U8(kClose).U8(0).U8(kChanged), u"a.txt");
  seeds.emplace_back("edit-in-place", edit.bytes());

  Writer unchanged;  // opened for writing, closed unchanged; then a commit without an open
  name(unchanged.U8(kOpen).U8(1).U8(0), u"b.doc");
  name(unchanged.U8(kClose).U8(0).U8(0), u"b.doc");
  name(unchanged.U8(kCommit).U8(0).U8(0), u"Upper.TXT");
  seeds.emplace_back("unchanged-close", unchanged.bytes());

  Writer deletion;  // delete-on-close, then a deletion confirmed by its delete event
  name(deletion.U8(kOpen).U8(kWrite).U8(1), u"sub/c.bin");
  name(deletion.U8(kOpen).U8(kDeleteAccess).U8(0), u"\u00e9.txt");
  name(deletion.U8(kClose).U8(0).U8(0), u"\u00e9.txt");
  name(deletion.U8(kDelete).U8(0).U8(0), u"\u00e9.txt");
  name(deletion.U8(kOpen).U8(kDeleteSync).U8(0), u"empty.txt");
  seeds.emplace_back("deletions", deletion.bytes());

  Writer rename;  // a save by rename: open, write, rename over the original
  name(rename.U8(kOpen).U8(kWrite).U8(0), u"\U0001F600.txt");
  name(name(rename.U8(kRename).U8(0).U8(kWithTarget), u"\U0001F600.txt"), u"space name.txt");
  name(rename.U8(kCommit).U8(0).U8(0), u"\U0001F600.txt");
  seeds.emplace_back("rename", rename.bytes());

  Writer outside;  // names that leave the tree or are not regular files
  for (const char16_t* n :
       {u"../outside/canary.txt", u"link.txt", u"fifo", u"sub", u"dirlink/canary.txt",
        u"sub/../a.txt", u"a.txt/..", u"../store/BackupDB.s3db", u"missing.txt"}) {
    name(outside.U8(kOpen).U8(kWrite).U8(0), n);
  }
  tokens(outside.U8(kOpen).U8(kWrite).U8(0), {0, 1, 0, 5, 0, 6});  // /../outside/canary.txt
  seeds.emplace_back("leaving-the-tree", outside.bytes());

  Writer hostile;  // invalid text, null paths, values no host sends
  raw(hostile.U8(kOpen).U8(kWrite).U8(0), u"a\xD800.txt");
  raw(hostile.U8(kOpen).U8(kWrite).U8(0), u"\xDC00");
  hostile.U8(kOpen).U8(kWrite).U8(0).U8(0);                         // null FilePath
  name(hostile.U8(kRename).U8(0).U8(kWithTarget), u"a.txt").U8(0);  // null TargetPath
  name(hostile.U8(6).U32(3).U8(0).U8(0), u"a.txt");
  name(hostile.U8(7).U32(FILE_OP_OPEN).U32(7).U8(kWrite).U8(0), u"a.txt");
  name(hostile.U8(kOpen).U8(0xF0).U32(0xFFFFFFFF).U8(2).U32(0xFFFFFFFF), u"b.doc");  // raw access
  name(hostile.U8(kOpen | 8).U8(kReadOnly).U8(0), u"a.txt");  // NotifyEvent(nullptr)
  name(hostile.U8(kClose).U8(0).U8(8).U8(0xFF), u"b.doc");
  seeds.emplace_back("hostile-records", hostile.bytes());

  Writer times;  // event times no calendar has
  const auto eventTime = [](Writer& w, std::initializer_list<uint16_t> fields) -> Writer& {
    for (uint16_t field : fields) w.U16(field);
    return w;
  };
  name(eventTime(times.U8(kOpen).U8(kWrite).U8(16 | 1), {0, 13, 9, 0, 65535, 61, 99, 2000}),
       u"a.txt");
  name(eventTime(times.U8(kRename).U8(0).U8(16 | kWithTarget),
                 {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}),
       u"b.doc");
  name(times, u"upper.txt");
  seeds.emplace_back("event-times", times.bytes());

  Writer marks;  // names that start with what UTF-16 byte-order marks are made of
  name(marks.U8(kOpen).U8(kWrite).U8(0), u"\uFEFFbom.txt");
  name(marks.U8(kClose).U8(0).U8(kChanged), u"\uFEFFbom.txt");
  name(name(marks.U8(kRename).U8(0).U8(kWithTarget), u"a.txt"), u"\uFFFEswapped.txt");
  seeds.emplace_back("byte-order-marks", marks.bytes());

  Writer longName;  // a base name longer than a file name may be, and a long path
  tokens(longName.U8(kOpen).U8(kWrite).U8(0), {0, 21, 21, 21, 13});
  tokens(longName.U8(kOpen).U8(kWrite).U8(0), {0, 4, 0, 1, 0, 4, 0, 1, 0, 4, 0, 1, 0, 3});
  tokens(longName.U8(kClose).U8(0).U8(kChanged), {0, 21, 21, 21, 13});
  seeds.emplace_back("long-names", longName.bytes());

  orv::fuzz::WriteSeedsIfAsked(seeds);
}

}  // namespace
