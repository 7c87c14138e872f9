#include "policy/filter.h"

#include <random>

#include <gtest/gtest.h>

#include "platform/path.h"
#include "policy/environment_expansion.h"
#include "policy/filter_kit.h"
#include "policy/prefix_tree.h"
#include "support/fake_env.h"
#include "support/linear_policy.h"
#include "support/paths.h"

namespace orv {
namespace {

using testing::FakeEnv;
using testing::ScopedEnv;

template <typename Filter>
std::unique_ptr<CFilter> MakeFilter(std::initializer_list<std::u16string_view> values) {
  auto filter = std::make_unique<Filter>();
  filter->SetActions(FilterType::Object, PolicyAction::Backup, PolicyAction::Ignore);
  for (auto value : values) filter->AddValue(value);
  return filter;
}

PolicyAction MatchPath(const CFilter& filter, const char16_t* path) {
  FileEventRecord record{};
  record.FilePath = path;
  return filter.Match(record);
}

struct MatchCase {
  const char* what;
  std::unique_ptr<CFilter> filter;
  std::u16string path;
  bool hit;
};

// Values and paths are written with "/" and given to the filters in the form of
// the platform's engine paths.
std::u16string P(std::u16string_view slashed) { return testing::EnginePath(slashed); }

TEST(FilterTest, EachClassLooksAtItsPartOfThePath) {
  MatchCase cases[] = {
      {"extension ignores case", MakeFilter<CExtensionFilter>({u"TXT"}), P(u"/dir/a.txt"), true},
      {"extension value has no dot", MakeFilter<CExtensionFilter>({u".txt"}), P(u"/dir/a.txt"),
       false},
      {"last dot may be in a directory", MakeFilter<CExtensionFilter>({P(u"d/file")}),
       P(u"/x.d/file"), true},
      {"only the last extension", MakeFilter<CExtensionFilter>({u"tar"}), P(u"/a/archive.tar.gz"),
       false},
      {"no dot, no extension", MakeFilter<CExtensionFilter>({u""}), P(u"/a/Makefile"), false},
      {"trailing dot: empty extension", MakeFilter<CExtensionFilter>({u""}), P(u"/a/b."), true},
      {"base name ignores case", MakeFilter<CFileBaseNameFilter>({u"report.doc"}),
       P(u"/home/a/Report.DOC"), true},
      {"base name needs a separator", MakeFilter<CFileBaseNameFilter>({u"report.doc"}),
       u"report.doc", false},
      {"base name of a directory path", MakeFilter<CFileBaseNameFilter>({u""}), P(u"/home/a/"),
       true},
      {"file name ignores ASCII case", MakeFilter<CFileNameFilter>({P(u"/data/A.TXT")}),
       P(u"/Data/a.txt"), true},
      {"file name is the whole path", MakeFilter<CFileNameFilter>({P(u"/data/a.txt")}),
       P(u"/data/a.txt.bak"), false},
      {"no folding outside ASCII", MakeFilter<CFileNameFilter>({P(u"/\u00c9t\u00e9")}),
       P(u"/\u00e9t\u00e9"), false},
      {"location is a prefix", MakeFilter<CPathFilter>({P(u"/Data/")}), P(u"/Data/x.txt"), true},
      {"location keeps case", MakeFilter<CPathFilter>({P(u"/Data/")}), P(u"/data/x.txt"), false},
      {"location only at the start", MakeFilter<CPathFilter>({P(u"/Data/")}), P(u"/D/Data/x"),
       false},
      {"location longer than path", MakeFilter<CPathFilter>({P(u"/Data/x.txt/more")}),
       P(u"/Data/x.txt"), false},
      {"empty location hits all", MakeFilter<CPathFilter>({u""}), P(u"/anything"), true},
      {"no values: miss", MakeFilter<CPathFilter>({}), P(u"/anything"), false},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(MatchPath(*c.filter, c.path.c_str()),
              c.hit ? PolicyAction::Backup : PolicyAction::Ignore)
        << c.what;
    EXPECT_EQ(MatchPath(*c.filter, nullptr), PolicyAction::Ignore) << c.what << ": absent path";
  }
}

TEST(FilterTest, KindsAndOrderKeys) {
  auto location = MakeFilter<CPathFilter>({});
  auto fileName = MakeFilter<CFileNameFilter>({});
  EXPECT_EQ(location->GetKind(), 3u);
  EXPECT_EQ(location->OrderKey(), fileName->OrderKey()) << "location and file name interleave";
  location->SetActions(FilterType::Subject, PolicyAction::Next, PolicyAction::None);
  EXPECT_EQ(location->OrderKey(), 323u);
  EXPECT_EQ(MakeFilter<CExtensionFilter>({})->OrderKey(), 112u);
  EXPECT_EQ(MakeFilter<CFileBaseNameFilter>({})->OrderKey(), 412u);
}

TEST(FilterTest, EnvironmentReferencesExpandOnceAtLoad) {
  FakeEnv env;
  env.SetVariable(u"HOME", u"/home/ann");
  env.SetVariable(u"LOOP", u"%HOME%");
  ScopedEnv scoped(&env);
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"%HOME%/Documents/", u"/home/ann/Documents/"},
      {u"%home%/x", u"%home%/x"},  // names are case-sensitive
      {u"%UNSET%/x", u"%UNSET%/x"},
      {u"%UNSET%HOME%", u"%UNSET/home/ann"},  // the closing % may open a reference
      {u"100%", u"100%"},
      {u"%%", u"%%"},
      {u"$HOME/~", u"$HOME/~"},
      {u"%LOOP%", u"%HOME%"},  // not expanded twice
      {u"%HOME%%HOME%", u"/home/ann/home/ann"},
  };
  for (const auto& [text, expanded] : cases) {
    EXPECT_EQ(ExpandEnvironmentReferences(text, env), expanded);
  }

  auto location = MakeFilter<CPathFilter>({u"%HOME%/Documents/"});
  auto fileName = MakeFilter<CFileNameFilter>({u"%HOME%/notes.txt"});
  auto extension = MakeFilter<CExtensionFilter>({u"%HOME%"});
  env.SetVariable(u"HOME", u"/elsewhere");
  EXPECT_EQ(MatchPath(*location, u"/home/ann/Documents/a"), PolicyAction::Backup);
  EXPECT_EQ(MatchPath(*fileName, u"/home/ann/notes.txt"), PolicyAction::Backup);
  EXPECT_EQ(MatchPath(*extension, u"/x.%HOME%"), PolicyAction::Backup)
      << "extensions stay as written";
}

TEST(FilterTest, LongValuesAreKeptWhole) {
  const std::u16string deep = u"/srv/" + std::u16string(600, u'd') + u"/";
  auto location = MakeFilter<CPathFilter>({deep});
  EXPECT_EQ(MatchPath(*location, (deep + u"file").c_str()), PolicyAction::Backup);
  // A cut value would have protected this sibling too.
  const std::u16string sibling = deep.substr(0, 524) + u"x/file";
  EXPECT_EQ(MatchPath(*location, sibling.c_str()), PolicyAction::Ignore);
}

// Random values over a tiny alphabet share many prefixes, which exercises every
// way an edge of the tree can be split.
TEST(PrefixTreeTest, AgreesWithABruteForceSearch) {
  std::mt19937 random(7);
  auto randomText = [&](size_t maxLength) {
    std::u16string text(random() % (maxLength + 1), u'a');
    for (char16_t& unit : text) unit = static_cast<char16_t>(u'a' + random() % 3);
    return text;
  };
  for (int round = 0; round < 200; ++round) {
    PrefixTree tree;
    std::vector<std::u16string> values;
    const int count = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) {
      values.push_back(randomText(6));
      if (values.back().empty() && random() % 4 != 0) values.back() = u"c";
      tree.Add(values.back());
    }
    for (int probe = 0; probe < 50; ++probe) {
      const std::u16string text = randomText(8);
      bool expected = false;
      for (const auto& value : values) expected |= text.compare(0, value.size(), value) == 0;
      ASSERT_EQ(tree.AnyPrefixOf(text), expected) << "round " << round;
    }
  }
}

// The indexed kit gives the verdicts of the plain walk, for random policies.
TEST(FilterKitTest, AgreesWithThePlainWalk) {
  std::mt19937 random(11);
  // Pieces of paths, joined by the platform's separator.
  const std::u16string s(1, kPathSeparator);
  const std::u16string pieces[] = {s + u"home", s + u"Home", s + u"ann", s + u"doc",
                                   u".txt",     u".TXT",     u".gz",     s,
                                   u"a",        u"b.c",      u"%X%"};
  const std::u16string separatorOrDot = s + u".";
  auto randomPath = [&] {
    std::u16string path;
    const int n = static_cast<int>(random() % 5);
    for (int i = 0; i < n; ++i) path += pieces[random() % std::size(pieces)];
    return path;
  };
  FakeEnv env;  // no variables: %X% stays as written in both
  ScopedEnv scoped(&env);
  for (int round = 0; round < 100; ++round) {
    CFilterKit kit;
    testing::LinearPolicy reference;
    const int filters = static_cast<int>(random() % 8);
    for (int f = 0; f < filters; ++f) {
      const auto kind = static_cast<testing::LinearKind>(random() % 4);
      testing::LinearFilter plain{kind,
                                  static_cast<uint32_t>(random() % 3),
                                  static_cast<uint32_t>(random() % 4),
                                  static_cast<uint32_t>(random() % 4),
                                  {}};
      std::unique_ptr<CFilter> indexed;
      switch (kind) {
        case testing::LinearKind::kExtension:
          indexed = std::make_unique<CExtensionFilter>();
          break;
        case testing::LinearKind::kFileName:
          indexed = std::make_unique<CFileNameFilter>();
          break;
        case testing::LinearKind::kBaseName:
          indexed = std::make_unique<CFileBaseNameFilter>();
          break;
        case testing::LinearKind::kLocation:
          indexed = std::make_unique<CPathFilter>();
          break;
      }
      indexed->SetActions(static_cast<FilterType>(plain.type), static_cast<PolicyAction>(plain.hit),
                          static_cast<PolicyAction>(plain.miss));
      CFilter& added = kit.AddFilter(std::move(indexed));
      const int values = static_cast<int>(random() % 4);
      for (int v = 0; v < values; ++v) {
        std::u16string value = randomPath();
        if (kind == testing::LinearKind::kExtension || kind == testing::LinearKind::kBaseName) {
          const size_t last = value.find_last_of(separatorOrDot);
          value = value.substr(last == std::u16string::npos ? 0 : last + 1);
        }
        added.AddValue(value);
        plain.values.push_back(value);
      }
      reference.Add(std::move(plain));
    }
    for (int probe = 0; probe < 40; ++probe) {
      const std::u16string path = randomPath();
      FileEventRecord record{};
      record.FilePath = path.c_str();
      ASSERT_EQ(static_cast<uint32_t>(kit.Evaluate(record)), reference.Evaluate(path.c_str()))
          << "round " << round;
    }
    FileEventRecord noPath{};
    ASSERT_EQ(static_cast<uint32_t>(kit.Evaluate(noPath)), reference.Evaluate(nullptr));
  }
}

}  // namespace
}  // namespace orv
