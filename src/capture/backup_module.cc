#include "capture/backup_module.h"

#include <orv/orv.h>

#include "engine/result_codes.h"
#include "platform/path.h"
#include "policy/xml_pattern.h"

namespace orv {

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

uint32_t CBackupModule::Start() { return LoadPolicy(); }

CBackupModule& TheBackupModule() {
  static CBackupModule module;
  return module;
}

}  // namespace orv
