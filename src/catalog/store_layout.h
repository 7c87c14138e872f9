// The layout of a backup store: what lies where under the configured store
// directory, and how the copies in it are named.
//
//   <store>/BackupDB.s3db   the catalog (kCatalogFileName)
//   <store>/Backup/         the snapshot directory (kSnapshotDirectoryName),
//                           one file per copy, named by SnapshotName
//   <store>/journal.<n>     the journal of the editions not yet in the catalog,
//                           one file per generation n (JournalFileName)
//
// Every reader and writer of the store takes these names from here.
#ifndef ORV_CATALOG_STORE_LAYOUT_H_
#define ORV_CATALOG_STORE_LAYOUT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace orv {

inline constexpr char16_t kCatalogFileName[] = u"BackupDB.s3db";
inline constexpr char16_t kSnapshotDirectoryName[] = u"Backup";

// Where a catalog file SQLite cannot read is kept when a new one replaces it.
inline constexpr char16_t kUnreadableCatalogSuffix[] = u".unreadable";

// The name for a copy of baseName made at time: the base name followed by the
// local time as "%04d%02d%02d%02d%02d%02d%03d" (report.doc20100406080645123).
// When base name and stamp together are longer than a file name may be, the
// base name is shortened (by whole characters), never the stamp.
std::u16string SnapshotName(std::u16string_view baseName, const LocalTime& time);

// True when name can be the name of a copy inside the snapshot directory: not
// empty, not "." or "..", no separator, no 0, and short enough to be a file
// name. Names read from the catalog are checked before any path is made of them.
bool IsSnapshotName(std::u16string_view name);

// The reserved name under which a copy is written where the file system cannot
// make an unnamed file. A copy's name always ends in the digits of its time
// stamp, so a name that ends in the suffix is never a copy's, whatever the
// copied file was called.
inline constexpr char16_t kPartialCopyPrefix[] = u".orv-partial-";
inline constexpr char16_t kPartialCopySuffix[] = u".partial";
inline constexpr Env::PartialName kPartialCopyName{kPartialCopyPrefix, kPartialCopySuffix};

// True for a file of the snapshot directory that a staged copy left under its
// reserved partial name (a copy being written, or one whose writer died): never
// a copy of the store.
bool IsPartialCopyName(std::u16string_view name);

// The journal's generation files: kJournalFilePrefix followed by the
// generation in decimal, without leading zeros ("journal.17").
inline constexpr char16_t kJournalFilePrefix[] = u"journal.";
std::u16string JournalFileName(uint64_t generation);
// The generation a store file's name gives, or nothing when the name is not a
// generation file's.
std::optional<uint64_t> JournalGeneration(std::u16string_view name);

// Moves time on by one millisecond, carrying into seconds, minutes, hours and
// the calendar.
void AddOneMillisecond(LocalTime& time);

}  // namespace orv

#endif  // ORV_CATALOG_STORE_LAYOUT_H_
