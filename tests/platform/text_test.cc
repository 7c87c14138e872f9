#include "platform/text.h"

#include <map>
#include <random>

#include <gtest/gtest.h>

#include "platform/path.h"
#include "support/paths.h"

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

std::u16string Units(std::initializer_list<char16_t> units) { return std::u16string(units); }

TEST(FileNameTest, ValidUtf8DecodesAsUsualAndEachOtherByteIsEscaped) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"r\xFF.txt", Units({u'r', 0xDCFF, u'.', u't', u'x', u't'})},
      {"a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
       u"a\u00e9\u20ac\U0001F600\U0010FFFF"},
      {"\xC0\xAF", Units({0xDCC0, 0xDCAF})},                          // overlong "/"
      {"\xC1\xBF", Units({0xDCC1, 0xDCBF})},                          // overlong
      {"\xE0\x80\xAF", Units({0xDCE0, 0xDC80, 0xDCAF})},              // overlong
      {"\xF0\x8F\xBF\xBF", Units({0xDCF0, 0xDC8F, 0xDCBF, 0xDCBF})},  // overlong
      {"\xED\xA0\x80", Units({0xDCED, 0xDCA0, 0xDC80})},              // a surrogate
      {"\xED\x9F\xBF", u"\uD7FF"},                                    // just below them
      {"\xF4\x90\x80\x80", Units({0xDCF4, 0xDC90, 0xDC80, 0xDC80})},  // above U+10FFFF
      {"\xF5\x80\x80\x80", Units({0xDCF5, 0xDC80, 0xDC80, 0xDC80})},
      {"\xE2\x82", Units({0xDCE2, 0xDC82})},  // cut short
      {"\xE2\x82"
       "A",
       Units({0xDCE2, 0xDC82, u'A'})},
      {"\xF0\x9F\x98", Units({0xDCF0, 0xDC9F, 0xDC98})},
      {"\x80\xC3\xA9", Units({0xDC80, u'\u00e9'})},  // a stray continuation, then valid text
      {"\xC3\xC3\xA9", Units({0xDCC3, u'\u00e9'})},  // a cut sequence does not eat the next
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(FileNameToUtf16(bytes), text) << bytes;
    std::string back;
    ASSERT_TRUE(Utf16ToFileName(text, &back)) << bytes;
    EXPECT_EQ(back, bytes);
  }
  for (unsigned byte = 0x80; byte <= 0xFF; ++byte) {
    const std::string lone(1, static_cast<char>(byte));
    EXPECT_EQ(FileNameToUtf16(lone), Units({static_cast<char16_t>(0xDC00 + byte)})) << byte;
  }
}

TEST(FileNameTest, TextNoByteStringMapsToIsRefused) {
  std::string out;
  const std::u16string refused[] = {
      Units({u'a', 0xDC7F}),            // below the escapes
      Units({0xDD00}),                  // above them
      Units({0xD800, u'x'}),            // a lone high surrogate
      Units({u'x', 0xDBFF}),            // one at the end
      Units({0xDCC3, 0xDCA9}),          // the bytes of "é": that name is spelled "é"
      Units({0xDCE2, 0xDC82, 0xDCAC}),  // those of U+20AC
      Units({0xDCF0, 0xDC9F, 0xDC98, 0xDC80}),
      Units({u'a', 0xDCC3, 0xDCA9, u'b'}),
  };
  for (const std::u16string& text : refused) {
    EXPECT_FALSE(Utf16ToFileName(text, &out)) << Utf16ToUtf8Lossy(text);
  }
  // Escapes beside valid text that they cannot join are fine.
  ASSERT_TRUE(Utf16ToFileName(Units({0xDCC3, u'\u00a9'}), &out));
  EXPECT_EQ(out, "\xC3\xC2\xA9");
  ASSERT_TRUE(Utf16ToFileName(u"\U0001F600\uFFFD", &out));
  EXPECT_EQ(out, "\xF0\x9F\x98\x80\xEF\xBF\xBD");
}

// Random bytes, weighted towards those that start, continue or break
// sequences: every string comes back as itself, and no two share a text.
TEST(FileNameTest, EveryByteStringRoundTripsAndNoTwoCollide) {
  const unsigned char interesting[] = {0x41, 0x2F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                       0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF4,
                                       0xF5, 0xFF, 0xB0, 0xA9, 0xC3, 0xE2, 0x82, 0xAC};
  std::mt19937 random(16);
  std::uniform_int_distribution<int> length(0, 10), pick(0, 2 * std::size(interesting) - 1),
      any(1, 255);
  std::map<std::u16string, std::string> seen;
  for (int n = 0; n < 20000; ++n) {
    std::string bytes;
    for (int i = length(random); i > 0; --i) {
      const size_t choice = static_cast<size_t>(pick(random));
      bytes.push_back(
          static_cast<char>(choice < std::size(interesting) ? interesting[choice] : any(random)));
    }
    const std::u16string text = FileNameToUtf16(bytes);
    std::string back;
    ASSERT_TRUE(Utf16ToFileName(text, &back)) << n;
    ASSERT_EQ(back, bytes) << n;
    std::u16string strict;
    if (Utf8ToUtf16(bytes, &strict)) {
      EXPECT_EQ(text, strict) << "valid UTF-8 is decoded as usual";
    }
    const auto [at, added] = seen.emplace(text, bytes);
    if (!added) {
      EXPECT_EQ(at->second, bytes) << "two byte strings share a text";
    }
  }
  EXPECT_GT(seen.size(), 15000u);
}

TEST(Wtf8Test, LoneSurrogatesKeepTheirOwnFormAndComeBack) {
  EXPECT_EQ(Utf16ToWtf8(Units({u'r', 0xDCFF, u'.'})), "r\xED\xB3\xBF.");
  EXPECT_EQ(Utf16ToWtf8(Units({0xD800})), "\xED\xA0\x80");
  EXPECT_EQ(Utf16ToWtf8(u"a\u00e9\U0001F600\uFFFE"), "a\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBE");
  std::u16string out;
  for (const char* refused : {"\xED\xA0\xBD\xED\xB8\x80",  // a pair as two 3-byte forms
                              "\xC0\xAF", "\xFF", "\xE2\x82", "a\x80"}) {
    EXPECT_FALSE(Wtf8ToUtf16(refused, &out)) << refused;
  }

  const char16_t alphabet[] = {u'a',   u'\u00e9', 0xD7FF, 0xD800, 0xDBFF, 0xDC00,
                               0xDC80, 0xDCFF,    0xDFFF, 0xE000, 0xFEFF, 0xFFFF};
  std::mt19937 random(61);
  std::uniform_int_distribution<int> length(0, 8), pick(0, std::size(alphabet) - 1);
  for (int n = 0; n < 10000; ++n) {
    std::u16string text;
    for (int i = length(random); i > 0; --i) text.push_back(alphabet[pick(random)]);
    const std::string stored = Utf16ToWtf8(text);
    ASSERT_TRUE(Wtf8ToUtf16(stored, &out)) << n;
    ASSERT_EQ(out, text) << n;
    std::string plain;
    if (Utf16ToUtf8(text, &plain)) {
      EXPECT_EQ(stored, plain) << "valid text is plain UTF-8";
    }
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

// Case-sensitive on Linux; ASCII case folded on Windows, and only ASCII.
TEST(PathTest, FileIdentityFollowsThePlatformAndNoDirectoryMeansNoPath) {
  using testing::EnginePath;
  EXPECT_TRUE(SameFilePath(EnginePath(u"/home/ann/a.txt"), EnginePath(u"/home/ann/a.txt")));
  EXPECT_EQ(SameFilePath(EnginePath(u"/home/ann/A.txt"), EnginePath(u"/home/ann/a.txt")),
            !kFileNamesCaseSensitive);
  EXPECT_FALSE(SameFilePath(EnginePath(u"/home/\u00c9"), EnginePath(u"/home/\u00e9")));
  EXPECT_FALSE(SameFilePath(EnginePath(u"/home/ann/a.txt"), EnginePath(u"/home/ann/a.txt2")));
  const FilePathHash hash;
  if (!kFileNamesCaseSensitive) {
    EXPECT_EQ(hash(EnginePath(u"/Home/ANN")), hash(EnginePath(u"/home/ann")))
        << "paths that name the same file hash alike";
  }
  EXPECT_EQ(JoinPath(EnginePath(u"/var/log"), u"orv.log"), EnginePath(u"/var/log/orv.log"));
  EXPECT_EQ(JoinPath(EnginePath(u"/var/log/"), u"orv.log"), EnginePath(u"/var/log/orv.log"));
  EXPECT_EQ(JoinPath(u"", u"orv.log"), u"");
}

}  // namespace
}  // namespace orv
