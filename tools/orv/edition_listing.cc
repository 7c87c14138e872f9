#include "edition_listing.h"

#include <fcntl.h>
#include <orv/orv.h>
#include <sys/stat.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "catalog_time.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "read_transaction.h"
#include "store_reader.h"

namespace orv::tool {
namespace {

std::string Sha1Hex(const uint8_t (&sha1)[20]) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  bool any = false;
  for (const uint8_t byte : sha1) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
    any = any || byte != 0;
  }
  return any ? hex : std::string();  // all zero: not digested yet
}

const char* KindName(int32_t operation) {
  switch (static_cast<uint32_t>(operation)) {
    case EDITION_DELETE:
      return "deleted";
    case EDITION_RENAME:
      return "renamed";
    default:
      return "modified";
  }
}

// A row from an edition's record with every column filled.
EditionRow RowOf(const FileEditionInfo& edition, FileNameCache& names) {
  EditionRow row;
  row.id = static_cast<uint32_t>(edition.EditionID);
  row.fileId = static_cast<uint32_t>(edition.FileID);
  row.timeStamp = edition.TimeStamp;
  row.fileName = names.Of(row.fileId);
  row.kind = KindName(edition.Operation);
  if (edition.LinkFileID != 0) row.newName = names.Of(static_cast<uint32_t>(edition.LinkFileID));
  row.sha1 = Sha1Hex(edition.Sha1);
  row.signer = Utf16ToUtf8Lossy(edition.Signature);
  return row;
}

// Calls visit for each record of a listing: one file's, complete; or those a
// pattern matches, which carry no kind or signer and are completed one by one
// once the listing is closed. Records are large: none is kept.
template <typename Visit>
void VisitRecords(const ListingQuery& query, Visit visit) {
  const int32_t* from = query.from ? &*query.from : nullptr;
  const int32_t* to = query.to ? &*query.to : nullptr;
  FileEditionInfo info;
  if (query.fileId) {
    void* handle =
        OrvFindFirstFileEditionOf(*query.fileId, query.newestFirst ? 1 : 0, from, to, &info);
    if (handle == nullptr) return;
    do {
      visit(info);
    } while (OrvFindNextFileEditionOf(handle, &info) == 1);
    FindFileEditionClose(handle);
    return;
  }
  const std::u16string pattern = Utf8ToUtf16Lossy(query.pattern);
  void* handle = FindFirstFileEditionEx(query.pattern.empty() ? nullptr : pattern.c_str(),
                                        query.newestFirst ? 1 : 0, from, to, &info);
  if (handle == nullptr) return;
  // Editions of one second come in no defined order from the listing: they
  // are put in the order they were recorded (by ID), as one file's are.
  std::vector<std::pair<int32_t, uint32_t>> editions;  // time stamp, ID
  do {
    editions.emplace_back(info.TimeStamp, static_cast<uint32_t>(info.EditionID));
  } while (FindNextFileEdition(handle, &info) == 1);
  FindFileEditionClose(handle);
  std::sort(editions.begin(), editions.end());
  if (query.newestFirst) std::reverse(editions.begin(), editions.end());
  for (const auto& [timeStamp, id] : editions) {
    if (const std::optional<FileEditionInfo> details = EditionDetails(id)) visit(*details);
  }
}

// Sizes of content files. A long history has its copies side by side: the
// directory is looked up once, not once per edition.
class ContentSizes {
 public:
  // The size of the regular file at path; nothing when there is none.
  std::optional<int64_t> Of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    const std::string directory = path.substr(0, slash + 1);
    if (directory != directoryName_) {
      directoryName_ = directory;
      directory_ = UniqueFd(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    struct stat st {};
    const int result = directory_.valid()
                           ? ::fstatat(directory_.get(), path.c_str() + slash + 1, &st, 0)
                           : ::stat(path.c_str(), &st);
    if (result != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<int64_t>(st.st_size);
  }

 private:
  std::string directoryName_;
  UniqueFd directory_;
};

}  // namespace

std::vector<EditionRow> ListEditions(const ListingQuery& query) {
  const ReadTransaction transaction;
  FileNameCache names;
  ContentSizes sizes;
  std::vector<EditionRow> rows;
  VisitRecords(query, [&](const FileEditionInfo& record) {
    EditionRow row = RowOf(record, names);
    if (const std::optional<std::string> content = ContentPath(row.id)) {
      if (const std::optional<int64_t> size = sizes.Of(*content)) {
        row.content = *content;
        row.size = *size;
      }
    }
    rows.push_back(std::move(row));
  });
  return rows;
}

nlohmann::json ToJson(const EditionRow& row) {
  nlohmann::json json = {{"edition", row.id},
                         {"file", row.fileName},
                         {"time", FormatCatalogTime(row.timeStamp)},
                         {"timeStamp", row.timeStamp},
                         {"kind", row.kind}};
  if (!row.newName.empty()) json["newName"] = row.newName;
  json["content"] = row.content.empty() ? nlohmann::json() : nlohmann::json(row.content);
  json["size"] = row.size < 0 ? nlohmann::json() : nlohmann::json(row.size);
  json["sha1"] = row.sha1.empty() ? nlohmann::json() : nlohmann::json(row.sha1);
  json["signer"] = row.signer.empty() ? nlohmann::json() : nlohmann::json(row.signer);
  return json;
}

}  // namespace orv::tool
