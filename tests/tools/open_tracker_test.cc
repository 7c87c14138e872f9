// The open tracker: which events the engine is told, and when a close counts
// as a change. Files are stamps in a table; nothing is opened.
#include "protect/open_tracker.h"

#include <map>
#include <vector>

#include <gtest/gtest.h>

namespace orv {
namespace {

using tool::FileEvent;
using tool::FileStamp;
using Kind = FileEvent::Kind;

struct RecordingSink : tool::EventSink {
  void Report(const FileEvent& event) override { events.push_back(event); }
  std::vector<FileEvent> events;
};

FileStamp Stamp(int64_t size, time_t mtime, time_t ctime) { return {size, {mtime, 0}, {ctime, 0}}; }

class OpenTrackerTest : public ::testing::Test {
 protected:
  // The close events reported since the last call, as (path, changed).
  std::vector<std::pair<std::string, bool>> TakeCloses() {
    std::vector<std::pair<std::string, bool>> closes;
    for (const FileEvent& event : sink_.events) {
      if (event.kind == Kind::kClose) closes.emplace_back(event.path, event.changed);
    }
    sink_.events.clear();
    return closes;
  }

  RecordingSink sink_;
  std::map<std::string, FileStamp> files_;
  tool::OpenTracker tracker_{sink_, [this](const std::string& path) -> std::optional<FileStamp> {
                               const auto it = files_.find(path);
                               if (it == files_.end()) return std::nullopt;
                               return it->second;
                             }};
};

using Closes = std::vector<std::pair<std::string, bool>>;

TEST(ChangedSinceTest, SizeMtimeCtimeOrAMissingFileCountAsAChange) {
  const FileStamp open = Stamp(10, 100, 100);
  EXPECT_FALSE(tool::ChangedSince(open, open));
  EXPECT_TRUE(tool::ChangedSince(open, Stamp(11, 100, 100)));
  EXPECT_TRUE(tool::ChangedSince(open, Stamp(10, 101, 100)));
  EXPECT_TRUE(tool::ChangedSince(open, Stamp(10, 100, 101))) << "a write through a mapping";
  FileStamp nanos = open;
  nanos.mtime.tv_nsec = 1;
  EXPECT_TRUE(tool::ChangedSince(open, nanos));
  EXPECT_TRUE(tool::ChangedSince(open, std::nullopt));
}

TEST_F(OpenTrackerTest, AnOpenIsReportedAndItsCloseSaysWhetherTheFileChanged) {
  files_["/t/a"] = files_["/t/b"] = files_["/t/c"] = Stamp(5, 100, 100);
  tracker_.Opened("/t/a", files_["/t/a"]);
  tracker_.Opened("/t/b", files_["/t/b"]);
  tracker_.Opened("/t/c", files_["/t/c"]);
  ASSERT_EQ(sink_.events.size(), 3u);
  EXPECT_EQ(sink_.events[0].kind, Kind::kOpenForWriting);
  EXPECT_EQ(sink_.events[0].path, "/t/a");

  files_["/t/b"] = Stamp(5, 100, 200);  // only the ctime moved
  tracker_.Modified("/t/c");            // a write with the stamp put back
  tracker_.Closed("/t/a");
  tracker_.Closed("/t/b");
  tracker_.Closed("/t/c");
  EXPECT_EQ(TakeCloses(), (Closes{{"/t/a", false}, {"/t/b", true}, {"/t/c", true}}));

  // A close of a file whose open is not known is a change: the daemon
  // cannot tell, and a change not reported loses an edition.
  tracker_.Closed("/t/a");
  tracker_.Closed("/t/elsewhere");
  EXPECT_EQ(TakeCloses(), (Closes{{"/t/a", true}, {"/t/elsewhere", true}}));
}

TEST_F(OpenTrackerTest, TwoOpensOfOneFileAreClosedOneByOne) {
  files_["/t/a"] = Stamp(5, 100, 100);
  tracker_.Opened("/t/a", files_["/t/a"]);
  tracker_.Opened("/t/a", files_["/t/a"]);
  tracker_.Modified("/t/a");
  tracker_.Closed("/t/a");
  // The modification was the first close's; the second open still waits.
  tracker_.Closed("/t/a");
  EXPECT_EQ(TakeCloses(), (Closes{{"/t/a", true}, {"/t/a", false}}));
  tracker_.SettleMergedCloses();
  EXPECT_TRUE(TakeCloses().empty()) << "both opens were closed";
}

TEST_F(OpenTrackerTest, ATruncateIsAnOpenClosedChangedAtOnceThatLeavesOtherOpensAlone) {
  files_["/t/a"] = Stamp(5, 100, 100);
  tracker_.Opened("/t/a", files_["/t/a"]);
  sink_.events.clear();
  tracker_.Truncated("/t/a", 7);
  ASSERT_EQ(sink_.events.size(), 2u);
  EXPECT_EQ(sink_.events[0].kind, Kind::kOpenForWriting);
  EXPECT_EQ(sink_.events[0].path, "/t/a");
  EXPECT_EQ(sink_.events[0].descriptor, 7) << "copied from the file, not its name";
  EXPECT_EQ(TakeCloses(), (Closes{{"/t/a", true}}));
  // The open still waits for its own close, judged by its own stamp.
  tracker_.Closed("/t/a");
  EXPECT_EQ(TakeCloses(), (Closes{{"/t/a", false}}));
  tracker_.Truncated("/t/b", 8);
  sink_.events.clear();
  tracker_.SettleMergedCloses();
  EXPECT_TRUE(sink_.events.empty()) << "a truncate leaves no open behind";
}

TEST_F(OpenTrackerTest, MergedClosesAreSettledByTheSameRuleAsAClose) {
  files_["/t/same"] = files_["/t/ctime"] = files_["/t/gone"] = files_["/t/twice"] =
      Stamp(5, 100, 100);
  for (const char* path : {"/t/same", "/t/ctime", "/t/gone", "/t/twice", "/t/twice"}) {
    tracker_.Opened(path, files_[path]);
  }
  files_["/t/ctime"].ctime.tv_sec = 101;
  files_.erase("/t/gone");
  files_["/t/twice"].size = 6;
  sink_.events.clear();
  tracker_.SettleMergedCloses();
  EXPECT_EQ(TakeCloses(), (Closes{{"/t/ctime", true},
                                  {"/t/gone", true},
                                  {"/t/same", false},
                                  {"/t/twice", true},
                                  {"/t/twice", true}}));
  tracker_.SettleMergedCloses();
  EXPECT_TRUE(sink_.events.empty()) << "settled once";
}

TEST_F(OpenTrackerTest, ADeletionForgetsTheOpensAndARenameIsPassedOn) {
  files_["/t/a"] = Stamp(5, 100, 100);
  tracker_.Opened("/t/a", files_["/t/a"]);
  // Unlinked while open: the kernel reports the deletion, then the close.
  tracker_.Deleted("/t/a");
  tracker_.Closed("/t/a");
  tracker_.Renamed("/t/x", "/t/y");
  tracker_.SettleMergedCloses();
  ASSERT_EQ(sink_.events.size(), 4u);
  EXPECT_EQ(sink_.events[1].kind, Kind::kDelete);
  EXPECT_EQ(sink_.events[1].path, "/t/a");
  EXPECT_EQ(sink_.events[2].kind, Kind::kClose);
  EXPECT_TRUE(sink_.events[2].changed);
  EXPECT_EQ(sink_.events[3].kind, Kind::kRename);
  EXPECT_EQ(sink_.events[3].path, "/t/x");
  EXPECT_EQ(sink_.events[3].target, "/t/y");
}

}  // namespace
}  // namespace orv
