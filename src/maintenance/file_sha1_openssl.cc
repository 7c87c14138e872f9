// SHA-1 through OpenSSL's EVP interface.
#include <openssl/evp.h>

#include <memory>

#include "maintenance/file_sha1.h"

namespace orv {
namespace {

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

class OpenSslSha1 final : public Sha1Hasher {
 public:
  explicit OpenSslSha1(EVP_MD_CTX* context) : context_(context) {}
  bool Update(const char* data, size_t length) override {
    return EVP_DigestUpdate(context_.get(), data, length) == 1;
  }
  bool Finish(Sha1Digest* digest) override {
    unsigned int length = 0;
    return EVP_DigestFinal_ex(context_.get(), digest->data(), &length) == 1 &&
           length == digest->size();
  }

 private:
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context_;
};

}  // namespace

std::unique_ptr<Sha1Hasher> NewSha1Hasher() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return nullptr;
  auto hasher = std::make_unique<OpenSslSha1>(context);
  if (EVP_DigestInit_ex(context, EVP_sha1(), nullptr) != 1) return nullptr;
  return hasher;
}

}  // namespace orv
