#include "files_under.h"

#include <orv/orv.h>

#include <filesystem>

#include "platform/text.h"
#include "store_reader.h"

namespace orv::tool {

bool LiesUnder(std::string_view path, std::string_view dir) {
  if (!path.starts_with(dir)) return false;
  if (path.size() == dir.size() || dir.ends_with('/')) return true;
  return path[dir.size()] == '/';
}

std::string TreeRoot(const std::string& dir) {
  std::string root = std::filesystem::absolute(dir).lexically_normal().string();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

std::map<std::string, uint32_t> FilesUnder(const std::string& dir) {
  // The pattern's wildcards stand for themselves too ("_" any one character),
  // so it matches every wanted path and some others, which the exact test
  // drops.
  std::string pattern = dir;
  for (char& c : pattern) {
    if (c == '%' || c == '_') c = '_';
  }
  pattern += '%';
  const std::u16string like = FileNameToUtf16(pattern);
  std::map<std::string, uint32_t> files;
  BackupFileInfo info;
  void* handle = OrvFindFirstBackupFileEx(like.c_str(), &info);
  if (handle == nullptr) return files;
  do {
    std::string name = WholeFileName(info);
    if (LiesUnder(name, dir)) files.emplace(std::move(name), info.ID);
  } while (FindNextBackupFile(handle, &info) == 1);
  FindBackupFileClose(handle);
  return files;
}

}  // namespace orv::tool
