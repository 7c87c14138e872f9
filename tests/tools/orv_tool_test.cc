// The orv command, run as a user runs it, on temporary stores.
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include "daemon_record.h"
#include "platform/display_text.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using testing::ReadFileText;
using testing::WriteFileText;

struct Result {
  int status = -1;
  std::string out, err;
};

class OrvToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(docs_);
    std::filesystem::create_directories(dir_ / "policy");
    WriteFileText(dir_ / "policy" / "lpolicy.xml",
                  "<p><g><f name=\"Location\" hitaction=\"Backup\" missaction=\"Ignore\"><v v=\"" +
                      docs_.string() + "/\"/></f></g></p>");
  }

  Result Orv(const std::string& arguments) {
    const std::string command = std::string(ORV_TOOL_PATH) + " --store " + store_.string() +
                                " --policy " + (dir_ / "policy").string() + " " + arguments + " >" +
                                (dir_ / "out").string() + " 2>" + (dir_ / "err").string();
    Result result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFileText(dir_ / "out");
    result.err = ReadFileText(dir_ / "err");
    return result;
  }

  // Replays an open and a changed close of name: its current content is kept.
  void Save(const std::string& name, const std::string& time) {
    const std::string path = (docs_ / name).string();
    std::ofstream(dir_ / "trace.jsonl")
        << "{\"op\": \"open\", \"path\": \"" << path << "\", \"time\": \"" << time << "\"}\n"
        << "{\"op\": \"close\", \"path\": \"" << path << "\", \"changed\": true}\n";
    const Result result = Orv("replay " + (dir_ / "trace.jsonl").string());
    ASSERT_EQ(result.status, 0) << result.err;
  }

  // Replays the trace lines given.
  void Replay(const std::string& lines) {
    std::ofstream(dir_ / "trace.jsonl") << lines;
    const Result result = Orv("replay " + (dir_ / "trace.jsonl").string());
    ASSERT_EQ(result.status, 0) << result.err;
  }

  nlohmann::json Json(const std::string& arguments) {
    const Result result = Orv("--json " + arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return nlohmann::json::parse(result.out);
  }

  testing::TempDir dir_;
  std::filesystem::path store_ = dir_ / "store";
  std::filesystem::path docs_ = dir_ / "Documents";
};

TEST_F(OrvToolTest, VersionsOfOneFileAndRestores) {
  WriteFileText(docs_ / "a_b.txt", "one");
  Save("a_b.txt", "2026-12-01T10:00:00");
  WriteFileText(docs_ / "a_b.txt", "two");
  Save("a_b.txt", "2026-12-02T10:00:00");
  WriteFileText(docs_ / "A_B.txt", "other file");
  Save("A_B.txt", "2026-12-03T10:00:00");
  WriteFileText(docs_ / "axb.txt", "third file");
  Save("axb.txt", "2026-12-03T11:00:00");

  const nlohmann::json listing = Json("versions " + (docs_ / "a_b.txt").string());
  ASSERT_EQ(listing["editions"].size(), 2u) << listing.dump() << " (not the case or _ variants)";
  const nlohmann::json& newest = listing["editions"][0];
  EXPECT_EQ(newest["time"], "2026-12-02T10:00:00");
  EXPECT_EQ(newest["kind"], "modified");
  EXPECT_EQ(newest["size"], 3);
  EXPECT_EQ(newest["file"], (docs_ / "a_b.txt").string());
  EXPECT_TRUE(newest["sha1"].is_null());
  const int first = listing["editions"][1]["edition"];

  EXPECT_EQ(Json("versions '" + docs_.string() + "/%'")["editions"].size(), 4u);

  // Restore to a new file, then refuse to overwrite it, then --force.
  WriteFileText(docs_ / "a_b.txt", "three");
  const std::string target = (dir_ / "restored.txt").string();
  ASSERT_EQ(Orv("restore " + std::to_string(first) + " --to " + target).status, 0);
  EXPECT_EQ(ReadFileText(target), "one");
  Result refused = Orv("restore " + (docs_ / "a_b.txt").string() + " --to " + target);
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.err.find("exists (use --force"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadFileText(target), "one");
  ASSERT_EQ(Orv("restore " + (docs_ / "a_b.txt").string() + " --to " + target + " --force").status,
            0);
  EXPECT_EQ(ReadFileText(target), "two") << "a path means its newest edition";

  // --at gives the content then: the copy of the first edition after it;
  // --in-place.
  ASSERT_EQ(Orv("restore " + (docs_ / "a_b.txt").string() + " --at 2026-12-01T23:00 --to " +
                target + " --force")
                .status,
            0);
  EXPECT_EQ(ReadFileText(target), "two");
  ASSERT_EQ(
      Orv("restore " + (docs_ / "a_b.txt").string() + " --at 2026-11-30 --in-place --force").status,
      0);
  EXPECT_EQ(ReadFileText(docs_ / "a_b.txt"), "one");
  EXPECT_NE(Orv("restore " + (docs_ / "a_b.txt").string() + " --at 2026-11-30").status, 0);
  for (const auto& entry : std::filesystem::directory_iterator(docs_)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".orv-restore-", 0), std::string::npos)
        << "nothing half-written is left";
  }
}

TEST_F(OrvToolTest, BadInputGivesOneClearLineAndChangesNothing) {
  Result missing = Orv("versions /x");
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("no backup store at"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(store_)) << "a read-only command never creates a store";

  std::ofstream(dir_ / "bad.jsonl") << "{\"op\": \"open\", \"path\": \"/d/a\"}\n"
                                    << "\n"
                                    << "{\"op\": \"jump\", \"path\": \"/d/a\"}\n";
  Result malformed = Orv("replay " + (dir_ / "bad.jsonl").string());
  EXPECT_NE(malformed.status, 0);
  EXPECT_NE(malformed.err.find("line 3: unknown op 'jump'"), std::string::npos) << malformed.err;
  EXPECT_FALSE(std::filesystem::exists(store_)) << "nothing of a bad trace is applied";

  WriteFileText(docs_ / "a.txt", "x");
  Save("a.txt", "2026-12-01T10:00:00");
  Result unknown = Orv("cat 999");
  EXPECT_NE(unknown.status, 0);
  EXPECT_EQ(unknown.err, "orv: no content for edition 999\n");
  EXPECT_NE(Orv("restore 1").status, 0) << "no destination given";
  EXPECT_NE(Orv("versions /no/such/file").status, 0);

  // Mistakes on the command line: one line each, and the usage status.
  const std::string nowhere = (dir_ / "nowhere").string();
  const std::map<std::string, std::string> usage = {
      {"replay " + nowhere, "no such file: " + nowhere},
      {"replay " + docs_.string(), docs_.string() + " is a directory"},
      {"protect " + nowhere, "no such directory: " + nowhere},
      {"frobnicate", "unknown command frobnicate"},
      {"--quota 0 status", "--quota: must be more than 0 (see orv --help)"},
      {"--quota 12Q status", "not a size"},
      {"versions", "PATH|PATTERN is required"},
  };
  for (const auto& [arguments, expected] : usage) {
    const Result result = Orv(arguments);
    EXPECT_EQ(result.status, 2) << arguments << ": " << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.err.rfind("orv: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(expected), std::string::npos) << arguments << ": " << result.err;
  }
  EXPECT_EQ(Json("--quota 10G status")["quota"], 10ull << 30);
  EXPECT_EQ(Orv("--help").status, 0);
}

// What a running orv protect leaves in its store, as status and the
// first-run messages read it.
TEST_F(OrvToolTest, StatusAndMessagesTellWhatTheDaemonDoes) {
  WriteFileText(docs_ / "a.txt", "x");
  Save("a.txt", "2026-12-01T10:00:00");
  nlohmann::json status = Json("status");
  EXPECT_EQ(status["daemon"]["running"], false);
  EXPECT_EQ(status["quotaSource"], "default");
  EXPECT_TRUE(status["freeBytes"].is_number()) << status.dump();
  EXPECT_TRUE(Json("--quota 1M status")["warnings"].empty()) << status.dump();

  const std::string unseen = (docs_ / "new.txt").string();
  {
    const tool::DaemonRecordFile record(store_, {::getpid(), 1765000000, 5ull << 30, {docs_}});
    status = Json("status");
    EXPECT_EQ(status["daemon"]["running"], true) << status.dump();
    EXPECT_EQ(status["daemon"]["pid"], ::getpid());
    EXPECT_EQ(status["daemon"]["trees"][0], docs_.string());
    EXPECT_EQ(status["quota"], 5ull << 30) << "the quota in effect is the daemon's";
    EXPECT_EQ(status["quotaSource"], "daemon");
    const Result text = Orv("status");
    EXPECT_NE(text.out.find("daemon      running since "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("quota       5 GiB (the daemon's)"), std::string::npos) << text.out;

    Result result = Orv("versions " + unseen);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "orv: no editions of " + unseen +
                              " yet: the daemon is running, editions appear within 10 s of a "
                              "change (a file made since it started has none until it is "
                              "changed again)\n");
    result = Orv("restore " + (dir_ / "elsewhere.txt").string() + " --to " + dir_.path().string());
    EXPECT_NE(result.err.find("outside the trees orv protect keeps (" + docs_.string() + ")"),
              std::string::npos)
        << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(store_ / tool::kDaemonRecordName)) << "a clean stop";
  EXPECT_NE(Orv("versions " + unseen).err.find("in the store"), std::string::npos);

  // A daemon killed: its record stays, unheld.
  const pid_t child = ::fork();
  if (child == 0) {
    std::optional<tool::DaemonRecordFile> record;
    record.emplace(store_, tool::DaemonRecord{::getpid(), 1765000000, 1ull << 30, {docs_}});
    ::_exit(0);  // as SIGKILL would: no destructor runs
  }
  int childStatus = 0;
  ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
  status = Json("status");
  EXPECT_EQ(status["daemon"]["running"], false) << status.dump();
  EXPECT_EQ(status["daemon"]["pid"], child);
  EXPECT_NE(Orv("status").out.find("did not stop cleanly"), std::string::npos);
  WriteFileText(store_ / tool::kDaemonRecordName, "{\"pid\": \"garbage");
  EXPECT_EQ(Json("status")["daemon"], nlohmann::json({{"running", false}}));

  // A quota nearly full, and one the file system cannot give.
  Result result = Orv("--quota 1 status");
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.err.find("orv: warning: the copies take 100% of the quota"), std::string::npos)
      << result.err;
  result = Orv("--quota 16000000T status");
  EXPECT_NE(result.err.find("is more than the copies can take on this file system"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(Json("--quota 16000000T status")["warnings"].size(), 1u);
}

TEST_F(OrvToolTest, MaintainRemovesDuplicatesAndJsonSurvivesRetentionOutput) {
  WriteFileText(docs_ / "a.txt", "same");
  Save("a.txt", "2026-12-01T10:00:00");
  Save("a.txt", "2026-12-02T10:00:00");
  const nlohmann::json report = Json("maintain --digest");
  EXPECT_EQ(report["editionsRemoved"], 1);
  EXPECT_EQ(report["copiesRemoved"], 1);
  EXPECT_EQ(report["editions"], 1);

  // A tiny quota makes the retention task print (and delete); the JSON stays whole.
  Result retention = Orv("--json --quota 1 maintain --retention");
  ASSERT_EQ(retention.status, 0) << retention.err;
  const nlohmann::json parsed = nlohmann::json::parse(retention.out);
  EXPECT_EQ(parsed["editions"], 0);
  EXPECT_NE(retention.err.find(", Size = 4, Time = "), std::string::npos) << retention.err;

  const nlohmann::json status = Json("status");
  EXPECT_EQ(status["files"], 1);
  EXPECT_EQ(status["copies"], 0);
  EXPECT_EQ(status["quota"], 1ull << 30);
}

// Every command that only reads, run on the store as it is: the store's
// files, names, modes, times and bytes are the same afterwards, whatever the
// command could or could not read. readable: the catalog can be read;
// copies: so can the copies.
class BrowsingTest : public OrvToolTest {
 protected:
  void SetUp() override {
    OrvToolTest::SetUp();
    WriteFileText(docs_ / "a.txt", "one");
    Save("a.txt", "2026-12-01T10:00:00");
    WriteFileText(docs_ / "a.txt", "two");
    Save("a.txt", "2026-12-02T10:00:00");
  }

  void BrowseAndCompare(const std::string& condition, bool readable, bool copies) {
    SCOPED_TRACE(condition);
    const std::string a = (docs_ / "a.txt").string();
    const std::string out = (dir_ / "restored.txt").string();
    struct Case {
      std::string arguments;
      bool needsCopies;
    };
    const std::vector<Case> cases = {
        {"files", false},         {"versions " + a, false}, {"cat 1", true},
        {"path 1", false},        {"status", false},        {"restore " + a + " --to " + out, true},
        {"--json status", false}, {"timeline", false}};
    for (const Case& command : cases) {
      SCOPED_TRACE(command.arguments);
      const std::string before = testing::DescribeTree(store_);
      const Result result = Orv(command.arguments);
      EXPECT_EQ(testing::DescribeTree(store_), before) << "the store changed";
      const bool succeeds = readable && (copies || !command.needsCopies);
      EXPECT_EQ(result.status == 0, succeeds) << result.err;
      if (!succeeds) {
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        const bool told = readable
                              ? result.err.find("no longer in the store") != std::string::npos ||
                                    result.err.find("has content") != std::string::npos
                              : result.err.find("cannot read the catalog") != std::string::npos;
        EXPECT_TRUE(told) << result.err;
      }
      std::filesystem::remove(out);
    }
  }
};

TEST_F(BrowsingTest, AHealthyStore) { BrowseAndCompare("healthy", true, true); }

TEST_F(BrowsingTest, AStoreWithoutItsCopies) {
  std::filesystem::rename(store_ / "Backup", dir_ / "Backup-aside");
  BrowseAndCompare("no Backup/", true, false);
  EXPECT_FALSE(std::filesystem::exists(store_ / "Backup")) << "never made again by a reader";
  EXPECT_NE(Orv("status").out.find("directory is missing"), std::string::npos);
}

TEST_F(BrowsingTest, AStoreWhoseCatalogIsGarbage) {
  testing::WriteFileText(store_ / "BackupDB.s3db", std::string(8192, '\x5a'));
  BrowseAndCompare("garbage catalog", false, true);
  EXPECT_FALSE(std::filesystem::exists(store_ / "BackupDB.s3db.unreadable"))
      << "a reader never sets the evidence aside";
}

TEST_F(BrowsingTest, AStoreOnAReadOnlyMount) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  // The store moves onto a tmpfs mounted at its own path, then read-only.
  const std::filesystem::path aside = dir_ / "store-aside";
  std::filesystem::rename(store_, aside);
  std::filesystem::create_directory(store_);
  ASSERT_EQ(std::system(("mount -t tmpfs -o size=16m tmpfs " + store_.string()).c_str()), 0);
  std::filesystem::copy(aside, store_, std::filesystem::copy_options::recursive);
  ::chmod(store_.c_str(), 0700);
  ASSERT_EQ(std::system(("mount -o remount,ro " + store_.string()).c_str()), 0);
  BrowseAndCompare("read-only mount", true, true);
  EXPECT_EQ(std::system(("umount " + store_.string()).c_str()), 0);
}

int EditionOfKind(const nlohmann::json& listing, const std::string& kind) {
  for (const auto& edition : listing["editions"]) {
    if (edition["kind"] == kind) return edition["edition"];
  }
  return 0;
}

void Sql(const std::filesystem::path& catalog, const std::string& text) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(catalog.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, text.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << text;
  sqlite3_close(db);
}

TEST_F(OrvToolTest, AStoreTheToolMakesIsItsOwnersAlone) {
  WriteFileText(docs_ / "a.txt", "x");
  std::ofstream(dir_ / "trace.jsonl")
      << "{\"op\": \"open\", \"path\": \"" << (docs_ / "a.txt").string() << "\"}\n";
  // No --policy: the tool makes the store itself, to put its default policy there.
  const std::string command = "umask 022 && " + std::string(ORV_TOOL_PATH) + " --store " +
                              store_.string() + " replay " + (dir_ / "trace.jsonl").string() +
                              " >/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  ASSERT_TRUE(std::filesystem::exists(store_ / "policy" / "lpolicy.xml"));
  struct stat st {};
  ASSERT_EQ(::stat(store_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u) << "made first for its policy, it is still private";
}

TEST_F(OrvToolTest, ContentThatIsNotARegularFileIsNeverOpened) {
  WriteFileText(docs_ / "a.txt", "x");
  Save("a.txt", "2026-12-01T10:00:00");
  std::ofstream(dir_ / "rename.jsonl")
      << "{\"op\": \"rename\", \"path\": \"" << (docs_ / "a.txt").string() << "\", \"target\": \""
      << (docs_ / "b.txt").string() << "\"}\n";
  ASSERT_EQ(Orv("replay " + (dir_ / "rename.jsonl").string()).status, 0);
  const int renamed = EditionOfKind(Json("versions " + (docs_ / "a.txt").string()), "renamed");
  ASSERT_NE(renamed, 0);
  // The renamed file's content lies where its owner keeps it: a FIFO there
  // must not hang the tool (timeout's status is 124).
  ASSERT_EQ(::mkfifo((docs_ / "b.txt").c_str(), 0600), 0);
  const std::string command = "timeout 10 " + std::string(ORV_TOOL_PATH) + " --store " +
                              store_.string() + " cat " + std::to_string(renamed) + " 2>" +
                              (dir_ / "err").string();
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << ReadFileText(dir_ / "err");
  EXPECT_NE(ReadFileText(dir_ / "err").find("not a regular file"), std::string::npos)
      << ReadFileText(dir_ / "err");
}

TEST_F(OrvToolTest, ARestoreNeverFollowsAnotherUsersLink) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a link of another user needs root";
  WriteFileText(docs_ / "a.txt", "mine");
  Save("a.txt", "2026-12-01T10:00:00");
  std::filesystem::create_directories(dir_ / "system");
  std::filesystem::create_directory_symlink(dir_ / "system", dir_ / "planted");
  ASSERT_EQ(::lchown((dir_ / "planted").c_str(), 65534, 65534), 0);
  const Result result = Orv("restore " + (docs_ / "a.txt").string() + " --to " +
                            (dir_ / "planted" / "passwd").string());
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("symbolic link of another user"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "system" / "passwd"));

  // A link of root's own is followed as before.
  ASSERT_EQ(::lchown((dir_ / "planted").c_str(), 0, 0), 0);
  EXPECT_EQ(Orv("restore " + (docs_ / "a.txt").string() + " --to " +
                (dir_ / "planted" / "passwd").string())
                .status,
            0);
  EXPECT_EQ(ReadFileText(dir_ / "system" / "passwd"), "mine");
}

TEST_F(OrvToolTest, AsRootAStoreAnotherUserCanChangeIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "the check is root's";
  WriteFileText(docs_ / "a.txt", "x");
  Save("a.txt", "2026-12-01T10:00:00");
  ASSERT_EQ(Orv("versions " + (docs_ / "a.txt").string()).status, 0);
  ASSERT_EQ(::chown(store_.c_str(), 65534, 65534), 0);
  Result result = Orv("versions " + (docs_ / "a.txt").string());
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("may be changed by another user"), std::string::npos) << result.err;
  EXPECT_NE(Orv("status").status, 0);
  ASSERT_EQ(::chown(store_.c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);  // anyone may swap the store
  result = Orv("maintain");
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("others may write in it"), std::string::npos) << result.err;
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0700), 0);
  EXPECT_EQ(Orv("versions " + (docs_ / "a.txt").string()).status, 0);
}

TEST_F(OrvToolTest, AUserReadingRootsStoreIsToldToUseSudo) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to make a store a user may not read";
  WriteFileText(docs_ / "a.txt", "x");
  Save("a.txt", "2026-12-01T10:00:00");
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(store_.c_str(), 0700), 0);
  const std::string command = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                              std::string(ORV_TOOL_PATH) + " --store " + store_.string() +
                              " versions " + (docs_ / "a.txt").string() + " 2>" +
                              (dir_ / "err").string();
  const int status = std::system(command.c_str());
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0700), 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(ReadFileText(dir_ / "err"),
            "orv: permission denied: run with sudo, the store is " + store_.string() + "\n");
}

TEST_F(OrvToolTest, InPlaceWritesOnlyToAPlainAbsolutePath) {
  WriteFileText(docs_ / "a.txt", "old");
  Save("a.txt", "2026-12-01T10:00:00");
  WriteFileText(docs_ / "a.txt", "new");
  std::filesystem::create_directories(dir_ / "elsewhere");
  // A catalog that names its file by a path climbing out of where it seems.
  Sql(store_ / "BackupDB.s3db",
      "Update BackupFile Set FileName = '" + docs_.string() + "/../elsewhere/a.txt'");
  const Result result = Orv("restore 1 --in-place --force");
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.err.find("is not a plain absolute path"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "elsewhere" / "a.txt"));
}

TEST_F(OrvToolTest, EditionsOfOneSecondComeInTheOrderTheyWereRecorded) {
  // Three saves in one second, of two files: "the newest" must not be
  // whichever row SQLite happens to return first.
  for (const char* content : {"one", "two", "three"}) {
    WriteFileText(docs_ / "a.txt", content);
    Save("a.txt", "2026-12-01T10:00:00");
    WriteFileText(docs_ / "b.txt", content);
    Save("b.txt", "2026-12-01T10:00:00");
  }
  for (const std::string& target : {(docs_ / "a.txt").string(), docs_.string() + "/%"}) {
    SCOPED_TRACE(target);
    const nlohmann::json newest = Json("versions '" + target + "'")["editions"];
    ASSERT_GE(newest.size(), 3u);
    for (size_t i = 1; i < newest.size(); ++i) {
      EXPECT_GT(newest[i - 1]["edition"].get<int>(), newest[i]["edition"].get<int>());
    }
    const nlohmann::json oldest = Json("versions --oldest-first '" + target + "'")["editions"];
    for (size_t i = 1; i < oldest.size(); ++i) {
      EXPECT_LT(oldest[i - 1]["edition"].get<int>(), oldest[i]["edition"].get<int>());
    }
  }
  ASSERT_EQ(
      Orv("restore " + (docs_ / "a.txt").string() + " --to " + (dir_ / "r.txt").string()).status,
      0);
  EXPECT_EQ(ReadFileText(dir_ / "r.txt"), "three") << "the last recorded edition of that second";
}

TEST_F(OrvToolTest, AnEditionNumberPast32BitsIsNoOtherEdition) {
  WriteFileText(docs_ / "a.txt", "x");
  Save("a.txt", "2026-12-01T10:00:00");
  const Result result = Orv("restore 4294967297 --to " + (dir_ / "out.txt").string());
  EXPECT_NE(result.status, 0);
  EXPECT_EQ(result.err, "orv: no edition 4294967297 in the store\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.txt")) << "edition 1 is not edition 2^32 + 1";
}

TEST(DisplayTextTest, EveryControlBackslashAndInvalidUnitIsVisibleAndUnambiguous) {
  EXPECT_EQ(DisplayText(std::string_view("plain caf\xc3\xa9 \xf0\x9f\x93\x84.txt")),
            "plain caf\xc3\xa9 \xf0\x9f\x93\x84.txt");
  EXPECT_EQ(DisplayText(std::string_view("a\nb\rc\td\\e")), "a\\nb\\rc\\td\\\\e");
  EXPECT_EQ(DisplayText(std::string_view("\x1b]0;owned\x07\x7f")), "\\x1b]0;owned\\x07\\x7f");
  // A C1 control (U+009B, a terminal's CSI) and the invalid byte 9b differ.
  EXPECT_EQ(DisplayText(std::string_view("\xc2\x9b|\x9b")), "\\u009b|\\x9b");
  // Not UTF-8: a lone byte, a truncated sequence, an overlong "/", an encoded
  // surrogate and a value past U+10FFFF, each byte on its own.
  EXPECT_EQ(DisplayText(std::string_view("r\xff.txt")), "r\\xff.txt");
  EXPECT_EQ(DisplayText(std::string_view("\xe2\x82")), "\\xe2\\x82");
  EXPECT_EQ(DisplayText(std::string_view("\xc0\xaf")), "\\xc0\\xaf");
  EXPECT_EQ(DisplayText(std::string_view("\xed\xa0\x80")), "\\xed\\xa0\\x80");
  EXPECT_EQ(DisplayText(std::string_view("\xf4\x90\x80\x80")), "\\xf4\\x90\\x80\\x80");
  EXPECT_EQ(DisplayText(std::string_view("nul\0x", 5)), "nul\\x00x");
  // UTF-16: pairs kept, lone surrogates escaped, controls as in UTF-8.
  EXPECT_EQ(DisplayText(std::u16string_view(u"\U0001F4C4 \xe9\n")), "\xf0\x9f\x93\x84 \xc3\xa9\\n");
  const char16_t lone[] = {u'a', 0xDC80, u'b', 0xD800, 0};
  EXPECT_EQ(DisplayText(std::u16string_view(lone)), "a\\udc80b\\ud800");
}

// A name holding a line end and a terminal escape: the listings, messages
// and the retention lines show it escaped, one line each, no raw control.
TEST_F(OrvToolTest, HostileNamesNeverForgeALineOrReachTheTerminal) {
  const std::string hostile = "x\n3\tforged\x1b]0;owned\x07.txt";
  WriteFileText(docs_ / hostile, "secret");
  std::ofstream(dir_ / "trace.jsonl")
      << nlohmann::json({{"op", "open"},
                         {"path", (docs_ / hostile).string()},
                         {"time", "2026-12-01T10:00:00"}})
             .dump()
      << "\n"
      << nlohmann::json({{"op", "close"}, {"path", (docs_ / hostile).string()}, {"changed", true}})
             .dump()
      << "\n";
  ASSERT_EQ(Orv("replay " + (dir_ / "trace.jsonl").string()).status, 0);
  const std::string shown = DisplayText(std::string_view((docs_ / hostile).string()));
  const auto noControl = [](const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
      return c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f);
    });
  };

  const Result files = Orv("files");
  ASSERT_EQ(files.status, 0) << files.err;
  EXPECT_EQ(files.out, "1\t" + shown + "\n");

  const Result versions = Orv("versions '" + docs_.string() + "/%'");
  ASSERT_EQ(versions.status, 0) << versions.err;
  EXPECT_EQ(std::count(versions.out.begin(), versions.out.end(), '\n'), 2) << versions.out;
  EXPECT_EQ(versions.out.rfind(shown + "\n", 0), 0u) << versions.out;
  EXPECT_TRUE(noControl(versions.out)) << versions.out;

  const Result path = Orv("path 1");
  ASSERT_EQ(path.status, 0) << path.err;
  EXPECT_EQ(std::count(path.out.begin(), path.out.end(), '\n'), 1) << path.out;
  EXPECT_TRUE(noControl(path.out)) << path.out;

  // Restored into a directory, under the file's own name.
  std::filesystem::create_directories(dir_ / "restored");
  const Result restored = Orv("restore 1 --to " + (dir_ / "restored").string());
  ASSERT_EQ(restored.status, 0) << restored.err;
  EXPECT_EQ(restored.out,
            "restored edition 1 to " +
                DisplayText(std::string_view((dir_ / "restored" / hostile).string())) + "\n");
  // An error line quoting a path that is not UTF-8 either.
  const Result missing = Orv("versions '/no/such/\xff\x1b[2J'");
  EXPECT_EQ(missing.err, "orv: no editions of /no/such/\\xff\\x1b[2J in the store\n");
  EXPECT_EQ(Json("versions '" + docs_.string() + "/%'")["editions"][0]["file"],
            (docs_ / hostile).string())
      << "--json keeps the name as it is";

  // The retention lines name the copy, made from the file's name.
  const Result retention = Orv("--quota 1 maintain --retention");
  ASSERT_EQ(retention.status, 0) << retention.err;
  EXPECT_NE(retention.out.find("x\\n3\\tforged\\x1b]0;owned\\x07.txt"), std::string::npos)
      << retention.out;
  EXPECT_TRUE(noControl(retention.out)) << retention.out;
}

TEST_F(OrvToolTest, EditionNumbersAreDecimalEverywhere) {
  std::ofstream trace(dir_ / "trace.jsonl");
  for (int i = 1; i <= 10; ++i) {
    const std::string path = (docs_ / ("f" + std::to_string(i))).string();
    WriteFileText(path, "content " + std::to_string(i));
    trace << "{\"op\": \"open\", \"path\": \"" << path
          << "\", \"time\": \"2026-12-01T10:00:" << (10 + i) << "\"}\n"
          << "{\"op\": \"close\", \"path\": \"" << path << "\", \"changed\": true}\n";
  }
  trace.close();
  ASSERT_EQ(Orv("replay " + (dir_ / "trace.jsonl").string()).status, 0);
  ASSERT_EQ(Orv("cat 10").out, "content 10");
  EXPECT_EQ(Orv("cat 010").out, "content 10") << "not octal 8";
  EXPECT_EQ(Orv("path 010").out, Orv("path 10").out);
  EXPECT_NE(Orv("path 010").out, Orv("path 8").out);
  for (const std::string command : {"cat", "path"}) {
    SCOPED_TRACE(command);
    Result result = Orv(command + " 0x1");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "orv: '0x1' is not an edition number (decimal digits)\n");
    result = Orv(command + " 4294967297");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "orv: no edition 4294967297 in the store\n") << "not edition 1";
  }
}

TEST_F(OrvToolTest, ATraceThatIsNotARegularFileNeverHangsReplay) {
  ASSERT_EQ(::mkfifo((dir_ / "trace.fifo").c_str(), 0600), 0);
  const std::string command = "timeout 10 " + std::string(ORV_TOOL_PATH) + " --store " +
                              store_.string() + " replay " + (dir_ / "trace.fifo").string() +
                              " 2>" + (dir_ / "err").string();
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "124: it hung";
  const std::string err = ReadFileText(dir_ / "err");
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
  EXPECT_FALSE(std::filesystem::exists(store_));
}

TEST_F(OrvToolTest, AsRootNothingIsMadeThroughAnotherUsersLinkToTheStore) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a link of another user needs root";
  WriteFileText(docs_ / "a.txt", "x");
  std::ofstream(dir_ / "trace.jsonl")
      << "{\"op\": \"open\", \"path\": \"" << (docs_ / "a.txt").string() << "\"}\n";
  std::filesystem::create_directories(dir_ / "system");
  std::filesystem::create_directory_symlink(dir_ / "system", dir_ / "lnk");
  ASSERT_EQ(::lchown((dir_ / "lnk").c_str(), 65534, 65534), 0);
  // Also a directory of that user's holding a link of root's own.
  std::filesystem::create_directories(dir_ / "theirs");
  std::filesystem::create_directory_symlink(dir_ / "system", dir_ / "theirs" / "lnk");
  ASSERT_EQ(::chown((dir_ / "theirs").c_str(), 65534, 65534), 0);
  for (const std::filesystem::path& store :
       {dir_ / "lnk" / "X" / "Y", dir_ / "lnk" / "X", dir_ / "theirs" / "lnk" / "X"}) {
    SCOPED_TRACE(store.string());
    const std::string command = std::string(ORV_TOOL_PATH) + " --store " + store.string() +
                                " replay " + (dir_ / "trace.jsonl").string() + " 2>" +
                                (dir_ / "err").string();
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(ReadFileText(dir_ / "err").find("may be changed by another user"), std::string::npos)
        << ReadFileText(dir_ / "err");
    EXPECT_TRUE(std::filesystem::is_empty(dir_ / "system")) << "made through the link";
  }
  // Without a link, the missing directories are made, the store's own private.
  const std::filesystem::path store = dir_ / "system" / "X" / "Y";
  EXPECT_EQ(std::system((std::string(ORV_TOOL_PATH) + " --store " + store.string() + " replay " +
                         (dir_ / "trace.jsonl").string() + " >/dev/null")
                            .c_str()),
            0);
  EXPECT_TRUE(std::filesystem::is_directory(store / "policy"));
  struct stat st {};
  ASSERT_EQ(::stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Stores made through the exports (replayed events on real files), with times
// after the files' births, as a live host's would be.
class ContentAtTest : public OrvToolTest {
 protected:
  // Local wall time of base_ + offset seconds, as traces and --at take it.
  std::string At(int offset) const {
    const time_t moment = base_ + offset;
    std::tm local{};
    ::localtime_r(&moment, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    return text;
  }
  std::string Event(const std::string& op, const std::string& name, int offset,
                    const std::string& extra = "") {
    return "{\"op\": \"" + op + "\", \"path\": " + nlohmann::json((docs_ / name).string()).dump() +
           ", \"time\": \"" + At(offset) + "\"" + extra + "}\n";
  }
  // The content of name until offset is what it holds now; after, content.
  void Change(const std::string& name, const std::string& content, int offset) {
    Replay(Event("open", name, offset));
    WriteFileText(docs_ / name, content);
    Replay(Event("close", name, offset, ", \"changed\": true"));
  }
  void Rename(const std::string& from, const std::string& to, int offset) {
    std::filesystem::rename(docs_ / from, docs_ / to);
    Replay(Event("rename", from, offset,
                 ", \"target\": " + nlohmann::json((docs_ / to).string()).dump()));
  }
  void Delete(const std::string& name, int offset) {
    Replay(Event("open", name, offset, ", \"access\": [\"delete\"]"));
    std::filesystem::remove(docs_ / name);
    Replay(Event("close", name, offset, ", \"changed\": true"));
  }
  // Every regular file below root, by relative path.
  static std::map<std::string, std::string> Tree(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) {
        files[entry.path().lexically_relative(root).string()] = ReadFileText(entry.path());
      }
    }
    return files;
  }

  time_t base_ = ::time(nullptr) + 10;
};

// One rule for every command: the content at T is the copy of the first
// edition after T (one second's editions by ID), else the file as it is now;
// renames are followed, never taken as a version.
TEST_F(ContentAtTest, TheContentAtAMomentIsOneRuleForFilesAndTrees) {
  const std::string hostile = "sub/h\nx\x1b[2J.txt";
  std::filesystem::create_directories(docs_ / "sub");
  for (const auto& [name, content] : std::map<std::string, std::string>{{"m.txt", "m1"},
                                                                        {"s.txt", "s1"},
                                                                        {"r.txt", "r1"},
                                                                        {"d.txt", "d1"},
                                                                        {"x.txt", "x1"},
                                                                        {"y.txt", "y1"},
                                                                        {"fresh.txt", "f"},
                                                                        {hostile, "h1"}}) {
    WriteFileText(docs_ / name, content);
  }
  Change("m.txt", "m2", 0);
  Change("m.txt", "m3", 10);
  for (const char* content : {"s2", "s3", "s4"}) Change("s.txt", content, 20);
  Rename("r.txt", "r2.txt", 30);
  Rename("r2.txt", "r3.txt", 31);
  Change("r3.txt", "R", 32);
  Delete("d.txt", 40);
  Rename("x.txt", "x.txt.locked", 50);  // renamed, then encrypted
  Change("x.txt.locked", "X!", 50);
  Change("y.txt", "Y!", 60);  // encrypted, then renamed
  Rename("y.txt", "y.txt.locked", 60);
  Change(hostile, "H!", 70);

  struct Case {
    std::string name;
    std::optional<int> at;
    std::string expected;  // the content, or "!" and a part of the error
  };
  const std::vector<Case> cases = {
      {"m.txt", -5, "m1"},
      {"m.txt", 0, "m2"},
      {"m.txt", 5, "m2"},
      {"m.txt", 10, "m3"},
      {"m.txt", {}, "m2"},
      {"s.txt", 19, "s1"},
      {"s.txt", 20, "s4"},
      {"s.txt", {}, "s3"},
      {"r.txt", 29, "r1"},
      {"r.txt", {}, "r1"},
      {"r.txt", 31, "!did not exist"},
      {"r2.txt", 30, "r1"},
      {"r3.txt", 30, "!did not exist"},
      {"r3.txt", 31, "r1"},
      {"r3.txt", 32, "R"},
      {"d.txt", 39, "d1"},
      {"d.txt", 40, "!did not exist"},
      {"x.txt", 49, "x1"},
      {"x.txt", {}, "x1"},
      {"x.txt.locked", 49, "!did not exist"},
      {"y.txt", 59, "y1"},
      {"y.txt", {}, "y1"},
      {"y.txt.locked", 60, "Y!"},
      {"fresh.txt", -100000, "!no editions"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " at " + (c.at ? std::to_string(*c.at) : "(last version)"));
    const std::filesystem::path out = dir_ / "out.txt";
    std::filesystem::remove(out);
    const Result result = Orv("restore " + (docs_ / c.name).string() +
                              (c.at ? " --at " + At(*c.at) : "") + " --to " + out.string());
    if (c.expected[0] == '!') {
      EXPECT_NE(result.status, 0);
      EXPECT_NE(result.err.find(c.expected.substr(1)), std::string::npos) << result.err;
    } else {
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(ReadFileText(out), c.expected);
    }
  }

  // The whole tree as it was at 45: what was there then, wherever it went.
  const std::map<std::string, std::string> then = {
      {"m.txt", "m3"}, {"s.txt", "s4"},    {"r3.txt", "R"}, {"x.txt", "x1"},
      {"y.txt", "y1"}, {"fresh.txt", "f"}, {hostile, "h1"}};
  const std::filesystem::path dest = dir_ / "then";
  const Result copied =
      Orv("restore " + docs_.string() + " --at " + At(45) + " --to " + dest.string());
  ASSERT_EQ(copied.status, 0) << copied.err;
  EXPECT_EQ(Tree(dest), then);
  EXPECT_EQ(copied.out.find('\x1b'), std::string::npos) << "names are shown escaped";

  // In place: a dry run says what would be done and does nothing.
  const std::map<std::string, std::string> now = Tree(docs_);
  const nlohmann::json plan =
      Json("restore " + docs_.string() + " --at " + At(45) + " --in-place --force --dry-run");
  std::map<std::string, std::string> actions;
  for (const auto& file : plan["files"]) actions[file["path"]] = file["action"];
  EXPECT_EQ(actions["x.txt"], "would restore");
  EXPECT_EQ(actions[hostile], "would restore");
  EXPECT_EQ(actions["x.txt.locked"], "new since then");
  EXPECT_EQ(actions["m.txt"], "unchanged");
  EXPECT_EQ(plan["summary"]["failed"], 0);
  EXPECT_EQ(Tree(docs_), now);
  // Without --force an existing file is not replaced, and says so.
  const Result refused = Orv("restore " + docs_.string() + " --at " + At(45) + " --in-place");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("exists (use --force"), std::string::npos) << refused.err;
  ASSERT_EQ(
      Orv("restore " + docs_.string() + " --at " + At(45) + " --in-place --force --remove-new")
          .status,
      0);
  EXPECT_EQ(Tree(docs_), then) << "the attacker's files removed, every file as it was";
}

// As root, a file put back in place keeps its owner, also in a shared sticky
// directory of root's, where the directory's owner is no one's.
TEST_F(ContentAtTest, InPlaceAFileKeepsTheOwnerOfTheFileItReplaces) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  ASSERT_EQ(::chmod(docs_.c_str(), 01777), 0);
  WriteFileText(docs_ / "victim.txt", "mine");
  ASSERT_EQ(::chown((docs_ / "victim.txt").c_str(), 65534, 65534), 0);
  Change("victim.txt", "encrypted", 0);
  ASSERT_EQ(::chown((docs_ / "victim.txt").c_str(), 65534, 65534), 0);
  for (const std::string& target : {(docs_ / "victim.txt").string(), docs_.string()}) {
    SCOPED_TRACE(target);
    WriteFileText(docs_ / "victim.txt", "encrypted");
    const Result result = Orv("restore " + target + " --at " + At(-1) + " --in-place --force");
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadFileText(docs_ / "victim.txt"), "mine");
    struct stat st {};
    ASSERT_EQ(::stat((docs_ / "victim.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
  }
}

// The trace lines of a save of path (an open and a changed close) at a local time.
std::string SaveLine(const std::filesystem::path& path, const std::string& time) {
  return "{\"op\": \"open\", \"path\": \"" + path.string() + "\", \"time\": \"" + time +
         "\"}\n{\"op\": \"close\", \"path\": \"" + path.string() + "\", \"changed\": true}\n";
}

class TimelineTest : public OrvToolTest {
 protected:
  // "start modified/deleted/renamed" for each bucket, in order.
  static std::vector<std::string> Buckets(const nlohmann::json& timeline) {
    std::vector<std::string> buckets;
    for (const nlohmann::json& bucket : timeline["buckets"]) {
      buckets.push_back(bucket["start"].get<std::string>() + " " +
                        std::to_string(bucket["modified"].get<int>()) + "/" +
                        std::to_string(bucket["deleted"].get<int>()) + "/" +
                        std::to_string(bucket["renamed"].get<int>()));
    }
    return buckets;
  }
};

TEST_F(TimelineTest, CountsEachKindPerMinuteForExactlyTheTree) {
  const std::filesystem::path tree = docs_ / "a_b";
  for (const auto& path : {tree / "one.txt", tree / "sub" / "two.txt", docs_ / "a_b2" / "three.txt",
                           docs_ / "aXb" / "four.txt", docs_ / "A_B" / "five.txt"}) {
    std::filesystem::create_directories(path.parent_path());
    WriteFileText(path, "plain");
  }
  // A store without editions: an event outside the policy makes it.
  Replay(SaveLine(dir_ / "outside.txt", "2026-12-01T09:00:00"));
  const nlohmann::json before = Json("status");
  EXPECT_TRUE(before.contains("lastEdition") && before["lastEdition"].is_null()) << before.dump();

  // Files saved at 10:00; at 10:02 one renamed, one deleted and a sibling's
  // file saved again.
  Replay(SaveLine(tree / "one.txt", "2026-12-01T10:00:10") +
         SaveLine(tree / "sub" / "two.txt", "2026-12-01T10:00:20") +
         SaveLine(docs_ / "a_b2" / "three.txt", "2026-12-01T10:00:30") +
         SaveLine(docs_ / "aXb" / "four.txt", "2026-12-01T10:00:40") +
         SaveLine(docs_ / "A_B" / "five.txt", "2026-12-01T10:00:50") +
         "{\"op\": \"rename\", \"path\": \"" + (tree / "one.txt").string() + "\", \"target\": \"" +
         (tree / "one.txt.locked").string() + "\", \"time\": \"2026-12-01T10:02:05\"}\n" +
         "{\"op\": \"open\", \"path\": \"" + (tree / "sub" / "two.txt").string() +
         "\", \"access\": [\"delete\"], \"time\": \"2026-12-01T10:02:06\"}\n" +
         "{\"op\": \"delete\", \"path\": \"" + (tree / "sub" / "two.txt").string() +
         "\", \"time\": \"2026-12-01T10:02:06\"}\n" +
         SaveLine(docs_ / "a_b2" / "three.txt", "2026-12-01T10:02:07"));

  const nlohmann::json all = Json("timeline");
  EXPECT_EQ(all["bucketSeconds"], 60);
  EXPECT_EQ(Buckets(all),
            (std::vector<std::string>{"2026-12-01T10:00:00 5/0/0", "2026-12-01T10:01:00 0/0/0",
                                      "2026-12-01T10:02:00 1/1/1"}))
      << all.dump();
  EXPECT_EQ(all["totals"], (nlohmann::json{{"modified", 6}, {"deleted", 1}, {"renamed", 1}}));
  EXPECT_EQ(
      all["buckets"][1]["timeStamp"].get<int64_t>() - all["buckets"][0]["timeStamp"].get<int64_t>(),
      60);

  // The tree is the directory itself and what lies below it, byte for byte:
  // not a_b2, nor what LIKE would take for it (aXb, A_B); a trailing "/" is
  // the same tree.
  for (const std::string& dir : {tree.string(), tree.string() + "/"}) {
    EXPECT_EQ(Buckets(Json("timeline " + dir)),
              (std::vector<std::string>{"2026-12-01T10:00:00 2/0/0", "2026-12-01T10:01:00 0/0/0",
                                        "2026-12-01T10:02:00 0/1/1"}))
        << dir;
  }
  EXPECT_EQ(Buckets(Json("timeline " + (tree / "sub" / "two.txt").string())),
            (std::vector<std::string>{"2026-12-01T10:00:00 1/0/0", "2026-12-01T10:01:00 0/0/0",
                                      "2026-12-01T10:02:00 0/1/0"}))
      << "a file is a tree of one";
  EXPECT_TRUE(Json("timeline " + (docs_ / "a_").string())["buckets"].empty());

  // Bounds are inclusive, to the second.
  EXPECT_EQ(Buckets(Json("timeline --since 2026-12-01T10:00:40 --until 2026-12-01T10:02:05")),
            (std::vector<std::string>{"2026-12-01T10:00:00 2/0/0", "2026-12-01T10:01:00 0/0/0",
                                      "2026-12-01T10:02:00 0/0/1"}));
  const Result bad = Orv("timeline --since 2026-02-30");
  EXPECT_NE(bad.status, 0);
  EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;
  EXPECT_NE(bad.err.find("not a time: '2026-02-30'"), std::string::npos) << bad.err;

  const nlohmann::json status = Json("status");
  EXPECT_EQ(status["lastEdition"], "2026-12-01T10:02:07");
  EXPECT_EQ(status["lastEditionTimeStamp"], all["buckets"][2]["timeStamp"].get<int64_t>() + 7);
  const Result text = Orv("status");
  EXPECT_NE(text.out.find("\nlast edition 2026-12-01T10:02:07\n"), std::string::npos) << text.out;
}

TEST_F(TimelineTest, MarksASuddenRiseAndWidensToHoursOverLongSpans) {
  std::string trace;
  for (int i = 0; i < 14; ++i) {
    const std::filesystem::path path = docs_ / ("f" + std::to_string(i) + ".txt");
    WriteFileText(path, "plain");
    // Two files at 09:59, twelve from 10:03 on.
    trace += SaveLine(path, i < 2 ? "2026-12-01T09:59:0" + std::to_string(i)
                                  : "2026-12-01T10:03:" + std::to_string(10 + i));
  }
  Replay(trace);
  const nlohmann::json minutes = Json("timeline");
  ASSERT_EQ(minutes["buckets"].size(), 5u) << minutes.dump();
  EXPECT_EQ(minutes["buckets"][4]["modified"], 12);
  EXPECT_EQ(minutes["buckets"][4]["jump"], true);
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(minutes["buckets"][i].contains("jump")) << i;

  const Result chart = Orv("timeline");
  ASSERT_EQ(chart.status, 0) << chart.err;
  const std::string expected =
      "files per minute, 2026-12-01T09:59 to 2026-12-01T10:03 (# modified, x deleted, > "
      "renamed)\n"
      "2026-12-01T09:59   2 modified   0 deleted   0 renamed  " +
      std::string(10, '#') +
      "\n"
      "2026-12-01T10:00   0 modified   0 deleted   0 renamed\n"
      "2026-12-01T10:01   0 modified   0 deleted   0 renamed\n"
      "2026-12-01T10:02   0 modified   0 deleted   0 renamed\n"
      "2026-12-01T10:03  12 modified   0 deleted   0 renamed  " +
      std::string(60, '#') +
      "  <- sudden rise\n"
      "total  14 modified, 0 deleted, 0 renamed\n"
      "sudden rise from 2026-12-01T10:03; the files as they were just before: --at "
      "2026-12-01T10:02:59\n";
  EXPECT_EQ(chart.out, expected) << "(no terminal: bars of 60 columns)";

  // Past six hours, a bucket is an hour; a long empty run is one line.
  WriteFileText(docs_ / "late.txt", "plain");
  Save("late.txt", "2026-12-01T17:30:00");
  const nlohmann::json hours = Json("timeline");
  EXPECT_EQ(hours["bucketSeconds"], 3600);
  EXPECT_EQ(Buckets(hours).front(), "2026-12-01T09:00:00 2/0/0");
  EXPECT_EQ(Buckets(hours).at(1), "2026-12-01T10:00:00 12/0/0");
  EXPECT_EQ(Buckets(hours).back(), "2026-12-01T17:00:00 1/0/0");
  EXPECT_EQ(hours["buckets"].size(), 9u);
  const std::string text = Orv("timeline").out;
  EXPECT_EQ(text.find("files per hour, 2026-12-01T09:00 to 2026-12-01T17:00"), 0u) << text;
  EXPECT_NE(text.find("\n…  6 hours without editions\n2026-12-01T17:00"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace orv
