// orv versions PATH|PATTERN: the editions of one file, or of every file whose
// path matches a pattern.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "catalog_time.h"
#include "command.h"
#include "edition_listing.h"
#include "platform/display_text.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

struct VersionsOptions {
  std::string target;  // a path, or a LIKE pattern holding "%"
  std::optional<std::string> since, until;
  bool oldestFirst = false;
};

std::string ShortDigest(const std::string& sha1) { return sha1.empty() ? "-" : sha1.substr(0, 12); }

// A version is the content a file had until the change its edition records;
// a rename is an event, with no content of its own. Names and the signer come
// from the catalog: escaped, none can forge a line.
std::string Describe(const EditionRow& row) {
  if (row.kind == "renamed") {
    return std::to_string(row.id) + "  " + FormatCatalogTime(row.timeStamp) + "  renamed to " +
           (row.newName.empty() ? std::string("(unknown)") : DisplayText(row.newName));
  }
  const std::string size = row.size < 0 ? "gone" : std::to_string(row.size);
  return std::to_string(row.id) + "  until " + FormatCatalogTime(row.timeStamp) + "  " + row.kind +
         "  " + size + "  " + ShortDigest(row.sha1) + "  " +
         (row.signer.empty() ? "-" : DisplayText(row.signer));
}

// {"editions": [...]} as one document would print it, written row by row: a
// long history never stands in memory as a JSON tree.
void WriteEditionsDocument(const std::vector<EditionRow>& rows, Output& out) {
  if (rows.empty()) {
    std::fputs("{\n  \"editions\": []\n}\n", out.jsonStream);
  } else {
    std::string text = "{\n  \"editions\": [\n";
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::string row =
          ToJson(rows[i]).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
      text += "    ";
      for (const char c : row) {
        text += c;
        if (c == '\n') text += "    ";
      }
      text += i + 1 < rows.size() ? ",\n" : "\n";
      if (text.size() > (1u << 16)) {
        std::fputs(text.c_str(), out.jsonStream);
        text.clear();
      }
    }
    text += "  ]\n}\n";
    std::fputs(text.c_str(), out.jsonStream);
  }
  if (std::fflush(out.jsonStream) != 0) throw ToolError("cannot write the listing");
  out.written = true;
}

void RunVersions(const GlobalOptions& options, const VersionsOptions& versions, Output& out) {
  StoreReader reader(options);
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
    const std::optional<uint32_t> fileId = FileIdOf(path);
    if (!fileId) throw NoEditions(reader, path);
    query.pattern = path;
    query.fileId = fileId;
  }
  const std::vector<EditionRow> rows = ListEditions(query);
  if (out.json) {
    WriteEditionsDocument(rows, out);
    return;
  }
  std::string lastFile;
  for (const EditionRow& row : rows) {
    if (row.fileName != lastFile) std::cout << DisplayText(row.fileName) << "\n";
    lastFile = row.fileName;
    std::cout << "  " << Describe(row) << "\n";
  }
  if (rows.empty()) std::cerr << "no editions\n";
}

DefinedCommand Define(CLI::App& app) {
  auto versions = std::make_shared<VersionsOptions>();
  CLI::App* command = app.add_subcommand(
      "versions", "editions of a file (a path) or of files (a pattern holding %)");
  command->add_option("PATH|PATTERN", versions->target)->required();
  command->add_option("--since", versions->since, "from this local time (ISO 8601)");
  command->add_option("--until", versions->until, "up to this local time (ISO 8601)");
  command->add_flag("--oldest-first", versions->oldestFirst);
  return {command, [versions](const GlobalOptions& options, Output& out) {
            RunVersions(options, *versions, out);
            return 0;
          }};
}

const CommandRegistration kVersions(20, Define);

}  // namespace
}  // namespace orv::tool
