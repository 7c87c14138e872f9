// orv protect, run as root would run it, on a temporary tree.
#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "protect/pre_content.h"
#include "support/catalog_rows.h"
#include "support/files.h"
#include "support/temp_dir.h"

extern char** environ;

namespace orv {
namespace {

using testing::ReadFileText;
using testing::WriteFileText;

constexpr uid_t kNobody = 65534;

// Runs body in a child process as user and group nobody; the child's pid.
// The child exits with body's result, or 100 when it cannot drop root.
pid_t ForkAsNobody(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
      ::setresuid(kNobody, kNobody, kNobody) != 0) {
    ::_exit(100);
  }
  // Dumpable again, as a process nobody started is: its /proc files are its own.
  ::prctl(PR_SET_DUMPABLE, 1);
  ::_exit(body());
}

int WaitFor(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long OpenAt2(const std::filesystem::path& path, uint64_t flags) {
  open_how how{};
  how.flags = flags;
  how.mode = flags & O_CREAT ? 0644 : 0;
  return ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof(how));
}

bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Where the tree and the store lie: the test's temporary directory, or a small
// file system of the named kind on a loop device (the store beside the tree,
// so that copies can share blocks where the file system allows it).
class ProtectTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "live protection needs root";
    const std::string kind = GetParam();
    if (kind != "tmp") {
      const std::string image = (dir_ / "fs.img").string(), mount = (dir_ / "mnt").string();
      std::filesystem::create_directories(dir_ / "mnt");
      if (!Shell("command -v mkfs." + kind)) GTEST_SKIP() << "mkfs." << kind << " is not installed";
      if (!Shell("truncate -s 320M " + image) || !Shell("mkfs." + kind + " -q " + image) ||
          !Shell("mount -o loop " + image + " " + mount)) {
        GTEST_SKIP() << "cannot mount a loop " << kind << " file system here";
      }
      mounted_ = mount;
      base_ = dir_ / "mnt";
    }
    tree_ = base_ / "tree";
    store_ = base_ / "store";
    std::filesystem::create_directories(tree_ / "sub");
    std::filesystem::create_directories(dir_ / "outside");
  }
  void TearDown() override {
    if (pid_ > 0) Stop(SIGKILL);
    // Before the temporary directory goes: its removal must never reach a
    // mounted /proc.
    for (const auto& mount : extraMounts_) Shell("umount -l '" + mount.string() + "'");
    if (!mounted_.empty()) Shell("umount " + mounted_);
  }

  void Start(const std::string& maxCopySize = "") {
    if (maxCopySize.empty()) return StartWith({});
    StartWith({"--max-copy-size", maxCopySize});
  }
  // Starts the daemon with options after "protect".
  void StartWith(const std::vector<std::string>& options) {
    const std::string log = (dir_ / "daemon.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string store = store_.string(), tree = tree_.string();
    std::vector<const char*> argv = {ORV_TOOL_PATH, "--store", store.c_str(), "protect",
                                     tree.c_str()};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, ORV_TOOL_PATH, &actions, nullptr, const_cast<char**>(argv.data()),
                          environ),
              0);
    posix_spawn_file_actions_destroy(&actions);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadFileText(log).find("watching") == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline ||
          ReadFileText(log).find("orv:") != std::string::npos) {
        GTEST_SKIP() << "the daemon did not start: " << ReadFileText(log);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  int Stop(int signal = SIGTERM) {
    ::kill(pid_, signal);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  // The tree shared as /tmp is: every user may create files in it.
  void ShareTree() {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(base_.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(tree_.c_str(), 01777), 0);
  }
  std::vector<testing::EditionRow> Editions() {
    return testing::ReadEditions(store_ / "BackupDB.s3db");
  }

  testing::TempDir dir_;
  std::filesystem::path base_ = dir_.path();
  std::filesystem::path tree_, store_;
  std::string mounted_;
  std::vector<std::filesystem::path> extraMounts_;  // every place one may be
  pid_t pid_ = -1;
};

TEST_P(ProtectTest, ChangesInTheTreeBecomeEditionsWithTheOldContent) {
  WriteFileText(tree_ / "doc.txt", "old content");
  WriteFileText(tree_ / "read.txt", "only read");
  WriteFileText(tree_ / "untouched.txt", "opened, not written");
  WriteFileText(tree_ / "sub" / "moved.txt", "moved");
  WriteFileText(tree_ / "doomed.txt", "doomed");
  WriteFileText(dir_ / "outside" / "o.txt", "outside");
  Start();

  WriteFileText(tree_ / "doc.txt", "new content");  // a truncating write, as a shell's >
  EXPECT_EQ(ReadFileText(tree_ / "read.txt"), "only read");
  ::close(::open((tree_ / "untouched.txt").c_str(), O_WRONLY));
  std::filesystem::rename(tree_ / "sub" / "moved.txt", tree_ / "sub" / "renamed.txt");
  const int doomed = ::open((tree_ / "doomed.txt").c_str(), O_WRONLY);
  std::filesystem::remove(tree_ / "doomed.txt");
  ::close(doomed);
  WriteFileText(dir_ / "outside" / "o.txt", "changed outside");
  std::filesystem::create_directory(tree_ / "new");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the daemon marks it
  WriteFileText(tree_ / "new" / "n.txt", "first");
  WriteFileText(tree_ / "new" / "n.txt", "second");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");

  std::map<std::string, std::vector<testing::EditionRow>> byFile;
  for (const auto& row : Editions()) byFile[row.fileName].push_back(row);
  const std::string root = tree_.string();
  ASSERT_EQ(byFile[root + "/doc.txt"].size(), 1u);
  EXPECT_EQ(ReadFileText(store_ / "Backup" / byFile[root + "/doc.txt"][0].backupName),
            "old content");
  EXPECT_EQ(byFile.count(root + "/read.txt"), 0u);
  EXPECT_EQ(byFile.count(root + "/untouched.txt"), 0u) << "opened for writing, never written";
  ASSERT_EQ(byFile[root + "/sub/moved.txt"].size(), 1u);
  EXPECT_EQ(byFile[root + "/sub/moved.txt"][0].operation, 4);
  EXPECT_EQ(byFile[root + "/sub/moved.txt"][0].linkFileName, root + "/sub/renamed.txt");
  ASSERT_EQ(byFile[root + "/doomed.txt"].size(), 1u);
  EXPECT_EQ(byFile[root + "/doomed.txt"][0].operation, 3) << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(byFile.count((dir_ / "outside" / "o.txt").string()), 0u);
  const auto& created = byFile[root + "/new/n.txt"];
  ASSERT_EQ(created.size(), 1u) << "a new directory is protected\n"
                                << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(ReadFileText(store_ / "Backup" / created[0].backupName), "first");
}

// True when the daemon pid has a fanotify mark on the inode at path.
bool Marked(pid_t pid, const std::filesystem::path& path);

// Every file in the tree, whatever its name: a deletion, a rename over it
// and an unlink followed by a new file each keep the content it had; an open
// that makes a file keeps nothing; a save's temporary file makes no row.
TEST_P(ProtectTest, DeletionsAndReplacementsKeepTheOldContentAndNewFilesNothing) {
  WriteFileText(tree_ / "a.txt", "a before");
  WriteFileText(tree_ / "notes", "notes before");
  WriteFileText(tree_ / "vault.kdbx", "vault before");
  WriteFileText(tree_ / "other", "other before");
  WriteFileText(tree_ / "sub" / "unpacked.txt", "unpacked before");
  Start();
  EXPECT_NE(ReadFileText(dir_ / "daemon.log").find("and 5 files"), std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
  struct stat st {};
  ASSERT_EQ(::lstat((tree_ / "notes").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u) << "the shadow link";

  std::filesystem::remove(tree_ / "a.txt");
  WriteFileText(tree_ / ".notes.tmp", "notes after");  // an atomic save
  std::filesystem::rename(tree_ / ".notes.tmp", tree_ / "notes");
  std::filesystem::rename(tree_ / "other", tree_ / "vault.kdbx");  // mv over
  std::filesystem::remove(tree_ / "sub" / "unpacked.txt");         // as tar xf does
  WriteFileText(tree_ / "sub" / "unpacked.txt", "unpacked after");
  WriteFileText(tree_ / "new.txt", "made now");
  // A directory made and filled before the daemon marked it: what it held
  // then is seen as it is marked.
  std::filesystem::create_directories(tree_ / "d" / "e");
  WriteFileText(tree_ / "d" / "e" / "f.txt", "first");
  WriteFileText(tree_ / "d" / "e" / "g.txt", "g first");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Marked(pid_, tree_ / "d" / "e")) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its walk
  std::filesystem::remove(tree_ / "d" / "e" / "f.txt");
  WriteFileText(tree_ / "d" / "e" / "g.txt", "g second");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");

  std::map<std::string, std::vector<testing::EditionRow>> byFile;
  for (const auto& row : Editions()) byFile[row.fileName].push_back(row);
  const auto content = [&](const testing::EditionRow& row) {
    return ReadFileText(store_ / "Backup" / row.backupName);
  };
  const std::string root = tree_.string(), log = ReadFileText(dir_ / "daemon.log");
  ASSERT_EQ(byFile[root + "/a.txt"].size(), 1u) << log;
  EXPECT_EQ(byFile[root + "/a.txt"][0].operation, 3);
  EXPECT_EQ(content(byFile[root + "/a.txt"][0]), "a before");
  ASSERT_EQ(byFile[root + "/notes"].size(), 1u) << log;
  EXPECT_EQ(byFile[root + "/notes"][0].operation, 2);
  EXPECT_EQ(content(byFile[root + "/notes"][0]), "notes before");
  EXPECT_EQ(byFile.count(root + "/.notes.tmp"), 0u) << "a save's temporary file has no row";
  ASSERT_EQ(byFile[root + "/vault.kdbx"].size(), 1u) << log;
  EXPECT_EQ(content(byFile[root + "/vault.kdbx"][0]), "vault before");
  ASSERT_EQ(byFile[root + "/other"].size(), 1u) << "a file known before is renamed\n" << log;
  EXPECT_EQ(byFile[root + "/other"][0].operation, 4);
  ASSERT_EQ(byFile[root + "/sub/unpacked.txt"].size(), 1u) << "no empty edition\n" << log;
  EXPECT_EQ(content(byFile[root + "/sub/unpacked.txt"][0]), "unpacked before");
  EXPECT_EQ(byFile.count(root + "/new.txt"), 0u) << "nothing to lose when it was made";
  const auto& made = byFile[root + "/d/e/f.txt"];
  ASSERT_EQ(made.size(), 1u) << log;
  EXPECT_EQ(made[0].operation, 3);
  EXPECT_EQ(content(made[0]), "first");
  ASSERT_EQ(byFile[root + "/d/e/g.txt"].size(), 1u) << log;
  EXPECT_EQ(content(byFile[root + "/d/e/g.txt"][0]), "g first");
  EXPECT_EQ(log.find("could not be kept"), std::string::npos) << log;
  EXPECT_NE(log.find("deletions and replacements kept"), std::string::npos) << log;
}

// A file made while no daemon watched gets its shadow at the next start; a
// shadow whose file went meanwhile is removed. A store on another file
// system than the tree: the shadows lie on the tree's own.
TEST_P(ProtectTest, ARestartShadowsWhatWasMadeMeanwhileWhereverTheStoreIs) {
  if (GetParam() != "tmp") store_ = dir_ / "store-elsewhere";
  WriteFileText(tree_ / "early.txt", "early");
  WriteFileText(tree_ / "gone.txt", "gone");
  WriteFileText(tree_ / "replaced.txt", "replaced before");
  Start();
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  // While no daemon watches: what the shadows held is kept at the next start.
  std::filesystem::remove(tree_ / "gone.txt");
  WriteFileText(tree_ / "replaced.txt.new", "replaced after");
  std::filesystem::rename(tree_ / "replaced.txt.new", tree_ / "replaced.txt");
  WriteFileText(tree_ / "late.txt", "late");
  Start();
  std::filesystem::remove(tree_ / "late.txt");
  std::filesystem::remove(tree_ / "early.txt");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  std::map<std::string, std::string> deleted, modified;
  for (const auto& row : Editions()) {
    (row.operation == 3 ? deleted : modified)[row.fileName] =
        ReadFileText(store_ / "Backup" / row.backupName);
  }
  EXPECT_EQ(deleted[(tree_ / "late.txt").string()], "late") << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(deleted[(tree_ / "early.txt").string()], "early");
  EXPECT_EQ(deleted[(tree_ / "gone.txt").string()], "gone");
  EXPECT_EQ(modified[(tree_ / "replaced.txt").string()], "replaced before");
  const std::filesystem::path shadows =
      GetParam() == "tmp" ? store_ / "shadows" : base_ / ".orv-shadows";
  ASSERT_TRUE(std::filesystem::is_directory(shadows));
  struct stat st {};
  ASSERT_EQ(::stat(shadows.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "no one else reaches the shadows";
  // No shadow outlives its file: the one left is the new replaced.txt's.
  std::vector<std::filesystem::path> left;
  for (const auto& entry : std::filesystem::directory_iterator(shadows)) left.push_back(entry);
  ASSERT_EQ(left.size(), 1u);
  struct stat shadow {};
  struct stat live {};
  ASSERT_EQ(::stat(left[0].c_str(), &shadow), 0);
  ASSERT_EQ(::stat((tree_ / "replaced.txt").c_str(), &live), 0);
  EXPECT_EQ(shadow.st_ino, live.st_ino);
}

// The daemon killed while programs save: every save that completed before
// the kill, in place or by rename, has an edition holding the content before
// it once the daemon has started again; so has every save by rename made
// while no daemon ran.
TEST_P(ProtectTest, AKilledDaemonLosesNoSaveThatCompleted) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  constexpr int kFiles = 300;
  const auto before = [](char kind, int i) {
    return std::string(1, kind) + " before " + std::to_string(i);
  };
  const auto name = [this](char kind, int i) {
    return tree_ / (std::string(1, kind) + std::to_string(i) + ".txt");
  };
  for (int i = 0; i < kFiles; ++i) {
    WriteFileText(name('r', i), before('r', i));
    WriteFileText(name('p', i), before('p', i));
  }
  Start();
  std::atomic<int> done{0};
  std::thread saver([&] {
    for (int i = 0; i < kFiles; ++i) {
      const std::filesystem::path temporary = name('r', i).string() + ".tmp";
      WriteFileText(temporary, "r after");
      std::filesystem::rename(temporary, name('r', i));
      WriteFileText(name('p', i), "p after");
      done.store(i + 1);
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (done.load() < kFiles / 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  const int completed = done.load();  // saves before the kill
  Stop(SIGKILL);
  saver.join();
  ASSERT_GE(completed, kFiles / 3);
  const auto restartedAt = std::chrono::system_clock::now();
  Start();
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");

  std::map<std::string, std::set<std::string>> contents;
  for (const auto& row : Editions()) {
    if (row.backupName.empty()) continue;
    contents[row.fileName].insert(ReadFileText(store_ / "Backup" / row.backupName));
  }
  std::string lost;
  for (int i = 0; i < kFiles; ++i) {
    for (const char kind : {'r', 'p'}) {
      if (kind == 'p' && i >= completed) continue;
      if (contents[name(kind, i).string()].count(before(kind, i)) == 0) {
        lost += " " + name(kind, i).filename().string();
      }
    }
  }
  EXPECT_EQ(lost, "") << "of " << kFiles + completed << " saves, killed after " << completed << "\n"
                      << ReadFileText(dir_ / "daemon.log");
  // No copy lies in the store that no edition names, but the one the kill may
  // have cut off between its copy and its journal record: the restart keeps
  // such a copy while it is younger than the 2 s a record may take to come,
  // and a later start removes it.
  std::set<std::string> named;
  for (const auto& row : Editions()) named.insert(row.backupName);
  std::vector<std::string> unnamed;
  for (const auto& entry : std::filesystem::directory_iterator(store_ / "Backup")) {
    const std::string copy = entry.path().filename().string();
    if (named.count(copy) != 0) continue;
    struct statx st {};
    ASSERT_EQ(::statx(AT_FDCWD, entry.path().c_str(), 0, STATX_BTIME | STATX_MTIME, &st), 0);
    const statx_timestamp made = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
    const auto age =
        restartedAt - std::chrono::system_clock::time_point(std::chrono::seconds(made.tv_sec) +
                                                            std::chrono::nanoseconds(made.tv_nsec));
    EXPECT_LT(age, std::chrono::seconds(2)) << copy << " was old enough to be removed";
    unnamed.push_back(copy);
  }
  // One saver had at most one open in flight when the daemon was killed.
  EXPECT_LE(unnamed.size(), 1u);
}

// Ransomware's shapes on a live tree, then the whole tree restored in place as
// it was just before: every file byte for byte, the attacker's files gone.
TEST_P(ProtectTest, AnAttackedTreeComesBackByteForByte) {
  const auto tree = [](const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) {
        files[entry.path().lexically_relative(root).string()] = ReadFileText(entry.path());
      }
    }
    return files;
  };
  const auto encrypted = [](std::string text) {
    for (char& c : text) c = static_cast<char>(c ^ 0x5a);
    return text;
  };
  const std::vector<std::string> shapes = {"inplace", "truncate", "unlink",
                                           "rename",  "replace",  "removed"};
  for (const std::string& shape : shapes) {
    std::filesystem::create_directories(tree_ / shape);
    for (int i = 0; i < 8; ++i) {
      WriteFileText(tree_ / shape / ("doc" + std::to_string(i) + (i % 2 ? ".txt" : "")),
                    shape + " original " + std::string(static_cast<size_t>(i) * 700, 'a' + i));
    }
  }
  WriteFileText(tree_ / "untouched.txt", "never attacked");
  const std::map<std::string, std::string> before = tree(tree_);
  // The moment to go back to is a second the files were there in whole, and
  // the attack comes in a later one.
  const time_t justBefore = ::time(nullptr);
  while (::time(nullptr) == justBefore) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  Start();
  for (const auto& [relative, content] : before) {
    const std::filesystem::path file = tree_ / relative;
    const std::string shape = std::filesystem::path(relative).begin()->string();
    if (shape == "inplace") {
      const int fd = ::open(file.c_str(), O_RDWR);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(::pwrite(fd, encrypted(content).data(), content.size(), 0),
                static_cast<ssize_t>(content.size()));
      ::close(fd);
    } else if (shape == "truncate") {
      WriteFileText(file, encrypted(content));
    } else if (shape == "unlink") {
      WriteFileText(file.string() + ".enc", encrypted(content));
      std::filesystem::remove(file);
    } else if (shape == "rename") {
      std::filesystem::rename(file, file.string() + ".locked");
      WriteFileText(file.string() + ".locked", encrypted(content));
    } else if (shape == "replace") {
      WriteFileText(file.string() + ".tmp", encrypted(content));
      std::filesystem::rename(file.string() + ".tmp", file);
    }
  }
  std::filesystem::remove_all(tree_ / "removed");
  WriteFileText(tree_ / "HOW_TO_PAY.txt", "ransom note");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  ASSERT_EQ(before.size(), shapes.size() * 8 + 1);
  ASSERT_NE(tree(tree_), before);

  std::tm local{};
  ::localtime_r(&justBefore, &local);
  char at[32];
  std::strftime(at, sizeof(at), "%Y-%m-%dT%H:%M:%S", &local);
  const std::string command =
      std::string(ORV_TOOL_PATH) + " --store " + store_.string() + " restore " + tree_.string() +
      " --at " + at + " --in-place --force --remove-new >" + (dir_ / "out").string() + " 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << ReadFileText(dir_ / "out");
  EXPECT_EQ(tree(tree_), before) << ReadFileText(dir_ / "out");
}

TEST_P(ProtectTest, FilesOverTheCopyLimitPassWithoutACopy) {
  WriteFileText(tree_ / "small.txt", "small");
  WriteFileText(tree_ / "large.txt", std::string(100, 'x'));
  Start("10");
  WriteFileText(tree_ / "small.txt", "changed");
  WriteFileText(tree_ / "large.txt", "changed");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  const auto rows = Editions();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].fileName, (tree_ / "small.txt").string());
  EXPECT_EQ(ReadFileText(tree_ / "large.txt"), "changed");
  // A name that holds a line end and a terminal's escape is logged as one
  // escaped line.
  const std::string hostile = "l\n\x1b]0;owned\a.txt";
  WriteFileText(tree_ / hostile, std::string(100, 'x'));
  Start("10");
  WriteFileText(tree_ / hostile, "changed");
  ASSERT_EQ(Stop(), 0);
  const std::string log = ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(log.find("/l\\n\\x1b]0;owned\\x07.txt is larger than --max-copy-size"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
}

// Descriptors running out in the daemon make it say so once and count the
// opens it let through; no opener waits, and protection comes back with them.
TEST_P(ProtectTest, ADaemonOutOfDescriptorsSaysSoAndBlocksNoOne) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  WriteFileText(tree_ / "a.txt", "first");
  WriteFileText(tree_ / "b.txt", "second");
  Start();
  rlimit wide{};
  ASSERT_EQ(::prlimit(pid_, RLIMIT_NOFILE, nullptr, &wide), 0);
  std::set<int> open;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd")) {
    open.insert(std::stoi(entry.path().filename().string()));
  }
  // A new descriptor takes the lowest free number: with the limit there, none
  // fits, while those open stay usable.
  int lowestFree = 0;
  while (open.count(lowestFree) != 0) ++lowestFree;
  const rlimit narrow{static_cast<rlim_t>(lowestFree), wide.rlim_max};
  ASSERT_EQ(::prlimit(pid_, RLIMIT_NOFILE, &narrow, nullptr), 0);
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open((tree_ / "a.txt").c_str(), O_WRONLY);
  if (fd >= 0) ::close(fd);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ASSERT_EQ(::prlimit(pid_, RLIMIT_NOFILE, &wide, nullptr), 0);
  WriteFileText(tree_ / "b.txt", "changed");
  ASSERT_EQ(Stop(), 0);
  const std::string log = ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(log.find("(the daemon is out of file descriptors)"), std::string::npos) << log;
  EXPECT_NE(log.find("for want of descriptors"), std::string::npos) << log;
  bool second = false;
  for (const auto& row : Editions()) {
    second |= row.fileName == (tree_ / "b.txt").string() &&
              ReadFileText(store_ / "Backup" / row.backupName) == "second";
  }
  EXPECT_TRUE(second) << "protection comes back with the descriptors";
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// One user rewriting its file in a loop gets its cap of copies a minute, and
// no more; another user's files are still copied.
TEST_P(ProtectTest, AUserPastItsCopyCapIsLetThroughUncopiedAndOthersAreNot) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  ShareTree();
  const std::filesystem::path own = tree_ / "own.txt", roots = tree_ / "root.txt";
  WriteFileText(own, "v0");
  ASSERT_EQ(::chown(own.c_str(), kNobody, kNobody), 0);
  WriteFileText(roots, "root's");
  StartWith({"--max-copies-per-minute", "3"});
  const pid_t writer = ForkAsNobody([&] {
    for (int i = 1; i <= 10; ++i) {
      const int fd = ::open(own.c_str(), O_WRONLY | O_TRUNC);
      const std::string text = "v" + std::to_string(i);
      if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        return 2;
      }
      ::close(fd);
    }
    return 0;
  });
  ASSERT_EQ(WaitFor(writer), 0);
  WriteFileText(roots, "changed");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  size_t ownCopies = 0, rootCopies = 0;
  for (const auto& row : Editions()) {
    ownCopies += row.fileName == own.string();
    rootCopies += row.fileName == roots.string();
  }
  const std::string log = ReadFileText(dir_ / "daemon.log");
  EXPECT_GE(ownCopies, 1u) << log;
  EXPECT_LE(ownCopies, 3u) << log;
  EXPECT_EQ(rootCopies, 1u) << "another user has its own budget\n" << log;
  EXPECT_EQ(Count(log, "user 65534 passed the cap of 3 copies"), 1u) << log;
  EXPECT_NE(log.find("opens uncopied over a user's cap"), std::string::npos) << log;
  EXPECT_EQ(ReadFileText(own), "v10");
}

// A flood of renames by one user is recorded up to its cap of rows a minute.
TEST_P(ProtectTest, ARenameFloodIsRecordedUpToTheUsersRowCap) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  ShareTree();
  const auto name = [&](int i) { return tree_ / ("f" + std::to_string(i)); };
  // Files there before the start: renames of files made while watched (a
  // save's temporary file) make no rows at all.
  WriteFileText(name(0), "nobody's");
  ASSERT_EQ(::chown(name(0).c_str(), kNobody, kNobody), 0);
  WriteFileText(tree_ / "r1", "root's");
  StartWith({"--max-rows-per-minute", "50"});
  // Distinct names, so that the kernel merges none of the events. The renamer
  // says when it is done and lives on until the daemon has stopped, which it
  // does only once it has read every event: each is charged to its uid, none
  // to the bucket of processes that are gone.
  int done[2], release[2];
  ASSERT_EQ(::pipe(done), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t renamer = ForkAsNobody([&] {
    ::close(done[0]);
    ::close(release[1]);
    for (int i = 0; i < 200; ++i) {
      if (::rename(name(i).c_str(), name(i + 1).c_str()) != 0) return 3;
    }
    char byte = 0;
    if (::write(done[1], &byte, 1) != 1) return 4;
    return ::read(release[0], &byte, 1) >= 0 ? 0 : 5;
  });
  ::close(done[1]);
  ::close(release[0]);
  char byte = 0;
  const bool renamed = ::read(done[0], &byte, 1) == 1;
  ::close(done[0]);
  std::filesystem::rename(tree_ / "r1", tree_ / "r2");
  const int stopped = Stop();
  ::close(release[1]);
  ASSERT_EQ(WaitFor(renamer), 0);
  ASSERT_TRUE(renamed);
  ASSERT_EQ(stopped, 0) << ReadFileText(dir_ / "daemon.log");
  size_t floodRows = 0, rootRows = 0;
  for (const auto& row : Editions()) {
    if (row.operation != 4) continue;
    floodRows += row.fileName.rfind(tree_.string() + "/f", 0) == 0;
    rootRows += row.fileName == (tree_ / "r1").string();
  }
  const std::string log = ReadFileText(dir_ / "daemon.log");
  EXPECT_GE(floodRows, 1u) << log;
  EXPECT_LE(floodRows, 50u) << log;
  EXPECT_EQ(rootRows, 1u) << "another user's rename is recorded\n" << log;
  EXPECT_EQ(Count(log, "user 65534 passed the cap of 50 renames"), 1u) << log;
}

TEST_P(ProtectTest, AKilledDaemonLeavesNoOpenerBlocked) {
  WriteFileText(tree_ / "a.txt", "a");
  Start();
  Stop(SIGKILL);
  // The kernel answers for a group whose listener is gone.
  const auto start = std::chrono::steady_clock::now();
  WriteFileText(tree_ / "a.txt", "b");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(ReadFileText(tree_ / "a.txt"), "b");
}

TEST_P(ProtectTest, ATreeWhoseNameIsNotPlainTextIsProtectedAndTheStoreIsPrivate) {
  // "&" and "<" in a directory name must not break the daemon's policy.
  tree_ = base_ / "R&D <\"old\">";
  std::filesystem::create_directories(tree_);
  WriteFileText(tree_ / "plan.txt", "old plan");
  const mode_t previous = ::umask(022);
  Start();
  ::umask(previous);
  WriteFileText(tree_ / "plan.txt", "new plan");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  const auto rows = Editions();
  ASSERT_EQ(rows.size(), 1u) << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(rows[0].fileName, (tree_ / "plan.txt").string());
  EXPECT_EQ(ReadFileText(store_ / "Backup" / rows[0].backupName), "old plan");
  struct stat st {};
  ASSERT_EQ(::stat(store_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "the store is root's alone";
}

// How many of the daemon pid's fanotify groups mark the inode at path.
int MarkCount(pid_t pid, const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0;
  char inode[32];
  std::snprintf(inode, sizeof(inode), "ino:%lx ", static_cast<unsigned long>(st.st_ino));
  const std::string fdinfo = "/proc/" + std::to_string(pid) + "/fdinfo";
  int marks = 0;
  for (const auto& entry : std::filesystem::directory_iterator(fdinfo)) {
    for (const std::string& line : testing::SplitLines(ReadFileText(entry.path()))) {
      if (line.rfind("fanotify ", 0) == 0 && line.find(inode) != std::string::npos) ++marks;
    }
  }
  return marks;
}

// Whether any fanotify group of process pid marks the inode of path.
bool Marked(pid_t pid, const std::filesystem::path& path) { return MarkCount(pid, path) > 0; }

TEST_P(ProtectTest, ADirectorySwappedForALinkNeverGetsItsTargetWatched) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  std::filesystem::create_directories(dir_ / "outside" / "deeper");
  Start();
  ASSERT_TRUE(Marked(pid_, tree_)) << "the test sees the daemon's marks";
  // A large tree moved in keeps the daemon marking while a new directory is
  // swapped for a link before its turn comes.
  for (int i = 0; i < 2000; ++i) {
    std::filesystem::create_directories(dir_ / "big" / ("d" + std::to_string(i)));
  }
  std::filesystem::rename(dir_ / "big", tree_ / "big");
  std::filesystem::create_directory(tree_ / "new");
  std::filesystem::remove(tree_ / "new");
  std::filesystem::create_directory_symlink(dir_ / "outside", tree_ / "new");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!Marked(pid_, tree_ / "big" / "d1999") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(Marked(pid_, tree_ / "big" / "d1999"));
  EXPECT_FALSE(Marked(pid_, dir_ / "outside"));
  EXPECT_FALSE(Marked(pid_, dir_ / "outside" / "deeper"));
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
}

TEST_P(ProtectTest, AStoreInsideATreeIsRefused) {
  const std::string command = std::string(ORV_TOOL_PATH) + " --store " +
                              (tree_ / "store").string() + " protect " + tree_.string() + " 2>" +
                              (dir_ / "err").string();
  EXPECT_NE(std::system(command.c_str()), 0);
  EXPECT_NE(ReadFileText(dir_ / "err").find("lies inside the protected tree"), std::string::npos);
}

// The kernel refuses content marks on /proc while it takes notification
// marks there: a directory that can be marked in one group only.
TEST_P(ProtectTest, ADirectoryThatCannotBeMarkedFailsTheStart) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  extraMounts_ = {tree_ / "sub"};
  ASSERT_TRUE(Shell("mount -t proc proc '" + (tree_ / "sub").string() + "'"));
  const std::string command = std::string(ORV_TOOL_PATH) + " --store " + store_.string() +
                              " protect " + tree_.string() + " 2>" + (dir_ / "err").string();
  EXPECT_NE(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFileText(dir_ / "err"),
            "orv: cannot watch " + (tree_ / "sub").string() + ": Invalid argument\n");
}

TEST_P(ProtectTest, ANewDirectoryThatCannotBeMarkedIsReportedAndTheRestProtected) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  const std::filesystem::path moved = dir_ / "outside" / "x";
  std::filesystem::create_directories(moved / "p");
  extraMounts_ = {moved / "p", tree_ / "x" / "p"};
  ASSERT_TRUE(Shell("mount -t proc proc '" + (moved / "p").string() + "'"));
  Start();
  std::filesystem::rename(moved, tree_ / "x");
  const std::string line =
      "orv protect: cannot watch " + (tree_ / "x" / "p").string() + ": Invalid argument";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadFileText(dir_ / "daemon.log").find(line) == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadFileText(dir_ / "daemon.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  WriteFileText(tree_ / "x" / "f.txt", "first");
  WriteFileText(tree_ / "x" / "f.txt", "second");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(ReadFileText(dir_ / "daemon.log").find(", 1 directories not watched"),
            std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
  // The file's creation and its rewrite, as in any protected directory.
  // The rewrite, as in any protected directory (the open that made the file
  // had nothing to keep).
  const auto rows = Editions();
  ASSERT_EQ(rows.size(), 1u) << "the directory around it is protected";
  EXPECT_EQ(ReadFileText(store_ / "Backup" / rows[0].backupName), "first");
}

TEST_P(ProtectTest, AWriteLeaseOnOnesOwnFileStallsNoOtherOpen) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  ShareTree();
  WriteFileText(tree_ / "victim.txt", "victim's");
  Start();
  const std::string own = (tree_ / "own").string();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t attacker = ForkAsNobody([&] {
    ::close(ready[0]);
    ::signal(SIGIO, SIG_IGN);  // a lease break it never answers
    const int fd = ::open(own.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    // The lease needs the file open nowhere else: the daemon closes its
    // descriptor of the create just after answering it.
    int leased = -1;
    for (int i = 0; i < 500 && leased != 0; ++i) {
      leased = ::fcntl(fd, F_SETLEASE, F_WRLCK);
      if (leased != 0) ::usleep(10000);
    }
    if (leased != 0) return 2;
    if (::write(ready[1], "x", 1) != 1) return 3;
    ::open(own.c_str(), O_RDONLY);  // held by the daemon, on a leased file
    return 0;
  });
  ::close(ready[1]);
  char byte = 0;
  const bool leased = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!leased) {
    ::kill(attacker, SIGKILL);
    GTEST_SKIP() << "no write lease here (status " << WaitFor(attacker) << ")";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its open reaches the daemon
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ReadFileText(tree_ / "victim.txt"), "victim's");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  ::kill(attacker, SIGKILL);
  WaitFor(attacker);
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(ReadFileText(dir_ / "daemon.log").find("1 opens refused without waiting"),
            std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
}

TEST_P(ProtectTest, ADirectoryRemovedAndMadeAgainIsProtected) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  Start();
  const std::filesystem::path projects = tree_ / "projects";
  const auto markedWithin = [&](std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!Marked(pid_, projects) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Marked(pid_, projects);
  };
  std::filesystem::create_directory(projects);
  ASSERT_TRUE(markedWithin(std::chrono::seconds(10)));
  std::filesystem::remove(projects);
  // The old mark goes with its inode; wait for that, so that the next check
  // sees the new directory's mark.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::filesystem::create_directory(projects);
  EXPECT_TRUE(markedWithin(std::chrono::seconds(2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // both groups' marks
  WriteFileText(projects / "q.txt", "first");
  WriteFileText(projects / "q.txt", "second");
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  std::vector<testing::EditionRow> rows;
  for (const auto& row : Editions()) {
    if (row.fileName == (projects / "q.txt").string()) rows.push_back(row);
  }
  ASSERT_EQ(rows.size(), 1u) << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(ReadFileText(store_ / "Backup" / rows[0].backupName), "first");
}

// The fanotify marks held now, by every group of every process.
long MarksInUse() {
  long marks = 0;
  for (const auto& process : std::filesystem::directory_iterator("/proc")) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator(process.path() / "fdinfo", error)) {
      for (const std::string& line : testing::SplitLines(ReadFileText(entry.path()))) {
        if (line.rfind("fanotify ", 0) == 0) ++marks;
      }
    }
  }
  return marks;
}

// The kernel's limit on root's fanotify marks, lowered while it lives and put
// back however the test ends.
class MarkLimit {
 public:
  explicit MarkLimit(long limit) : previous_(ReadFileText(kPath)) {
    WriteFileText(kPath, std::to_string(limit));
  }
  ~MarkLimit() { WriteFileText(kPath, previous_); }
  MarkLimit(const MarkLimit&) = delete;
  MarkLimit& operator=(const MarkLimit&) = delete;

  static constexpr const char* kPath = "/proc/sys/fs/fanotify/max_user_marks";

 private:
  const std::string previous_;
};

// Run alone (RUN_SERIAL): the lowered limit holds for every group of root.
TEST_P(ProtectTest, WhenMarksRunOutTheWholeFileSystemIsWatched) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  if (!std::filesystem::exists(MarkLimit::kPath)) GTEST_SKIP() << "no fanotify mark limit here";
  WriteFileText(dir_ / "outside" / "o.txt", "outside");
  Start();
  const std::filesystem::path last = tree_ / "d199";
  {
    // Room for a few new directories, far from 200.
    const MarkLimit limit(MarksInUse() + 40);
    for (int i = 0; i < 200; ++i)
      std::filesystem::create_directory(tree_ / ("d" + std::to_string(i)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (ReadFileText(dir_ / "daemon.log").find("out of fanotify marks") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << ReadFileText(dir_ / "daemon.log");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    WriteFileText(last / "f.txt", "first");
    WriteFileText(last / "f.txt", "second");
    WriteFileText(dir_ / "outside" / "o.txt", "changed outside");
  }
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  const std::string log = ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(log.find("; watching the whole file system of " + tree_.string()), std::string::npos)
      << log;
  EXPECT_NE(log.find(", 1 file systems watched whole"), std::string::npos) << log;
  std::map<std::string, std::vector<testing::EditionRow>> byFile;
  for (const auto& row : Editions()) byFile[row.fileName].push_back(row);
  const auto& rows = byFile[(last / "f.txt").string()];
  ASSERT_EQ(rows.size(), 1u) << "a directory past the marks is protected\n" << log;
  EXPECT_EQ(ReadFileText(store_ / "Backup" / rows[0].backupName), "first");
  EXPECT_EQ(byFile.count((dir_ / "outside" / "o.txt").string()), 0u) << "outside the tree";
}

// The store's copies that hold text (the shadows, links to the live files,
// are no copies).
int StoredCopies(const std::filesystem::path& store, const std::string& text) {
  int copies = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(store)) {
    if (entry.path().parent_path().filename() == "shadows") continue;
    if (entry.is_regular_file() && entry.file_size() == text.size() &&
        ReadFileText(entry.path()) == text) {
      ++copies;
    }
  }
  return copies;
}

TEST_P(ProtectTest, AReaderWhoMayNotWriteAFileNeverMakesACopyOfIt) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  ShareTree();
  const std::string secret(1 << 20, 'v');
  WriteFileText(tree_ / "victim.bin", secret);
  ASSERT_EQ(::chmod((tree_ / "victim.bin").c_str(), 0644), 0);
  Start();
  const std::filesystem::path victim = tree_ / "victim.bin", own = tree_ / "own.txt";
  const pid_t reader = ForkAsNobody([&] {
    // openat2's flags cannot be read safely: for its owner it counts as a write.
    for (int i = 0; i < 5; ++i) {
      const long fd = OpenAt2(victim, O_RDONLY);
      if (fd < 0) return 2;
      ::close(static_cast<int>(fd));
    }
    long fd = OpenAt2(own, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0 || ::write(static_cast<int>(fd), "mine", 4) != 4) return 3;
    ::close(static_cast<int>(fd));
    fd = OpenAt2(own, O_RDWR);
    if (fd < 0 || ::pwrite(static_cast<int>(fd), "MINE", 4, 0) != 4) return 4;
    ::close(static_cast<int>(fd));
    return 0;
  });
  ASSERT_EQ(WaitFor(reader), 0);
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(StoredCopies(store_, secret), 0) << "the reader made root copy the file";
  // The owner's rewrite is the only open taken for writing; its create had
  // nothing to copy.
  EXPECT_NE(ReadFileText(dir_ / "daemon.log").find(" 1 opens for writing"), std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(ReadFileText(dir_ / "daemon.log").find(" 1 new files opened without a copy"),
            std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
  std::map<std::string, std::vector<testing::EditionRow>> byFile;
  for (const auto& row : Editions()) byFile[row.fileName].push_back(row);
  EXPECT_EQ(byFile.count(victim.string()), 0u);
  ASSERT_FALSE(byFile[own.string()].empty()) << "its owner's writes are copied as ever";
  EXPECT_EQ(ReadFileText(store_ / "Backup" / byFile[own.string()].back().backupName), "mine");
}

bool WriteAll(const char* path, const char* text) {
  const int fd = ::open(path, O_WRONLY);
  const bool written =
      fd >= 0 && ::write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  if (fd >= 0) ::close(fd);
  return written;
}

// Sets a sysctl for the life of the guard; the old value comes back however
// the test ends.
class SysctlGuard {
 public:
  SysctlGuard(std::filesystem::path file, const std::string& value)
      : file_(std::move(file)), old_(ReadFileText(file_)) {
    set_ = WriteAll(file_.c_str(), value.c_str());
  }
  ~SysctlGuard() {
    if (set_) WriteAll(file_.c_str(), old_.c_str());
  }
  bool set() const { return set_; }

 private:
  std::filesystem::path file_;
  std::string old_;
  bool set_ = false;
};

// Where hard links to others' files are allowed, a user swaps its own file's
// name for a link to the victim's secret while opening it for writing: the
// copy is made of what was opened, never of what the name names by then.
TEST_P(ProtectTest, AHardLinkSwappedInDuringAnOpenNeverGetsCopied) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  const SysctlGuard links("/proc/sys/fs/protected_hardlinks", "0");
  if (!links.set()) GTEST_SKIP() << "cannot allow hard links to others' files here";
  ShareTree();
  const std::string secret = "the victim's secret!";
  // The attacker's own directory: a sticky one would refuse renaming the link.
  const std::filesystem::path mine = tree_ / "attacker";
  const std::filesystem::path victim = tree_ / "secret.txt", own = mine / "own.txt",
                              keep = mine / "own.keep";
  WriteFileText(victim, secret);
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  std::filesystem::create_directories(mine);
  ASSERT_EQ(::chown(mine.c_str(), kNobody, kNobody), 0);
  Start();
  const auto runAsAttacker = [&](const std::function<int()>& body) { return ForkAsNobody(body); };
  const pid_t setup = runAsAttacker([&] {
    const int fd = ::open(own.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0 || ::write(fd, "attacker's own text", 19) != 19) return 2;
    ::close(fd);
    return ::link(own.c_str(), keep.c_str()) == 0 ? 0 : 3;
  });
  ASSERT_EQ(WaitFor(setup), 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  const pid_t swapper = runAsAttacker([&] {
    const std::string swapIn = (mine / "s.lnk").string(), swapBack = (mine / "o.lnk").string();
    while (std::chrono::steady_clock::now() < until) {
      // A rename between two links of one file leaves both: each link starts
      // afresh.
      ::unlink(swapIn.c_str());
      ::unlink(swapBack.c_str());
      if (::link(victim.c_str(), swapIn.c_str()) != 0) return 4;  // hard links still protected
      ::rename(swapIn.c_str(), own.c_str());
      ::link(keep.c_str(), swapBack.c_str());
      ::rename(swapBack.c_str(), own.c_str());
    }
    return 0;
  });
  const pid_t opener = runAsAttacker([&] {
    int opened = 0;
    while (std::chrono::steady_clock::now() < until) {
      const int fd = ::open(own.c_str(), O_WRONLY);
      if (fd >= 0) {
        ++opened;
        ::close(fd);
      }
    }
    return opened > 0 ? 0 : 5;
  });
  ASSERT_EQ(WaitFor(swapper), 0);
  ASSERT_EQ(WaitFor(opener), 0);
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  std::string holders;
  for (const auto& row : Editions()) {
    if (!row.backupName.empty() && ReadFileText(store_ / "Backup" / row.backupName) == secret) {
      holders += row.fileName + " (kind " + std::to_string(row.operation) + ")\n";
    }
  }
  EXPECT_EQ(StoredCopies(store_, secret), 0) << holders << ReadFileText(dir_ / "daemon.log");
  EXPECT_GT(StoredCopies(store_, "attacker's own text"), 0)
      << "the attacker's own opens are copied as ever";
}

TEST_P(ProtectTest, AnOpenInAnotherMountNamespaceNeverCopiesTheFileItsPathNamesHere) {
  if (GetParam() != "tmp") GTEST_SKIP() << "one file system is enough";
  ShareTree();
  const std::filesystem::path victim = tree_ / "victim", attacker = tree_ / "attacker";
  std::filesystem::create_directories(victim);
  ASSERT_EQ(::chmod(victim.c_str(), 0700), 0);
  WriteFileText(victim / "secret.txt", "victim's secret");
  ASSERT_EQ(::chmod((victim / "secret.txt").c_str(), 0600), 0);
  std::filesystem::create_directories(attacker);
  WriteFileText(attacker / "secret.txt", "attacker's");
  ASSERT_EQ(::chown(attacker.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown((attacker / "secret.txt").c_str(), kNobody, kNobody), 0);
  Start();
  const std::string from = attacker.string(), over = victim.string(),
                    target = (victim / "secret.txt").string();
  // unshare -Urm; mount --bind attacker victim; then write "the victim's" file.
  const pid_t child = ForkAsNobody([&] {
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 50;
    if (!WriteAll("/proc/self/setgroups", "deny") || !WriteAll("/proc/self/uid_map", "0 65534 1") ||
        !WriteAll("/proc/self/gid_map", "0 65534 1")) {
      return 51;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(from.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      return 52;
    }
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || ::write(fd, "forged", 6) != 6) return 3;
    ::close(fd);
    return 0;
  });
  const int status = WaitFor(child);
  if (status >= 50 && status < 60) {
    Stop();
    GTEST_SKIP() << "no unprivileged user and mount namespaces here (step " << status << ")";
  }
  ASSERT_EQ(status, 0);
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(ReadFileText(victim / "secret.txt"), "victim's secret");
  EXPECT_EQ(StoredCopies(store_, "victim's secret"), 0) << ReadFileText(dir_ / "daemon.log");
  for (const auto& row : Editions()) {
    EXPECT_NE(row.fileName, (victim / "secret.txt").string()) << ReadFileText(dir_ / "daemon.log");
  }
}

// truncate(2) by path opens nothing: only with --pre-content is the content
// it cuts kept, as an open with O_TRUNC keeps it; without, the start says so.
TEST_P(ProtectTest, WithPreContentATruncateByPathKeepsTheOldContent) {
  if (GetParam() != "ext4") GTEST_SKIP() << "one file system with pre-content events is enough";
  std::string why;
  if (!tool::PreContentGuard::Supported(&why)) GTEST_SKIP() << why;
  const std::filesystem::path doc = tree_ / "doc.txt", same = tree_ / "same.txt";
  WriteFileText(doc, "old content");
  WriteFileText(same, "same length");
  Start();
  const std::string uncovered = "truncate(2) by path is not covered";
  EXPECT_NE(ReadFileText(dir_ / "daemon.log").find(uncovered + " (start with --pre-content"),
            std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
  ASSERT_EQ(::truncate(doc.c_str(), 3), 0);
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  EXPECT_TRUE(Editions().empty()) << "not seen without pre-content events";

  WriteFileText(doc, "old content");
  // Truncated each by a process of its own, which the daemon may read of
  // before that process has gone to sleep waiting for the answer.
  constexpr int kByOthers = 40;
  std::vector<std::string> others;
  for (int i = 0; i < kByOthers; ++i) {
    others.push_back((tree_ / ("t" + std::to_string(i) + ".txt")).string());
    WriteFileText(others.back(), "before " + std::to_string(i));
  }
  StartWith({"--pre-content"});
  EXPECT_EQ(ReadFileText(dir_ / "daemon.log").find(uncovered), std::string::npos)
      << ReadFileText(dir_ / "daemon.log");
  ASSERT_EQ(::truncate(doc.c_str(), 0), 0);
  ASSERT_EQ(::truncate(same.c_str(), 11), 0);  // its length already: nothing cut
  EXPECT_EQ(ReadFileText(same), "same length") << "reads pass";
  for (const std::string& other : others) {
    const char* path = other.c_str();
    const pid_t child = ::fork();
    if (child == 0) ::_exit(::truncate(path, 0) == 0 ? 0 : 1);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
  }
  // A directory made later is covered once the daemon has marked it.
  std::filesystem::create_directory(tree_ / "new");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (MarkCount(pid_, tree_ / "new") < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(MarkCount(pid_, tree_ / "new"), 3) << "content, notification and pre-content";
  WriteFileText(tree_ / "new" / "n.txt", "first");
  ASSERT_EQ(::truncate((tree_ / "new" / "n.txt").c_str(), 2), 0);
  ASSERT_EQ(Stop(), 0) << ReadFileText(dir_ / "daemon.log");
  EXPECT_NE(ReadFileText(dir_ / "daemon.log")
                .find(std::to_string(2 + kByOthers) + " truncates by path copied"),
            std::string::npos)
      << ReadFileText(dir_ / "daemon.log");

  std::map<std::string, std::vector<testing::EditionRow>> byFile;
  for (const auto& row : Editions()) byFile[row.fileName].push_back(row);
  EXPECT_EQ(byFile.size(), 2u + kByOthers) << "none for the truncate that cut nothing";
  for (int i = 0; i < kByOthers; ++i) {
    ASSERT_EQ(byFile[others[i]].size(), 1u) << others[i];
    EXPECT_EQ(ReadFileText(store_ / "Backup" / byFile[others[i]][0].backupName),
              "before " + std::to_string(i));
  }
  ASSERT_EQ(byFile[doc.string()].size(), 1u) << ReadFileText(dir_ / "daemon.log");
  EXPECT_EQ(byFile[doc.string()][0].operation, 2);
  ASSERT_EQ(byFile[(tree_ / "new" / "n.txt").string()].size(), 1u);
  EXPECT_EQ(
      ReadFileText(store_ / "Backup" / byFile[(tree_ / "new" / "n.txt").string()][0].backupName),
      "first");
  const std::filesystem::path restored = dir_ / "restored.txt";
  ASSERT_TRUE(Shell(std::string(ORV_TOOL_PATH) + " --store " + store_.string() + " restore " +
                    doc.string() + " --to " + restored.string()));
  EXPECT_EQ(ReadFileText(restored), "old content");
  EXPECT_EQ(ReadFileText(doc), "");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, ProtectTest, ::testing::Values("tmp", "ext4", "btrfs", "xfs"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace orv
