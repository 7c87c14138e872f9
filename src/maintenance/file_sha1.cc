#include "maintenance/file_sha1.h"

#include <vector>

#include "platform/env.h"

namespace orv {
namespace {

constexpr size_t kReadBufferBytes = 0x40000;

}  // namespace

bool ComputeFileSha1(const std::u16string& path, Sha1Digest* digest,
                     const std::function<bool()>& stop) {
  const std::unique_ptr<SequentialFile> file = CurrentEnv()->OpenSequentialFile(path);
  if (!file || file->size() > kMaxDigestedFileBytes) return false;
  const std::unique_ptr<Sha1Hasher> hasher = NewSha1Hasher();
  if (!hasher) return false;
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
    if (!hasher->Update(buffer.data(), *read)) return false;
  }
  Sha1Digest result{};
  if (!hasher->Finish(&result)) return false;
  *digest = result;
  return true;
}

}  // namespace orv
