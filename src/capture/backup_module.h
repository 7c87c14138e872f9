// The capture engine: holds the policy kit and brings capture up and down.
#ifndef ORV_CAPTURE_BACKUP_MODULE_H_
#define ORV_CAPTURE_BACKUP_MODULE_H_

#include <array>
#include <cstdint>
#include <string>

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
  // directory loads none). ENG_E_NO_POLICY when no filter was loaded.
  uint32_t Start();

  const CFilterKit& policyKit() const { return policyKit_; }

 private:
  uint32_t LoadPolicy();

  std::u16string policyDirectory_;
  CFilterKit policyKit_;
};

// The process-wide capture engine.
CBackupModule& TheBackupModule();

}  // namespace orv

#endif  // ORV_CAPTURE_BACKUP_MODULE_H_
