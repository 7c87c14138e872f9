// Authenticode: who signed the code in a PE/COFF image, checked as Windows'
// trust verification checks an embedded signature. The image's digest (its
// checksum field, the certificate-table directory entry and the certificate
// table left out) must equal the one the signature signs; the PKCS #7
// signature must verify; the signer's certificate must allow code signing (an
// extended key usage without code signing refuses it; none at all allows every
// use) and chain to a trusted root (revocation is not checked). The chain is
// verified at the current time; timestamp countersignatures are not evaluated.
//
// Two backends implement AuthenticodeVerifier: OpenSSL on Linux
// (authenticode_openssl.h: trusted roots are OpenSSL's default verify paths,
// SSL_CERT_FILE and SSL_CERT_DIR honoured) and the system's trust verification
// on Windows (platform/authenticode_windows.cc: the roots of the system certificate
// stores). This header names neither.
//
// Everything read comes from files anyone may have made: every read is
// bounds-checked, and the image is hashed as a stream.
#ifndef ORV_MAINTENANCE_AUTHENTICODE_H_
#define ORV_MAINTENANCE_AUTHENTICODE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/random_access_file.h"

namespace orv {

// Where the fields the digest leaves out lie in a PE image.
struct PeSignatureLayout {
  uint64_t checksumOffset = 0;
  uint64_t certificateDirectoryOffset = 0;
  uint64_t certificateTableOffset = 0;
  uint64_t certificateTableSize = 0;  // 0: the image carries no signature
};

// Nothing when the source is not a well-formed PE32 or PE32+ image.
std::optional<PeSignatureLayout> ParsePeSignatureLayout(RandomAccessFile& source);

// The DER of the first certificate of the table when it is PKCS #7 signed data.
std::optional<std::vector<uint8_t>> ReadEmbeddedPkcs7(RandomAccessFile& source,
                                                      const PeSignatureLayout& layout);

// The longest signer name given, in UTF-16 units.
inline constexpr size_t kMaxSignerNameUnits = 260;

// name cut to kMaxSignerNameUnits at a whole character: a surrogate pair that
// would straddle the cut is dropped whole.
std::u16string CutSignerName(std::u16string name);

class AuthenticodeVerifier {
 public:
  // Prepares what many verifications share (the trusted roots).
  AuthenticodeVerifier();
  ~AuthenticodeVerifier();
  AuthenticodeVerifier(const AuthenticodeVerifier&) = delete;
  AuthenticodeVerifier& operator=(const AuthenticodeVerifier&) = delete;

  // The signer's display name (at most kMaxSignerNameUnits units) when the
  // embedded signature of the image at path verifies; nothing otherwise, or
  // when stop() turned true meanwhile. Where the backend hashes the image
  // itself, stop() is asked between its steps, not while hashing.
  std::optional<std::u16string> VerifiedSigner(const std::u16string& path,
                                               const std::function<bool()>& stop = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The signer of a system catalog of file hashes that holds the file at path.
// Linux has no such catalogs: there this finds none.
std::optional<std::u16string> VerifyCatalogSignature(const std::u16string& path);

}  // namespace orv

#endif  // ORV_MAINTENANCE_AUTHENTICODE_H_
