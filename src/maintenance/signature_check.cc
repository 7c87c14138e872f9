#include "maintenance/signature_check.h"

#include <vector>

#include "catalog/database_manager.h"
#include "catalog/statement_builder.h"
#include "maintenance/authenticode.h"
#include "maintenance/edition_walk.h"
#include "platform/env.h"
#include "platform/text.h"

namespace orv {
namespace {

bool RecordSignature(int32_t editionId, const std::u16string& value) {
  const DbmField condition = IntValue(u"ID == ", &editionId);
  // Stored through Lower(), as signers are compared without regard to case.
  return DbmUpdate(StoredText(u"Signature", value.c_str(), DbmTextCase::kLowered), &condition) == 1;
}

}  // namespace

std::optional<std::u16string> FindSigner(const std::u16string& path, AuthenticodeVerifier& verifier,
                                         const std::function<bool()>& stop) {
  if (std::optional<std::u16string> signer = verifier.VerifiedSigner(path, stop)) return signer;
  if (stop && stop()) return std::nullopt;
  return VerifyCatalogSignature(path);
}

void CheckFileSignatures(int32_t fileId, AuthenticodeVerifier& verifier,
                         const std::function<bool()>& stop) {
  const std::vector<FileEditionInfo> editions = ReadFileEditions(fileId);
  bool signedMet = false;
  for (auto edition = editions.rbegin(); edition != editions.rend(); ++edition) {
    if (stop && stop()) return;
    const std::u16string path = SnapshotPathOf(*edition);
    if (signedMet) {
      // Older than a signed edition: nothing before it is kept. The row goes
      // first, so that no row ever names a removed copy.
      if (DeleteEditionRow(edition->EditionID) == 1 && !path.empty()) {
        CurrentEnv()->RemoveFile(path);
      }
      continue;
    }
    const std::u16string_view recorded(edition->Signature);
    if (!recorded.empty()) {
      signedMet = !AsciiEqualIgnoreCase(recorded, kNoSignature);
      continue;
    }
    const std::optional<std::u16string> signer =
        path.empty() ? std::nullopt : FindSigner(path, verifier, stop);
    // A verification cut short by Stop proves nothing: it is done again later.
    if (stop && stop()) return;
    RecordSignature(edition->EditionID, signer.value_or(kNoSignature));
    signedMet = signer.has_value();
  }
}

void SignatureCheckTask(const std::function<bool()>& stop) {
  if (!IsCatalogReady()) return;
  AuthenticodeVerifier verifier;
  for (int32_t fileId : ReadBackupFileIds()) {
    if ((stop && stop()) || !IsCatalogReady()) return;
    CheckFileSignatures(fileId, verifier, stop);
  }
}

}  // namespace orv
