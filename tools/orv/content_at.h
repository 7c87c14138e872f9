// What a file held at a moment, told from the editions recorded after it.
//
// An edition's time is when its content stopped being the file's: the content
// of a file at T is the copy of its earliest edition after T (editions of one
// second in the order they were recorded), or the file as it is now when it
// has none. A rename is an event, never a version: the content follows the
// file to its new name, and is that name's earliest edition after the rename,
// or that file as it is now, and so on. A name whose first event after T is
// another file renamed onto it did not exist at T.
#ifndef ORV_TOOLS_ORV_CONTENT_AT_H_
#define ORV_TOOLS_ORV_CONTENT_AT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace orv::tool {

// A place in the order of editions: (time stamp, edition ID).
struct EditionPosition {
  int32_t timeStamp = 0;
  uint32_t id = 0;
  auto operator<=>(const EditionPosition&) const = default;
};

// The place just after every edition of second timeStamp: "after T".
inline EditionPosition AfterSecond(int32_t timeStamp) { return {timeStamp, UINT32_MAX}; }

struct HistoryEvent {
  enum class Kind { kModified, kDeleted, kRenamed };
  EditionPosition at;
  uint32_t fileId = 0;
  uint32_t newFileId = 0;  // of a rename
  Kind kind = Kind::kModified;
  // The name of its copy in the store's copies' directory; empty when its
  // content lies elsewhere (the engine's ContentPath tells where).
  std::string copyName;
};

// Where the content a file had at a moment lies.
struct ContentAt {
  enum class Source {
    kEdition,  // the copy of edition
    kCurrent,  // the file fileId names, as it is now
    kAbsent,   // the name held nothing then
    kLost,     // the content was not kept (why says how)
  };
  Source source = Source::kAbsent;
  uint32_t edition = 0;        // kEdition
  uint32_t fileId = 0;         // kCurrent: the name the content went to
  std::vector<uint32_t> path;  // the files renames led through, the first included
  std::string why;             // kLost
};

// Every edition from a moment on, in their order, by file.
class EditionHistory {
 public:
  // The editions whose time stamp is at least from, read in one pass through
  // the engine's query exports (a store must be placed). Throws ToolError
  // when the catalog cannot be read.
  static EditionHistory Since(int32_t from);

  // Adds an event; events are added in their order.
  void Add(const HistoryEvent& event);

  // What fileId held just after position after.
  ContentAt Resolve(uint32_t fileId, EditionPosition after) const;

  // The event of an edition of the history; null when it has none.
  const HistoryEvent* Find(uint32_t edition) const;

  // Whether an edition of the history names fileId (as its file or a
  // rename's new name).
  bool Mentions(uint32_t fileId) const { return byFile_.count(fileId) != 0; }

 private:
  // The first event naming fileId (either side) after position after.
  const HistoryEvent* FirstAfter(uint32_t fileId, EditionPosition after) const;

  std::vector<HistoryEvent> events_;
  std::unordered_map<uint32_t, std::vector<uint32_t>> byFile_;  // indexes into events_
  std::unordered_map<uint32_t, uint32_t> byEdition_;            // indexes into events_
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_CONTENT_AT_H_
