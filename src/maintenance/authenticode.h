// Authenticode: who signed the code in a PE/COFF image, checked as Windows'
// trust verification checks an embedded signature. The image's digest (its
// checksum field, the certificate-table directory entry and the certificate
// table left out) must equal the one the signature signs; the PKCS #7
// signature must verify; the signer's certificate must allow code signing and
// chain to a trusted root (revocation is not checked). Trusted roots are
// OpenSSL's default verify paths (SSL_CERT_FILE and SSL_CERT_DIR are honoured).
// The chain is verified at the current time; timestamp countersignatures are
// not evaluated.
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

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

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

// The simple display name of a certificate's subject: its first common name,
// else organizational unit, else organization, else e-mail address; at most 260
// UTF-16 units, cut at a whole character.
std::optional<std::u16string> GetSignerName(const X509* certificate);

class AuthenticodeVerifier {
 public:
  // Loads the trusted roots once for many verifications.
  AuthenticodeVerifier();
  ~AuthenticodeVerifier();
  AuthenticodeVerifier(const AuthenticodeVerifier&) = delete;
  AuthenticodeVerifier& operator=(const AuthenticodeVerifier&) = delete;

  // The signer's display name when the image's embedded signature verifies;
  // nothing otherwise, or when stop() turned true while hashing.
  std::optional<std::u16string> VerifiedSigner(RandomAccessFile& source,
                                               const std::function<bool()>& stop = {});

 private:
  X509_STORE* roots_;
};

// Signers through system catalogs of file hashes. Linux has no such catalogs:
// this finds none. It is where catalog verification would go.
std::optional<std::u16string> VerifyCatalogSignature(const std::u16string& path);

}  // namespace orv

#endif  // ORV_MAINTENANCE_AUTHENTICODE_H_
