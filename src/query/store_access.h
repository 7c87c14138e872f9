// Reading a store without starting the engine, and what a store holds.
#ifndef ORV_QUERY_STORE_ACCESS_H_
#define ORV_QUERY_STORE_ACCESS_H_

#include <orv/orv.h>

#include <cstdint>

namespace orv::query {

// Fills *info with the counts of the placed store's catalog (one statement,
// so one snapshot of it) and its snapshot directory's copies. 1 on success.
uint32_t GetStoreInfo(OrvStoreInfo* info);

// Every column of one Edition row that a FileEditionInfo carries. 1 when found.
uint32_t GetEditionDetails(uint32_t editionId, FileEditionInfo* info);

// One file's editions with every column, by time stamp then ID.
void* FindFirstFileEditionOf(uint32_t fileId, uint32_t newestFirst, const int32_t* from,
                             const int32_t* to, FileEditionInfo* info);
uint32_t FindNextFileEditionOf(void* handle, FileEditionInfo* info);
// Every file's editions with every column, oldest first by time stamp then
// ID; continued with FindNextFileEditionOf.
void* FindFirstEditionBetween(const int32_t* from, const int32_t* to, FileEditionInfo* info);

// The files whose path is like pattern (all for null), by path: a find handle
// positioned on the first (in *info), or null with *info all zero.
void* FindFirstBackupFileEx(const char16_t* pattern, BackupFileInfo* info);

// The number of editions of one file; 0 when none or on failure.
uint32_t GetFileEditionCountById(uint32_t fileId);

// The whole stored path of a file: its length (0 when there is no such file),
// written with its terminator only when capacity exceeds it.
uint32_t GetWholeBackupFileName(uint32_t fileId, uint32_t capacity, char16_t* buffer);

// A read transaction on the calling thread's connection. 1 when begun.
uint32_t BeginRead();
void EndRead();

}  // namespace orv::query

#endif  // ORV_QUERY_STORE_ACCESS_H_
