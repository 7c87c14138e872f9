#include "engine/configure_manager.h"

#include <orv/orv.h>

#include <cstring>

#include "platform/path.h"
#include "platform/text.h"

namespace orv {

std::u16string* CConfigureManager::StringItem(uint32_t item) {
  switch (item) {
    case CONFIG_BACKUP_STORE:
      return &backupStore_;
    case CONFIG_LOG_DIRECTORY:
      return &logDirectory_;
    case CONFIG_POLICY_DIRECTORY:
      return &policyDirectory_;
    default:
      return nullptr;
  }
}

uint32_t* CConfigureManager::NumberItem(uint32_t item) {
  switch (item) {
    case CONFIG_HOST_VALUE:
      return &hostValue_;
    case CONFIG_LOG_LEVEL:
      return &logLevel_;
    default:
      return nullptr;
  }
}

uint32_t CConfigureManager::Change(uint32_t item, void* value) {
  if (value == nullptr) return ENG_E_INVALID_ARGUMENT;
  std::lock_guard guard(lock_);
  if (uint32_t* number = NumberItem(item)) {
    std::memcpy(number, value, sizeof(uint32_t));
  } else if (std::u16string* text = StringItem(item)) {
    // Only Buffer is read: the host may pass a single pointer-sized slot.
    const char16_t* buffer = nullptr;
    std::memcpy(&buffer, value, sizeof(buffer));
    if (buffer == nullptr) return ENG_E_INVALID_ARGUMENT;
    text->assign(buffer, Utf16Length(buffer));
  }
  return ENG_OK;
}

uint32_t CConfigureManager::Query(uint32_t item, void* value) {
  if (value == nullptr) return ENG_E_INVALID_ARGUMENT;
  std::lock_guard guard(lock_);
  if (const uint32_t* number = NumberItem(item)) {
    std::memcpy(value, number, sizeof(uint32_t));
    return ENG_OK;
  }
  const std::u16string* text = StringItem(item);
  if (text == nullptr) return ENG_OK;
  auto* request = static_cast<ConfigStringBuffer*>(value);
  if (request->Buffer == nullptr || request->BufferSize == nullptr) return ENG_E_INVALID_ARGUMENT;
  const uint64_t needed = static_cast<uint64_t>(text->size()) + 1;
  if (needed > *request->BufferSize) {
    *request->BufferSize = needed;
    return ENG_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(request->Buffer, text->c_str(), needed * sizeof(char16_t));
  return ENG_OK;
}

std::u16string CConfigureManager::GetLogFilePath() const {
  std::lock_guard guard(lock_);
  return JoinPath(logDirectory_, logFileName_);
}

std::u16string CConfigureManager::GetBackupStore() const {
  std::lock_guard guard(lock_);
  return backupStore_;
}

std::u16string CConfigureManager::GetPolicyDirectory() const {
  std::lock_guard guard(lock_);
  return policyDirectory_;
}

uint32_t CConfigureManager::GetLogLevel() const {
  std::lock_guard guard(lock_);
  return logLevel_;
}

CConfigureManager& TheConfiguration() {
  static CConfigureManager configuration;
  return configuration;
}

}  // namespace orv
