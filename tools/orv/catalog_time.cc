#include "catalog_time.h"

#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>

#include "platform/display_text.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

// The inverse of the engine's rule: local standard time for seconds.
std::tm StandardLocalTime(time_t seconds) {
  // mktime with tm_isdst = 0 reads a wall time as standard time; the same
  // wall time through localtime_r and the zone's standard offset gives it back.
  std::tm local{};
  ::localtime_r(&seconds, &local);
  if (local.tm_isdst > 0) {
    const time_t earlier = seconds - 3600;
    ::localtime_r(&earlier, &local);
    local.tm_isdst = 0;
  }
  return local;
}

// The engine's rule: a local wall time read as standard time.
time_t StampOfWallTime(std::tm wall) {
  wall.tm_isdst = 0;
  return ::mktime(&wall);
}

// The fields of a time as written, each checked against the calendar.
struct TimeText {
  std::tm tm{};
  int milliseconds = 0;
  bool hasMilliseconds = false;
  bool utc = false;  // a "Z" suffix
};

// Exactly count decimal digits at text[at], read into value; at moves past them.
bool ReadDigits(std::string_view text, size_t& at, int count, int& value) {
  if (text.size() < at + static_cast<size_t>(count)) return false;
  value = 0;
  for (int i = 0; i < count; ++i, ++at) {
    const char c = text[at];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool Expect(std::string_view text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// "YYYY-MM-DD[(T| )hh:mm[:ss[.mmm]]][Z]" and nothing else. mktime would
// normalise 2026-02-30 to a day in March: impossible fields are refused here.
std::optional<TimeText> ReadTimeText(std::string_view text) {
  size_t at = 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  TimeText time;
  if (!ReadDigits(text, at, 4, year) || !Expect(text, at, '-') || !ReadDigits(text, at, 2, month) ||
      !Expect(text, at, '-') || !ReadDigits(text, at, 2, day)) {
    return std::nullopt;
  }
  if (at < text.size() && (text[at] == 'T' || text[at] == ' ')) {
    ++at;
    if (!ReadDigits(text, at, 2, hour) || !Expect(text, at, ':') ||
        !ReadDigits(text, at, 2, minute)) {
      return std::nullopt;
    }
    if (Expect(text, at, ':')) {
      if (!ReadDigits(text, at, 2, second)) return std::nullopt;
      if (Expect(text, at, '.')) {
        if (!ReadDigits(text, at, 3, time.milliseconds)) return std::nullopt;
        time.hasMilliseconds = true;
      }
    }
  }
  time.utc = Expect(text, at, 'Z');
  if (at != text.size()) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  time.tm.tm_year = year - 1900;
  time.tm.tm_mon = month - 1;
  time.tm.tm_mday = day;
  time.tm.tm_hour = hour;
  time.tm.tm_min = minute;
  time.tm.tm_sec = second;
  return time;
}

// The stamp the engine would have recorded for an event at this moment.
time_t StampOfMoment(time_t moment) {
  std::tm wall{};
  ::localtime_r(&moment, &wall);
  return StampOfWallTime(wall);
}

}  // namespace

std::string FormatCatalogTime(int32_t timeStamp) {
  const std::tm t = StandardLocalTime(static_cast<time_t>(static_cast<uint32_t>(timeStamp)));
  char text[80];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

int32_t CatalogPeriodStart(int32_t timeStamp, int32_t periodSeconds) {
  const std::tm t = StandardLocalTime(static_cast<time_t>(static_cast<uint32_t>(timeStamp)));
  int32_t into = t.tm_sec;
  if (periodSeconds >= 3600) into += t.tm_min * 60;
  if (periodSeconds >= 86400) into += t.tm_hour * 3600;
  return timeStamp - into;
}

std::optional<WallClock> ParseWallClock(const std::string& text) {
  const std::optional<TimeText> time = ReadTimeText(text);
  if (!time || time->utc) return std::nullopt;
  return WallClock{time->tm, time->milliseconds};
}

int32_t ParseCatalogTime(const std::string& text) {
  time_t stamp = 0;
  if (text == "now") {
    stamp = StampOfMoment(std::time(nullptr));
  } else {
    const std::optional<TimeText> time = ReadTimeText(text);
    if (!time || time->hasMilliseconds) {
      throw ToolError("not a time: '" + DisplayText(text) +
                      "' (use YYYY-MM-DD, YYYY-MM-DDThh:mm or YYYY-MM-DDThh:mm:ss, local time, "
                      "with Z at the end for UTC; or now)");
    }
    std::tm fields = time->tm;
    stamp = time->utc ? StampOfMoment(::timegm(&fields)) : StampOfWallTime(fields);
  }
  // Stamps are signed 32-bit seconds: anything outside would wrap to another
  // moment. (mktime's -1 for a failure is outside too.)
  if (stamp < 0 || stamp > std::numeric_limits<int32_t>::max()) {
    throw ToolError("time '" + DisplayText(text) + "' is outside what the catalog holds (" +
                    FormatCatalogTime(0) + " to " +
                    FormatCatalogTime(std::numeric_limits<int32_t>::max()) + " local time)");
  }
  return static_cast<int32_t>(stamp);
}

int32_t CatalogStampOf(time_t moment) {
  return static_cast<int32_t>(static_cast<uint32_t>(StampOfMoment(moment)));
}

}  // namespace orv::tool
