// Staged copies of sparse files, on the file systems the tests can reach.
#include "platform/snapshot_copy_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace orv {
namespace {

constexpr off_t kMiB = 1 << 20;

// A directory of its own on tmpfs, removed with everything in it.
class ShmDir {
 public:
  ShmDir() {
    std::string pattern = "/dev/shm/orv-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ShmDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ShmDir(const ShmDir&) = delete;
  ShmDir& operator=(const ShmDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes text at offset, then sets the file's length: what lies between is a hole.
void WriteSparse(const std::filesystem::path& path, off_t length,
                 std::initializer_list<std::pair<off_t, std::string>> pieces) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  for (const auto& [offset, text] : pieces) {
    ASSERT_EQ(::pwrite(fd, text.data(), text.size(), offset), static_cast<ssize_t>(text.size()));
  }
  ASSERT_EQ(::ftruncate(fd, length), 0);
  ::close(fd);
}

std::string Content(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string content(std::filesystem::file_size(path), '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  return content;
}

struct stat Stat(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

// Copies source into directory under name; false (with the reason) when the
// copy failed.
::testing::AssertionResult StageAndPublish(const std::filesystem::path& source,
                                           const std::filesystem::path& directory,
                                           const std::u16string& name) {
  std::string failure;
  const std::unique_ptr<StagedCopy> copy =
      StageCopyLinux(source.string(), false, directory.string(), ".partial-", ".tmp", &failure);
  if (!copy) return ::testing::AssertionFailure() << failure;
  if (copy->PublishAs(name) != StagedCopy::PublishResult::kPublished) {
    return ::testing::AssertionFailure() << "not published";
  }
  return ::testing::AssertionSuccess();
}

// Every pairing of source and store file systems: within one (the kernel's
// copy) and across them (the plain loop). A 16 MiB file holding 8 KiB of
// data copies to a few blocks, zero ranges and length included.
TEST(SparseCopyTest, HolesStayHolesAndTheContentIsTheSame) {
  const ShmDir shm;
  if (shm.path().empty()) GTEST_SKIP() << "no /dev/shm to make a directory in";
  const testing::TempDir disk;
  const std::filesystem::path places[] = {shm.path(), disk.path()};
  int serial = 0;
  for (const std::filesystem::path& from : places) {
    const std::filesystem::path trailing = from / "trailing-hole";
    WriteSparse(trailing, 16 * kMiB,
                {{4 * kMiB, std::string(4096, 'a')}, {10 * kMiB + 100, std::string(4096, 'b')}});
    const std::filesystem::path ending = from / "data-at-end";
    WriteSparse(ending, 16 * kMiB, {{0, "head"}, {16 * kMiB - 5, "tail!"}});
    const std::filesystem::path hole = from / "only-a-hole";
    WriteSparse(hole, 8 * kMiB, {});
    for (const std::filesystem::path& to : places) {
      for (const std::filesystem::path& source : {trailing, ending, hole}) {
        const std::u16string name = u"copy" + std::u16string(1, u'a' + serial++);
        const std::filesystem::path copy = to / std::string(name.begin(), name.end());
        const std::string where = source.string() + " -> " + to.string();
        ASSERT_TRUE(StageAndPublish(source, to, name)) << where;
        const struct stat st = Stat(copy);
        EXPECT_EQ(st.st_size, Stat(source).st_size) << where;
        EXPECT_LE(st.st_blocks * 512, 256 * 1024) << where << ": the holes were filled";
        EXPECT_TRUE(Content(copy) == Content(source)) << where;
      }
    }
  }
}

// A file with no holes is copied whole, as before.
TEST(SparseCopyTest, ADenseFileIsCopiedWhole) {
  const testing::TempDir dir;
  std::string text;
  for (int i = 0; i < 300000; ++i) text += static_cast<char>('a' + i % 26);
  WriteSparse(dir / "dense", static_cast<off_t>(text.size()), {{0, text}});
  ASSERT_TRUE(StageAndPublish(dir / "dense", dir.path(), u"copy"));
  EXPECT_EQ(Content(dir / "copy"), text);
  EXPECT_GE(Stat(dir / "copy").st_blocks * 512, static_cast<off_t>(text.size()));
}

// A source that may be linked becomes a second name of itself, partial until
// published and gone again when discarded; across file systems it is copied.
TEST(LinkedCopyTest, ASoleNameOnTheStoresFileSystemIsLinkedElseCopied) {
  const testing::TempDir dir;
  std::filesystem::create_directory(dir / "store");
  WriteSparse(dir / "kept", 4, {{0, "kept"}});
  const auto stage = [](const std::filesystem::path& source, const std::filesystem::path& to) {
    std::string failure;
    std::unique_ptr<StagedCopy> copy =
        StageCopyLinux(source.string(), true, to.string(), ".partial-", ".tmp", &failure);
    EXPECT_NE(copy, nullptr) << failure;
    return copy;
  };
  {
    const std::unique_ptr<StagedCopy> discarded = stage(dir / "kept", dir / "store");
    EXPECT_EQ(Stat(dir / "kept").st_nlink, 2u) << "named under a partial name meanwhile";
  }
  EXPECT_EQ(Stat(dir / "kept").st_nlink, 1u);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "store"));

  std::unique_ptr<StagedCopy> linked = stage(dir / "kept", dir / "store");
  ASSERT_NE(linked, nullptr);
  WriteSparse(dir / "store" / "taken", 1, {{0, "x"}});
  EXPECT_EQ(linked->PublishAs(u"taken"), StagedCopy::PublishResult::kNameTaken);
  EXPECT_EQ(Content(dir / "store" / "taken"), "x");
  ASSERT_EQ(linked->PublishAs(u"edition"), StagedCopy::PublishResult::kPublished);
  linked.reset();
  EXPECT_EQ(Stat(dir / "store" / "edition").st_ino, Stat(dir / "kept").st_ino);
  EXPECT_EQ(Stat(dir / "kept").st_nlink, 2u) << "the partial name went at the publish";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "store"),
                          std::filesystem::directory_iterator()),
            2);

  const ShmDir shm;
  if (shm.path().empty() || Stat(shm.path()).st_dev == Stat(dir.path()).st_dev) {
    GTEST_SKIP() << "no second file system to copy across";
  }
  WriteSparse(shm.path() / "elsewhere", 9, {{0, "elsewhere"}});
  const std::unique_ptr<StagedCopy> copied = stage(shm.path() / "elsewhere", dir / "store");
  ASSERT_NE(copied, nullptr);
  ASSERT_EQ(copied->PublishAs(u"copied"), StagedCopy::PublishResult::kPublished);
  EXPECT_EQ(Content(dir / "store" / "copied"), "elsewhere");
  EXPECT_EQ(Stat(shm.path() / "elsewhere").st_nlink, 1u);
}

}  // namespace
}  // namespace orv
