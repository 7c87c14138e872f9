// Editions as the tool shows them: the query exports' listing, completed with
// each edition's details and the state of its content.
#ifndef ORV_TOOLS_ORV_EDITION_LISTING_H_
#define ORV_TOOLS_ORV_EDITION_LISTING_H_

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv::tool {

struct EditionRow {
  uint32_t id = 0;
  uint32_t fileId = 0;
  std::string fileName;
  int32_t timeStamp = 0;
  std::string kind;     // modified, deleted, renamed
  std::string newName;  // of a rename
  std::string content;  // the content's path; empty when it is gone
  int64_t size = -1;    // of the content on disk; -1 when it is gone
  std::string sha1;     // empty: not digested yet
  std::string signer;   // empty: not verified yet
};

struct ListingQuery {
  std::string pattern;             // a LIKE pattern
  std::optional<uint32_t> fileId;  // only this file's editions
  std::optional<int32_t> from, to;
  bool newestFirst = true;
};

std::vector<EditionRow> ListEditions(const ListingQuery& query);

nlohmann::json ToJson(const EditionRow& row);

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_EDITION_LISTING_H_
