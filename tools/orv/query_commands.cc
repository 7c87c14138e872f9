// Commands that only read: files, versions, cat, path, status.
#include <orv/orv.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "catalog_reader.h"
#include "catalog_time.h"
#include "commands.h"
#include "edition_listing.h"
#include "engine_host.h"
#include "safe_path.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

std::string ShortDigest(const std::string& sha1) { return sha1.empty() ? "-" : sha1.substr(0, 12); }

std::string Describe(const EditionRow& row) {
  std::string kind = row.kind;
  if (!row.newName.empty()) kind += " -> " + row.newName;
  const std::string size = row.size < 0 ? "gone" : std::to_string(row.size);
  return std::to_string(row.id) + "  " + FormatCatalogTime(row.timeStamp) + "  " + kind + "  " +
         size + "  " + ShortDigest(row.sha1) + "  " + (row.signer.empty() ? "-" : row.signer);
}

}  // namespace

void RunFiles(const GlobalOptions& options, const std::string& pattern, Output& out) {
  EngineHost host(options, EngineHost::Mode::kReadOnly);
  CatalogReader reader(host.catalog());
  nlohmann::json files = nlohmann::json::array();
  for (const auto& [id, name] : reader.Files(pattern)) {
    const int64_t editions = reader.EditionCount(id);
    if (out.json) {
      files.push_back({{"id", id}, {"file", name}, {"editions", editions}});
    } else {
      std::cout << editions << "\t" << name << "\n";
    }
  }
  if (out.json) (*out.document)["files"] = files;
}

void RunVersions(const GlobalOptions& options, const VersionsOptions& versions, Output& out) {
  EngineHost host(options, EngineHost::Mode::kReadOnly);
  CatalogReader reader(host.catalog());
  ListingQuery query;
  query.newestFirst = !versions.oldestFirst;
  if (versions.since) query.from = ParseCatalogTime(*versions.since);
  if (versions.until) query.to = ParseCatalogTime(*versions.until);
  if (versions.target.find('%') != std::string::npos) {
    query.pattern = versions.target;
  } else {
    // A path means that one file: its editions, not those of names that differ
    // only in case or at a "_", which the pattern would match too.
    const std::string path = std::filesystem::absolute(versions.target).lexically_normal().string();
    const std::optional<int32_t> fileId = reader.FileIdOf(path);
    if (!fileId) throw ToolError("no editions of " + path + " in the store");
    query.pattern = path;
    query.fileId = fileId;
  }
  const std::vector<EditionRow> rows = ListEditions(reader, query);
  if (out.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const EditionRow& row : rows) list.push_back(ToJson(row));
    (*out.document)["editions"] = list;
    return;
  }
  std::string lastFile;
  for (const EditionRow& row : rows) {
    if (row.fileName != lastFile) std::cout << row.fileName << "\n";
    lastFile = row.fileName;
    std::cout << "  " << Describe(row) << "\n";
  }
  if (rows.empty()) std::cerr << "no editions\n";
}

void RunPath(const GlobalOptions& options, uint32_t edition, Output& out) {
  EngineHost host(options, EngineHost::Mode::kReadOnly);
  const std::optional<std::string> path = ContentPath(edition);
  if (!path) throw ToolError("no content for edition " + std::to_string(edition));
  if (out.json) {
    (*out.document)["content"] = *path;
  } else {
    std::cout << *path << "\n";
  }
}

void RunCat(const GlobalOptions& options, uint32_t edition) {
  EngineHost host(options, EngineHost::Mode::kReadOnly);
  const std::optional<std::string> path = ContentPath(edition);
  if (!path) throw ToolError("no content for edition " + std::to_string(edition));
  // Only a regular file, never through another user's link, and never an
  // open that blocks (a renamed file's content lies where its owner keeps it).
  const UniqueFd in = OpenRegularFile(*path);
  std::vector<char> buffer(1 << 16);
  while (true) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("cannot read " + *path + ": " + std::strerror(errno));
    if (n == 0) break;
    std::cout.write(buffer.data(), n);
  }
  std::cout.flush();
  if (!std::cout) throw ToolError("cannot write the content to standard output");
}

void RunStatus(const GlobalOptions& options, Output& out) {
  const std::filesystem::path store = ExistingStore(options);
  CatalogReader reader(store / "BackupDB.s3db");
  const StoreCounts counts = reader.Counts();
  uint64_t copies = 0, bytes = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(store / "Backup", error)) {
    if (!entry.is_regular_file(error)) continue;
    ++copies;
    bytes += entry.file_size(error);
  }
  const uint64_t catalogBytes = std::filesystem::file_size(store / "BackupDB.s3db", error);
  if (out.json) {
    *out.document = {{"store", store.string()},
                     {"catalogBytes", catalogBytes},
                     {"copies", copies},
                     {"copyBytes", bytes},
                     {"quota", options.quota},
                     {"files", counts.files},
                     {"editions", counts.editions},
                     {"undigested", counts.undigested},
                     {"unverified", counts.unverified}};
    return;
  }
  std::cout << "store       " << store.string() << "\n"
            << "catalog     " << catalogBytes << " bytes\n"
            << "copies      " << copies << " (" << bytes << " of " << options.quota
            << " bytes of quota)\n"
            << "files       " << counts.files << "\n"
            << "editions    " << counts.editions << " (" << counts.undigested << " undigested, "
            << counts.unverified << " unverified)\n";
}

}  // namespace orv::tool
