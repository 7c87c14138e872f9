// orv timeline [DIR]: how many files were modified, deleted and renamed per
// minute (per hour or day over longer spans), so that after a mass change a
// user sees when it began and picks a moment before it.
#include <orv/orv.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "catalog_time.h"
#include "command.h"
#include "files_under.h"
#include "read_transaction.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

struct TimelineOptions {
  std::string dir;  // empty: every file
  std::optional<std::string> since, until;
};

struct Counts {
  uint32_t modified = 0, deleted = 0, renamed = 0;

  uint32_t Total() const { return modified + deleted + renamed; }
  void Add(int32_t operation) {
    switch (static_cast<uint32_t>(operation)) {
      case EDITION_DELETE:
        ++deleted;
        break;
      case EDITION_RENAME:
        ++renamed;
        break;
      default:
        ++modified;
    }
  }
  void Add(const Counts& other) {
    modified += other.modified;
    deleted += other.deleted;
    renamed += other.renamed;
  }
};

// A span of equal periods, each with its counts; every period between the
// first edition's and the last's is there, empty or not.
struct Timeline {
  int32_t bucketSeconds = 60;
  int32_t start = 0;  // the first bucket's stamp
  std::vector<Counts> buckets;
  Counts totals;
  std::optional<size_t> jump;  // the first bucket of a sudden rise

  int32_t StartOf(size_t bucket) const {
    return start + static_cast<int32_t>(bucket) * bucketSeconds;
  }
};

// Minutes for a span up to six hours, hours up to 30 days, then days: a chart
// stays a few hundred lines at most for the spans a recovery looks at.
int32_t BucketSecondsFor(int32_t span) {
  if (span <= 6 * 3600) return 60;
  if (span <= 30 * 86400) return 3600;
  return 86400;
}

// A rise worth marking: at least this many files in one bucket, and five times
// the busiest bucket before it.
constexpr uint32_t kJumpFloor = 10;
constexpr uint32_t kJumpFactor = 5;

std::optional<size_t> FirstJump(const std::vector<Counts>& buckets) {
  uint32_t busiest = 0;
  for (size_t i = 0; i < buckets.size(); ++i) {
    const uint32_t total = buckets[i].Total();
    if (total >= kJumpFloor && total >= kJumpFactor * busiest) return i;
    busiest = std::max(busiest, total);
  }
  return std::nullopt;
}

// The editions between the bounds, of the files under dir (of every file when
// dir is empty), counted per minute in one pass and one read transaction.
std::map<int32_t, Counts> CountPerMinute(const std::string& dir, const int32_t* from,
                                         const int32_t* to) {
  const ReadTransaction transaction;
  std::optional<std::unordered_set<uint32_t>> files;
  if (!dir.empty()) {
    files.emplace();
    for (const auto& [name, id] : FilesUnder(dir)) files->insert(id);
  }
  std::map<int32_t, Counts> minutes;
  if (files && files->empty()) return minutes;
  FileEditionInfo info;
  void* handle = OrvFindFirstEditionBetween(from, to, &info);
  if (handle == nullptr) return minutes;
  // Oldest first: the current minute is looked up once, not per edition.
  int32_t minute = 0;
  Counts* counts = nullptr;
  do {
    if (files && !files->contains(static_cast<uint32_t>(info.FileID))) continue;
    if (counts == nullptr || info.TimeStamp < minute || info.TimeStamp >= int64_t{minute} + 60) {
      minute = CatalogPeriodStart(info.TimeStamp, 60);
      counts = &minutes[minute];
    }
    counts->Add(info.Operation);
  } while (OrvFindNextFileEditionOf(handle, &info) == 1);
  FindFileEditionClose(handle);
  return minutes;
}

Timeline BuildTimeline(const std::map<int32_t, Counts>& minutes) {
  Timeline timeline;
  if (minutes.empty()) return timeline;
  const int32_t first = minutes.begin()->first, last = minutes.rbegin()->first;
  timeline.bucketSeconds = BucketSecondsFor(last - first);
  timeline.start = CatalogPeriodStart(first, timeline.bucketSeconds);
  timeline.buckets.resize(static_cast<size_t>((last - timeline.start) / timeline.bucketSeconds) +
                          1);
  for (const auto& [minute, counts] : minutes) {
    timeline.buckets[static_cast<size_t>((minute - timeline.start) / timeline.bucketSeconds)].Add(
        counts);
    timeline.totals.Add(counts);
  }
  timeline.jump = FirstJump(timeline.buckets);
  return timeline;
}

const char* UnitName(int32_t bucketSeconds) {
  return bucketSeconds == 60 ? "minute" : bucketSeconds == 3600 ? "hour" : "day";
}

nlohmann::json CountsJson(const Counts& counts) {
  return {{"modified", counts.modified}, {"deleted", counts.deleted}, {"renamed", counts.renamed}};
}

void WriteJson(const Timeline& timeline, Output& out) {
  nlohmann::json buckets = nlohmann::json::array();
  for (size_t i = 0; i < timeline.buckets.size(); ++i) {
    nlohmann::json bucket = {{"start", FormatCatalogTime(timeline.StartOf(i))},
                             {"timeStamp", timeline.StartOf(i)}};
    bucket.update(CountsJson(timeline.buckets[i]));
    if (timeline.jump == i) bucket["jump"] = true;
    buckets.push_back(std::move(bucket));
  }
  *out.document = {{"bucketSeconds", timeline.bucketSeconds},
                   {"buckets", std::move(buckets)},
                   {"totals", CountsJson(timeline.totals)}};
}

// The columns a bar may fill: what the terminal leaves after the counts, or
// 60 when the output is no terminal.
size_t BarWidth(size_t used) {
  constexpr size_t kPlain = 60, kLeast = 10;
  struct winsize size {};
  if (::isatty(STDOUT_FILENO) != 1 || ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 ||
      size.ws_col == 0) {
    return kPlain;
  }
  return std::max(kLeast, static_cast<size_t>(size.ws_col) > used + 1 ? size.ws_col - used - 1 : 0);
}

// One bar for the counts, stacked by kind, scaled so that the busiest bucket
// fills width.
std::string Bar(const Counts& counts, uint32_t busiest, size_t width) {
  std::string bar;
  uint64_t sum = 0;
  for (const auto& [count, mark] :
       {std::pair{counts.modified, '#'}, {counts.deleted, 'x'}, {counts.renamed, '>'}}) {
    sum += count;
    const size_t end = static_cast<size_t>((sum * width + busiest - 1) / busiest);
    bar.append(end - std::min(end, bar.size()), mark);
  }
  return bar;
}

// A bucket's start to the minute, in a form --since, --until and --at read.
std::string ShortTime(int32_t timeStamp) { return FormatCatalogTime(timeStamp).substr(0, 16); }

void WriteText(const Timeline& timeline) {
  if (timeline.buckets.empty()) {
    std::cerr << "no editions\n";
    return;
  }
  const char* unit = UnitName(timeline.bucketSeconds);
  uint32_t busiest = 0, widest = 0;
  for (const Counts& counts : timeline.buckets) {
    busiest = std::max(busiest, counts.Total());
    widest = std::max({widest, counts.modified, counts.deleted, counts.renamed});
  }
  const int digits = static_cast<int>(std::to_string(widest).size());
  std::cout << "files per " << unit << ", " << ShortTime(timeline.start) << " to "
            << ShortTime(timeline.StartOf(timeline.buckets.size() - 1))
            << " (# modified, x deleted, > renamed)\n";
  // A run of more empty buckets than this is one line.
  constexpr size_t kEmptyShown = 3;
  constexpr std::string_view kRise = "  <- sudden rise";
  // One scale for every bar: the columns after the widest line's counts.
  size_t width = 0;
  for (size_t i = 0; i < timeline.buckets.size(); ++i) {
    size_t empty = 0;
    while (i + empty < timeline.buckets.size() && timeline.buckets[i + empty].Total() == 0) ++empty;
    if (empty > kEmptyShown) {
      std::cout << "…  " << empty << " " << unit << "s without editions\n";
      i += empty - 1;
      continue;
    }
    const Counts& counts = timeline.buckets[i];
    char line[128];
    std::snprintf(line, sizeof(line), "%s  %*u modified  %*u deleted  %*u renamed",
                  ShortTime(timeline.StartOf(i)).c_str(), digits, counts.modified, digits,
                  counts.deleted, digits, counts.renamed);
    if (width == 0) width = BarWidth(std::strlen(line) + 2 + (timeline.jump ? kRise.size() : 0));
    const std::string bar = Bar(counts, busiest, width);
    std::cout << line << (bar.empty() ? "" : "  " + bar) << (timeline.jump == i ? kRise : "")
              << "\n";
  }
  std::cout << "total  " << timeline.totals.modified << " modified, " << timeline.totals.deleted
            << " deleted, " << timeline.totals.renamed << " renamed\n";
  if (timeline.jump) {
    // An edition holds what its file was until its time: a moment just
    // before the rise's period still has every file as it was.
    std::cout << "sudden rise from " << ShortTime(timeline.StartOf(*timeline.jump))
              << "; the files as they were just before: --at "
              << FormatCatalogTime(timeline.StartOf(*timeline.jump) - 1) << "\n";
  }
}

void RunTimeline(const GlobalOptions& options, const TimelineOptions& timeline, Output& out) {
  // The bounds are read before the store: a mistyped time is told as such.
  std::optional<int32_t> from, to;
  if (timeline.since) from = ParseCatalogTime(*timeline.since);
  if (timeline.until) to = ParseCatalogTime(*timeline.until);
  if (from && to && *from > *to) throw ToolError("--since is later than --until");
  StoreReader reader(options);
  const std::string dir = timeline.dir.empty() ? std::string() : TreeRoot(timeline.dir);
  const Timeline counted =
      BuildTimeline(CountPerMinute(dir, from ? &*from : nullptr, to ? &*to : nullptr));
  if (out.json) {
    WriteJson(counted, out);
  } else {
    WriteText(counted);
  }
}

DefinedCommand Define(CLI::App& app) {
  auto timeline = std::make_shared<TimelineOptions>();
  CLI::App* command =
      app.add_subcommand("timeline",
                         "files modified, deleted and renamed per minute (or hour), to find when a "
                         "mass change began");
  command->add_option("DIR", timeline->dir, "only the files at or below this path");
  command->add_option("--since", timeline->since, "from this local time (ISO 8601)");
  command->add_option("--until", timeline->until, "up to this local time (ISO 8601)");
  return {command, [timeline](const GlobalOptions& options, Output& out) {
            RunTimeline(options, *timeline, out);
            return 0;
          }};
}

const CommandRegistration kTimeline(25, Define);

}  // namespace
}  // namespace orv::tool
