#include "catalog/store_layout.h"

#include <gtest/gtest.h>

#include "platform/path.h"

namespace orv {
namespace {

TEST(SnapshotNameTest, BaseNameThenStampAndNeverTooLong) {
  const LocalTime t{2010, 4, 2, 6, 8, 6, 45, 123};
  EXPECT_EQ(SnapshotName(u"report.doc", t), u"report.doc20100406080645123");
  EXPECT_EQ(SnapshotName(u"v2", t), u"v220100406080645123");

  const std::u16string longName(300, u'x');
  EXPECT_EQ(SnapshotName(longName, t), std::u16string(238, u'x') + u"20100406080645123");
  // Three-byte characters: 79 of them fit in front of the stamp.
  const std::u16string wide(100, u'\u20ac');
  EXPECT_EQ(SnapshotName(wide, t), std::u16string(79, u'\u20ac') + u"20100406080645123");
  // A pair is kept or dropped whole.
  std::u16string pairs;
  for (int i = 0; i < 80; ++i) pairs += u"\U0001F600";
  EXPECT_EQ(SnapshotName(pairs, t).size(), 59u * 2 + 17);
}

TEST(SnapshotNameTest, AddOneMillisecondCarriesThroughTheCalendar) {
  LocalTime t{2024, 2, 4, 29, 23, 59, 59, 999};
  AddOneMillisecond(t);
  EXPECT_EQ(SnapshotName(u"f", t), u"f20240301000000000");
  t = {2023, 12, 0, 31, 23, 59, 59, 999};
  AddOneMillisecond(t);
  EXPECT_EQ(SnapshotName(u"f", t), u"f20240101000000000");
  t = {2023, 2, 0, 28, 23, 59, 59, 999};
  AddOneMillisecond(t);
  EXPECT_EQ(SnapshotName(u"f", t), u"f20230301000000000");
}

TEST(StoreLayoutTest, OnlyANameInsideTheSnapshotDirectoryIsASnapshotName) {
  EXPECT_TRUE(IsSnapshotName(u"report.doc20100406080645123"));
  for (std::u16string_view bad : {u"", u".", u"..", u"../BackupDB.s3db", u"a/b"}) {
    EXPECT_FALSE(IsSnapshotName(bad)) << std::string(bad.begin(), bad.end());
  }
  EXPECT_FALSE(IsSnapshotName(std::u16string_view(u"a\0b", 3)));
  EXPECT_TRUE(IsSnapshotName(std::u16string(255, u'x')));
  EXPECT_FALSE(IsSnapshotName(std::u16string(256, u'x')));
  const std::u16string partial =
      std::u16string(kPartialCopyPrefix) + u"12-0" + std::u16string(kPartialCopySuffix);
  EXPECT_TRUE(IsPartialCopyName(partial));
  EXPECT_FALSE(IsPartialCopyName(u"orv-partial-12-0.partial"));
  // A copy of a file whose own name looks like a partial one is a copy: taken
  // for a partial file, it would be deleted at the next Start.
  LocalTime t;
  t.year = 2026;
  t.month = 12;
  t.day = 8;
  EXPECT_FALSE(IsPartialCopyName(SnapshotName(partial, t)));
  EXPECT_FALSE(IsPartialCopyName(SnapshotName(std::u16string(kPartialCopyPrefix) + u"12-0", t)));
}

}  // namespace
}  // namespace orv
