#include "catalog_time.h"

#include <cstdio>
#include <ctime>

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

}  // namespace

std::string FormatCatalogTime(int32_t timeStamp) {
  const std::tm t = StandardLocalTime(static_cast<time_t>(static_cast<uint32_t>(timeStamp)));
  char text[80];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

std::optional<WallClock> ParseWallClock(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
  char separator = 'T';
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d.%3d", &year, &month, &day,
                                 &separator, &hour, &minute, &second, &milliseconds);
  const bool shapeOk = fields == 3 || (fields >= 6 && (separator == 'T' || separator == ' '));
  if (!shapeOk || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 59 || milliseconds < 0 || milliseconds > 999) {
    return std::nullopt;
  }
  WallClock clock;
  clock.tm.tm_year = year - 1900;
  clock.tm.tm_mon = month - 1;
  clock.tm.tm_mday = day;
  clock.tm.tm_hour = hour;
  clock.tm.tm_min = minute;
  clock.tm.tm_sec = second;
  clock.milliseconds = milliseconds;
  return clock;
}

int32_t ParseCatalogTime(const std::string& text) {
  std::optional<WallClock> clock = ParseWallClock(text);
  if (!clock) {
    throw ToolError("not a time: '" + text + "' (use YYYY-MM-DD or YYYY-MM-DDThh:mm[:ss])");
  }
  clock->tm.tm_isdst = 0;  // the engine's rule
  return static_cast<int32_t>(static_cast<uint32_t>(::mktime(&clock->tm)));
}

int32_t CatalogStampOf(time_t moment) {
  std::tm local{};
  ::localtime_r(&moment, &local);
  local.tm_isdst = 0;  // the engine's rule
  return static_cast<int32_t>(static_cast<uint32_t>(::mktime(&local)));
}

}  // namespace orv::tool
