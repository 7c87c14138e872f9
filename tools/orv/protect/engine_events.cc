#include "protect/engine_events.h"

#include <orv/orv.h>

#include <ctime>
#include <string>

#include "platform/text.h"

namespace orv::tool {
namespace {

FileEventTime Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm t{};
  ::localtime_r(&now.tv_sec, &t);
  return {static_cast<uint16_t>(t.tm_year + 1900), static_cast<uint16_t>(t.tm_mon + 1),
          static_cast<uint16_t>(t.tm_wday),        static_cast<uint16_t>(t.tm_mday),
          static_cast<uint16_t>(t.tm_hour),        static_cast<uint16_t>(t.tm_min),
          static_cast<uint16_t>(t.tm_sec),         static_cast<uint16_t>(now.tv_nsec / 1000000)};
}

uint32_t Operation(FileEvent::Kind kind) {
  switch (kind) {
    case FileEvent::Kind::kOpenForWriting:
      return FILE_OP_OPEN;
    case FileEvent::Kind::kClose:
      return FILE_OP_CLOSE;
    case FileEvent::Kind::kDelete:
      return FILE_OP_DELETE;
    case FileEvent::Kind::kRename:
      return FILE_OP_RENAME;
  }
  return 0;
}

}  // namespace

void EngineEvents::Report(const FileEvent& event) {
  const std::u16string path16 = FileNameToUtf16(event.path),
                       target16 = FileNameToUtf16(event.target);
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.EventTime = Now();
  record.FilePath = path16.c_str();
  record.TargetPath = target16.c_str();
  record.DesiredAccess = event.kind == FileEvent::Kind::kOpenForWriting ? ORV_GENERIC_WRITE : 0;
  record.FileOperation = Operation(event.kind);
  record.CloseFlags = event.changed ? ORV_CLOSE_FLAG_CHANGED : 0;
  // The copy reads the file that was opened, never the name read again: the
  // name may have been swapped for another file (a hard link to someone
  // else's, say) since the open.
  if (event.descriptor >= 0) {
    OrvNotifyOpenedFile(&record, event.descriptor);
  } else {
    NotifyEvent(&record);
  }
}

uint32_t EngineEvents::ReportKept(uint32_t operation, const std::string& path,
                                  const std::string& kept) {
  const std::u16string path16 = FileNameToUtf16(path), kept16 = FileNameToUtf16(kept);
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.EventTime = Now();
  record.FilePath = path16.c_str();
  record.FileOperation = operation;
  return OrvNotifyKeptFile(&record, kept16.c_str());
}

}  // namespace orv::tool
