#include "edition_listing.h"

#include <orv/orv.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "catalog_time.h"
#include "platform/text.h"

namespace orv::tool {

std::optional<std::string> ContentPath(uint32_t edition) {
  std::u16string buffer(4096, u'\0');
  if (GetFileEdition(edition, static_cast<uint32_t>(buffer.size()), buffer.data()) == 0) {
    return std::nullopt;
  }
  return Utf16ToUtf8Lossy(buffer.c_str());
}

std::vector<EditionRow> ListEditions(CatalogReader& reader, const ListingQuery& query) {
  std::vector<EditionRow> rows;
  const std::u16string pattern = Utf8ToUtf16Lossy(query.pattern);
  FileEditionInfo info;
  void* handle = FindFirstFileEditionEx(
      query.pattern.empty() ? nullptr : pattern.c_str(), query.newestFirst ? 1 : 0,
      query.from ? &*query.from : nullptr, query.to ? &*query.to : nullptr, &info);
  if (handle == nullptr) return rows;
  do {
    if (query.fileId && info.FileID != *query.fileId) continue;
    EditionRow row;
    row.id = static_cast<uint32_t>(info.EditionID);
    row.fileId = info.FileID;
    row.timeStamp = info.TimeStamp;
    rows.push_back(row);
  } while (FindNextFileEdition(handle, &info) == 1);
  FindFileEditionClose(handle);

  for (EditionRow& row : rows) {
    row.fileName = reader.FileNameOf(row.fileId).value_or("");
    if (const std::optional<EditionDetails> details =
            reader.Details(static_cast<int32_t>(row.id))) {
      row.kind = details->operation == EDITION_DELETE   ? "deleted"
                 : details->operation == EDITION_RENAME ? "renamed"
                                                        : "modified";
      if (details->linkFileId != 0)
        row.newName = reader.FileNameOf(details->linkFileId).value_or("");
      row.sha1 = details->sha1Hex;
      row.signer = details->signature;
    }
    if (const std::optional<std::string> content = ContentPath(row.id)) {
      std::error_code error;
      const auto size = std::filesystem::file_size(*content, error);
      if (!error) {
        row.content = *content;
        row.size = static_cast<int64_t>(size);
      }
    }
  }
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
