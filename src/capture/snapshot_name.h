// Names of snapshot copies: the source's base name followed by the local time
// as "%04d%02d%02d%02d%02d%02d%03d" (report.doc20100406080645123).
#ifndef ORV_CAPTURE_SNAPSHOT_NAME_H_
#define ORV_CAPTURE_SNAPSHOT_NAME_H_

#include <string>
#include <string_view>

#include "platform/env.h"

namespace orv {

// The name for a copy of baseName made at time. When base name and stamp
// together are longer than a file name may be, the base name is shortened
// (by whole characters), never the stamp.
std::u16string SnapshotName(std::u16string_view baseName, const LocalTime& time);

// True when name can be the name of a copy inside the snapshot directory: not
// empty, not "." or "..", no separator, no 0, and short enough to be a file
// name. Names read from the catalog are checked before any path is made of them.
bool IsSnapshotName(std::u16string_view name);

// Moves time on by one millisecond, carrying into seconds, minutes, hours and
// the calendar.
void AddOneMillisecond(LocalTime& time);

}  // namespace orv

#endif  // ORV_CAPTURE_SNAPSHOT_NAME_H_
