// The tool's time text: strict forms, UTC, and the limits of 32-bit stamps.
#include "catalog_time.h"

#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tool_error.h"

namespace orv::tool {
namespace {

// Runs a test in a given time zone (a POSIX rule: no zone files needed) and
// puts the process's zone back afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

time_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return ::timegm(&t);
}

// The error's text, or "" when the text parsed.
std::string ErrorOf(const std::string& text) {
  try {
    ParseCatalogTime(text);
    return "";
  } catch (const ToolError& error) {
    return error.what();
  }
}

TEST(CatalogTimeTest, AcceptsExactlyTheDocumentedForms) {
  const ZoneScope zone("UTC0");
  const struct {
    const char* text;
    time_t stamp;
  } good[] = {
      {"2026-12-08", Utc(2026, 12, 8)},
      {"2026-12-08T17:03", Utc(2026, 12, 8, 17, 3)},
      {"2026-12-08T17:03:05", Utc(2026, 12, 8, 17, 3, 5)},
      {"2026-12-08 17:03:05", Utc(2026, 12, 8, 17, 3, 5)},
      {"2026-12-08T17:03:05Z", Utc(2026, 12, 8, 17, 3, 5)},
      {"2026-12-08Z", Utc(2026, 12, 8)},
      {"2024-02-29", Utc(2024, 2, 29)},
      {"2000-02-29T23:59:59", Utc(2000, 2, 29, 23, 59, 59)},
      {"1970-01-01", 0},
      {"2038-01-19T03:14:07", std::numeric_limits<int32_t>::max()},
  };
  for (const auto& [text, stamp] : good) {
    EXPECT_EQ(ErrorOf(text), "") << text;
    EXPECT_EQ(ParseCatalogTime(text), stamp) << text;
  }
  const time_t now = std::time(nullptr);
  EXPECT_LE(std::abs(ParseCatalogTime("now") - now), 5);

  const char* bad[] = {"",
                       "2026-12-08x",
                       "2026-12-08T17:03:05x",
                       "2026-12-08T17:03:05 ",
                       " 2026-12-08",
                       "2026-12-08T",
                       "2026-12-08T17",
                       "2026-12-08T17:3",
                       "2026-1-08",
                       "+2026-12-08",
                       "26-12-08",
                       "2026-12-08t17:03",
                       "2026-12-08T17:03:05ZZ",
                       "2026-12-08T17:03:05+01:00",
                       "2026-12-08T17:03:05.250",  // milliseconds: for traces only
                       "2026-02-30",
                       "2025-02-29",
                       "1900-02-29",
                       "2026-04-31",
                       "2026-13-01",
                       "2026-00-10",
                       "2026-12-00",
                       "2026-12-08T24:00",
                       "2026-12-08T17:60",
                       "2026-12-08T17:03:60",
                       "Now"};
  for (const char* text : bad) {
    const std::string error = ErrorOf(text);
    EXPECT_EQ(error.find("not a time: '" + std::string(text) + "'"), 0u) << text << ": " << error;
    EXPECT_NE(error.find("YYYY-MM-DDThh:mm:ss"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
  EXPECT_NE(ErrorOf("2026-12-08\x1b[2J").find("\\x1b"), std::string::npos)
      << "the text is shown escaped";
}

TEST(CatalogTimeTest, MomentsOutsideThe32BitStampsAreErrorsNotWraps) {
  const ZoneScope zone("UTC0");
  for (const char* text :
       {"2038-01-19T03:14:08", "2038-01-20", "2106-02-07T06:28:16", "9999-12-31T23:59:59",
        "1969-12-31T23:59:59", "1901-12-13T20:45:52", "0000-01-01"}) {
    const std::string error = ErrorOf(text);
    EXPECT_NE(error.find("'" + std::string(text) + "' is outside what the catalog holds"),
              std::string::npos)
        << text << ": " << error;
    EXPECT_NE(error.find("2038-01-19T03:14:07"), std::string::npos) << error;
  }
  // East of Greenwich, local midnight of 1970 is before the first stamp.
  const ZoneScope east("CET-1");
  EXPECT_NE(ErrorOf("1970-01-01"), "");
  EXPECT_EQ(ParseCatalogTime("1970-01-01T01:00"), 0);
}

TEST(CatalogTimeTest, UtcIsTheLocalWallTimeOfThatMomentReadAsStandardTime) {
  // Central Europe: UTC+1, and UTC+2 in summer.
  const ZoneScope zone("CET-1CEST,M3.5.0,M10.5.0/3");
  // In summer 12:00 UTC is 14:00 on the wall; the catalog reads 14:00 as
  // standard time, that is 13:00 UTC.
  EXPECT_EQ(ParseCatalogTime("2026-07-01T12:00:00Z"), Utc(2026, 7, 1, 13));
  EXPECT_EQ(ParseCatalogTime("2026-07-01T12:00:00Z"), ParseCatalogTime("2026-07-01T14:00:00"));
  EXPECT_EQ(FormatCatalogTime(ParseCatalogTime("2026-07-01T12:00:00Z")), "2026-07-01T14:00:00");
  EXPECT_EQ(ParseCatalogTime("2026-12-08T12:00Z"), Utc(2026, 12, 8, 12));
  EXPECT_EQ(FormatCatalogTime(ParseCatalogTime("2026-12-08T12:00Z")), "2026-12-08T13:00:00");
  // Periods begin on the wall clock's minute, hour and day.
  const int32_t stamp = ParseCatalogTime("2026-07-01T14:37:12");
  EXPECT_EQ(FormatCatalogTime(CatalogPeriodStart(stamp, 60)), "2026-07-01T14:37:00");
  EXPECT_EQ(FormatCatalogTime(CatalogPeriodStart(stamp, 3600)), "2026-07-01T14:00:00");
  EXPECT_EQ(FormatCatalogTime(CatalogPeriodStart(stamp, 86400)), "2026-07-01T00:00:00");
  // A zone half an hour off: hours still begin at hh:00 on its wall clock.
  const ZoneScope india("IST-5:30");
  EXPECT_EQ(FormatCatalogTime(CatalogPeriodStart(ParseCatalogTime("2026-07-01T14:37:12"), 3600)),
            "2026-07-01T14:00:00");
}

TEST(CatalogTimeTest, TraceTimesKeepTheirMilliseconds) {
  const std::optional<WallClock> clock = ParseWallClock("2026-12-07T10:00:00.250");
  ASSERT_TRUE(clock.has_value());
  EXPECT_EQ(clock->milliseconds, 250);
  EXPECT_EQ(clock->tm.tm_hour, 10);
  EXPECT_EQ(clock->tm.tm_mday, 7);
  EXPECT_EQ(clock->tm.tm_mon, 11);
  EXPECT_EQ(clock->tm.tm_year, 126);
  for (const char* text : {"2026-12-07T10:00:00.25", "2026-12-07T10:00:00.2500",
                           "2026-12-07T10:00:00Z", "2026-12-07T10:00.250", "2026-02-29T10:00:00"}) {
    EXPECT_FALSE(ParseWallClock(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace orv::tool
