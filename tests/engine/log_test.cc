#include "engine/log.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/lifecycle.h"
#include "platform/path.h"
#include "support/engine_config.h"
#include "support/fake_env.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using testing::FakeEnv;
using testing::LogMessages;
using testing::ReadFileText;
using testing::ScopedEnv;
using testing::SetNumberItem;
using testing::SetStringItem;
using testing::TempDir;
using testing::WriteFileText;

class LogTest : public ::testing::Test {
 protected:
  // The log writer alone, set up as Start sets it up.
  void StartLog(uint32_t level) { TheLog().Setup(level, JoinPath(dir_.u16(), u"orv.log")); }
  void StopLog() { TheLog().TakeDown(); }

  void StartEngine(uint32_t level) {
    ASSERT_EQ(SetStringItem(CONFIG_LOG_DIRECTORY, dir_.u16()), ENG_OK);
    ASSERT_EQ(SetNumberItem(CONFIG_LOG_LEVEL, level), ENG_OK);
    ASSERT_EQ(EngineInitialize(), ENG_OK);
    ASSERT_EQ(EngineStart(), ENG_OK);
  }
  void StopEngine() {
    ASSERT_EQ(EngineStop(), ENG_OK);
    ASSERT_EQ(EngineFinalize(), ENG_OK);
  }
  std::filesystem::path logFile() const { return dir_ / "orv.log"; }

  FakeEnv env_;
  ScopedEnv scopedEnv_{&env_};
  TempDir dir_;
};

TEST_F(LogTest, LineHasTheExactPrefixAndAMessageLineEndIsKept) {
  env_.SetLocalTime({2026, 3, 3, 4, 5, 6, 7, 89});
  env_.SetThreadId(4242);
  StartLog(0);
  WriteLog(kLogLifecycle, u"X\n");
  WriteLog(kLogTrace, u"Y");
  EXPECT_EQ(ReadFileText(logFile()),
            "[2026-03-04 05:06:07(089)] TID:4242\tX\n\n"
            "[2026-03-04 05:06:07(089)] TID:4242\tY\n");
}

TEST_F(LogTest, ThresholdIsInclusive) {
  StartLog(16);
  WriteLog(16, u"at");
  WriteLog(15, u"below");
  WriteLog(0xFFFFFFFF, u"top");
  EXPECT_EQ(LogMessages(logFile()), (std::vector<std::string>{"at", "top"}));
}

TEST_F(LogTest, HighestThresholdLetsOnlyTheHighestLevelThrough) {
  StartLog(0xFFFFFFFF);
  WriteLog(kLogConnectFailure, u"connect");
  WriteLog(0xFFFFFFFE, u"almost");
  WriteLog(0xFFFFFFFF, u"top");
  EXPECT_EQ(LogMessages(logFile()), (std::vector<std::string>{"top"}));
}

TEST_F(LogTest, FormatsUtf16ArgumentsAsPrintfWould) {
  StartLog(0);
  std::u16string broken = u"bad";
  broken.push_back(0xDC00);
  const char16_t* missing = nullptr;
  WriteLog(kLogStoreFault, u"Sqlite error code %d, %s\n", 19,
           std::u16string(u"UNIQUE \u00e9t\u00e9"));
  WriteLog(kLogThreadTimeout, u"Post Checker maybe not finished, dwWait = %08X!\n", 0x102u);
  WriteLog(kLogTrace, u"%d|%u|%s|%s", -5, 4000000000u, broken, missing);
  WriteLog(kLogTrace, u"%d %d", 1);  // a format its arguments do not fit
  EXPECT_EQ(testing::AllLogMessages(logFile()),
            (std::vector<std::string>{"Sqlite error code 19, UNIQUE \xC3\xA9t\xC3\xA9",
                                      "Post Checker maybe not finished, dwWait = 00000102!",
                                      "-5|4000000000|bad\xEF\xBF\xBD|(null)", "%d %d"}));
}

TEST_F(LogTest, AValueNeverBreaksItsLineOrHidesAPercentSign) {
  env_.SetLocalTime({2026, 3, 3, 4, 5, 6, 7, 89});
  env_.SetThreadId(7);
  StartLog(0);
  // A file name is anyone's text: a line end in it must not forge a line, an
  // escape must not reach a terminal, and "%s" in it is only text.
  const std::u16string name = u"/home/m/a\n[2026-03-04 05:06:07(089)] TID:1\tforged\x1B[2J%s%n";
  WriteLog(kLogStoreFault, u"[Backup Module] %s could not be copied\n", name);
  EXPECT_EQ(ReadFileText(logFile()),
            "[2026-03-04 05:06:07(089)] TID:7\t[Backup Module] /home/m/a\\x0A[2026-03-04 "
            "05:06:07(089)] TID:1\\x09forged\\x1B[2J%s%n could not be copied\n\n");
}

TEST_F(LogTest, NothingIsWrittenBeforeStartOrAfterStop) {
  ASSERT_EQ(SetStringItem(CONFIG_LOG_DIRECTORY, dir_.u16()), ENG_OK);
  WriteLog(0xFFFFFFFF, u"before initialize");
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  WriteLog(0xFFFFFFFF, u"before start");
  EXPECT_FALSE(std::filesystem::exists(logFile()));

  ASSERT_EQ(EngineStart(), ENG_OK);
  WriteLog(0xFFFFFFFF, u"while started");
  ASSERT_EQ(EngineStop(), ENG_OK);
  WriteLog(0xFFFFFFFF, u"after stop");
  ASSERT_EQ(EngineFinalize(), ENG_OK);
  WriteLog(0xFFFFFFFF, u"after finalize");
  EXPECT_EQ(LogMessages(logFile()),
            (std::vector<std::string>{"while started", "[Backup Module] Stopped"}));
}

TEST_F(LogTest, ConfigurationChangedWhileStartedWaitsForTheNextStart) {
  TempDir otherDir;
  StartEngine(16);
  ASSERT_EQ(SetStringItem(CONFIG_LOG_DIRECTORY, otherDir.u16()), ENG_OK);
  ASSERT_EQ(SetNumberItem(CONFIG_LOG_LEVEL, 256), ENG_OK);
  uint32_t level = 0;
  ASSERT_EQ(TheConfiguration().Query(CONFIG_LOG_LEVEL, &level), ENG_OK);
  EXPECT_EQ(level, 256u) << "the query answers the stored value at once";
  WriteLog(16, u"first run");
  StopEngine();

  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  WriteLog(16, u"below new threshold");
  WriteLog(256, u"second run");
  ASSERT_EQ(EngineStop(), ENG_OK);
  EXPECT_EQ(LogMessages(logFile()),
            (std::vector<std::string>{"first run", "[Backup Module] Stopped"}));
  EXPECT_EQ(LogMessages(otherDir / "orv.log"), (std::vector<std::string>{"second run"}));
}

TEST_F(LogTest, NoLogDirectoryMeansNoFileAnywhere) {
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  WriteLog(0xFFFFFFFF, u"nowhere");
  ASSERT_EQ(EngineStop(), ENG_OK);
  EXPECT_EQ(env_.appendOpens(), 0) << "never the root directory's orv.log";
}

TEST_F(LogTest, RotatesOnlyPastTwoMebibytesAndKeepsOneOldFile) {
  StartLog(0);
  WriteFileText(dir_ / "orv.log.old", "an older generation\n");
  WriteFileText(logFile(), std::string(kLogRotateSize, 'a'));
  WriteLog(kLogTrace, u"at the limit");
  EXPECT_EQ(ReadFileText(dir_ / "orv.log.old"), "an older generation\n");
  const auto grown = std::filesystem::file_size(logFile());
  EXPECT_GT(grown, kLogRotateSize);

  WriteLog(kLogTrace, u"past the limit");
  EXPECT_EQ(std::filesystem::file_size(dir_ / "orv.log.old"), grown);
  EXPECT_EQ(LogMessages(logFile()), (std::vector<std::string>{"past the limit"}));
}

TEST_F(LogTest, FailedRotationKeepsWritingToTheSameFile) {
  StartLog(0);
  WriteFileText(logFile(), std::string(kLogRotateSize + 1, 'a'));
  env_.FailRename(true);
  WriteLog(kLogTrace, u"still here");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "orv.log.old"));
  const std::string text = ReadFileText(logFile());
  EXPECT_GT(text.size(), kLogRotateSize + 1);
  EXPECT_EQ(text.substr(text.size() - 11), "still here\n");
  env_.FailRename(false);
  WriteLog(kLogTrace, u"rotated");
  EXPECT_EQ(LogMessages(logFile()), (std::vector<std::string>{"rotated"}));
}

TEST_F(LogTest, AnUnopenableFileLosesTheLineAndTheNextLineTriesAgain) {
  StartLog(0);
  env_.FailAppendOpen(true);
  WriteLog(kLogTrace, u"lost");
  env_.FailAppendOpen(false);
  WriteLog(kLogTrace, u"kept");
  EXPECT_EQ(LogMessages(logFile()), (std::vector<std::string>{"kept"}));
}

#ifndef _WIN32  // FIFOs and symbolic links made by users are Linux cases
TEST_F(LogTest, AFifoAtTheLogPathNeitherHangsNorBreaksTheEngine) {
  ASSERT_EQ(::mkfifo(logFile().c_str(), 0600), 0);
  StartLog(0);
  WriteLog(kLogTrace, u"into a fifo");
  StopLog();
  EXPECT_EQ(env_.appendOpens(), 1);
}

TEST_F(LogTest, ALinkAtTheLogPathIsNeverFollowed) {
  const std::filesystem::path victim = logFile().parent_path() / "victim";
  testing::WriteFileText(victim, "untouched");
  std::filesystem::create_symlink(victim, logFile());
  StartLog(0);
  WriteLog(kLogTrace, u"aimed elsewhere");
  StopLog();
  EXPECT_EQ(ReadFileText(victim), "untouched");
}
#endif  // _WIN32

TEST_F(LogTest, LinesFromConcurrentThreadsStayWhole) {
  StartLog(0);
  constexpr int kLinesPerThread = 2000;
  const std::u16string padding(200, u'p');
  auto writer = [&](int id) {
    for (int i = 0; i < kLinesPerThread; ++i) WriteLog(kLogTrace, u"t%d n%d %s", id, i, padding);
  };
  std::thread a(writer, 1), b(writer, 2);
  a.join();
  b.join();
  StopLog();

  int next[3] = {0, 0, 0};
  const std::string pad(200, 'p');
  for (const std::string& m : LogMessages(logFile())) {
    if (m.empty() || m[0] == '[') continue;
    int id = -1, n = -1;
    char tail[256] = {};
    ASSERT_EQ(std::sscanf(m.c_str(), "t%d n%d %255s", &id, &n, tail), 3) << m;
    ASSERT_TRUE(id == 1 || id == 2) << m;
    EXPECT_EQ(n, next[id]++) << "each thread's lines arrive whole and in order";
    EXPECT_EQ(tail, pad);
  }
  EXPECT_EQ(next[1], kLinesPerThread);
  EXPECT_EQ(next[2], kLinesPerThread);
}

}  // namespace
}  // namespace orv
