// Policy evaluation: the indexed filters against the plain walk that compares
// every value, on a kit of 20 filters that all answer Next on a miss, so every
// event visits every filter.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "policy/filter_kit.h"
#include "support/linear_policy.h"

namespace {

using orv::testing::LinearFilter;
using orv::testing::LinearKind;

constexpr int kFiltersPerKind = 5;
const char16_t* const kMissPath = u"/srv/unrelated/place/nothing-here.zzz";
const char16_t* const kLastFilterPath = u"/srv/unrelated/place/target-of-the-last-filter.qqq";

std::u16string RandomWord(std::mt19937& random, size_t minLength, size_t maxLength) {
  std::u16string word(minLength + random() % (maxLength - minLength + 1), u'a');
  for (char16_t& unit : word) unit = static_cast<char16_t>(u'a' + random() % 26);
  return word;
}

// A path of 10 to 200 characters under a few common roots, as real policies hold.
std::u16string RandomPath(std::mt19937& random) {
  static const char16_t* const roots[] = {u"/home/", u"/srv/data/", u"/mnt/share/", u"/opt/"};
  std::u16string path = roots[random() % 4];
  const size_t target = 10 + random() % 191;
  while (path.size() < target) path += RandomWord(random, 2, 12) + u"/";
  return path.substr(0, target);
}

struct Policies {
  orv::CFilterKit indexed;
  orv::testing::LinearPolicy linear;
};

// Filters of every kind, each with `values` values; the last base-name filter
// (the last one walked) also holds the base name of kLastFilterPath.
const Policies& MakePolicies(int values) {
  static std::map<int, std::unique_ptr<Policies>> cache;
  auto& slot = cache[values];
  if (slot) return *slot;
  slot = std::make_unique<Policies>();
  std::mt19937 random(values);
  const LinearKind kinds[] = {LinearKind::kExtension, LinearKind::kFileName, LinearKind::kLocation,
                              LinearKind::kBaseName};
  for (LinearKind kind : kinds) {
    for (int f = 0; f < kFiltersPerKind; ++f) {
      LinearFilter plain{kind, 1, 2, 3, {}};
      std::unique_ptr<orv::CFilter> filter;
      switch (kind) {
        case LinearKind::kExtension:
          filter = std::make_unique<orv::CExtensionFilter>();
          break;
        case LinearKind::kFileName:
          filter = std::make_unique<orv::CFileNameFilter>();
          break;
        case LinearKind::kLocation:
          filter = std::make_unique<orv::CPathFilter>();
          break;
        case LinearKind::kBaseName:
          filter = std::make_unique<orv::CFileBaseNameFilter>();
          break;
      }
      filter->SetActions(orv::FilterType::Object, orv::PolicyAction::Backup,
                         orv::PolicyAction::Next);
      orv::CFilter& added = slot->indexed.AddFilter(std::move(filter));
      for (int v = 0; v < values; ++v) {
        std::u16string value;
        if (kind == LinearKind::kExtension) {
          value = RandomWord(random, 1, 8);
        } else if (kind == LinearKind::kBaseName) {
          value = RandomWord(random, 3, 20) + u"." + RandomWord(random, 1, 4);
        } else {
          value = RandomPath(random);
        }
        if (kind == LinearKind::kBaseName && f == kFiltersPerKind - 1 && v == values - 1) {
          value = u"target-of-the-last-filter.qqq";
        }
        added.AddValue(value);
        plain.values.push_back(value);
      }
      slot->linear.Add(std::move(plain));
    }
  }
  return *slot;
}

void Check(benchmark::State& state, const Policies& p, const char16_t* path, uint32_t expected) {
  FileEventRecord record{};
  record.FilePath = path;
  if (static_cast<uint32_t>(p.indexed.Evaluate(record)) != expected ||
      p.linear.Evaluate(path) != expected) {
    state.SkipWithError("the two walks disagree with the expected verdict");
  }
}

void BM_IndexedWalk(benchmark::State& state) {
  const Policies& p = MakePolicies(static_cast<int>(state.range(0)));
  const bool hitLast = state.range(1) != 0;
  const char16_t* path = hitLast ? kLastFilterPath : kMissPath;
  Check(state, p, path, hitLast ? 2 : 3);
  FileEventRecord record{};
  record.FilePath = path;
  for (auto _ : state) benchmark::DoNotOptimize(p.indexed.Evaluate(record));
}

void BM_LinearWalk(benchmark::State& state) {
  const Policies& p = MakePolicies(static_cast<int>(state.range(0)));
  const bool hitLast = state.range(1) != 0;
  const char16_t* path = hitLast ? kLastFilterPath : kMissPath;
  Check(state, p, path, hitLast ? 2 : 3);
  for (auto _ : state) benchmark::DoNotOptimize(p.linear.Evaluate(path));
}

// Arguments: values per filter, and 0 for a path that matches nothing or 1 for
// one that only the last filter matches.
BENCHMARK(BM_IndexedWalk)->ArgsProduct({{1, 100, 10000}, {0, 1}});
BENCHMARK(BM_LinearWalk)->ArgsProduct({{1, 100, 10000}, {0, 1}});

}  // namespace
