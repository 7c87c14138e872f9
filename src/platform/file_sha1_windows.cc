// SHA-1 of snapshot files through the system's CNG (BCrypt) provider.
#include "maintenance/file_sha1.h"

#include "platform/windows_file.h"

#include <bcrypt.h>

#include <memory>
#include <type_traits>

namespace orv {
namespace {

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

class BcryptSha1 final : public Sha1Hasher {
 public:
  explicit BcryptSha1(BCRYPT_HASH_HANDLE hash) : hash_(hash) {}
  bool Update(const char* data, size_t length) override {
    return Succeeded(BCryptHashData(hash_.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data)),
                                    static_cast<ULONG>(length), 0));
  }
  bool Finish(Sha1Digest* digest) override {
    return Succeeded(
        BCryptFinishHash(hash_.get(), digest->data(), static_cast<ULONG>(digest->size()), 0));
  }

 private:
  HashPtr hash_;
};

}  // namespace

std::unique_ptr<Sha1Hasher> NewSha1Hasher() {
  const BCRYPT_ALG_HANDLE provider = Sha1Provider();
  if (provider == nullptr) return nullptr;
  BCRYPT_HASH_HANDLE created = nullptr;
  // No object buffer: the provider allocates and frees the hash object itself.
  if (!Succeeded(BCryptCreateHash(provider, &created, nullptr, 0, nullptr, 0, 0))) return nullptr;
  return std::make_unique<BcryptSha1>(created);
}

}  // namespace orv
