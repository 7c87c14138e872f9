// The editions of the catalog: the host's listing (view View_FileEdition) and
// the lookup of the path where an edition's content can be read.
//
// Patterns are SQL LIKE patterns on the file's full path: ASCII letters match
// without regard to case, "%" and "_" are wildcards. Linux file names are
// case-sensitive, so a full path without wildcards also lists the editions of
// files whose names differ from it only in case (and a "_" matches any
// character): to follow one file, filter the listing by FileID.
#ifndef ORV_QUERY_EDITIONS_H_
#define ORV_QUERY_EDITIONS_H_

#include <orv/orv.h>

#include <cstdint>

namespace orv::query {

// Editions whose file matches pattern (every edition when pattern is null).
uint32_t GetFileEditionCount(const char16_t* pattern);
// A find handle positioned on the first edition (in *info), newest first when
// newestFirst is non-zero; from and to are inclusive time bounds, or null.
// Null (with *info all zero) when nothing matches.
void* FindFirstFileEditionEx(const char16_t* pattern, uint32_t newestFirst, const int32_t* from,
                             const int32_t* to, FileEditionInfo* info);
void* FindFirstFileEdition(const char16_t* pattern, FileEditionInfo* info);
uint32_t FindNextFileEdition(void* handle, FileEditionInfo* info);

// Writes the path of the edition's content into buffer: its copy in the
// snapshot directory, or, for an edition linked to another file, the content
// that stands for it. 1 on success; 0, with the buffer untouched, when the
// edition or its content is unknown, or when the whole path does not fit in
// capacity characters with its terminator.
uint32_t GetFileEdition(uint32_t editionId, uint32_t capacity, char16_t* buffer);

// Row lookups on Edition; the record must be zeroed. 1 when a row was read.
uint32_t GetEditionById(uint32_t editionId, FileEditionInfo* record);
// The first edition of fileId after the one (afterId, at timeStamp) that links
// to it: in time, and within its second in the order rows were written.
uint32_t FindLaterEdition(int32_t fileId, int32_t timeStamp, int32_t afterId,
                          FileEditionInfo* record);
uint32_t ResolveEditionPath(const FileEditionInfo& record, uint32_t capacity, char16_t* buffer);

}  // namespace orv::query

#endif  // ORV_QUERY_EDITIONS_H_
