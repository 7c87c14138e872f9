// The catalog's schema: tables BackupFile and Edition, their indexes and the
// view View_FileEdition.
#ifndef ORV_CATALOG_SCHEMA_H_
#define ORV_CATALOG_SCHEMA_H_

#include <array>

namespace orv {

extern const std::array<const char*, 8> kCatalogSchema;

// Indexes added to every catalog, new or old, after the schema: a LIKE on file
// names can then use an index instead of scanning every edition.
extern const std::array<const char*, 1> kCatalogAddedIndexes;

// Compiles and steps only where BackupFile exists.
extern const char* const kSchemaProbe;

}  // namespace orv

#endif  // ORV_CATALOG_SCHEMA_H_
