#include "protect/shadow_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "fd_io.h"

namespace orv::tool {
namespace {

void AppendField(std::string& record, std::string_view field) {
  record += '\t';
  for (const char c : field) {
    if (c == '\\') {
      record += "\\\\";
    } else if (c == '\t') {
      record += "\\t";
    } else if (c == '\n') {
      record += "\\n";
    } else {
      record += c;
    }
  }
}

std::string Record(char op, std::string_view a, std::string_view b = {}, bool withB = false) {
  std::string record(1, op);
  AppendField(record, a);
  if (withB) AppendField(record, b);
  record += '\n';
  return record;
}

// A record naming a shadow, a path and whether the file is foreign.
std::string NameRecord(char op, std::string_view shadow, std::string_view path, bool foreign) {
  std::string record = Record(op, shadow, path, true);
  record.insert(record.size() - 1, foreign ? "\t1" : "\t0");
  return record;
}

// The fields of one line (without its line end), unescaped; an escape that
// is not one of the three makes the line unreadable (empty result).
std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c != '\\') {
      fields.back() += c;
    } else if (i + 1 < line.size() &&
               (line[i + 1] == '\\' || line[i + 1] == 't' || line[i + 1] == 'n')) {
      ++i;
      fields.back() += line[i] == 't' ? '\t' : line[i] == 'n' ? '\n' : '\\';
    } else {
      return {};
    }
  }
  return fields;
}

bool Below(const std::string& path, const std::string& directory) {
  return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
         path[directory.size()] == '/';
}

// Applies one line of the log to what was loaded so far.
void Replay(std::string_view line, ShadowNames::Loaded& loaded) {
  const std::vector<std::string> f = Fields(line);
  if (f.empty() || f[0].size() != 1) return;
  std::map<std::string, ShadowNames::Name>& names = loaded.names;
  switch (f[0][0]) {
    case 'T':
      if (f.size() == 4) loaded.taken[f[1]] = {f[2], f[3] == "1"};
      break;
    case 'D':
      if (f.size() == 2) loaded.taken.erase(f[1]);
      break;
    case 'K':
      if (f.size() == 4) names[f[2]] = ShadowNames::Name{f[1], f[3] == "1"};
      break;
    case 'F':
      if (f.size() == 2) names.erase(f[1]);
      break;
    case 'M':
      if (f.size() == 3) {
        if (const auto it = names.find(f[1]); it != names.end()) {
          ShadowNames::Name moved = std::move(it->second);
          names.erase(it);
          names[f[2]] = std::move(moved);
        }
      }
      break;
    case 'L':
      if (f.size() == 2) {
        names.erase(f[1]);
        for (auto it = names.lower_bound(f[1] + "/");
             it != names.end() && Below(it->first, f[1]);) {
          it = names.erase(it);
        }
      }
      break;
    case 'R':
      if (f.size() == 3) {
        std::vector<std::pair<std::string, ShadowNames::Name>> moved;
        for (auto it = names.lower_bound(f[1] + "/");
             it != names.end() && Below(it->first, f[1]);) {
          moved.emplace_back(f[2] + it->first.substr(f[1].size()), std::move(it->second));
          it = names.erase(it);
        }
        for (auto& [path, name] : moved) names.insert_or_assign(std::move(path), std::move(name));
      }
      break;
    default:
      break;
  }
}

// Where the log is written whole before it is renamed over the old one.
std::filesystem::path RewritePath(const std::filesystem::path& log) {
  return log.string() + ".new";
}

}  // namespace

ShadowNames::ShadowNames(std::filesystem::path path)
    : path_(std::move(path)),
      fd_(::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {}

ShadowNames::Loaded ShadowNames::Load() const {
  Loaded loaded;
  const UniqueFd in(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.valid()) return loaded;
  // Read a piece at a time: the log may hold a record for each of many
  // files. A last line without its line end was torn by a kill: skipped.
  std::string text;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(in.get(), buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      Replay(std::string_view(text).substr(start, end - start), loaded);
    }
    text.erase(0, start);
  }
  return loaded;
}

void ShadowNames::Append(std::string_view record) {
  if (!fd_.valid() || paused_) return;
  // One write of the whole record: a kill tears at most the last line.
  WriteAll(fd_.get(), record);
  ++appended_;
}

void ShadowNames::Known(const std::string& shadow, const std::string& path, bool foreign) {
  Append(NameRecord('K', shadow, path, foreign));
}

void ShadowNames::Taken(const std::string& shadow, const std::string& path, bool foreign) {
  Append(NameRecord('T', shadow, path, foreign));
}

void ShadowNames::Done(const std::string& shadow) { Append(Record('D', shadow)); }

void ShadowNames::Forgot(const std::string& path) { Append(Record('F', path)); }

void ShadowNames::Moved(const std::string& from, const std::string& to) {
  Append(Record('M', from, to, true));
}

void ShadowNames::Left(const std::string& path) { Append(Record('L', path)); }

void ShadowNames::MovedDirectory(const std::string& from, const std::string& to) {
  Append(Record('R', from, to, true));
}

void ShadowNames::BeginRewrite() {
  rewriteBuffer_.clear();
  rewriteFailed_ = !fd_.valid();
  if (rewriteFailed_) return;
  const std::filesystem::path fresh = RewritePath(path_);
  ::unlink(fresh.c_str());
  rewrite_ =
      UniqueFd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  rewriteFailed_ = !rewrite_.valid();
}

void ShadowNames::Rewritten(const std::string& path, const std::string& shadow, bool foreign) {
  RewriteRecord(NameRecord('K', shadow, path, foreign));
}

void ShadowNames::RewrittenTaken(const std::string& shadow, const std::string& path, bool foreign) {
  RewriteRecord(NameRecord('T', shadow, path, foreign));
}

void ShadowNames::RewriteRecord(std::string_view record) {
  if (rewriteFailed_) return;
  rewriteBuffer_ += record;
  if (rewriteBuffer_.size() >= (1 << 20)) {
    rewriteFailed_ = !WriteAll(rewrite_.get(), rewriteBuffer_);
    rewriteBuffer_.clear();
  }
}

void ShadowNames::EndRewrite() {
  const std::filesystem::path fresh = RewritePath(path_);
  const bool written = !rewriteFailed_ && WriteAll(rewrite_.get(), rewriteBuffer_);
  rewriteBuffer_ = std::string();
  rewrite_ = UniqueFd();
  if (!written || ::rename(fresh.c_str(), path_.c_str()) != 0) {
    // The old log stays, and so does what was appended to it.
    ::unlink(fresh.c_str());
    return;
  }
  // Appends go to the new log from now on.
  fd_ = UniqueFd(::open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  appended_ = 0;
  paused_ = false;
}

}  // namespace orv::tool
