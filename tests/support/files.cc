#include "support/files.h"

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

}  // namespace orv::testing
