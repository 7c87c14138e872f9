// The capture engine: the policy kit and the CBackuper. Routes every event the
// host reports.
#ifndef ORV_CAPTURE_BACKUP_MODULE_H_
#define ORV_CAPTURE_BACKUP_MODULE_H_

#include <orv/orv.h>

#include <array>
#include <cstdint>
#include <string>

#include "capture/backuper.h"
#include "policy/filter_kit.h"

namespace orv {

// The policy documents, in the order they are read.
inline constexpr std::array<const char16_t*, 4> kPolicyDocumentNames = {
    u"lpolicy.xml", u"rpolicy.xml", u"gpolicy.xml", u"spolicy.xml"};

class CBackupModule {
 public:
  CBackupModule() = default;
  virtual ~CBackupModule() = default;
  CBackupModule(const CBackupModule&) = delete;
  CBackupModule& operator=(const CBackupModule&) = delete;

  void SetPolicyDirectory(std::u16string directory) { policyDirectory_ = std::move(directory); }
  const std::u16string& policyDirectory() const { return policyDirectory_; }

  // Reloads the policy kit from the policy directory's documents (an empty
  // directory loads none) and, when a filter was loaded, starts the catalog
  // writer. ENG_E_NO_POLICY when no filter was loaded.
  uint32_t Start();
  // Writes what is confirmed, discards the rest, stops the writer.
  void Stop() { backuper_.Stop(); }

  // Routes one event. Any number of host threads at once. An open's copy
  // reads lentHandle when the host lent the file it opened.
  void Dispatch(const FileEventRecord& record, intptr_t lentHandle = Env::kNoLentHandle);

  // Records the content the host kept in keptFile of a file deleted or
  // replaced (record: a FILE_OP_DELETE or FILE_OP_RENAME of FilePath, checked
  // by the caller). ENG_OK when its edition was queued, ORV_E_NOT_PROTECTED
  // when the policy does not protect FilePath (nothing done), ORV_E_NOT_KEPT
  // when the content could not be taken (logged). Any number of host threads.
  uint32_t RecordKept(const FileEventRecord& record, std::u16string_view keptFile);

  const CFilterKit& policyKit() const { return policyKit_; }
  CBackuper& backuper() { return backuper_; }

 private:
  uint32_t LoadPolicy();

  CFilterKit policyKit_;
  CBackuper backuper_;
  std::u16string policyDirectory_;
};

// The process-wide capture engine.
CBackupModule& TheBackupModule();

}  // namespace orv

#endif  // ORV_CAPTURE_BACKUP_MODULE_H_
