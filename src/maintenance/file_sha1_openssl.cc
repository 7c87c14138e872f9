#include "maintenance/file_sha1.h"

#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "platform/env.h"

namespace orv {
namespace {

constexpr size_t kReadBufferBytes = 0x40000;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

bool ComputeFileSha1(const std::u16string& path, Sha1Digest* digest,
                     const std::function<bool()>& stop) {
  const std::unique_ptr<SequentialFile> file = CurrentEnv()->OpenSequentialFile(path);
  if (!file || file->size() > kMaxDigestedFileBytes) return false;
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr) != 1) return false;
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
    if (EVP_DigestUpdate(context.get(), buffer.data(), *read) != 1) return false;
  }
  unsigned int length = 0;
  Sha1Digest result{};
  if (EVP_DigestFinal_ex(context.get(), result.data(), &length) != 1 || length != result.size()) {
    return false;
  }
  *digest = result;
  return true;
}

}  // namespace orv
