#include "store_reader.h"

#include <unistd.h>

#include "daemon_record.h"
#include "platform/text.h"
#include "protect_config.h"
#include "safe_path.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

std::string CannotRead(const std::filesystem::path& store, const std::string& why) {
  return "cannot read the catalog of the store " + store.string() + ": " + why;
}

// Where the service keeps its store: the configuration's store line, when
// this user may read it, or root's default.
std::filesystem::path ServiceStore() {
  try {
    const ProtectConfig config = ReadProtectConfig(kServiceConfig);
    if (config.store) return *config.store;
  } catch (const ToolError&) {
    // No readable configuration: the service runs with root's default.
  }
  return kRootStore;
}

ToolError NoStore(const GlobalOptions& options, const std::filesystem::path& store) {
  if (options.store.empty() && ::geteuid() != 0) {
    const std::filesystem::path service = ServiceStore();
    std::error_code error;
    if (std::filesystem::exists(service, error)) {
      return ToolError("no backup store of yours at " + store.string() +
                       "; run with sudo, the store is " + service.string() + " (or give --store)");
    }
  }
  return ToolError("no backup store at " + store.string() +
                   " (nothing has been backed up there; see --store)");
}

}  // namespace

StoreReader::StoreReader(const GlobalOptions& options)
    : store_(std::filesystem::absolute(options.store.empty() ? DefaultStore() : options.store)) {
  std::error_code error;
  if (!std::filesystem::exists(store_, error) && !error) throw NoStore(options, store_);
  // Before anything in it is read: as root, a catalog another user could
  // write is that user's input.
  CheckOnlyRootCanChange(store_);
  const std::u16string store = FileNameToUtf16(store_.string());
  switch (OrvOpenStoreReadOnly(store.c_str())) {
    case ENG_OK:
      return;
    case ORV_E_NO_CATALOG:
      throw NoStore(options, store_);
    case ORV_E_ACCESS_DENIED:
      throw ToolError(::geteuid() != 0
                          ? "permission denied: run with sudo, the store is " + store_.string()
                          : CannotRead(store_, "permission denied"));
    case ORV_E_NOT_A_FILE:
      throw ToolError(CannotRead(store_, "the catalog is not a regular file"));
    case ORV_E_UNREADABLE_CATALOG:
      throw ToolError(CannotRead(store_,
                                 "it is not a catalog SQLite can read (damaged or "
                                 "not Orv's); it was left as it is"));
    case ORV_E_CATALOG_BUSY:
      throw ToolError(CannotRead(store_, "another process keeps it locked; try again"));
    default:
      throw ToolError(CannotRead(store_, "the engine refused to open it"));
  }
}

StoreReader::~StoreReader() { OrvCloseStore(); }

ToolError NoEditions(const StoreReader& reader, const std::string& path) {
  const std::optional<DaemonState> daemon = ReadDaemonRecord(reader.store());
  if (daemon && daemon->running) {
    if (InTrees(daemon->record, path)) {
      return ToolError("no editions of " + path +
                       " yet: the daemon is running, editions appear within 10 s of a change "
                       "(a file made since it started has none until it is changed again)");
    }
    std::string trees;
    for (const auto& tree : daemon->record.trees) {
      trees += (trees.empty() ? "" : ", ") + tree.string();
    }
    return ToolError("no editions of " + path + ": it lies outside the trees orv protect keeps (" +
                     trees + ")");
  }
  return ToolError("no editions of " + path + " in the store");
}

std::optional<uint32_t> FileIdOf(const std::string& path) {
  const std::u16string name = FileNameToUtf16(path);
  const uint32_t id = OrvFindBackupFileId(name.c_str());
  if (id == 0) return std::nullopt;
  return id;
}

std::string PathBytes(std::u16string_view path) {
  std::string bytes;
  if (Utf16ToFileName(path, &bytes)) return bytes;
  return Utf16ToUtf8Lossy(path);
}

std::optional<std::string> FileNameOf(uint32_t fileId) {
  // The name may grow between the two calls only if the catalog is replaced
  // meanwhile: one more try, then nothing.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const uint32_t length = OrvGetBackupFileName(fileId, 0, nullptr);
    if (length == 0) return std::nullopt;
    std::u16string name(length + 1, u'\0');
    if (OrvGetBackupFileName(fileId, length + 1, name.data()) == length) {
      name.resize(length);
      return PathBytes(name);
    }
  }
  return std::nullopt;
}

std::string WholeFileName(const BackupFileInfo& info) {
  const std::string name = PathBytes(info.FileName);
  if (std::char_traits<char16_t>::length(info.FileName) < 261) return name;
  return FileNameOf(info.ID).value_or(name);
}

const std::string& FileNameCache::Of(uint32_t fileId) {
  auto found = names_.find(fileId);
  if (found == names_.end()) found = names_.emplace(fileId, FileNameOf(fileId).value_or("")).first;
  return found->second;
}

std::optional<FileEditionInfo> EditionDetails(uint32_t edition) {
  FileEditionInfo info;
  if (OrvGetEditionDetails(edition, &info) == 0) return std::nullopt;
  return info;
}

std::optional<std::string> ContentPath(uint32_t edition) {
  // Twice PATH_MAX: a path the system could open always fits. Kept between
  // calls: a listing asks once per edition.
  thread_local std::u16string buffer(8192, u'\0');
  if (GetFileEdition(edition, static_cast<uint32_t>(buffer.size()), buffer.data()) == 0) {
    return std::nullopt;
  }
  std::string path;
  if (!Utf16ToFileName(buffer.c_str(), &path)) return std::nullopt;
  return path;
}

std::string ExistingContentPath(uint32_t edition) {
  const std::optional<std::string> path = ContentPath(edition);
  if (!path) throw ToolError("no content for edition " + std::to_string(edition));
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::symlink_status(*path, error))) {
    throw ToolError("the content of edition " + std::to_string(edition) +
                    " is no longer in the store (" + *path + " is missing)");
  }
  return *path;
}

OrvStoreInfo StoreInfo() {
  OrvStoreInfo info;
  if (OrvGetStoreInfo(&info) == 0) throw ToolError("cannot read the counts of the catalog");
  return info;
}

}  // namespace orv::tool
