// The tool as a host of the engine for commands that change a store (replay,
// maintain, protect): configures and starts libOrv through its exported
// interface, and stops it when the command ends. Commands that only read use
// a StoreReader instead, which never starts the engine.
#ifndef ORV_TOOLS_ORV_ENGINE_HOST_H_
#define ORV_TOOLS_ORV_ENGINE_HOST_H_

#include <filesystem>

#include "options.h"
#include "safe_path.h"  // CreatePrivateDirectories, for the hosts that make a store

namespace orv::tool {

class EngineHost {
 public:
  enum class Mode {
    kExisting,  // the store must exist; no policy, so nothing is captured
    kCapture,   // creates the store when missing and loads the policy
  };

  EngineHost(const GlobalOptions& options, Mode mode);
  ~EngineHost();
  EngineHost(const EngineHost&) = delete;
  EngineHost& operator=(const EngineHost&) = delete;

  const std::filesystem::path& store() const { return store_; }

 private:
  std::filesystem::path store_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_ENGINE_HOST_H_
