#include "platform/text.h"

#include <gtest/gtest.h>

#include "platform/path.h"

namespace orv {
namespace {

TEST(TextTest, Utf16ToUtf8ConvertsEveryPlaneAndRejectsLoneSurrogates) {
  std::string out;
  ASSERT_TRUE(Utf16ToUtf8(u"a\u00e9\u20ac\U0001F600", &out));
  EXPECT_EQ(out, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  ASSERT_TRUE(Utf16ToUtf8(u"", &out));
  EXPECT_EQ(out, "");

  const std::u16string loneHighAtEnd = {u'a', 0xD83D};
  const std::u16string loneLow = {0xDE00, u'b'};
  const std::u16string highThenNonLow = {0xD83D, u'x'};
  const std::u16string reversedPair = {0xDE00, 0xD83D};
  for (const auto& bad : {loneHighAtEnd, loneLow, highThenNonLow, reversedPair}) {
    EXPECT_FALSE(Utf16ToUtf8(bad, &out));
    EXPECT_EQ(Utf16ToUtf8Lossy(bad).find("\xEF\xBF\xBD") != std::string::npos, true);
  }
  EXPECT_EQ(Utf16ToUtf8Lossy(highThenNonLow), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8Lossy(reversedPair), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(TextTest, Utf8ToUtf16RejectsMalformedInput) {
  std::u16string out;
  ASSERT_TRUE(Utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80", &out));
  EXPECT_EQ(out, u"a\u00e9\U0001F600");
  for (const char* bad : {"\xC0\xAF",          // overlong "/"
                          "\xED\xA0\x80",      // an encoded surrogate
                          "\xE2\x82",          // cut short
                          "\xFF", "a\x80"}) {  // not a lead byte
    EXPECT_FALSE(Utf8ToUtf16(bad, &out)) << bad;
  }
  EXPECT_EQ(Utf8ToUtf16OrEmpty("\xFF"), u"");
}

TEST(TextTest, Utf8ToUtf16LossyKeepsValidTextAndMarksWhatIsNot) {
  const std::string valid = "a\xC3\xA9\xF0\x9F\x98\x80";
  std::u16string strict;
  ASSERT_TRUE(Utf8ToUtf16(valid, &strict));
  EXPECT_EQ(Utf8ToUtf16Lossy(valid), strict);
  EXPECT_EQ(Utf8ToUtf16Lossy("a\xFF"
                             "b"),
            u"a\uFFFDb");
  EXPECT_EQ(Utf8ToUtf16Lossy("x\xE2\x82"), u"x\uFFFD") << "cut short at the end";
  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xFF", "a\x80"}) {
    const std::u16string lossy = Utf8ToUtf16Lossy(bad);
    EXPECT_NE(lossy.find(u'\uFFFD'), std::u16string::npos) << bad;
    // Whatever came in, what comes out converts back strictly.
    std::string back;
    EXPECT_TRUE(Utf16ToUtf8(lossy, &back)) << bad;
  }
}

TEST(TextTest, CaseFoldingIsAsciiOnlyLikeTheCLocale) {
  EXPECT_EQ(AsciiCompareIgnoreCase(u"Report.DOC", u"report.doc"), 0);
  EXPECT_TRUE(AsciiEqualIgnoreCase(u"ABCxyz", u"abcXYZ"));
  // Letters outside ASCII are never folded.
  EXPECT_FALSE(AsciiEqualIgnoreCase(u"\u00C9t\u00E9", u"\u00E9t\u00E9"));
  // Ordering is that of the folded units: '_' (0x5F) sorts before 'a' but after 'Z'
  // only once 'Z' is folded to 'z' (0x7A).
  EXPECT_LT(AsciiCompareIgnoreCase(u"_", u"a"), 0);
  EXPECT_GT(AsciiCompareIgnoreCase(u"Z", u"_"), 0);
  EXPECT_LT(AsciiCompareIgnoreCase(u"abc", u"ABCD"), 0);
  EXPECT_GT(AsciiCompareIgnoreCase(u"abcd", u"ABC"), 0);
  EXPECT_FALSE(AsciiEqualIgnoreCase(u"abc", u"abcd"));
}

TEST(PathTest, FileIdentityIsCaseSensitiveAndNoDirectoryMeansNoPath) {
  EXPECT_TRUE(SameFilePath(u"/home/ann/a.txt", u"/home/ann/a.txt"));
  EXPECT_FALSE(SameFilePath(u"/home/ann/A.txt", u"/home/ann/a.txt"));
  EXPECT_EQ(JoinPath(u"/var/log", u"orv.log"), u"/var/log/orv.log");
  EXPECT_EQ(JoinPath(u"", u"orv.log"), u"");
}

}  // namespace
}  // namespace orv
