// The OpenSSL backend of the Authenticode verifier (authenticode.h), and the
// pieces of it that tests and the fuzzer reach directly.
#ifndef ORV_MAINTENANCE_AUTHENTICODE_OPENSSL_H_
#define ORV_MAINTENANCE_AUTHENTICODE_OPENSSL_H_

#include <functional>
#include <optional>
#include <string>

#include "platform/random_access_file.h"

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

namespace orv {

// The simple display name of a certificate's subject: its first common name,
// else organizational unit, else organization, else e-mail address; cut by
// CutSignerName.
std::optional<std::u16string> GetSignerName(const X509* certificate);

// Verifies images read from any source (a file, or memory in the fuzzer).
class OpenSslAuthenticodeVerifier {
 public:
  // Loads the trusted roots once for many verifications.
  OpenSslAuthenticodeVerifier();
  ~OpenSslAuthenticodeVerifier();
  OpenSslAuthenticodeVerifier(const OpenSslAuthenticodeVerifier&) = delete;
  OpenSslAuthenticodeVerifier& operator=(const OpenSslAuthenticodeVerifier&) = delete;

  // As AuthenticodeVerifier::VerifiedSigner; stop() is asked while hashing.
  std::optional<std::u16string> VerifiedSigner(RandomAccessFile& source,
                                               const std::function<bool()>& stop = {});

 private:
  X509_STORE* roots_;
};

}  // namespace orv

#endif  // ORV_MAINTENANCE_AUTHENTICODE_OPENSSL_H_
