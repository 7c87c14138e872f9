// The Windows backends of the signature and digest checks, over images signed
// at build time (cmake/SignedTestImages.cmake): each must be judged as the
// OpenSSL backend judges the same kind of image (signature_check_test.cc).
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "maintenance/authenticode.h"
#include "platform/authenticode_windows.h"
#include "maintenance/file_sha1.h"
#include "signed_images.h"

namespace orv {
namespace {

const std::u16string kImages = u"" ORV_SIGNED_IMAGES_DIR;

std::u16string Image(const char16_t* name) { return kImages + u"\\" + name; }

std::string Utf8(const std::optional<std::u16string>& text) {
  if (!text) return "<none>";
  std::string result;
  for (char16_t unit : *text) result += unit < 0x80 ? static_cast<char>(unit) : '?';
  return result;
}

std::string Hex(const Sha1Digest& digest) {
  std::string hex;
  for (uint8_t byte : digest) {
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    hex += digits;
  }
  return hex;
}

// The test root in the current user's Root store while the object lives.
class TrustedTestRoot {
 public:
  TrustedTestRoot() {
    const std::wstring path = std::wstring(kImages.begin(), kImages.end()) + L"\\root.der";
    std::ifstream file(path.c_str(), std::ios::binary);
    der_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    HCERTSTORE store = OpenRoot();
    if (store == nullptr || der_.empty()) return;
    added_ = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
        static_cast<DWORD>(der_.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    // Only a closed store keeps what was added.
    CertCloseStore(store, 0);
  }
  ~TrustedTestRoot() { Remove(); }
  TrustedTestRoot(const TrustedTestRoot&) = delete;
  TrustedTestRoot& operator=(const TrustedTestRoot&) = delete;

  bool added() const { return added_; }

  void Remove() {
    if (!added_) return;
    added_ = false;
    // From the registry store the certificate was added to: deleting through
    // the system store's collection reports success but keeps it (wine 8).
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) return;
    // Deleting frees the context found.
    if (PCCERT_CONTEXT found = Find(store)) CertDeleteCertificateFromStore(found);
    CertCloseStore(store, 0);
  }

  // Whether a freshly opened Root store holds the test root.
  bool InStore() const {
    HCERTSTORE store = OpenRoot();
    if (store == nullptr) return false;
    PCCERT_CONTEXT found = Find(store);
    CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    return found != nullptr;
  }

 private:
  PCCERT_CONTEXT Find(HCERTSTORE store) const {
    PCCERT_CONTEXT wanted =
        CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der_.data()),
                                     static_cast<DWORD>(der_.size()));
    if (wanted == nullptr) return nullptr;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, wanted, nullptr);
    CertFreeCertificateContext(wanted);
    return found;
  }

  static HCERTSTORE OpenRoot() {
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  }

  std::string der_;
  bool added_ = false;
};

class WindowsSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(root_.added()) << "root.der or the Root store"; }
  std::string Signer(const std::u16string& path, const std::function<bool()>& stop = {}) {
    return Utf8(verifier_.VerifiedSigner(path, stop));
  }

  TrustedTestRoot root_;
  AuthenticodeVerifier verifier_;
};

TEST_F(WindowsSignatureTest, OnlyATrustedUntouchedCodeSigningSignatureNamesItsSigner) {
  EXPECT_EQ(Signer(Image(u"good.dll")), "Orv Test Signer");
  // No extended key usage at all allows code signing, as in OpenSSL.
  EXPECT_EQ(Signer(Image(u"anyuse.dll")), "Orv Any Use");
  EXPECT_EQ(Signer(Image(u"unsigned.dll")), "<none>");
  EXPECT_EQ(Signer(Image(u"tampered.dll")), "<none>") << "one code byte flipped";
  EXPECT_EQ(Signer(Image(u"untrusted.dll")), "<none>") << "a root nobody trusts";
  EXPECT_EQ(Signer(Image(u"selfsigned.dll")), "<none>");
  EXPECT_EQ(Signer(Image(u"servereku.dll")), "<none>")
      << "an extended key usage without code signing";
  EXPECT_EQ(Signer(Image(u"digested.txt")), "<none>") << "not an image";
  EXPECT_EQ(Signer(Image(u"missing.dll")), "<none>");
}

TEST_F(WindowsSignatureTest, PathsThatNameNoFileAndStopVerifyNothing) {
  // Cut short at the 0, the path would name the signed image.
  EXPECT_EQ(Signer(Image(u"good.dll") + u'\0' + u"x"), "<none>");
  EXPECT_EQ(Signer(Image(u"good.dll") + u'\xD800'), "<none>");
  EXPECT_EQ(Signer(u""), "<none>");
  EXPECT_EQ(Signer(Image(u"good.dll"), [] { return true; }), "<none>");
  int asked = 0;
  EXPECT_EQ(Signer(Image(u"good.dll"), [&] { return ++asked > 1; }), "<none>")
      << "stop turned true during the verification";
  // No catalog holds these files (and none can be made for the tests).
  EXPECT_FALSE(VerifyCatalogSignature(Image(u"good.dll")).has_value());
  EXPECT_FALSE(VerifyCatalogSignature(Image(u"missing.dll")).has_value());
}

// The system's chain engine may keep the roots it saw first for the process
// (wine's does): this test needs a process of its own, as every test gets
// under gtest_discover_tests.
TEST(WindowsUntrustedRootTest, WithoutTheRootTheGoodImageIsNotTrusted) {
  AuthenticodeVerifier verifier;
  EXPECT_EQ(Utf8(verifier.VerifiedSigner(Image(u"good.dll"))), "<none>");
}

TEST(WindowsUntrustedRootTest, TheTestRootGoesAgain) {
  TrustedTestRoot root;
  ASSERT_TRUE(root.added());
  EXPECT_TRUE(root.InStore());
  root.Remove();
  EXPECT_FALSE(root.InStore());
}

// A certificate with the given subject, signed by its own fresh key.
PCCERT_CONTEXT CertificateNamed(const char* attributeOid, const std::wstring& value) {
  CERT_RDN_ATTR attribute{};
  attribute.pszObjId = const_cast<char*>(attributeOid);
  attribute.dwValueType = CERT_RDN_UTF8_STRING;
  attribute.Value.pbData = reinterpret_cast<BYTE*>(const_cast<wchar_t*>(value.data()));
  attribute.Value.cbData = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  CERT_RDN rdn{1, &attribute};
  CERT_NAME_INFO name{1, &rdn};
  DWORD size = 0;
  if (!CryptEncodeObject(X509_ASN_ENCODING, X509_UNICODE_NAME, &name, nullptr, &size)) {
    return nullptr;
  }
  std::vector<BYTE> encoded(size);
  if (!CryptEncodeObject(X509_ASN_ENCODING, X509_UNICODE_NAME, &name, encoded.data(), &size)) {
    return nullptr;
  }
  CERT_NAME_BLOB subject{size, encoded.data()};
  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    return nullptr;
  }
  HCRYPTKEY key = 0;
  PCCERT_CONTEXT certificate = nullptr;
  if (CryptGenKey(provider, AT_SIGNATURE, 1024u << 16, &key)) {
    certificate = CertCreateSelfSignCertificate(provider, &subject, 0, nullptr, nullptr, nullptr,
                                                nullptr, nullptr);
    CryptDestroyKey(key);
  }
  CryptReleaseContext(provider, 0);
  return certificate;
}

std::optional<std::u16string> NameOf(const char* attributeOid, const std::wstring& value) {
  PCCERT_CONTEXT certificate = CertificateNamed(attributeOid, value);
  EXPECT_NE(certificate, nullptr);
  std::optional<std::u16string> name = GetSignerName(certificate);
  CertFreeCertificateContext(certificate);
  return name;
}

TEST(WindowsSignerNameTest, DisplayNamesAreCutAtAWholeCharacterAt260) {
  EXPECT_EQ(NameOf(szOID_ORGANIZATION_NAME, L"Org"), u"Org");
  EXPECT_EQ(NameOf(szOID_COMMON_NAME, std::wstring(300, L'n')), std::u16string(260, u'n'));
  EXPECT_EQ(NameOf(szOID_COMMON_NAME, std::wstring(260, L'n')), std::u16string(260, u'n'));
  // A pair straddling the cut is dropped whole.
  EXPECT_EQ(NameOf(szOID_COMMON_NAME, std::wstring(259, L'n') + L"\xD83D\xDE00tail"),
            std::u16string(259, u'n'));
  EXPECT_FALSE(GetSignerName(nullptr).has_value());
}

TEST(WindowsSha1Test, DigestsAsSha1sumDoes) {
  Sha1Digest digest{};
  ASSERT_TRUE(ComputeFileSha1(Image(u"digested.txt"), &digest));
  EXPECT_EQ(Hex(digest), ORV_DIGESTED_FILE_SHA1);
  ASSERT_TRUE(ComputeFileSha1(Image(u"empty.txt"), &digest));
  EXPECT_EQ(Hex(digest), ORV_EMPTY_FILE_SHA1);
  // The provider is opened once and a hash is made for each file: the same
  // digest again.
  ASSERT_TRUE(ComputeFileSha1(Image(u"digested.txt"), &digest));
  EXPECT_EQ(Hex(digest), ORV_DIGESTED_FILE_SHA1);
}

TEST(WindowsSha1Test, NoPartialDigestIsEverGiven) {
  const Sha1Digest untouched{1, 2, 3};
  Sha1Digest digest = untouched;
  EXPECT_FALSE(ComputeFileSha1(Image(u"missing.txt"), &digest));
  int reads = 0;
  // Stopped after the first of the file's buffers.
  EXPECT_FALSE(ComputeFileSha1(Image(u"digested.txt"), &digest, [&] { return ++reads > 1; }));
  EXPECT_EQ(reads, 2);

  wchar_t temp[MAX_PATH + 1];
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
  const std::wstring large = std::wstring(temp) + L"orv_sha1_large.bin";
  HANDLE file = CreateFileW(large.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(kMaxDigestedFileBytes) + 1;
  const bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  EXPECT_TRUE(sized);
  EXPECT_FALSE(ComputeFileSha1(std::u16string(large.begin(), large.end()), &digest));
  DeleteFileW(large.c_str());
  EXPECT_EQ(digest, untouched);
}

}  // namespace
}  // namespace orv
