#include "protect/opener_access.h"

#include <sys/xattr.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace orv::tool {
namespace {

constexpr int kCapDacOverride = 1;
constexpr uint16_t kWrite = 2;
// The tags of the kernel's ACL format (version 2).
constexpr uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10,
                   kOther = 0x20;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The fields after "name:" on the line of status that starts with it.
std::optional<std::vector<std::string>> Fields(std::string_view status, std::string_view name) {
  for (size_t at = 0; at < status.size();) {
    size_t end = status.find('\n', at);
    if (end == std::string_view::npos) end = status.size();
    const std::string_view line = status.substr(at, end - at);
    if (line.size() > name.size() && line.starts_with(name) && line[name.size()] == ':') {
      std::istringstream words(std::string(line.substr(name.size() + 1)));
      std::vector<std::string> fields;
      for (std::string word; words >> word;) fields.push_back(word);
      return fields;
    }
    at = end + 1;
  }
  return std::nullopt;
}

bool ToNumber(const std::string& text, int base, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoull(text.c_str(), &end, base);
  return errno == 0 && *end == '\0';
}

bool Maps(const std::optional<std::vector<IdRange>>& map, uint32_t id) {
  if (!map) return true;
  for (const IdRange& range : *map) {
    if (id >= range.first && id - range.first < range.count) return true;
  }
  return false;
}

bool InGroup(const Credentials& who, gid_t gid) {
  if (who.fsgid == gid) return true;
  for (const gid_t group : who.groups) {
    if (group == gid) return true;
  }
  return false;
}

// The kernel's order: owner, named users, groups (any that matches and
// grants), others; named entries and groups limited by the mask.
bool AclAllowsWrite(const Credentials& who, const struct stat& st,
                    const std::vector<AclEntry>& acl) {
  uint16_t mask = 07;
  for (const AclEntry& entry : acl) {
    if (entry.tag == kMask) mask = entry.perm;
  }
  for (const AclEntry& entry : acl) {
    if (entry.tag == kUserObj && who.fsuid == st.st_uid) return (entry.perm & kWrite) != 0;
  }
  for (const AclEntry& entry : acl) {
    if (entry.tag == kUser && who.fsuid == entry.id) return (entry.perm & mask & kWrite) != 0;
  }
  bool inAnyGroup = false;
  for (const AclEntry& entry : acl) {
    const bool member = (entry.tag == kGroupObj && InGroup(who, st.st_gid)) ||
                        (entry.tag == kGroup && InGroup(who, entry.id));
    if (!member) continue;
    inAnyGroup = true;
    if ((entry.perm & mask & kWrite) != 0) return true;
  }
  if (inAnyGroup) return false;
  for (const AclEntry& entry : acl) {
    if (entry.tag == kOther) return (entry.perm & kWrite) != 0;
  }
  return false;
}

}  // namespace

std::optional<Credentials> ParseStatus(std::string_view status) {
  const auto uids = Fields(status, "Uid"), gids = Fields(status, "Gid"),
             groups = Fields(status, "Groups"), caps = Fields(status, "CapEff");
  // Real, effective, saved and file-system ids: the kernel checks files with
  // the last.
  if (!uids || uids->size() != 4 || !gids || gids->size() != 4 || !groups || !caps ||
      caps->size() != 1) {
    return std::nullopt;
  }
  Credentials who;
  uint64_t value = 0;
  if (!ToNumber((*uids)[3], 10, &value)) return std::nullopt;
  who.fsuid = static_cast<uid_t>(value);
  if (!ToNumber((*gids)[3], 10, &value)) return std::nullopt;
  who.fsgid = static_cast<gid_t>(value);
  for (const std::string& group : *groups) {
    if (!ToNumber(group, 10, &value)) return std::nullopt;
    who.groups.push_back(static_cast<gid_t>(value));
  }
  if (!ToNumber(caps->front(), 16, &value)) return std::nullopt;
  who.dacOverride = (value >> kCapDacOverride & 1) != 0;
  return who;
}

std::vector<IdRange> ParseIdMap(std::string_view map) {
  std::vector<IdRange> ranges;
  std::istringstream lines{std::string(map)};
  uint64_t inside = 0, outside = 0, count = 0;
  while (lines >> inside >> outside >> count) {
    ranges.push_back({static_cast<uint32_t>(outside), static_cast<uint32_t>(count)});
  }
  return ranges;
}

std::optional<std::vector<AclEntry>> ParseAcl(std::string_view acl) {
  constexpr size_t kHeader = 4, kEntry = 8;
  uint32_t version = 0;
  if (acl.size() < kHeader || (acl.size() - kHeader) % kEntry != 0) return std::nullopt;
  std::memcpy(&version, acl.data(), sizeof(version));
  if (version != 2) return std::nullopt;
  std::vector<AclEntry> entries;
  for (size_t at = kHeader; at < acl.size(); at += kEntry) {
    AclEntry entry{};
    std::memcpy(&entry.tag, acl.data() + at, 2);
    std::memcpy(&entry.perm, acl.data() + at + 2, 2);
    std::memcpy(&entry.id, acl.data() + at + 4, 4);
    entries.push_back(entry);
  }
  return entries;
}

bool MayWrite(const Credentials& who, const struct stat& st,
              const std::optional<std::vector<AclEntry>>& acl) {
  if (who.dacOverride && Maps(who.uidMap, st.st_uid) && Maps(who.gidMap, st.st_gid)) return true;
  if (acl) return acl->empty() || AclAllowsWrite(who, st, *acl);
  if (who.fsuid == st.st_uid) return (st.st_mode & S_IWUSR) != 0;
  if (InGroup(who, st.st_gid)) return (st.st_mode & S_IWGRP) != 0;
  return (st.st_mode & S_IWOTH) != 0;
}

std::optional<Credentials> OpenerCredentials(pid_t tid) {
  const std::string proc = "/proc/" + std::to_string(tid);
  std::optional<Credentials> who = ParseStatus(ReadText(proc + "/status"));
  if (!who) return std::nullopt;
  struct stat ours {
  }, theirs{};
  if (::stat("/proc/self/ns/user", &ours) != 0 || ::stat((proc + "/ns/user").c_str(), &theirs) != 0)
    return std::nullopt;
  if (ours.st_ino != theirs.st_ino || ours.st_dev != theirs.st_dev) {
    who->uidMap = ParseIdMap(ReadText(proc + "/uid_map"));
    who->gidMap = ParseIdMap(ReadText(proc + "/gid_map"));
  }
  return who;
}

bool OpenerMayWrite(const std::optional<Credentials>& who, int fd, const struct stat& st) {
  if (!who) return true;
  std::optional<std::vector<AclEntry>> acl;
  char bytes[4096];
  const ssize_t n = ::fgetxattr(fd, "system.posix_acl_access", bytes, sizeof(bytes));
  if (n >= 0) {
    acl = ParseAcl(std::string_view(bytes, static_cast<size_t>(n)));
    if (!acl) acl.emplace();  // an ACL it cannot read: allows
  } else if (errno != ENODATA && errno != ENOTSUP) {
    acl.emplace();
  }
  return MayWrite(*who, st, acl);
}

std::optional<uid_t> OpenerUid(pid_t tid) {
  const std::optional<Credentials> who =
      ParseStatus(ReadText("/proc/" + std::to_string(tid) + "/status"));
  if (!who) return std::nullopt;
  return who->fsuid;
}

}  // namespace orv::tool
