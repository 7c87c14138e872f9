#include "capture/backup_module.h"

#include "catalog/database_manager.h"
#include "catalog/store_layout.h"
#include "engine/log.h"
#include "engine/result_codes.h"
#include "platform/env.h"
#include "platform/path.h"
#include "policy/xml_pattern.h"

namespace orv {
namespace {

constexpr uint32_t kInterestingAccess = ORV_GENERIC_WRITE | ORV_DELETE | ORV_FILE_WRITE_EA |
                                        ORV_FILE_APPEND_DATA | ORV_FILE_WRITE_DATA;  // 0x40010016

// Copies left half-written by a process that died while copying.
void RemovePartialCopies() {
  const std::u16string directory = SnapshotDirectory();
  if (directory.empty()) return;
  Env* env = CurrentEnv();
  for (const std::u16string& name : env->ListDirectory(directory)) {
    if (IsPartialCopyName(name)) env->RemoveFile(JoinPath(directory, name));
  }
}

}  // namespace

uint32_t CBackupModule::LoadPolicy() {
  // A restart reloads the documents from scratch: nothing is doubled or kept.
  policyKit_.Clear();
  const std::unique_ptr<CPattern> pattern = CPatternFactory().CreatePattern();
  for (const char16_t* name : kPolicyDocumentNames) {
    const std::u16string path = JoinPath(policyDirectory_, name);
    if (path.empty()) continue;
    // A document that cannot be read adds nothing; the next one is read anyway.
    pattern->Load(path, policyKit_);
  }
  return policyKit_.empty() ? ENG_E_NO_POLICY : ENG_OK;
}

uint32_t CBackupModule::Start() {
  RemovePartialCopies();
  // Before the policy: what an earlier process left is written whatever the
  // policy says now, and renames are journaled even without one.
  backuper_.OpenJournal();
  if (LoadPolicy() != ENG_OK) return ENG_E_NO_POLICY;
  backuper_.StartWriter();
  WriteLog(kLogLifecycle, u"[Backup Module] Started\n");
  return ENG_OK;
}

void CBackupModule::Dispatch(const FileEventRecord& record, intptr_t lentHandle) {
  if (record.RecordType != RECORD_TYPE_FILE || record.FilePath == nullptr) return;
  switch (record.FileOperation) {
    case FILE_OP_OPEN: {
      const uint32_t access = record.DesiredAccess;
      if ((access & kInterestingAccess) == 0) return;
      if ((access & ORV_DELETE) && (access & ORV_SYNCHRONIZE)) return;
      if (policyKit_.Evaluate(record) != PolicyAction::Backup) return;
      backuper_.OnOpen(record, lentHandle);
      return;
    }
    case FILE_OP_COMMIT:
    case FILE_OP_CLOSE:
    case FILE_OP_DELETE:
      backuper_.UpdatePending(record);
      return;
    case FILE_OP_RENAME: {
      // A rename without its new name cannot be recorded.
      if (record.TargetPath == nullptr) return;
      if (std::optional<EditionEntry> entry = CBackuper::MakeEntry(record)) {
        backuper_.QueueForWrite(std::move(*entry));
      }
      return;
    }
    default:
      return;
  }
}

uint32_t CBackupModule::RecordKept(const FileEventRecord& record, std::u16string_view keptFile) {
  if (policyKit_.Evaluate(record) != PolicyAction::Backup) return ORV_E_NOT_PROTECTED;
  return backuper_.OnKept(record, keptFile) ? ENG_OK : ORV_E_NOT_KEPT;
}

CBackupModule& TheBackupModule() {
  static CBackupModule module;
  return module;
}

}  // namespace orv
