// The service's configuration file and the sizes it shares with the command line.
#include "protect_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/files.h"
#include "support/temp_dir.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

using orv::testing::TempDir;
using orv::testing::WriteFileText;

// The message of the ToolError that parsing text throws; empty when it parses.
std::string ParseError(const std::string& text) {
  try {
    ParseProtectConfig(text, "protect.conf");
  } catch (const ToolError& error) {
    return error.what();
  }
  return "";
}

TEST(ProtectConfigTest, SizesAreBytesOrPowersOf1024AndNothingElse) {
  EXPECT_EQ(ParseSize("4096"), 4096u);
  EXPECT_EQ(ParseSize("10G"), 10ull << 30);
  EXPECT_EQ(ParseSize("512MiB"), 512ull << 20);
  EXPECT_EQ(ParseSize("3kb"), 3ull << 10);
  EXPECT_EQ(ParseSize("1T"), 1ull << 40);
  EXPECT_EQ(ParseSize("16777215T"), 16777215ull << 40);
  for (const char* bad : {"", "G", "-1", "1.5G", "10 G", "10X", "10GB!", "10Gi", "16777216T",
                          "18446744073709551616", "0x10"}) {
    EXPECT_FALSE(ParseSize(bad).has_value()) << bad;
  }
}

TEST(ProtectConfigTest, SizesReadBackAsTheyWereMeant) {
  EXPECT_EQ(FormatSize(0), "0 bytes");
  EXPECT_EQ(FormatSize(1023), "1023 bytes");
  EXPECT_EQ(FormatSize(1536), "1.5 KiB");
  EXPECT_EQ(FormatSize(1ull << 30), "1 GiB");
  EXPECT_EQ(FormatSize(64ull << 20), "64 MiB");
  EXPECT_EQ(FormatSize(1677721), "1.6 MiB");
  EXPECT_EQ(FormatSize(20ull << 30), "20 GiB");
  EXPECT_EQ(FormatSize(UINT64_MAX), "16 EiB");
}

TEST(ProtectConfigTest, ReadsEverySettingAndKeepsSpacesInsidePaths) {
  const ProtectConfig config = ParseProtectConfig(
      "# the service's trees\n"
      "\n"
      "tree = /home\n"
      "  tree=/srv/My Documents  \r\n"
      "store = /var/lib/orv\n"
      "quota = 10G\n"
      "max-copy-size = 2G\n"
      "max-copies-per-minute = 100\n"
      "max-copy-bytes-per-minute = 1M\n"
      "max-rows-per-minute = 7\n"
      "pre-content = yes\n"
      "log-level = 16",
      "protect.conf");
  ASSERT_EQ(config.trees.size(), 2u);
  EXPECT_EQ(config.trees[1], "/srv/My Documents");
  EXPECT_EQ(config.store, "/var/lib/orv");
  EXPECT_EQ(config.quota, 10ull << 30);
  EXPECT_EQ(config.maxCopySize, 2ull << 30);
  EXPECT_EQ(config.maxCopiesPerMinute, 100u);
  EXPECT_EQ(config.maxCopyBytesPerMinute, 1u << 20);
  EXPECT_EQ(config.maxRowsPerMinute, 7u);
  EXPECT_EQ(config.preContent, true);
  EXPECT_EQ(config.logLevel, 16u);

  const ProtectConfig empty = ParseProtectConfig("# nothing set\n", "protect.conf");
  EXPECT_TRUE(empty.trees.empty());
  EXPECT_FALSE(empty.store || empty.quota || empty.preContent || empty.logLevel);
}

TEST(ProtectConfigTest, EveryMistakeNamesItsLine) {
  EXPECT_EQ(ParseError("tree = /home\nquota = lots\n"),
            "protect.conf:2: quota is not a size (bytes, or a number with K, M, G or T): lots");
  EXPECT_EQ(ParseError("tree = home\n"), "protect.conf:1: tree must be an absolute path: home");
  EXPECT_EQ(ParseError("store = relative/store\n"),
            "protect.conf:1: store must be an absolute path: relative/store");
  EXPECT_EQ(ParseError("trees = /home\n"), "protect.conf:1: unknown setting trees");
  EXPECT_EQ(ParseError("quota = 1G\nquota = 2G\n"), "protect.conf:2: quota is set twice");
  EXPECT_EQ(ParseError("/home\n"), "protect.conf:1: expected \"name = value\"");
  EXPECT_EQ(ParseError("store =\n"), "protect.conf:1: store has no value");
  EXPECT_EQ(ParseError("quota = 0\n"),
            "protect.conf:1: quota is not a size (bytes, or a number with K, M, G or T): 0");
  EXPECT_EQ(ParseError("pre-content = maybe\n"),
            "protect.conf:1: pre-content is yes or no, not maybe");
  EXPECT_EQ(ParseError("log-level = 99999999999\n"),
            "protect.conf:1: log-level is not a number: 99999999999");
  EXPECT_EQ(ParseError("tree = /a\ntree = /b\n"), "");  // trees repeat
}

TEST(ProtectConfigTest, AFileIsReadOnlyWhenOnlyRootCanChangeItAsRoot) {
  TempDir dir;
  const auto file = dir / "protect.conf";
  WriteFileText(file, "tree = /home\n");
  ::chmod(file.c_str(), 0644);
  ::chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(ReadProtectConfig(file).trees.at(0), "/home");
  try {
    ReadProtectConfig(dir / "missing.conf");
    ADD_FAILURE() << "a missing file was read";
  } catch (const ToolError& error) {
    EXPECT_EQ(std::string(error.what()), "cannot read the configuration " +
                                             (dir / "missing.conf").string() +
                                             ": No such file or directory");
  }
  if (::geteuid() != 0) GTEST_SKIP() << "the ownership rule binds root only";
  ::chmod(file.c_str(), 0666);
  EXPECT_THROW(ReadProtectConfig(file), ToolError);
  ::chmod(file.c_str(), 0644);
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  EXPECT_THROW(ReadProtectConfig(file), ToolError);
  ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
  ::chmod(dir.path().c_str(), 0777);
  EXPECT_THROW(ReadProtectConfig(file), ToolError);
}

}  // namespace
}  // namespace orv::tool
