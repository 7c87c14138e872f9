// The signature check: records who signed the code in each copy (or
// "NOSIGNATURE"), and removes every edition of a file older than its newest
// signed one.
#ifndef ORV_MAINTENANCE_SIGNATURE_CHECK_H_
#define ORV_MAINTENANCE_SIGNATURE_CHECK_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace orv {

class AuthenticodeVerifier;

inline constexpr char16_t kNoSignature[] = u"NOSIGNATURE";

// One run over every protected file; stop() is checked between editions and
// while hashing.
void SignatureCheckTask(const std::function<bool()>& stop);

// The walk over one file's editions, newest first.
void CheckFileSignatures(int32_t fileId, AuthenticodeVerifier& verifier,
                         const std::function<bool()>& stop);

// The signer of the copy at path: its embedded signature, else a system
// catalog; nothing when neither vouches for it.
std::optional<std::u16string> FindSigner(const std::u16string& path, AuthenticodeVerifier& verifier,
                                         const std::function<bool()>& stop);

}  // namespace orv

#endif  // ORV_MAINTENANCE_SIGNATURE_CHECK_H_
