// The host's configuration values. Plain stored values: setting one changes
// nothing in a running engine; Start reads them.
#ifndef ORV_ENGINE_CONFIGURE_MANAGER_H_
#define ORV_ENGINE_CONFIGURE_MANAGER_H_

#include <cstdint>
#include <mutex>
#include <string>

namespace orv {

class CConfigureManager {
 public:
  CConfigureManager() = default;
  virtual ~CConfigureManager() = default;
  CConfigureManager(const CConfigureManager&) = delete;
  CConfigureManager& operator=(const CConfigureManager&) = delete;

  // The two exports' logic; value is what the host passed.
  uint32_t Change(uint32_t item, void* value);
  uint32_t Query(uint32_t item, void* value);

  // Log directory + "/" + "orv.log"; empty when no log directory is set, which
  // means no log file at all.
  std::u16string GetLogFilePath() const;
  std::u16string GetBackupStore() const;
  std::u16string GetPolicyDirectory() const;
  uint32_t GetLogLevel() const;

 private:
  std::u16string* StringItem(uint32_t item);
  uint32_t* NumberItem(uint32_t item);

  // The host is asked not to configure from two threads at once; the lock makes
  // a host that does so anyway see whole values instead of corrupting them.
  mutable std::mutex lock_;
  uint32_t logLevel_ = 0;
  std::u16string logDirectory_;
  std::u16string logFileName_ = u"orv.log";
  uint32_t hostValue_ = 0;
  std::u16string backupStore_;
  std::u16string policyDirectory_;
};

// The process-wide configuration, from load to unload.
CConfigureManager& TheConfiguration();

}  // namespace orv

#endif  // ORV_ENGINE_CONFIGURE_MANAGER_H_
