// Marking the protected trees through fake groups: both marks or neither,
// the walk beneath the roots, and what a failed mark leaves.
#include "protect/tree_marker.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "tool_error.h"

namespace orv {
namespace {

std::string PathOf(int fd) {
  char target[PATH_MAX + 1];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, PATH_MAX);
  return n <= 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

// Groups that mark nothing: they keep, per group, the directories marked,
// and fail the marks they are told to, or every directory mark past a limit,
// as the kernel does when its marks run out.
struct FakeGroups : tool::GroupMarks {
  int AddNotificationMark(int fd) override {
    ++calls;
    if (const int error = Fails(notificationFailures, fd); error != 0) return error;
    if (Exhausted()) return ENOSPC;
    notification.insert(PathOf(fd));
    return 0;
  }
  int AddContentMark(int fd) override {
    ++calls;
    if (const int error = Fails(contentFailures, fd); error != 0) return error;
    if (Exhausted()) return ENOSPC;
    content.insert(PathOf(fd));
    return 0;
  }
  int AddFileSystemMarks(int fd, int replaced) override {
    ++calls;
    if (fileSystemError != 0) return fileSystemError;
    fileSystems.push_back(PathOf(fd));
    replacedDirectories.push_back(replaced < 0 ? std::string() : PathOf(replaced));
    return 0;
  }
  bool Exhausted() const { return notification.size() + content.size() >= markLimit; }
  void RemoveNotificationMark(int fd) override { notification.erase(PathOf(fd)); }
  static int Fails(const std::set<std::string>& failures, int fd) {
    return failures.count(PathOf(fd)) != 0 ? EINVAL : 0;  // as on /proc
  }

  std::set<std::string> notification, content, notificationFailures, contentFailures;
  size_t markLimit = SIZE_MAX;
  int fileSystemError = 0;
  std::vector<std::string> fileSystems, replacedDirectories;
  int calls = 0;
};

TEST(TreeMarkerTest, ADirectoryIsMarkedInBothGroupsOrInNeither) {
  testing::TempDir dir;
  const UniqueFd fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  const std::string path = std::filesystem::canonical(dir.path()).string();
  FakeGroups groups;
  groups.contentFailures = {path};
  EXPECT_EQ(tool::MarkBoth(groups, fd.get()), EINVAL);
  EXPECT_TRUE(groups.notification.empty()) << "the notification mark is taken back";
  EXPECT_TRUE(groups.content.empty());

  groups = FakeGroups();
  groups.notificationFailures = {path};
  EXPECT_EQ(tool::MarkBoth(groups, fd.get()), EINVAL);
  EXPECT_EQ(groups.calls, 1) << "no content mark without its notification mark";
  EXPECT_TRUE(groups.content.empty());

  groups = FakeGroups();
  EXPECT_EQ(tool::MarkBoth(groups, fd.get()), 0);
  EXPECT_EQ(groups.notification, std::set<std::string>{path});
  EXPECT_EQ(groups.content, std::set<std::string>{path});
}

TEST(TreeMarkerTest, TheWalkStaysBeneathTheRootAndAFailedDirectoryLeavesItsSubtreeUnmarked) {
  testing::TempDir dir;
  const std::filesystem::path base = std::filesystem::canonical(dir.path());
  const std::filesystem::path root = base / "tree", outside = base / "outside";
  std::filesystem::create_directories(root / "a" / "b");
  std::filesystem::create_directories(root / "c");
  std::filesystem::create_directories(outside);
  std::filesystem::create_directory_symlink(outside, root / "link");
  FakeGroups groups;
  groups.contentFailures = {(root / "a").string()};
  tool::TreeMarker marker({root}, groups);

  const auto failures = marker.MarkTree(root);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].directory, (root / "a").string());
  EXPECT_EQ(failures[0].error, EINVAL);
  const std::set<std::string> marked = {root.string(), (root / "c").string()};
  EXPECT_EQ(groups.content, marked) << "no link followed, nothing below a failure";
  EXPECT_EQ(groups.notification, marked);
  EXPECT_EQ(marker.DirectoryCount(), 2u);

  // Once the mark can be made, the directory is marked with all below it.
  groups.contentFailures.clear();
  EXPECT_TRUE(marker.MarkTree(root / "a").empty());
  EXPECT_EQ(marker.DirectoryCount(), 4u);
  EXPECT_EQ(groups.content.count((root / "a" / "b").string()), 1u);
  const int calls = groups.calls;
  EXPECT_TRUE(marker.MarkTree(root).empty());
  EXPECT_EQ(groups.calls, calls) << "a marked directory is not marked again";

  EXPECT_TRUE(marker.MarkTree(outside).empty());
  EXPECT_EQ(groups.content.count(outside.string()), 0u) << "outside every root";
}

TEST(TreeMarkerTest, ADirectoryMadeAgainUnderAMarkedNameIsMarkedAgain) {
  testing::TempDir dir;
  const std::filesystem::path root = std::filesystem::canonical(dir.path()) / "tree";
  std::filesystem::create_directories(root / "projects");
  FakeGroups groups;
  tool::TreeMarker marker({root}, groups);
  EXPECT_TRUE(marker.MarkTree(root).empty());
  const int calls = groups.calls;

  // rm -rf projects && mkdir projects, its deletion not (yet) seen.
  std::filesystem::remove(root / "projects");
  std::filesystem::create_directory(root / "projects");
  EXPECT_TRUE(marker.MarkTree(root / "projects").empty());
  EXPECT_EQ(groups.calls, calls + 2) << "the new directory gets both marks";
  EXPECT_EQ(marker.DirectoryCount(), 2u) << "one record per name";

  // A directory moved is not marked again; its record follows the name.
  std::filesystem::rename(root / "projects", root / "moved");
  EXPECT_TRUE(marker.MarkTree(root / "moved").empty());
  EXPECT_EQ(groups.calls, calls + 2);
  EXPECT_EQ(marker.DirectoryCount(), 2u);

  std::filesystem::remove(root / "moved");
  marker.Forget((root / "moved").string());
  EXPECT_EQ(marker.DirectoryCount(), 1u) << "a directory gone is forgotten";
  marker.Forget((root / "never").string());
  EXPECT_EQ(marker.DirectoryCount(), 1u);
}

// What else follows the marks sees each directory once, when it is first
// watched, through the descriptor the walk opened.
TEST(TreeMarkerTest, TheHookSeesEveryDirectoryNewlyWatchedOnce) {
  testing::TempDir dir;
  const std::filesystem::path root = std::filesystem::canonical(dir.path()) / "tree";
  std::filesystem::create_directories(root / "a" / "b");
  std::filesystem::create_directories(root / "failed");
  FakeGroups groups;
  groups.contentFailures = {(root / "failed").string()};
  tool::TreeMarker marker({root}, groups);
  std::multiset<std::string> seen;
  marker.OnNewDirectory([&](int fd, const std::string& path) {
    EXPECT_TRUE(std::filesystem::equivalent(path, PathOf(fd))) << path;
    seen.insert(PathOf(fd));
  });
  const auto Take = [&seen] { return std::exchange(seen, {}); };

  EXPECT_EQ(marker.MarkTree(root).size(), 1u);
  EXPECT_EQ(Take(), (std::multiset<std::string>{root.string(), (root / "a").string(),
                                                (root / "a" / "b").string()}))
      << "not the directory that failed";
  EXPECT_EQ(marker.MarkTree(root).size(), 1u);
  EXPECT_TRUE(Take().empty()) << "a directory watched already";

  std::filesystem::rename(root / "a", root / "moved");
  EXPECT_TRUE(marker.MarkTree(root / "moved").empty());
  EXPECT_TRUE(Take().empty()) << "moved, still watched";

  std::filesystem::remove(root / "moved" / "b");
  std::filesystem::create_directory(root / "moved" / "b");
  std::filesystem::create_directory(root / "c");
  EXPECT_TRUE(marker.MarkTree(root / "moved" / "b").empty());
  groups.markLimit = groups.notification.size() + groups.content.size();  // none left for c
  EXPECT_TRUE(marker.MarkTree(root / "c").empty());
  EXPECT_EQ(groups.fileSystems.size(), 1u);
  EXPECT_EQ(Take(),
            (std::multiset<std::string>{(root / "moved" / "b").string(), (root / "c").string()}))
      << "made again, and watched with its whole file system";
}

TEST(TreeMarkerTest, MarksRunningOutWatchTheWholeFileSystemOnce) {
  testing::TempDir dir;
  const std::filesystem::path root = std::filesystem::canonical(dir.path()) / "tree";
  std::filesystem::create_directories(root / "a" / "b");
  FakeGroups groups;
  groups.markLimit = 4;  // the root and a, in both groups
  tool::TreeMarker marker({root}, groups);
  EXPECT_FALSE(marker.WatchesWholeFileSystems());

  EXPECT_TRUE(marker.MarkTree(root).empty());
  ASSERT_EQ(groups.fileSystems, std::vector<std::string>{(root / "a" / "b").string()});
  EXPECT_EQ(groups.replacedDirectories, std::vector<std::string>{(root / "a").string()})
      << "the marked parent may make room";
  EXPECT_EQ(marker.DirectoryCount(), 3u) << "the directory past the limit is watched";
  EXPECT_TRUE(marker.WatchesWholeFileSystems());
  EXPECT_EQ(marker.WholeFileSystemCount(), 1u);
  const auto told = marker.TakeNewWholeFileSystems();
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].directory, (root / "a" / "b").string());
  EXPECT_EQ(told[0].root, root.string());
  EXPECT_TRUE(marker.TakeNewWholeFileSystems().empty()) << "told once";

  // Later directories on that file system need no mark of their own.
  std::filesystem::create_directories(root / "c" / "d");
  const int calls = groups.calls;
  EXPECT_TRUE(marker.MarkTree(root / "c").empty());
  EXPECT_EQ(groups.calls, calls);
  EXPECT_EQ(groups.fileSystems.size(), 1u);
  EXPECT_EQ(marker.DirectoryCount(), 5u);
  EXPECT_EQ(marker.WholeFileSystemCount(), 1u);
}

TEST(TreeMarkerTest, WhenTheFileSystemCannotBeMarkedEitherTheFailuresAreReturned) {
  testing::TempDir dir;
  const std::filesystem::path root = std::filesystem::canonical(dir.path()) / "tree";
  std::filesystem::create_directories(root / "a");
  std::filesystem::create_directories(root / "b");
  FakeGroups groups;
  groups.markLimit = 2;
  groups.fileSystemError = ENOSPC;
  tool::TreeMarker marker({root}, groups);
  const auto failures = marker.MarkTree(root);
  ASSERT_EQ(failures.size(), 2u);
  for (const auto& failure : failures) EXPECT_EQ(failure.error, ENOSPC);
  EXPECT_EQ(marker.DirectoryCount(), 1u);
  EXPECT_EQ(marker.WholeFileSystemCount(), 0u);
  EXPECT_FALSE(marker.WatchesWholeFileSystems());
  EXPECT_TRUE(marker.TakeNewWholeFileSystems().empty());

  // Another error is no sign of marks running out: no file-system mark.
  groups = FakeGroups();
  groups.contentFailures = {(root / "a").string()};
  tool::TreeMarker other({root / "a"}, groups);
  EXPECT_EQ(other.MarkTree(root / "a").size(), 1u);
  EXPECT_TRUE(groups.fileSystems.empty());
}

TEST(TreeMarkerTest, AForgottenDirectoryTakesItsSubtreeAndNothingBeside) {
  testing::TempDir dir;
  const std::filesystem::path root = std::filesystem::canonical(dir.path()) / "tree";
  std::filesystem::create_directories(root / "a" / "b" / "c");
  std::filesystem::create_directories(root / "a-x");
  std::filesystem::create_directories(root / "ab");
  FakeGroups groups;
  tool::TreeMarker marker({root}, groups);
  EXPECT_TRUE(marker.MarkTree(root).empty());
  EXPECT_EQ(marker.DirectoryCount(), 6u);

  // Moved away out of the tree: the walk of the new name never comes.
  std::filesystem::rename(root / "a", dir.path() / "away");
  marker.Forget((root / "a").string());
  EXPECT_EQ(marker.DirectoryCount(), 3u) << "a, a/b and a/b/c are gone";
  marker.Forget((root / "a").string());
  EXPECT_EQ(marker.DirectoryCount(), 3u);
  EXPECT_TRUE(marker.MarkTree(root).empty());
  EXPECT_EQ(marker.DirectoryCount(), 3u) << "a-x and ab were kept";
}

TEST(TreeMarkerTest, APathLiesInATreeByItsComponents) {
  EXPECT_TRUE(tool::LiesInTree("/tmp/a", "/tmp/a"));
  EXPECT_TRUE(tool::LiesInTree("/tmp/a/b/c", "/tmp/a"));
  EXPECT_TRUE(tool::LiesInTree("/tmp/a/", "/tmp/a"));
  EXPECT_TRUE(tool::LiesInTree("/tmp/a/b", "/tmp/a/"));
  EXPECT_TRUE(tool::LiesInTree("/tmp//a/./b", "/tmp/a"));
  EXPECT_TRUE(tool::LiesInTree("/anything", "/"));
  EXPECT_FALSE(tool::LiesInTree("/tmp/ab", "/tmp/a"));
  EXPECT_FALSE(tool::LiesInTree("/tmp/a-b/c", "/tmp/a"));
  EXPECT_FALSE(tool::LiesInTree("/tmp", "/tmp/a"));
  EXPECT_FALSE(tool::LiesInTree("/tmp/a/../b", "/tmp/a"));
  EXPECT_FALSE(tool::LiesInTree("/tmp/a/b/../../c", "/tmp/a"));
  EXPECT_TRUE(tool::LiesInTree("/tmp/b/../a/x", "/tmp/a"));
  EXPECT_FALSE(tool::LiesInTree("", "/tmp/a")) << "no path";
  EXPECT_FALSE(tool::LiesInTree("tmp/a", "/tmp/a")) << "not absolute";
  EXPECT_TRUE(tool::LiesInTrees("/srv/x", {"/tmp/a", "/srv"}));
  EXPECT_FALSE(tool::LiesInTrees("/srv2/x", {"/tmp/a", "/srv"}));
}

TEST(TreeMarkerTest, ARootThatCannotBeOpenedIsNamed) {
  testing::TempDir dir;
  FakeGroups groups;
  try {
    tool::TreeMarker marker({dir / "missing"}, groups);
    FAIL() << "a missing root was taken";
  } catch (const tool::ToolError& error) {
    EXPECT_NE(std::string(error.what()).find((dir / "missing").string()), std::string::npos);
  }
}

}  // namespace
}  // namespace orv
