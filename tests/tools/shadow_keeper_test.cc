// Shadow links: the content a file had is still there after its deletion or
// its replacement by a rename, and no shadow outlives what needs it.
#include "protect/shadow_keeper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <fstream>

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

  // The file at path as an event names it: its file system and handle,
  // and the owner of its directory.
  static tool::EventInode InodeOf(const std::filesystem::path& path) {
    tool::EventInode inode;
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    inode.fsid = tool::FileSystemIdOf(fd);
    inode.handle = tool::RawHandleOf(fd, "", AT_EMPTY_PATH).value_or("");
    ::close(fd);
    EXPECT_FALSE(inode.handle.empty());
    inode.holder = tool::EventInode::Holder{::geteuid(), ::getegid()};
    return inode;
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

TEST_F(ShadowKeeperTest, AnOpenedFileIsShadowedOnceAndAReplacedOneGivesBackItsOldContent) {
  WriteFileText(tree_ / "doc.txt", "doc before");
  tool::ShadowKeeper keeper(store_, {tree_});
  const std::string path = (tree_ / "doc.txt").string();
  const auto opened = [&] {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    auto left = keeper.SawOpened(fd, path);
    ::close(fd);
    return left;
  };
  // Not known yet: shadowed by the open. Known under this inode: nothing new.
  EXPECT_FALSE(opened());
  EXPECT_EQ(Links(tree_ / "doc.txt"), 2u);
  EXPECT_FALSE(opened());
  EXPECT_EQ(ShadowCount(), 1u);
  EXPECT_EQ(keeper.KnownCount(), 1u);

  // Replaced before its rename was read: the open of the new file hands back
  // the old one's shadow, and the new file gets its own.
  WriteFileText(tree_ / "doc.tmp", "doc after");
  std::filesystem::rename(tree_ / "doc.tmp", tree_ / "doc.txt");
  const auto replaced = opened();
  ASSERT_TRUE(replaced);
  EXPECT_EQ(replaced->path, path);
  EXPECT_EQ(ReadFileText(replaced->shadow), "doc before");
  keeper.Release(*replaced, 0);
  EXPECT_EQ(Links(tree_ / "doc.txt"), 2u);
  EXPECT_EQ(ShadowCount(), 1u);
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
    keeper.RemoveUnknownShadows();  // as every start does once its walk is done
  }
  WriteFileText(tree_ / "deleted-while-down.txt", "x");
  {
    tool::ShadowKeeper keeper(store_, {tree_});
    keeper.Saw((tree_ / "deleted-while-down.txt").string(), false);
    EXPECT_EQ(keeper.RemoveUnknownShadows(), 0u) << "kept.txt is known from before";
  }
  std::filesystem::remove(tree_ / "deleted-while-down.txt");
  WriteFileText(store_ / "shadows" / ".new-1-1", "half made");
  tool::ShadowKeeper keeper(store_, {tree_});
  keeper.Saw((tree_ / "kept.txt").string(), false);
  EXPECT_EQ(Links(tree_ / "kept.txt"), 2u) << "its shadow of before, not a second one";
  // Known before and gone meanwhile: its shadow holds what it had.
  const auto unseen = keeper.TakeUnseen();
  ASSERT_EQ(unseen.size(), 1u);
  EXPECT_EQ(unseen[0].path, (tree_ / "deleted-while-down.txt").string());
  EXPECT_EQ(ReadFileText(unseen[0].shadow), "x");
  keeper.Release(unseen[0], 0);
  EXPECT_EQ(keeper.RemoveUnknownShadows(), 1u) << "the half-made link";
  EXPECT_EQ(ShadowCount(), 1u);
}

// A daemon killed before it read what happened: the next start knows which
// shadow each name had, whatever the names hold (tabs, line ends,
// backslashes), moves and directory moves included, and a torn last record
// or a record naming a shadow not of ours is no knowledge.
TEST_F(ShadowKeeperTest, ARestartKnowsWhatWasReplacedOrDeletedWhileNoDaemonRead) {
  const std::string odd = (tree_ / "a\tb\\t\nc\\\\d").string();
  WriteFileText(odd, "odd before");
  WriteFileText(tree_ / "sub" / "saved.txt", "saved before");
  WriteFileText(tree_ / "sub" / "gone.txt", "gone before");
  WriteFileText(tree_ / "moved-from.txt", "moved");
  WriteFileText(tree_ / "cut.txt", "cut before");
  {
    tool::ShadowKeeper keeper(store_, {tree_});
    for (const char* name : {"sub/saved.txt", "sub/gone.txt", "moved-from.txt", "cut.txt"}) {
      keeper.Saw((tree_ / name).string(), false);
    }
    keeper.Saw(odd, false);
    keeper.RemoveUnknownShadows();  // the log written whole, then appended to
    std::filesystem::rename(tree_ / "moved-from.txt", tree_ / "moved-to.txt");
    keeper.Moved((tree_ / "moved-from.txt").string(), (tree_ / "moved-to.txt").string());
    std::filesystem::rename(tree_ / "sub", tree_ / "renamed");
    keeper.MovedDirectory((tree_ / "sub").string(), (tree_ / "renamed").string());
    // A save read, its edition cut off by the kill: its shadow is left over.
    WriteFileText(tree_ / "cut.txt.tmp", "cut after");
    keeper.Saw((tree_ / "cut.txt.tmp").string(), true);
    std::filesystem::rename(tree_ / "cut.txt.tmp", tree_ / "cut.txt");
    ASSERT_TRUE(
        keeper.Moved((tree_ / "cut.txt.tmp").string(), (tree_ / "cut.txt").string()).replaced);
    // Killed here: what follows is never read.
  }
  WriteFileText(tree_ / "renamed" / "saved.txt.tmp", "saved after");
  std::filesystem::rename(tree_ / "renamed" / "saved.txt.tmp", tree_ / "renamed" / "saved.txt");
  std::filesystem::remove(tree_ / "renamed" / "gone.txt");
  {
    std::ofstream log(store_ / "shadow-names", std::ios::app);
    log << "K\t/etc/shadow\t" << (tree_ / "renamed" / "other.txt").string() << "\t0\n"
        << "F\t" << odd;  // torn: no line end
  }

  tool::ShadowKeeper keeper(store_, {tree_});
  EXPECT_FALSE(keeper.Saw(odd, false)) << "the same file as before";
  EXPECT_FALSE(keeper.Saw((tree_ / "moved-to.txt").string(), false));
  EXPECT_FALSE(keeper.Saw((tree_ / "cut.txt").string(), false)) << "the save's file";
  const auto replaced = keeper.Saw((tree_ / "renamed" / "saved.txt").string(), false);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(ReadFileText(replaced->shadow), "saved before");
  keeper.Release(*replaced, 0);
  std::map<std::string, std::string> unseen;
  for (const auto& left : keeper.TakeUnseen()) {
    unseen[left.path] = ReadFileText(left.shadow);
    keeper.Release(left, 0);
  }
  EXPECT_EQ(unseen, (std::map<std::string, std::string>{
                        {(tree_ / "renamed" / "gone.txt").string(), "gone before"},
                        {(tree_ / "cut.txt").string(), "cut before"}}));
  EXPECT_EQ(keeper.RemoveUnknownShadows(), 0u);
  EXPECT_EQ(ShadowCount(), 4u) << "odd, moved-to.txt, cut.txt and the new saved.txt";
  // Released, the left-over shadow is no longer given out.
  tool::ShadowKeeper again(store_, {tree_});
  for (const std::string& path :
       {odd, (tree_ / "moved-to.txt").string(), (tree_ / "cut.txt").string(),
        (tree_ / "renamed" / "saved.txt").string()}) {
    again.Saw(path, false);
  }
  EXPECT_TRUE(again.TakeUnseen().empty());
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

// A daemon behind its events: a save's temporary file is read as created
// only once it has been renamed over its target, and the next save has
// replaced it too. Held when it was made, and seen by the events' handles,
// every save still leaves the content before it.
TEST_F(ShadowKeeperTest, EventsReadLateStillFindTheFilesTheyNamed) {
  if (::geteuid() != 0) GTEST_SKIP() << "linking a file by its descriptor needs root";
  const std::string doc = (tree_ / "doc.txt").string(), temporary = doc + ".tmp";
  WriteFileText(doc, "v0");
  tool::ShadowKeeper keeper(store_, {tree_});
  keeper.Saw(doc, false);
  // What the daemon does as each temporary file is made: hold it.
  const auto make = [&](const std::string& content) {
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0);
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    keeper.Hold(fd, st);
    keeper.Hold(fd, st);  // a second open of a file being made
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return InodeOf(temporary);
  };
  // Two saves by rename, all before the daemon reads a single event.
  const tool::EventInode first = make("v1");
  std::filesystem::rename(temporary, doc);
  const tool::EventInode second = make("v2");
  std::filesystem::rename(temporary, doc);

  EXPECT_FALSE(keeper.Saw(first, temporary, true));
  auto move = keeper.Moved(temporary, doc, &first);
  ASSERT_TRUE(move.replaced);
  EXPECT_EQ(ReadFileText(move.replaced->shadow), "v0");
  EXPECT_TRUE(move.fresh) << "a save's temporary file has no history of its own";
  keeper.Release(*move.replaced, 0);
  keeper.Recorded(doc);

  EXPECT_FALSE(keeper.Saw(second, temporary, true));
  move = keeper.Moved(temporary, doc, &second);
  ASSERT_TRUE(move.replaced);
  EXPECT_EQ(ReadFileText(move.replaced->shadow), "v1") << "the first save's file, gone by name";
  keeper.Release(*move.replaced, 0);
  EXPECT_EQ(ShadowCount(), 1u) << "only the file doc.txt is now";

  // Made, written and removed before its first event is read: still there
  // to be kept, and its shadow goes once released.
  const tool::EventInode brief = make("brief");
  std::filesystem::remove(temporary);
  EXPECT_FALSE(keeper.Saw(brief, temporary, true));
  const auto left = keeper.Deleted(temporary);
  ASSERT_TRUE(left);
  EXPECT_EQ(ReadFileText(left->shadow), "brief");
  keeper.Release(*left, 0);
  EXPECT_EQ(ShadowCount(), 1u);
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
