// The tool's read-only way into a store, and the questions it asks of the
// engine's query exports.
#ifndef ORV_TOOLS_ORV_STORE_READER_H_
#define ORV_TOOLS_ORV_STORE_READER_H_

#include <orv/orv.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>

#include "options.h"
#include "tool_error.h"

namespace orv::tool {

// The store the options name, opened for reading only while the object
// lives: nothing in it is created, repaired, re-moded or written, and no
// maintenance runs, so what a recovery reads stays as it was found.
class StoreReader {
 public:
  // As root, the store must be root's alone (CheckOnlyRootCanChange). Throws
  // ToolError, one line saying what could not be read and why.
  explicit StoreReader(const GlobalOptions& options);
  ~StoreReader();
  StoreReader(const StoreReader&) = delete;
  StoreReader& operator=(const StoreReader&) = delete;

  const std::filesystem::path& store() const { return store_; }

 private:
  std::filesystem::path store_;
};

// The error for a path the store has no editions of, saying why when the
// store's daemon can tell: its editions may still be on their way to the
// catalog, or the path lies outside the trees it protects.
ToolError NoEditions(const StoreReader& reader, const std::string& path);

// Questions on the store the engine has placed, a StoreReader's or a started
// engine's.

// The bytes of a path the engine holds, as the file system names the file (a
// name that is not UTF-8 keeps its bytes); text that no byte string maps to is
// shown with U+FFFD.
std::string PathBytes(std::u16string_view path);

// The ID of the file stored under exactly this path; nothing when none.
std::optional<uint32_t> FileIdOf(const std::string& path);
// The whole stored path of a file, as bytes (PathBytes); nothing when there is
// no such file.
std::optional<std::string> FileNameOf(uint32_t fileId);
// The whole stored path of a file listed by the file enumeration (PathBytes):
// the record's own, or asked for whole when it fills the record, which holds
// at most 261 characters.
std::string WholeFileName(const BackupFileInfo& info);
// File names by ID, each asked of the engine once: a listing or a plan
// names the same files again and again. An unknown file's name is empty.
class FileNameCache {
 public:
  const std::string& Of(uint32_t fileId);
  // Records a name already known, so that it is never asked for.
  void Remember(uint32_t fileId, const std::string& name) { names_.emplace(fileId, name); }

 private:
  std::unordered_map<uint32_t, std::string> names_;
};

// Every column of an edition; nothing when there is no such edition.
std::optional<FileEditionInfo> EditionDetails(uint32_t edition);
// Where an edition's content lies (whether a file is there or not); nothing
// when the edition or the file standing for it is unknown.
std::optional<std::string> ContentPath(uint32_t edition);
// The path of an edition's content that is there to read. Throws ToolError
// when the edition is unknown or its content is gone.
std::string ExistingContentPath(uint32_t edition);
// The store's counts. Throws ToolError when they cannot be read.
OrvStoreInfo StoreInfo();

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_STORE_READER_H_
