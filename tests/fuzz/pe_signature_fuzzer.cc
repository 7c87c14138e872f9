// Feeds arbitrary bytes to the PE parser and the Authenticode verifier, as a
// snapshot file anyone may have made would.
#include <cstdint>
#include <cstring>

#include "maintenance/authenticode.h"
#include "maintenance/authenticode_openssl.h"

namespace {

class MemorySource final : public orv::RandomAccessFile {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }
  bool ReadAt(uint64_t offset, void* buffer, size_t length) override {
    if (offset > size_ || length > size_ - offset) return false;
    std::memcpy(buffer, data_ + offset, length);
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static orv::OpenSslAuthenticodeVerifier verifier;
  MemorySource source(data, size);
  if (const auto layout = orv::ParsePeSignatureLayout(source)) {
    orv::ReadEmbeddedPkcs7(source, *layout);
  }
  verifier.VerifiedSigner(source);
  return 0;
}
