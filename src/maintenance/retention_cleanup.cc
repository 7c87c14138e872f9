#include "maintenance/retention_cleanup.h"

#include <fmt/printf.h>

#include <algorithm>
#include <atomic>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "platform/path.h"
#include "platform/text.h"

namespace orv {
namespace {

// 1970-01-01 00:00:00 UTC in 100-nanosecond units since 1601.
constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;

std::atomic<uint64_t> g_retentionQuota{kDefaultRetentionQuota};

}  // namespace

uint64_t RetentionQuota() { return g_retentionQuota.load(); }
void SetRetentionQuota(uint64_t bytes) { g_retentionQuota.store(bytes); }

std::vector<SnapshotFileEntry> ListSnapshotFiles() {
  const std::u16string directory = SnapshotDirectory();
  if (directory.empty()) return {};
  std::vector<SnapshotFileEntry> files = CurrentEnv()->ListDirectoryFiles(directory);
  std::erase_if(files, [](const SnapshotFileEntry& file) {
    return file.name.rfind(kPartialCopyPrefix, 0) == 0;
  });
  std::stable_sort(files.begin(), files.end(),
                   [](const SnapshotFileEntry& a, const SnapshotFileEntry& b) {
                     return a.creationTime < b.creationTime;
                   });
  return files;
}

void RetentionCleanupTask(const std::function<bool()>& stop, uint64_t quota) {
  if (!IsCatalogReady()) return;
  const std::u16string directory = SnapshotDirectory();
  const std::vector<SnapshotFileEntry> files = ListSnapshotFiles();
  Env* env = CurrentEnv();
  uint64_t total = 0;
  bool passed = false;
  uint32_t cutOff = 0;
  std::string lines;
  std::vector<std::u16string> doomed;
  for (auto file = files.rbegin(); file != files.rend(); ++file) {
    if (stop && stop()) break;
    lines += fmt::sprintf("%s, Size = %d, Time = %d-%d\n", Utf16ToUtf8Lossy(file->name),
                          static_cast<int32_t>(file->size),
                          static_cast<int32_t>(file->creationTime >> 32),
                          static_cast<int32_t>(file->creationTime));
    if (lines.size() > 65536) {
      env->WriteStandardOutput(lines);
      lines.clear();
    }
    total += file->size;
    if (!passed && total <= quota) continue;
    passed = true;
    doomed.push_back(JoinPath(directory, file->name));
    if (cutOff == 0 && file->creationTime > kUnixEpochIn100ns) {
      cutOff = static_cast<uint32_t>((file->creationTime - kUnixEpochIn100ns) / 10000000);
    }
  }
  env->WriteStandardOutput(lines);
  if (!passed) return;
  // Rows go by their time stamp alone, whichever copy they name; they go
  // before the copies, so that a crash between the two never leaves a row
  // naming a removed copy. A copy whose rows could not be removed stays.
  int32_t bound = static_cast<int32_t>(cutOff);
  const DbmField condition[] = {{u"TimeStamp <= ", DbmType::INT, &bound, 4}};
  if (DbmDelete(condition, 1) != 1) return;
  for (const std::u16string& path : doomed) env->RemoveFile(path);
}

}  // namespace orv
