#include "daemon_record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "fd_io.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

// A record is a few hundred bytes; anything far larger is not one.
constexpr off_t kMaxRecordBytes = 1 << 20;

std::string Encode(const DaemonRecord& record) {
  nlohmann::json trees = nlohmann::json::array();
  for (const std::filesystem::path& tree : record.trees) trees.push_back(tree.string());
  const nlohmann::json document = {
      {"pid", record.pid}, {"started", record.started}, {"quota", record.quota}, {"trees", trees}};
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<DaemonRecord> Decode(const std::string& text) {
  const nlohmann::json document = nlohmann::json::parse(text, nullptr, false);
  if (!document.is_object()) return std::nullopt;
  const auto pid = document.find("pid");
  const auto started = document.find("started");
  const auto quota = document.find("quota");
  const auto trees = document.find("trees");
  if (pid == document.end() || !pid->is_number_integer() || started == document.end() ||
      !started->is_number_integer() || quota == document.end() || !quota->is_number_unsigned() ||
      trees == document.end() || !trees->is_array()) {
    return std::nullopt;
  }
  DaemonRecord record;
  record.pid = pid->get<pid_t>();
  record.started = started->get<int64_t>();
  record.quota = quota->get<uint64_t>();
  for (const nlohmann::json& tree : *trees) {
    if (!tree.is_string()) return std::nullopt;
    record.trees.emplace_back(tree.get<std::string>());
  }
  return record;
}

}  // namespace

DaemonRecordFile::DaemonRecordFile(const std::filesystem::path& store, const DaemonRecord& record)
    : path_(store / kDaemonRecordName) {
  const std::filesystem::path temporary = store / (std::string(kDaemonRecordName) + ".new");
  ::unlink(temporary.c_str());
  UniqueFd fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  const auto fail = [&](const char* what) {
    const std::string why = std::strerror(errno);
    ::unlink(temporary.c_str());
    throw ToolError(std::string("cannot ") + what + " the daemon's record " + path_.string() +
                    ": " + why);
  };
  if (!fd.valid()) fail("write");
  // Locked before it has its name: no reader ever sees it unlocked.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) fail("lock");
  if (!WriteAll(fd.get(), Encode(record))) fail("write");
  if (::rename(temporary.c_str(), path_.c_str()) != 0) fail("write");
  fd_ = std::move(fd);
}

DaemonRecordFile::~DaemonRecordFile() {
  // Only our own record: a later daemon's stays.
  struct stat mine {};
  struct stat named {};
  if (::fstat(fd_.get(), &mine) == 0 && ::lstat(path_.c_str(), &named) == 0 &&
      mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
    ::unlink(path_.c_str());
  }
}

std::optional<DaemonState> ReadDaemonRecord(const std::filesystem::path& store) {
  const std::filesystem::path path = store / kDaemonRecordName;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRecordBytes) {
    return std::nullopt;
  }
  std::string text;
  if (!ReadUpTo(fd.get(), static_cast<size_t>(st.st_size), &text)) return std::nullopt;
  std::optional<DaemonRecord> record = Decode(text);
  if (!record) return std::nullopt;
  DaemonState state;
  state.record = std::move(*record);
  // A shared lock we can take means no daemon holds the record.
  int locked;
  while ((locked = ::flock(fd.get(), LOCK_SH | LOCK_NB)) != 0 && errno == EINTR) {
  }
  state.running = locked != 0 && errno == EWOULDBLOCK;
  return state;
}

bool InTrees(const DaemonRecord& record, const std::filesystem::path& path) {
  const std::filesystem::path normal = path.lexically_normal();
  for (const std::filesystem::path& tree : record.trees) {
    const std::filesystem::path relative = normal.lexically_relative(tree.lexically_normal());
    if (!relative.empty() && *relative.begin() != "..") return true;
  }
  return false;
}

}  // namespace orv::tool
