#include "support/files.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace orv::testing {

std::string ReadFileText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFileText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::string> LogMessages(const std::filesystem::path& logFile) {
  std::vector<std::string> messages = AllLogMessages(logFile);
  std::erase_if(messages, [](const std::string& m) { return m.rfind("Post Checker ", 0) == 0; });
  return messages;
}

std::vector<std::string> AllLogMessages(const std::filesystem::path& logFile) {
  std::vector<std::string> messages;
  for (const std::string& line : SplitLines(ReadFileText(logFile))) {
    const auto tab = line.find('\t');
    if (line.rfind("[", 0) == 0 && tab != std::string::npos)
      messages.push_back(line.substr(tab + 1));
  }
  return messages;
}

std::string DescribeTree(const std::filesystem::path& root) {
  std::vector<std::string> lines;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    uint64_t digest = 1469598103934665603ull;  // FNV-1a over the bytes
    std::ostringstream line;
    line << it->path().lexically_relative(root).generic_string();
#ifdef _WIN32
    // Windows has no inode change time or owner id in reach of the C++ library:
    // type, size, modification time and bytes tell the changes apart.
    std::error_code ignored;
    const std::filesystem::file_status status = it->symlink_status(ignored);
    if (std::filesystem::is_regular_file(status)) {
      for (const char c : ReadFileText(it->path())) {
        digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      }
    }
    line << " type=" << static_cast<int>(status.type())
         << " perms=" << static_cast<int>(status.permissions())
         << " size=" << (std::filesystem::is_regular_file(status) ? it->file_size(ignored) : 0)
         << " mtime=" << it->last_write_time(ignored).time_since_epoch().count()
         << " bytes=" << std::hex << digest;
#else
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode)) {
      for (const char c : ReadFileText(it->path())) {
        digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      }
    }
    line << " mode=" << std::oct << st.st_mode << std::dec << " uid=" << st.st_uid
         << " size=" << st.st_size << " mtime=" << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec
         << " ctime=" << st.st_ctim.tv_sec << "." << st.st_ctim.tv_nsec << " bytes=" << std::hex
         << digest;
#endif
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  std::string description;
  for (const std::string& line : lines) description += line + "\n";
  return description;
}

}  // namespace orv::testing
