// The orv command, run as a user runs it, on temporary stores.
#include <sys/wait.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

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

  // --at picks the newest edition not later than the time; --in-place.
  ASSERT_EQ(
      Orv("restore " + (docs_ / "a_b.txt").string() + " --at 2026-12-01T23:00 --in-place --force")
          .status,
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

}  // namespace
}  // namespace orv
