// The tracker's events as the engine takes them: one NotifyEvent call each.
#ifndef ORV_TOOLS_ORV_PROTECT_ENGINE_EVENTS_H_
#define ORV_TOOLS_ORV_PROTECT_ENGINE_EVENTS_H_

#include "protect/open_tracker.h"

namespace orv::tool {

// Reports to the engine loaded in this process, which must be started. An
// open for writing is copied before Report returns, from its descriptor when
// it has one.
class EngineEvents : public EventSink {
 public:
  void Report(const FileEvent& event) override;
  // The content path had before it was deleted (operation FILE_OP_DELETE) or
  // replaced by a rename over it (FILE_OP_RENAME) lies in kept, a file of the
  // daemon's: the engine records it as an edition of path. The engine's
  // result (ENG_OK when recorded).
  uint32_t ReportKept(uint32_t operation, const std::string& path, const std::string& kept);
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_ENGINE_EVENTS_H_
