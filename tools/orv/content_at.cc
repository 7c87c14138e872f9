#include "content_at.h"

#include <orv/orv.h>

#include <algorithm>

#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

HistoryEvent::Kind KindOf(int32_t operation) {
  switch (static_cast<uint32_t>(operation)) {
    case EDITION_DELETE:
      return HistoryEvent::Kind::kDeleted;
    case EDITION_RENAME:
      return HistoryEvent::Kind::kRenamed;
    default:
      return HistoryEvent::Kind::kModified;
  }
}

}  // namespace

EditionHistory EditionHistory::Since(int32_t from) {
  EditionHistory history;
  FileEditionInfo info;
  void* handle = OrvFindFirstEditionBetween(&from, nullptr, &info);
  if (handle == nullptr) {
    // Nothing listed: none there, or the catalog failed; the count tells.
    OrvStoreInfo store;
    if (OrvGetStoreInfo(&store) == 0) throw ToolError("cannot read the editions of the catalog");
    return history;
  }
  do {
    HistoryEvent event;
    event.at = {info.TimeStamp, static_cast<uint32_t>(info.EditionID)};
    event.fileId = static_cast<uint32_t>(info.FileID);
    event.kind = KindOf(info.Operation);
    // A rename names its new file; a change the engine linked to another file
    // (a copy kept elsewhere) is still a change of this one.
    if (event.kind == HistoryEvent::Kind::kRenamed) {
      event.newFileId = static_cast<uint32_t>(info.LinkFileID);
    } else if (info.LinkFileID == 0) {
      const std::u16string_view name(info.BackupName);
      // A name the record cut is left to the engine to find.
      if (name.size() + 1 < std::size(info.BackupName)) event.copyName = PathBytes(name);
    }
    history.Add(event);
  } while (OrvFindNextFileEditionOf(handle, &info) == 1);
  FindFileEditionClose(handle);
  return history;
}

void EditionHistory::Add(const HistoryEvent& event) {
  const auto index = static_cast<uint32_t>(events_.size());
  events_.push_back(event);
  byEdition_.emplace(event.at.id, index);
  byFile_[event.fileId].push_back(index);
  if (event.kind == HistoryEvent::Kind::kRenamed && event.newFileId != 0 &&
      event.newFileId != event.fileId) {
    byFile_[event.newFileId].push_back(index);
  }
}

const HistoryEvent* EditionHistory::FirstAfter(uint32_t fileId, EditionPosition after) const {
  const auto found = byFile_.find(fileId);
  if (found == byFile_.end()) return nullptr;
  const std::vector<uint32_t>& indexes = found->second;
  const auto first = std::upper_bound(indexes.begin(), indexes.end(), after,
                                      [this](const EditionPosition& position, uint32_t index) {
                                        return position < events_[index].at;
                                      });
  return first == indexes.end() ? nullptr : &events_[*first];
}

ContentAt EditionHistory::Resolve(uint32_t fileId, EditionPosition after) const {
  ContentAt content;
  uint32_t current = fileId;
  // Each step goes to a later event, so the walk ends within the history.
  for (size_t step = 0; step <= events_.size(); ++step) {
    content.path.push_back(current);
    const HistoryEvent* event = FirstAfter(current, after);
    if (event == nullptr) {
      content.source = ContentAt::Source::kCurrent;
      content.fileId = current;
      return content;
    }
    if (event->fileId != current) {
      // Another file renamed onto this name first. Had the name held a file,
      // its replacement would have been kept before the rename was recorded.
      if (step == 0) {
        content.source = ContentAt::Source::kAbsent;
      } else {
        content.source = ContentAt::Source::kLost;
        content.why = "another file was renamed over it and its content was not kept";
      }
      return content;
    }
    if (event->kind != HistoryEvent::Kind::kRenamed) {
      content.source = ContentAt::Source::kEdition;
      content.edition = event->at.id;
      return content;
    }
    if (event->newFileId == 0 || event->newFileId == current) {
      content.source = ContentAt::Source::kLost;
      content.why = "a rename whose new name is unknown";
      return content;
    }
    current = event->newFileId;
    after = event->at;
  }
  content.source = ContentAt::Source::kLost;
  content.why = "its renames never end";
  return content;
}

const HistoryEvent* EditionHistory::Find(uint32_t edition) const {
  const auto found = byEdition_.find(edition);
  return found == byEdition_.end() ? nullptr : &events_[found->second];
}

}  // namespace orv::tool
