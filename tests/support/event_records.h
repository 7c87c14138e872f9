// FileEventRecords as a host fills them.
#ifndef ORV_TESTS_SUPPORT_EVENT_RECORDS_H_
#define ORV_TESTS_SUPPORT_EVENT_RECORDS_H_

#include <orv/orv.h>

namespace orv::testing {

inline FileEventRecord Event(uint32_t operation, const char16_t* path, uint32_t access = 0,
                             uint32_t options = 0, uint8_t closeFlags = 0,
                             const char16_t* target = u"") {
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.EventTime = {2026, 4, 1, 6, 8, 6, 45, 123};
  record.FilePath = path;
  record.DesiredAccess = access;
  record.CreateOptions = options;
  record.FileOperation = operation;
  record.CloseFlags = closeFlags;
  record.TargetPath = target;
  return record;
}

inline FileEventRecord OpenForWrite(const char16_t* path) {
  return Event(FILE_OP_OPEN, path, ORV_GENERIC_WRITE);
}
inline FileEventRecord Close(const char16_t* path, bool changed) {
  return Event(FILE_OP_CLOSE, path, 0, 0, changed ? ORV_CLOSE_FLAG_CHANGED : 0);
}

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_EVENT_RECORDS_H_
