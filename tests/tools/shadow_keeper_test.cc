// Shadow links: the content a file had is still there after its deletion or
// its replacement by a rename, and no shadow outlives what needs it.
#include "protect/shadow_keeper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/files.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using testing::ReadFileText;
using testing::WriteFileText;

class ShadowKeeperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(tree_ / "sub");
    std::filesystem::create_directories(store_);
  }
  nlink_t Links(const std::filesystem::path& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_nlink : 0;
  }
  size_t ShadowCount() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(store_ / "shadows")) {
      ++count;
    }
    return count;
  }

  testing::TempDir dir_;
  std::filesystem::path tree_ = dir_ / "tree", store_ = dir_ / "store";
};

TEST_F(ShadowKeeperTest, ADeletedOrReplacedFileLeavesItsOldContentAndNoShadowOutlivesIt) {
  WriteFileText(tree_ / "doc.txt", "doc before");
  WriteFileText(tree_ / "notes", "notes before");
  tool::ShadowKeeper keeper(store_, {tree_});
  ASSERT_TRUE(keeper.Uncovered().empty());
  EXPECT_FALSE(keeper.Saw((tree_ / "doc.txt").string(), false));
  EXPECT_FALSE(keeper.Saw((tree_ / "notes").string(), false));
  EXPECT_EQ(Links(tree_ / "doc.txt"), 2u) << "the shadow shares the file's inode";
  EXPECT_EQ(keeper.KnownCount(), 2u);

  // Deleted: the shadow holds what the file had; released, it is gone.
  std::filesystem::remove(tree_ / "doc.txt");
  bool known = false;
  const auto left = keeper.Deleted((tree_ / "doc.txt").string(), &known);
  ASSERT_TRUE(left);
  EXPECT_TRUE(known);
  EXPECT_EQ(ReadFileText(left->shadow), "doc before");
  EXPECT_EQ(left->links, 1u);
  keeper.Release(*left, 0);
  EXPECT_FALSE(std::filesystem::exists(left->shadow));

  // An atomic save: a temporary file made while watched, renamed over notes.
  WriteFileText(tree_ / ".notes.tmp", "notes after");
  EXPECT_FALSE(keeper.Saw((tree_ / ".notes.tmp").string(), true));
  std::filesystem::rename(tree_ / ".notes.tmp", tree_ / "notes");
  const auto move = keeper.Moved((tree_ / ".notes.tmp").string(), (tree_ / "notes").string());
  EXPECT_TRUE(move.fresh) << "a save's temporary file is no history of its own";
  ASSERT_TRUE(move.replaced);
  EXPECT_EQ(move.replaced->path, (tree_ / "notes").string());
  EXPECT_EQ(ReadFileText(move.replaced->shadow), "notes before");
  keeper.Release(*move.replaced, 0);
  EXPECT_EQ(ShadowCount(), 1u) << "the new notes' shadow only";

  // The temporary file of a save made and renamed before the daemon read of
  // it: still fresh, and shadowed under its new name.
  WriteFileText(tree_ / "gone.tmp", "quick");
  std::filesystem::rename(tree_ / "gone.tmp", tree_ / "quick.txt");
  EXPECT_FALSE(keeper.Saw((tree_ / "gone.tmp").string(), true));
  const auto quick = keeper.Moved((tree_ / "gone.tmp").string(), (tree_ / "quick.txt").string());
  EXPECT_TRUE(quick.fresh);
  EXPECT_FALSE(quick.replaced);
  EXPECT_EQ(Links(tree_ / "quick.txt"), 2u);

  // A file made and deleted before it was seen is known, with nothing kept.
  EXPECT_FALSE(keeper.Saw((tree_ / "never.txt").string(), true));
  EXPECT_FALSE(keeper.Deleted((tree_ / "never.txt").string(), &known));
  EXPECT_TRUE(known);
  EXPECT_FALSE(keeper.Deleted((tree_ / "unknown.txt").string(), &known));
  EXPECT_FALSE(known);
}

TEST_F(ShadowKeeperTest, HardLinksDirectoriesAndARestartKeepWhatIsNeeded) {
  WriteFileText(tree_ / "sub" / "a.txt", "a");
  ASSERT_EQ(::link((tree_ / "sub" / "a.txt").c_str(), (tree_ / "b.txt").c_str()), 0);
  WriteFileText(tree_ / "sub" / "c.txt", "c");
  {
    tool::ShadowKeeper keeper(store_, {tree_});
    keeper.Saw((tree_ / "sub" / "a.txt").string(), false);
    keeper.Saw((tree_ / "b.txt").string(), false);
    keeper.Saw((tree_ / "sub" / "c.txt").string(), false);
    EXPECT_EQ(ShadowCount(), 2u) << "one inode, one shadow";
    // One of two names deleted: the other still needs the shadow.
    std::filesystem::remove(tree_ / "b.txt");
    const auto left = keeper.Deleted((tree_ / "b.txt").string());
    ASSERT_TRUE(left);
    keeper.Release(*left, 0);
    EXPECT_EQ(Links(tree_ / "sub" / "a.txt"), 2u);

    // A directory renamed within the tree keeps its files known.
    std::filesystem::rename(tree_ / "sub", tree_ / "moved");
    keeper.MovedDirectory((tree_ / "sub").string(), (tree_ / "moved").string());
    std::filesystem::remove(tree_ / "moved" / "c.txt");
    const auto c = keeper.Deleted((tree_ / "moved" / "c.txt").string());
    ASSERT_TRUE(c);
    EXPECT_EQ(ReadFileText(c->shadow), "c");
    keeper.Release(*c, 0);

    // Moved out of the trees: let go, the file keeping its new name.
    std::filesystem::rename(tree_ / "moved", dir_ / "away");
    const auto away = keeper.Left((tree_ / "moved").string());
    ASSERT_EQ(away.size(), 1u);
    keeper.Release(away[0], 1);
    EXPECT_EQ(ShadowCount(), 0u);
    EXPECT_EQ(ReadFileText(dir_ / "away" / "a.txt"), "a");
  }
  // A restart finds the shadows made before, and removes those no file needs.
  WriteFileText(tree_ / "kept.txt", "kept");
  {
    tool::ShadowKeeper keeper(store_, {tree_});
    keeper.Saw((tree_ / "kept.txt").string(), false);
  }
  WriteFileText(tree_ / "deleted-while-down.txt", "x");
  {
    tool::ShadowKeeper keeper(store_, {tree_});
    keeper.Saw((tree_ / "deleted-while-down.txt").string(), false);
  }
  std::filesystem::remove(tree_ / "deleted-while-down.txt");
  WriteFileText(store_ / "shadows" / ".new-1-1", "half made");
  tool::ShadowKeeper keeper(store_, {tree_});
  keeper.Saw((tree_ / "kept.txt").string(), false);
  EXPECT_EQ(Links(tree_ / "kept.txt"), 2u) << "its shadow of before, not a second one";
  EXPECT_EQ(keeper.RemoveUnknownShadows(), 2u);
  EXPECT_EQ(ShadowCount(), 1u);
}

// A hard link in a user's directory to a file only root may read: its
// content must never be kept under that name (where such links are allowed,
// anyone could make one). A file the directory's owner may read is an
// ordinary file.
TEST_F(ShadowKeeperTest, AFileTheDirectorysOwnerMayNotReadIsMarkedForeign) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  ASSERT_EQ(::chown(tree_.c_str(), 65534, 65534), 0);
  WriteFileText(tree_ / "sub" / "secret.txt", "secret");
  ASSERT_EQ(::chmod((tree_ / "sub" / "secret.txt").c_str(), 0600), 0);
  ASSERT_EQ(::link((tree_ / "sub" / "secret.txt").c_str(), (tree_ / "link.txt").c_str()), 0);
  WriteFileText(tree_ / "mine.txt", "mine");
  ASSERT_EQ(::chown((tree_ / "mine.txt").c_str(), 65534, 65534), 0);
  tool::ShadowKeeper keeper(store_, {tree_});
  keeper.Saw((tree_ / "link.txt").string(), false);
  keeper.Saw((tree_ / "mine.txt").string(), false);
  const auto link = keeper.Deleted((tree_ / "link.txt").string());
  ASSERT_TRUE(link);
  EXPECT_TRUE(link->foreign);
  const auto mine = keeper.Deleted((tree_ / "mine.txt").string());
  ASSERT_TRUE(mine);
  EXPECT_FALSE(mine->foreign);
}

TEST_F(ShadowKeeperTest, AShadowDirectoryOthersCouldReachIsRefusedAndSaid) {
  std::filesystem::create_directories(store_ / "shadows");
  ASSERT_EQ(::chmod((store_ / "shadows").c_str(), 0755), 0);
  WriteFileText(tree_ / "doc.txt", "doc");
  tool::ShadowKeeper keeper(store_, {tree_});
  ASSERT_EQ(keeper.Uncovered().size(), 1u);
  EXPECT_NE(keeper.Uncovered()[0].second.find("not a private directory"), std::string::npos);
  keeper.Saw((tree_ / "doc.txt").string(), false);
  EXPECT_EQ(Links(tree_ / "doc.txt"), 1u);
  EXPECT_EQ(keeper.FailedCount(), 1u);
  bool known = true;
  EXPECT_FALSE(keeper.Deleted((tree_ / "doc.txt").string(), &known));
  EXPECT_FALSE(known) << "its deletion is said as lost";
}

}  // namespace
}  // namespace orv
