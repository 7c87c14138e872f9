// The catalog's time stamps and ISO 8601 text. The engine stores an event's
// local time read as standard time (daylight saving never applied); the tool
// converts both ways with the same rule, so a time shown is the local wall
// time of the event, whatever the season.
#ifndef ORV_TOOLS_ORV_CATALOG_TIME_H_
#define ORV_TOOLS_ORV_CATALOG_TIME_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace orv::tool {

// "2026-12-07T14:03:05" for a catalog time stamp.
std::string FormatCatalogTime(int32_t timeStamp);

// The stamp at which the minute, hour or day (periodSeconds 60, 3600 or
// 86400) of local standard time holding timeStamp begins. Periods of one size
// follow each other every periodSeconds: standard time has no shifts.
int32_t CatalogPeriodStart(int32_t timeStamp, int32_t periodSeconds);

// Local wall-clock time from exactly "YYYY-MM-DD" or
// "YYYY-MM-DD(T| )hh:mm[:ss[.mmm]]"; nothing when the text is anything else
// (trailing text, a day the calendar does not have). tm_isdst is left to the
// caller.
struct WallClock {
  std::tm tm{};
  int milliseconds = 0;
};
std::optional<WallClock> ParseWallClock(const std::string& text);

// A catalog time stamp from "YYYY-MM-DD", "YYYY-MM-DDThh:mm" or
// "YYYY-MM-DDThh:mm:ss" (a space may stand for the T), local time, or the
// same followed by "Z" for UTC, or "now". Throws ToolError, one line, for any
// other text and for a moment the catalog's 32-bit stamps cannot hold.
int32_t ParseCatalogTime(const std::string& text);

// The catalog time stamp of a moment (seconds since 1970, UTC): its local
// wall time read as standard time, as the engine stamps events.
int32_t CatalogStampOf(time_t moment);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_CATALOG_TIME_H_
