// SHA-1 of snapshot files through the system's CNG (BCrypt) provider.
#include "maintenance/file_sha1.h"

#include "platform/env.h"
#include "platform/windows_file.h"

#include <bcrypt.h>

#include <memory>
#include <type_traits>
#include <vector>

namespace orv {
namespace {

constexpr size_t kReadBufferBytes = 0x40000;

bool Succeeded(NTSTATUS status) { return status >= 0; }

// The SHA-1 provider, opened once for the whole process and never closed (it
// would be closed by a static destructor, which must not call into the
// system while the library unloads).
BCRYPT_ALG_HANDLE Sha1Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE opened = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA1_ALGORITHM, nullptr, 0))) {
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return opened;
  }();
  return provider;
}

struct HashDeleter {
  void operator()(void* hash) const { BCryptDestroyHash(hash); }
};
using HashPtr = std::unique_ptr<std::remove_pointer_t<BCRYPT_HASH_HANDLE>, HashDeleter>;

}  // namespace

bool ComputeFileSha1(const std::u16string& path, Sha1Digest* digest,
                     const std::function<bool()>& stop) {
  const std::unique_ptr<SequentialFile> file = CurrentEnv()->OpenSequentialFile(path);
  if (!file || file->size() > kMaxDigestedFileBytes) return false;
  const BCRYPT_ALG_HANDLE provider = Sha1Provider();
  if (provider == nullptr) return false;
  BCRYPT_HASH_HANDLE created = nullptr;
  // No object buffer: the provider allocates and frees the hash object itself.
  if (!Succeeded(BCryptCreateHash(provider, &created, nullptr, 0, nullptr, 0, 0))) return false;
  const HashPtr hash(created);
  std::vector<char> buffer(kReadBufferBytes);
  uint64_t total = 0;
  while (true) {
    if (stop && stop()) return false;
    const std::optional<size_t> read = file->Read(buffer.data(), buffer.size());
    if (!read) return false;
    if (*read == 0) break;
    // A file that grew past the limit while it was read is not digested either.
    total += *read;
    if (total > kMaxDigestedFileBytes) return false;
    if (!Succeeded(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(buffer.data()),
                                  static_cast<ULONG>(*read), 0))) {
      return false;
    }
  }
  Sha1Digest result{};
  if (!Succeeded(
          BCryptFinishHash(hash.get(), result.data(), static_cast<ULONG>(result.size()), 0))) {
    return false;
  }
  *digest = result;
  return true;
}

}  // namespace orv
