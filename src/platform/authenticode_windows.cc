// Authenticode verification through the system's trust verification
// (WinVerifyTrust). Three checks make a signer: WinVerifyTrust itself (the
// image digest and the PKCS #7 signature); the Authenticode chain policy on
// the signer's chain (a trusted root); and the signer certificate's extended
// key usage, which must name code signing when it is present. The last two
// are asked explicitly because not every implementation of WinVerifyTrust
// enforces them (wine's accepts an untrusted root and a signer without code
// signing), so that the outcome is the same everywhere and the same as the
// OpenSSL backend's.
//
// WinVerifyTrust reads and hashes the image itself: stop() is asked before
// and after it, not while it hashes.
#include "platform/authenticode_windows.h"

#include <wintrust.h>

#include <mscat.h>
#include <softpub.h>

#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "maintenance/authenticode.h"
#include "platform/windows_file.h"

namespace orv {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Large enough for every digest CryptCATAdminCalcHashFromFileHandle gives.
constexpr DWORD kMaxFileHashBytes = 260;

// Opened as the catalog lookup asks: read only, sharing read.
UniqueHandle OpenForReading(const std::wstring& path) {
  return UniqueHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

struct CertificateFreer {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using CertificatePtr = std::unique_ptr<const CERT_CONTEXT, CertificateFreer>;

struct StoreCloser {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using StorePtr = std::unique_ptr<std::remove_pointer_t<HCERTSTORE>, StoreCloser>;

struct MessageCloser {
  void operator()(HCRYPTMSG message) const { CryptMsgClose(message); }
};
using MessagePtr = std::unique_ptr<std::remove_pointer_t<HCRYPTMSG>, MessageCloser>;

struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};

// A catalog administrator context, released with every catalog it found.
class CatalogAdmin {
 public:
  CatalogAdmin() {
    if (!CryptCATAdminAcquireContext(&admin_, nullptr, 0)) admin_ = nullptr;
  }
  ~CatalogAdmin() {
    if (admin_ != nullptr) CryptCATAdminReleaseContext(admin_, 0);
  }
  CatalogAdmin(const CatalogAdmin&) = delete;
  CatalogAdmin& operator=(const CatalogAdmin&) = delete;
  HCATADMIN get() const { return admin_; }

 private:
  HCATADMIN admin_ = nullptr;
};

class CatalogContext {
 public:
  CatalogContext(HCATADMIN admin, HCATINFO catalog) : admin_(admin), catalog_(catalog) {}
  ~CatalogContext() {
    if (catalog_ != nullptr) CryptCATAdminReleaseCatalogContext(admin_, catalog_, 0);
  }
  CatalogContext(const CatalogContext&) = delete;
  CatalogContext& operator=(const CatalogContext&) = delete;
  HCATINFO get() const { return catalog_; }

 private:
  HCATADMIN admin_;
  HCATINFO catalog_;
};

// One WinVerifyTrust verification; its state is closed on every path.
class TrustVerification {
 public:
  // data is filled but for the state fields; it must outlive this object.
  explicit TrustVerification(WINTRUST_DATA& data) : data_(data) {
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.hWVTStateData = nullptr;
    status_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  ~TrustVerification() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  TrustVerification(const TrustVerification&) = delete;
  TrustVerification& operator=(const TrustVerification&) = delete;

  bool verified() const { return status_ == ERROR_SUCCESS; }

  // The first signer's chain, built by the verification.
  PCCERT_CHAIN_CONTEXT SignerChain() const {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    return signer == nullptr ? nullptr : signer->pChainContext;
  }

 private:
  WINTRUST_DATA& data_;
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG status_ = 0;
};

WINTRUST_DATA NoUiNoRevocation() {
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
  return data;
}

// No extended key usage allows every use, as in the OpenSSL backend.
bool AllowsCodeSigning(PCCERT_CONTEXT certificate) {
  const CERT_INFO* info = certificate->pCertInfo;
  const CERT_EXTENSION* extension =
      CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
  if (extension == nullptr) return true;
  CERT_ENHKEY_USAGE* decoded = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(kEncoding, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded,
                           &size)) {
    return false;
  }
  const std::unique_ptr<CERT_ENHKEY_USAGE, LocalFreer> usage(decoded);
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) return true;
  }
  return false;
}

// The chain ends in a trusted root under the Authenticode policy, and its
// leaf (the signer) may sign code.
bool TrustedCodeSigner(PCCERT_CHAIN_CONTEXT chain) {
  if (chain == nullptr || chain->cChain < 1 || chain->rgpChain[0]->cElement < 1) return false;
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof(policy);
  // Revocation is not checked: what it could not learn is no failure.
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &policy, &status) ||
      status.dwError != ERROR_SUCCESS) {
    return false;
  }
  return AllowsCodeSigning(chain->rgpChain[0]->rgpElement[0]->pCertContext);
}

// The signer's certificate of the catalog file's PKCS #7 signature.
CertificatePtr CatalogSignerCertificate(const wchar_t* catalogFile) {
  HCERTSTORE store = nullptr;
  HCRYPTMSG message = nullptr;
  // A catalog is PKCS #7 signed data as it stands; the embedded form is taken
  // too.
  if (!CryptQueryObject(
          CERT_QUERY_OBJECT_FILE, catalogFile,
          CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message, nullptr)) {
    return nullptr;
  }
  const StorePtr storeOwner(store);
  const MessagePtr messageOwner(message);
  DWORD size = 0;
  if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) || size == 0) {
    return nullptr;
  }
  // CMSG_SIGNER_INFO holds pointers: the buffer is aligned for them.
  std::vector<uint64_t> buffer((size + sizeof(uint64_t) - 1) / sizeof(uint64_t));
  if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) return nullptr;
  const auto* signerInfo = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
  CERT_INFO wanted{};
  wanted.Issuer = signerInfo->Issuer;
  wanted.SerialNumber = signerInfo->SerialNumber;
  return CertificatePtr(
      CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
}

}  // namespace

std::optional<std::u16string> GetSignerName(PCCERT_CONTEXT certificate) {
  if (certificate == nullptr) return std::nullopt;
  // The length includes the terminating 0; 1 means no name.
  const DWORD length =
      CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (length <= 1) return std::nullopt;
  std::wstring name(length, L'\0');
  const DWORD written = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                           name.data(), length);
  if (written <= 1) return std::nullopt;
  name.resize(written - 1);
  return CutSignerName(std::u16string(name.begin(), name.end()));
}

struct AuthenticodeVerifier::Impl {};

AuthenticodeVerifier::AuthenticodeVerifier() : impl_(std::make_unique<Impl>()) {}
AuthenticodeVerifier::~AuthenticodeVerifier() = default;

std::optional<std::u16string> AuthenticodeVerifier::VerifiedSigner(
    const std::u16string& path, const std::function<bool()>& stop) {
  std::wstring wide;
  if (!ToWidePath(path, &wide) || (stop && stop())) return std::nullopt;
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = wide.c_str();
  WINTRUST_DATA data = NoUiNoRevocation();
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  const TrustVerification verification(data);
  if (!verification.verified() || (stop && stop())) return std::nullopt;
  const PCCERT_CHAIN_CONTEXT chain = verification.SignerChain();
  if (!TrustedCodeSigner(chain)) return std::nullopt;
  return GetSignerName(chain->rgpChain[0]->rgpElement[0]->pCertContext);
}

std::optional<std::u16string> VerifyCatalogSignature(const std::u16string& path) {
  std::wstring wide;
  if (!ToWidePath(path, &wide)) return std::nullopt;
  const CatalogAdmin admin;
  if (admin.get() == nullptr) return std::nullopt;
  const UniqueHandle file = OpenForReading(wide);
  if (!file.valid()) return std::nullopt;
  BYTE hash[kMaxFileHashBytes];
  DWORD hashSize = sizeof(hash);
  if (!CryptCATAdminCalcHashFromFileHandle(file.get(), &hashSize, hash, 0)) return std::nullopt;
  // The first catalog that holds the hash.
  const CatalogContext catalog(
      admin.get(), CryptCATAdminEnumCatalogFromHash(admin.get(), hash, hashSize, 0, nullptr));
  if (catalog.get() == nullptr) return std::nullopt;
  CATALOG_INFO info{};
  info.cbStruct = sizeof(info);
  if (!CryptCATCatalogInfoFromContext(catalog.get(), &info, 0)) return std::nullopt;

  // Catalog members are tagged with their hash in upper-case hexadecimal.
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring tag;
  for (DWORD i = 0; i < hashSize; ++i) {
    tag += kDigits[hash[i] >> 4];
    tag += kDigits[hash[i] & 0xF];
  }
  WINTRUST_CATALOG_INFO member{};
  member.cbStruct = sizeof(member);
  member.pcwszCatalogFilePath = info.wszCatalogFile;
  member.pcwszMemberFilePath = wide.c_str();
  member.pcwszMemberTag = tag.c_str();
  member.hMemberFile = file.get();
  member.pbCalculatedFileHash = hash;
  member.cbCalculatedFileHash = hashSize;
  member.hCatAdmin = admin.get();
  WINTRUST_DATA data = NoUiNoRevocation();
  data.dwUnionChoice = WTD_CHOICE_CATALOG;
  data.pCatalog = &member;
  const TrustVerification verification(data);
  if (!verification.verified() || !TrustedCodeSigner(verification.SignerChain())) {
    return std::nullopt;
  }
  const CertificatePtr signer = CatalogSignerCertificate(info.wszCatalogFile);
  return GetSignerName(signer.get());
}

}  // namespace orv
