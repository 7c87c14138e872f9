// How events become entries and move between the pending list and the queue.
#include <gtest/gtest.h>

#include "capture/backuper.h"
#include "capture/pending_list.h"
#include "platform/path.h"
#include "support/event_records.h"
#include "support/fake_env.h"

namespace orv {
namespace {

using testing::Close;
using testing::Event;

TEST(RoutingTest, TheKindAnOpenMakes) {
  struct Case {
    uint32_t access;
    uint32_t options;
    uint32_t kind;  // 0: no entry
  } cases[] = {
      {ORV_GENERIC_WRITE, 0, EDITION_MODIFY},
      {ORV_FILE_WRITE_DATA, 0, EDITION_MODIFY},
      {ORV_FILE_APPEND_DATA, 0, EDITION_MODIFY},
      {ORV_FILE_WRITE_EA, 0, EDITION_MODIFY},
      {ORV_DELETE, 0, EDITION_DELETE},
      {ORV_GENERIC_WRITE | ORV_DELETE, 0, EDITION_DELETE},
      {ORV_GENERIC_WRITE, ORV_FILE_DELETE_ON_CLOSE, EDITION_DELETE},
      {ORV_GENERIC_WRITE | ORV_SYNCHRONIZE, 0, EDITION_MODIFY},
      {ORV_DELETE | ORV_SYNCHRONIZE, 0, 0},
      {0x80000000u, 0, 0},  // read only
      {0, 0, 0},
  };
  for (const Case& c : cases) {
    const auto entry = CBackuper::MakeEntry(Event(FILE_OP_OPEN, u"/f", c.access, c.options));
    EXPECT_EQ(entry ? entry->kind : 0u, c.kind) << std::hex << c.access << " " << c.options;
  }
  const auto rename = CBackuper::MakeEntry(Event(FILE_OP_RENAME, u"/old", 0, 0, 0, u"/new"));
  ASSERT_TRUE(rename);
  EXPECT_EQ(rename->kind, EDITION_RENAME);
  EXPECT_EQ(rename->path, u"/old");
  EXPECT_EQ(rename->secondPath, u"/new");
  EXPECT_EQ(rename->eventTime.Milliseconds, 123);
  EXPECT_FALSE(CBackuper::MakeEntry(Event(FILE_OP_CLOSE, u"/f")));
}

EditionEntry Pending(const std::u16string& path, uint32_t kind) {
  EditionEntry entry;
  entry.path = path;
  entry.kind = kind;
  entry.copyName = path.substr(1) + u"-copy";
  return entry;
}

// Each row: an entry of some kind, one event on its path, and where it ends.
TEST(RoutingTest, TheLifeOfAPendingEntry) {
  enum Where { kPending, kQueued, kGone };
  struct Case {
    const char* what;
    uint32_t kind;
    FileEventRecord event;
    Where where;
    uint32_t finalKind;
  } cases[] = {
      {"commit queues", EDITION_MODIFY, Event(FILE_OP_COMMIT, u"/f"), kQueued, EDITION_MODIFY},
      {"delete queues a deletion", EDITION_MODIFY, Event(FILE_OP_DELETE, u"/f"), kQueued,
       EDITION_DELETE},
      {"changed close queues", EDITION_MODIFY, Close(u"/f", true), kQueued, EDITION_MODIFY},
      {"unchanged close drops", EDITION_MODIFY, Close(u"/f", false), kGone, 0},
      {"deletion waits after close", EDITION_DELETE, Close(u"/f", false), kPending, EDITION_DELETE},
      {"deletion becomes change", EDITION_DELETE, Close(u"/f", true), kPending, EDITION_MODIFY},
      {"other path: no effect", EDITION_MODIFY, Event(FILE_OP_COMMIT, u"/g"), kPending,
       EDITION_MODIFY},
      // Another file on Linux; the same file on Windows.
      {"case differs", EDITION_MODIFY, Event(FILE_OP_COMMIT, u"/F"),
       kFileNamesCaseSensitive ? kPending : kQueued, EDITION_MODIFY},
  };
  for (const Case& c : cases) {
    CBackuper backuper;
    backuper.AddPending(Pending(u"/f", c.kind));
    backuper.UpdatePending(c.event);
    EXPECT_EQ(backuper.pendingCount(), c.where == kPending ? 1u : 0u) << c.what;
    std::deque<EditionEntry> queued = backuper.TakeQueued();
    EXPECT_EQ(queued.size(), c.where == kQueued ? 1u : 0u) << c.what;
    if (c.where == kQueued) {
      EXPECT_EQ(queued.front().kind, c.finalKind) << c.what;
    }
    if (c.where == kPending) {
      backuper.ConfirmPendingChanges();
      const bool confirmed =
          c.finalKind == EDITION_MODIFY && c.event.FileOperation == FILE_OP_CLOSE;
      EXPECT_EQ(backuper.TakeQueued().size(), confirmed ? 1u : 0u) << c.what;
    }
  }
}

TEST(RoutingTest, SettledDeletionsExpireAfterTwoSeconds) {
  testing::FakeEnv env;
  testing::ScopedEnv scoped(&env);
  env.SetTick(0xFFFFF000u);  // the tick wraps around during the test
  CBackuper backuper;
  backuper.AddPending(Pending(u"/changed", EDITION_DELETE));
  backuper.AddPending(Pending(u"/kept", EDITION_DELETE));
  backuper.AddPending(Pending(u"/open", EDITION_MODIFY));
  backuper.UpdatePending(Close(u"/changed", true));
  backuper.UpdatePending(Close(u"/kept", false));

  backuper.ExpirePending(0xFFFFF000u + 2000, 2000);
  EXPECT_EQ(backuper.pendingCount(), 3u) << "2000 ms is not more than 2000 ms";
  backuper.ExpirePending(0xFFFFF000u + 2001, 2000);
  EXPECT_EQ(backuper.pendingCount(), 1u) << "only the entry never closed stays";
  const std::deque<EditionEntry> queued = backuper.TakeQueued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued.front().path, u"/changed");
}

TEST(RoutingTest, EachEventSettlesTheOldestEntryOfItsPath) {
  CBackuper backuper;
  backuper.AddPending(Pending(u"/a", EDITION_MODIFY));
  backuper.AddPending(Pending(u"/b", EDITION_MODIFY));
  EditionEntry second = Pending(u"/a", EDITION_MODIFY);
  second.copyName = u"second";
  backuper.AddPending(std::move(second));
  backuper.UpdatePending(Close(u"/a", true));
  std::deque<EditionEntry> queued = backuper.TakeQueued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued.front().copyName, u"a-copy");
  backuper.UpdatePending(Close(u"/a", true));
  queued = backuper.TakeQueued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued.front().copyName, u"second");
  EXPECT_EQ(backuper.pendingCount(), 1u);
}

// Entries put back after a failed batch come before those queued meanwhile.
TEST(RoutingTest, ReturnedEntriesKeepTheirPlaceInFront) {
  CBackuper backuper;
  backuper.QueueForWrite(Pending(u"/1", EDITION_MODIFY));
  std::deque<EditionEntry> taken = backuper.TakeQueued();
  backuper.QueueForWrite(Pending(u"/2", EDITION_MODIFY));
  backuper.ReturnToQueue(std::move(taken));
  const std::deque<EditionEntry> queued = backuper.TakeQueued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].path, u"/1");
  EXPECT_EQ(queued[1].path, u"/2");
}

// The index agrees with a walk of the list, however entries come and go.
TEST(PendingListTest, AgreesWithAPlainWalk) {
  PendingList list;
  std::vector<EditionEntry> plain;
  uint32_t serial = 0;
  for (int step = 0; step < 5000; ++step) {
    const std::u16string path = u"/p" + std::u16string(1, u'a' + step * 7 % 5);
    const int action = (step * 13) % 3;
    if (action != 2) {
      EditionEntry entry = Pending(path, EDITION_MODIFY);
      entry.closeTick = ++serial;
      list.Append(entry);
      plain.push_back(entry);
    } else if (step % 2 == 0) {
      const auto found = std::find_if(plain.begin(), plain.end(),
                                      [&](const EditionEntry& e) { return e.path == path; });
      EditionEntry* oldest = list.Oldest(path);
      ASSERT_EQ(oldest == nullptr, found == plain.end());
      if (oldest == nullptr) continue;
      EXPECT_EQ(oldest->closeTick, found->closeTick);
      EXPECT_EQ(list.RemoveOldest(path).closeTick, found->closeTick);
      plain.erase(found);
    } else {
      // Remove every third entry in order, as an expiry walk would.
      const uint32_t modulo = serial % 3;
      list.RemoveIf([&](const EditionEntry& e) { return e.closeTick % 3 == modulo; },
                    [](EditionEntry) {});
      std::erase_if(plain, [&](const EditionEntry& e) { return e.closeTick % 3 == modulo; });
    }
    ASSERT_EQ(list.size(), plain.size());
  }
}

}  // namespace
}  // namespace orv
