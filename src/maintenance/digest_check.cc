#include "maintenance/digest_check.h"

#include <optional>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "maintenance/edition_walk.h"
#include "maintenance/file_sha1.h"
#include "platform/env.h"

namespace orv {
namespace {

bool IsZero(const Sha1Digest& digest) {
  for (uint8_t byte : digest) {
    if (byte != 0) return false;
  }
  return true;
}

}  // namespace

void CheckFileDigests(int32_t fileId, const std::function<bool()>& stop) {
  // The content of the edition just before, when it is known.
  std::optional<Sha1Digest> previous;
  for (FileEditionInfo& edition : ReadFileEditions(fileId)) {
    if (stop && stop()) return;
    Sha1Digest recorded;
    std::copy(std::begin(edition.Sha1), std::end(edition.Sha1), recorded.begin());
    if (!IsZero(recorded)) {
      previous = recorded;
      continue;
    }
    const std::u16string path = SnapshotPathOf(edition);
    Sha1Digest digest;
    if (path.empty() || !ComputeFileSha1(path, &digest, stop)) {
      // An edition without a digest (no copy, a copy too large, a read that
      // failed) may differ from both neighbours: the next one is compared
      // with nothing, or A, B, A would lose its last A behind an unread B.
      previous.reset();
      continue;
    }
    if (previous && digest == *previous) {
      // Nothing new in this copy: the edition before it holds the same content.
      // The row goes first: a crash in between leaves a stray copy, never a
      // row that names a missing one.
      if (DeleteEditionRow(edition.EditionID) == 1) CurrentEnv()->RemoveFile(path);
    } else {
      const DbmField condition = IntValue(u"ID == ", &edition.EditionID);
      DbmUpdate(BlobValue(u"Sha1", digest.data(), static_cast<uint32_t>(digest.size())),
                &condition);
      previous = digest;
    }
  }
}

void DigestCheckTask(const std::function<bool()>& stop) {
  if (!IsCatalogReady()) return;
  for (int32_t fileId : ReadBackupFileIds()) {
    if ((stop && stop()) || !IsCatalogReady()) return;
    CheckFileDigests(fileId, stop);
  }
}

}  // namespace orv
