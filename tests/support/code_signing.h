// Signed and unsigned PE images made at run time with public tools (openssl,
// osslsigncode), for the signature tests.
#ifndef ORV_TESTS_SUPPORT_CODE_SIGNING_H_
#define ORV_TESTS_SUPPORT_CODE_SIGNING_H_

#include <filesystem>
#include <string>

namespace orv::testing {

// A root CA and a signing certificate issued by it, in dir.
struct TestPki {
  std::filesystem::path rootCertificate;
  std::filesystem::path signerCertificate;
  std::filesystem::path signerKey;
};

// False when the tools are missing or fail. usage: "codesign" (an extended
// key usage of code signing), "serverauth" (one without it) or "any" (none).
bool MakeTestPki(const std::filesystem::path& dir, const std::string& signerSubject, TestPki* pki,
                 const std::string& usage = "codesign");

// A self-signed code-signing certificate; it is its own root.
bool MakeSelfSignedPki(const std::filesystem::path& dir, const std::string& signerSubject,
                       TestPki* pki);

// A minimal valid PE32+ image; marker goes into its code section.
void WriteMinimalPe(const std::filesystem::path& path, uint8_t marker = 0xC3,
                    size_t extraBytes = 0);

// Signs in into out; false on failure.
bool SignPe(const TestPki& pki, const std::filesystem::path& in, const std::filesystem::path& out);

// Makes OpenSSL trust exactly the roots in file for the life of the scope.
class ScopedTrustedRoots {
 public:
  explicit ScopedTrustedRoots(const std::filesystem::path& file);
  ~ScopedTrustedRoots();
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_CODE_SIGNING_H_
