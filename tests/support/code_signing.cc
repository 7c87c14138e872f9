#include "support/code_signing.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace orv::testing {
namespace {

bool Run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) { std::memcpy(&b[at], &v, 8); }

}  // namespace

// The recipes the build's signed images use too (tests/support/test_pki.sh).
std::string Pki(const std::string& arguments) {
  return "bash '" ORV_SOURCE_DIR "/tests/support/test_pki.sh' " + arguments;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

bool MakeTestPki(const std::filesystem::path& dir, const std::string& signerSubject, TestPki* pki,
                 const std::string& usage) {
  const std::string d = Quoted(dir.string());
  pki->rootCertificate = dir / "root.crt";
  pki->signerCertificate = dir / "signer.crt";
  pki->signerKey = dir / "signer.key";
  return Run(Pki("root " + d + " root '/CN=Orv Test Root'")) &&
         Run(Pki("leaf " + d + " signer " + Quoted(signerSubject) + " root " + usage));
}

bool MakeSelfSignedPki(const std::filesystem::path& dir, const std::string& signerSubject,
                       TestPki* pki) {
  pki->rootCertificate = pki->signerCertificate = dir / "self.crt";
  pki->signerKey = dir / "self.key";
  return Run(Pki("self " + Quoted(dir.string()) + " self " + Quoted(signerSubject)));
}

void WriteMinimalPe(const std::filesystem::path& path, uint8_t marker, size_t extraBytes) {
  std::vector<uint8_t> image(0x400 + extraBytes, 0);
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x40);
  std::memcpy(&image[0x40], "PE\0\0", 4);
  const size_t coff = 0x44, optional = coff + 20, section = optional + 240;
  Put16(image, coff, 0x8664);     // x86-64
  Put16(image, coff + 2, 1);      // one section
  Put16(image, coff + 16, 240);   // optional header size
  Put16(image, coff + 18, 0x22);  // executable, large-address aware
  Put16(image, optional, 0x20B);  // PE32+
  Put32(image, optional + 16, 0x1000);
  Put32(image, optional + 20, 0x1000);
  Put64(image, optional + 24, 0x140000000);
  Put32(image, optional + 32, 0x1000);  // section alignment
  Put32(image, optional + 36, 0x200);   // file alignment
  Put16(image, optional + 40, 6);
  Put16(image, optional + 48, 6);
  Put32(image, optional + 56, 0x2000);  // image size
  Put32(image, optional + 60, 0x200);   // header size
  Put16(image, optional + 68, 3);       // console
  Put64(image, optional + 72, 0x100000);
  Put64(image, optional + 80, 0x1000);
  Put64(image, optional + 88, 0x100000);
  Put64(image, optional + 96, 0x1000);
  Put32(image, optional + 108, 16);  // data directories
  std::memcpy(&image[section], ".text", 5);
  Put32(image, section + 8, static_cast<uint32_t>(0x10 + extraBytes));
  Put32(image, section + 12, 0x1000);
  Put32(image, section + 16, static_cast<uint32_t>(0x200 + extraBytes));
  Put32(image, section + 20, 0x200);
  Put32(image, section + 36, 0x60000020);
  image[0x200] = marker;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));
}

bool SignPe(const TestPki& pki, const std::filesystem::path& in, const std::filesystem::path& out) {
  return Run(Pki("sign " + Quoted(pki.signerCertificate.string()) + " " +
                 Quoted(pki.signerKey.string()) + " " + Quoted(in.string()) + " " +
                 Quoted(out.string())));
}

ScopedTrustedRoots::ScopedTrustedRoots(const std::filesystem::path& file) {
  ::setenv("SSL_CERT_FILE", file.c_str(), 1);
  ::setenv("SSL_CERT_DIR", "/nonexistent", 1);
}

ScopedTrustedRoots::~ScopedTrustedRoots() {
  ::unsetenv("SSL_CERT_FILE");
  ::unsetenv("SSL_CERT_DIR");
}

}  // namespace orv::testing
