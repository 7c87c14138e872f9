// Authenticode verification with OpenSSL: the image digest, the PKCS #7
// signature, the signer's chain and its code-signing use.
#include "maintenance/authenticode_openssl.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <utility>
#include <vector>

#include "maintenance/authenticode.h"
#include "platform/env.h"
#include "platform/text.h"

namespace orv {
namespace {

constexpr size_t kHashChunk = 0x40000;
const char kSpcIndirectDataOid[] = "1.3.6.1.4.1.311.2.1.4";

bool ReadChecked(RandomAccessFile& source, uint64_t offset, void* buffer, size_t length) {
  const uint64_t size = source.size();
  if (offset > size || length > size - offset) return false;
  return source.ReadAt(offset, buffer, length);
}

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* object) const { Free(object); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslDeleter<PKCS7, PKCS7_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using AlgorithmPtr = std::unique_ptr<X509_ALGOR, OpenSslDeleter<X509_ALGOR, X509_ALGOR_free>>;
using DigestContextPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, OpenSslDeleter<ASN1_OBJECT, ASN1_OBJECT_free>>;

void FreeCertificateStack(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using SignerStackPtr =
    std::unique_ptr<STACK_OF(X509), OpenSslDeleter<STACK_OF(X509), FreeCertificateStack>>;

// One DER element: its header read, its contents where they lie.
struct DerElement {
  int tag = 0;
  int tagClass = 0;
  const unsigned char* contents = nullptr;
  long length = 0;
  const unsigned char* end = nullptr;  // just past the element
};

std::optional<DerElement> ReadDer(const unsigned char* data, long available) {
  if (available <= 0) return std::nullopt;
  DerElement element;
  const unsigned char* cursor = data;
  const int result =
      ASN1_get_object(&cursor, &element.length, &element.tag, &element.tagClass, available);
  // 0x80: a malformed header; 0x21: an indefinite length, not DER.
  if ((result & 0x80) != 0 || result == 0x21) return std::nullopt;
  if (element.length > available - (cursor - data)) return std::nullopt;
  element.contents = cursor;
  element.end = cursor + element.length;
  return element;
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue,
//                                       messageDigest DigestInfo }
// DigestInfo ::= SEQUENCE { digestAlgorithm AlgorithmIdentifier, digest OCTET STRING }
struct SignedImageDigest {
  const EVP_MD* algorithm = nullptr;
  std::vector<uint8_t> digest;
};

std::optional<SignedImageDigest> ParseIndirectData(const unsigned char* contents, long length) {
  const unsigned char* end = contents + length;
  const std::optional<DerElement> data = ReadDer(contents, length);
  if (!data || data->tag != V_ASN1_SEQUENCE) return std::nullopt;
  const std::optional<DerElement> digestInfo = ReadDer(data->end, end - data->end);
  if (!digestInfo || digestInfo->tag != V_ASN1_SEQUENCE) return std::nullopt;
  const unsigned char* cursor = digestInfo->contents;
  AlgorithmPtr algorithm(d2i_X509_ALGOR(nullptr, &cursor, digestInfo->length));
  if (!algorithm || cursor > digestInfo->end) return std::nullopt;
  const std::optional<DerElement> digest = ReadDer(cursor, digestInfo->end - cursor);
  if (!digest || digest->tag != V_ASN1_OCTET_STRING) return std::nullopt;
  SignedImageDigest result;
  result.algorithm = EVP_get_digestbyobj(algorithm->algorithm);
  if (result.algorithm == nullptr) return std::nullopt;
  result.digest.assign(digest->contents, digest->end);
  return result;
}

// The Authenticode digest of the image: everything before the certificate
// table, less the checksum and the certificate-table directory entry.
std::optional<std::vector<uint8_t>> ImageDigest(RandomAccessFile& source,
                                                const PeSignatureLayout& layout,
                                                const EVP_MD* algorithm,
                                                const std::function<bool()>& stop) {
  DigestContextPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1) return std::nullopt;
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {0, layout.checksumOffset},
      {layout.checksumOffset + 4, layout.certificateDirectoryOffset},
      {layout.certificateDirectoryOffset + 8, layout.certificateTableOffset},
  };
  std::vector<uint8_t> buffer(kHashChunk);
  for (const auto& [begin, end] : ranges) {
    for (uint64_t at = begin; at < end;) {
      if (stop && stop()) return std::nullopt;
      const size_t chunk = static_cast<size_t>(std::min<uint64_t>(end - at, buffer.size()));
      if (!ReadChecked(source, at, buffer.data(), chunk) ||
          EVP_DigestUpdate(context.get(), buffer.data(), chunk) != 1) {
        return std::nullopt;
      }
      at += chunk;
    }
  }
  std::vector<uint8_t> digest(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) return std::nullopt;
  digest.resize(length);
  return digest;
}

}  // namespace

std::optional<std::u16string> GetSignerName(const X509* certificate) {
  const X509_NAME* subject = X509_get_subject_name(certificate);
  if (subject == nullptr) return std::nullopt;
  for (int nid :
       {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (index < 0) continue;
    const ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) continue;
    std::u16string name;
    const bool converted = Utf8ToUtf16(
        std::string_view(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length)), &name);
    OPENSSL_free(utf8);
    if (!converted || name.empty()) continue;
    return CutSignerName(std::move(name));
  }
  return std::nullopt;
}

OpenSslAuthenticodeVerifier::OpenSslAuthenticodeVerifier() : roots_(X509_STORE_new()) {
  if (roots_ == nullptr) return;
  X509_STORE_set_default_paths(roots_);
  // The S/MIME purpose that PKCS7_verify asks for by default refuses
  // certificates made for code signing only; code signing is checked apart.
  X509_STORE_set_purpose(roots_, X509_PURPOSE_ANY);
  ERR_clear_error();
}

OpenSslAuthenticodeVerifier::~OpenSslAuthenticodeVerifier() { X509_STORE_free(roots_); }

std::optional<std::u16string> OpenSslAuthenticodeVerifier::VerifiedSigner(
    RandomAccessFile& source, const std::function<bool()>& stop) {
  struct ErrorQueueCleaner {
    ~ErrorQueueCleaner() { ERR_clear_error(); }
  } cleaner;
  if (roots_ == nullptr) return std::nullopt;
  const std::optional<PeSignatureLayout> layout = ParsePeSignatureLayout(source);
  if (!layout || layout->certificateTableSize == 0) return std::nullopt;
  const std::optional<std::vector<uint8_t>> der = ReadEmbeddedPkcs7(source, *layout);
  if (!der) return std::nullopt;

  const unsigned char* cursor = der->data();
  Pkcs7Ptr signature(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der->size())));
  if (!signature || !PKCS7_type_is_signed(signature.get()) || signature->d.sign == nullptr ||
      signature->d.sign->contents == nullptr) {
    return std::nullopt;
  }
  PKCS7* content = signature->d.sign->contents;
  const ObjectPtr indirectData(OBJ_txt2obj(kSpcIndirectDataOid, 1));
  if (!indirectData || content->type == nullptr ||
      OBJ_cmp(content->type, indirectData.get()) != 0 || content->d.other == nullptr ||
      content->d.other->type != V_ASN1_SEQUENCE) {
    return std::nullopt;
  }
  // What is signed is the contents octets of SpcIndirectDataContent.
  const ASN1_STRING* encoded = content->d.other->value.sequence;
  const std::optional<DerElement> sequence = ReadDer(encoded->data, encoded->length);
  if (!sequence || sequence->tag != V_ASN1_SEQUENCE) return std::nullopt;
  const std::optional<SignedImageDigest> signedDigest =
      ParseIndirectData(sequence->contents, sequence->length);
  if (!signedDigest) return std::nullopt;

  const std::optional<std::vector<uint8_t>> actual =
      ImageDigest(source, *layout, signedDigest->algorithm, stop);
  if (!actual || *actual != signedDigest->digest) return std::nullopt;

  BioPtr signedBytes(BIO_new_mem_buf(sequence->contents, static_cast<int>(sequence->length)));
  if (!signedBytes) return std::nullopt;
  // PKCS7_verify takes the signed bytes only as detached content: hide the
  // embedded content for the call, and put it back for the release.
  ASN1_TYPE* embedded = content->d.other;
  content->d.other = nullptr;
  const int verified =
      PKCS7_verify(signature.get(), nullptr, roots_, signedBytes.get(), nullptr, PKCS7_BINARY);
  SignerStackPtr signers(verified == 1 ? PKCS7_get0_signers(signature.get(), nullptr, 0) : nullptr);
  content->d.other = embedded;
  if (verified != 1 || !signers || sk_X509_num(signers.get()) < 1) return std::nullopt;

  X509* signer = sk_X509_value(signers.get(), 0);
  if ((X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) != 0 &&
      (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN) == 0) {
    return std::nullopt;
  }
  return GetSignerName(signer);
}

struct AuthenticodeVerifier::Impl {
  OpenSslAuthenticodeVerifier verifier;
};

AuthenticodeVerifier::AuthenticodeVerifier() : impl_(std::make_unique<Impl>()) {}
AuthenticodeVerifier::~AuthenticodeVerifier() = default;

std::optional<std::u16string> AuthenticodeVerifier::VerifiedSigner(
    const std::u16string& path, const std::function<bool()>& stop) {
  const std::unique_ptr<RandomAccessFile> file = CurrentEnv()->OpenRandomAccessFile(path);
  if (!file) return std::nullopt;
  return impl_->verifier.VerifiedSigner(*file, stop);
}

std::optional<std::u16string> VerifyCatalogSignature(const std::u16string&) { return std::nullopt; }

}  // namespace orv
