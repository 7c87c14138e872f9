#include "engine_host.h"

#include <orv/orv.h>

#include <string>
#include <system_error>

#include "data_directory.h"
#include "platform/text.h"
#include "safe_path.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

void SetString(uint32_t item, const std::filesystem::path& value) {
  const std::u16string text = value.empty() ? std::u16string() : FileNameToUtf16(value.string());
  const char16_t* buffer = text.c_str();
  if (ChangeConfigure(item, &buffer) != ENG_OK) throw ToolError("the engine refused its settings");
}

// The shipped default policy, copied into a store that has none.
void SeedPolicy(const std::filesystem::path& policy) {
  if (std::filesystem::exists(policy)) return;
  const std::filesystem::path shipped = DefaultPolicyDirectory();
  std::error_code error;
  std::filesystem::create_directories(policy, error);
  for (const auto& entry : std::filesystem::directory_iterator(shipped, error)) {
    // A failed copy ends the loop: the next one would clear its error.
    if (!std::filesystem::copy_file(entry.path(), policy / entry.path().filename(), error)) break;
  }
  if (error)
    throw ToolError("cannot set up the policy in " + policy.string() + ": " + error.message());
}

}  // namespace

EngineHost::EngineHost(const GlobalOptions& options, Mode mode) {
  if (mode == Mode::kExisting) {
    // Opened for reading first: a missing or unreadable store is reported
    // before the engine would make or repair one.
    store_ = StoreReader(options).store();
  } else {
    store_ = std::filesystem::absolute(options.store.empty() ? DefaultStore() : options.store);
  }
  std::filesystem::path policy;
  if (mode == Mode::kCapture) {
    // Made here, before its policy is put in it, as the engine would make it:
    // readable by its owner only.
    CreatePrivateDirectories(store_);
    CheckOnlyRootCanChange(store_);
    policy = options.policy.empty() ? store_ / "policy" : std::filesystem::absolute(options.policy);
    if (options.policy.empty()) SeedPolicy(policy);
  }
  if (Initialize() != ENG_OK) throw ToolError("the engine could not be initialised");
  SetString(CONFIG_BACKUP_STORE, store_);
  SetString(CONFIG_POLICY_DIRECTORY, policy);
  if (options.logLevel) {
    uint32_t level = *options.logLevel;
    ChangeConfigure(CONFIG_LOG_LEVEL, &level);
    SetString(CONFIG_LOG_DIRECTORY, store_);
  }
  OrvSetRetentionQuota(options.quota);
  if (Start() != ENG_OK) throw ToolError("the engine could not be started");
  if (ConnectBackupStorage() == 0) {
    Stop();
    Finalize();
    throw ToolError("cannot open the catalog in " + store_.string() +
                    " (is it a backup store, and may you read it?)");
  }
}

EngineHost::~EngineHost() {
  DisconnectBackupStorage();
  Stop();
  Finalize();
}

}  // namespace orv::tool
