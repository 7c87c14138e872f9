#include "maintenance/signature_check.h"

#include <openssl/x509.h>
#include <sqlite3.h>

#include <fstream>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "maintenance/authenticode.h"
#include "maintenance/authenticode_openssl.h"
#include "support/code_signing.h"
#include "support/engine_fixture.h"

namespace orv {
namespace {

using testing::U16;

std::string Utf8(const std::optional<std::u16string>& text) {
  return text ? std::string(text->begin(), text->end()) : std::string("<none>");
}

class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::MakeTestPki(dir_.path(), "/CN=Orv Test Signer/O=Orv Tests", &pki_))
        << "openssl is needed";
    testing::WriteMinimalPe(dir_ / "plain.exe");
    ASSERT_TRUE(testing::SignPe(pki_, dir_ / "plain.exe", dir_ / "signed.exe"))
        << "osslsigncode is needed";
  }
  std::string Signer(const std::filesystem::path& path) {
    AuthenticodeVerifier verifier;
    return Utf8(FindSigner(U16(path), verifier, {}));
  }

  testing::TempDir dir_;
  testing::TestPki pki_;
};

TEST_F(SignatureTest, OnlyATrustedUntouchedSignatureNamesItsSigner) {
  {
    testing::ScopedTrustedRoots roots(pki_.rootCertificate);
    EXPECT_EQ(Signer(dir_ / "signed.exe"), "Orv Test Signer");
    EXPECT_EQ(Signer(dir_ / "plain.exe"), "<none>") << "no certificate table";
    testing::WriteFileText(dir_ / "text.txt", "not an image");
    EXPECT_EQ(Signer(dir_ / "text.txt"), "<none>");
    EXPECT_EQ(Signer(dir_ / "missing.exe"), "<none>");

    // One byte of the code changed after signing.
    std::string image = testing::ReadFileText(dir_ / "signed.exe");
    image[0x200] ^= 1;
    testing::WriteFileText(dir_ / "tampered.exe", image);
    EXPECT_EQ(Signer(dir_ / "tampered.exe"), "<none>");
  }
  // A root nobody trusts.
  testing::TempDir other;
  testing::TestPki stranger;
  ASSERT_TRUE(testing::MakeTestPki(other.path(), "/CN=Someone Else", &stranger));
  testing::ScopedTrustedRoots roots(stranger.rootCertificate);
  EXPECT_EQ(Signer(dir_ / "signed.exe"), "<none>");
}

// The same kinds of signer the Windows backend is tested with
// (signature_windows_test.cc), with the same outcomes.
TEST_F(SignatureTest, OnlySignersThatMaySignCodeAndChainToATrustedRootCount) {
  auto signedBy = [&](const testing::TestPki& signer, const char* name) {
    EXPECT_TRUE(testing::SignPe(signer, dir_ / "plain.exe", dir_ / name));
    return Signer(dir_ / name);
  };
  testing::TempDir server, any, self;
  testing::TestPki serverPki, anyPki, selfPki;
  ASSERT_TRUE(testing::MakeTestPki(server.path(), "/CN=Server Only", &serverPki, "serverauth"));
  ASSERT_TRUE(testing::MakeTestPki(any.path(), "/CN=Any Use", &anyPki, "any"));
  ASSERT_TRUE(testing::MakeSelfSignedPki(self.path(), "/CN=Self Signed", &selfPki));
  // Issued by roots of their own: all trusted, but for the self-signed one.
  std::filesystem::copy_file(pki_.rootCertificate, dir_ / "roots.pem");
  {
    std::ofstream roots(dir_ / "roots.pem", std::ios::app);
    roots << testing::ReadFileText(serverPki.rootCertificate)
          << testing::ReadFileText(anyPki.rootCertificate);
  }
  testing::ScopedTrustedRoots all(dir_ / "roots.pem");
  EXPECT_EQ(signedBy(serverPki, "server.exe"), "<none>") << "no code-signing usage";
  EXPECT_EQ(signedBy(anyPki, "any.exe"), "Any Use") << "no extended key usage: any use";
  EXPECT_EQ(signedBy(selfPki, "self.exe"), "<none>") << "self-signed, not a trusted root";
  EXPECT_EQ(Signer(dir_ / "signed.exe"), "Orv Test Signer");
}

// Truncated and corrupted images never crash and never verify.
TEST_F(SignatureTest, DamagedImagesAreUnsigned) {
  testing::ScopedTrustedRoots roots(pki_.rootCertificate);
  const std::string image = testing::ReadFileText(dir_ / "signed.exe");
  for (size_t cut = 0; cut < image.size(); cut += 97) {
    testing::WriteFileText(dir_ / "cut.exe", image.substr(0, cut));
    EXPECT_EQ(Signer(dir_ / "cut.exe"), "<none>") << cut;
  }
  for (size_t at = 0x3C; at < image.size(); at += 13) {
    std::string damaged = image;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    testing::WriteFileText(dir_ / "damaged.exe", damaged);
    const std::string signer = Signer(dir_ / "damaged.exe");
    // Bytes outside the digest and the signature (padding) may change freely.
    EXPECT_TRUE(signer == "<none>" || signer == "Orv Test Signer") << at;
  }
}

TEST(SignerNameTest, DisplayNamesAndTheirCut) {
  auto nameOf = [](std::initializer_list<std::pair<int, std::string>> entries) {
    X509* certificate = X509_new();
    X509_NAME* subject = X509_get_subject_name(certificate);
    for (const auto& [nid, value] : entries) {
      // Set as raw UTF8String: the checked API refuses a common name over 64.
      X509_NAME_ENTRY* entry = X509_NAME_ENTRY_create_by_NID(
          nullptr, nid, V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>(value.data()),
          static_cast<int>(value.size()));
      X509_NAME_add_entry(subject, entry, -1, 0);
      X509_NAME_ENTRY_free(entry);
    }
    const std::optional<std::u16string> name = GetSignerName(certificate);
    X509_free(certificate);
    return name;
  };
  EXPECT_EQ(nameOf({{NID_organizationName, "Org"}, {NID_commonName, "Common"}}), u"Common");
  EXPECT_EQ(nameOf({{NID_organizationName, "Org"}, {NID_organizationalUnitName, "Unit"}}), u"Unit");
  EXPECT_EQ(nameOf({{NID_pkcs9_emailAddress, "a@b.example"}}), u"a@b.example");
  EXPECT_FALSE(nameOf({{NID_countryName, "DE"}}).has_value());
  EXPECT_EQ(nameOf({{NID_commonName, std::string(300, 'n')}}), std::u16string(260, u'n'));
  // A pair straddling the cut is dropped whole.
  EXPECT_EQ(nameOf({{NID_commonName, std::string(259, 'n') + "\xF0\x9F\x98\x80" + "tail"}}),
            std::u16string(259, u'n'));
}

class SignatureCheckTest : public testing::EngineFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::MakeTestPki(pki_dir_.path(), "/CN=Example Signer", &pki_));
    testing::WriteMinimalPe(pki_dir_ / "plain.exe");
    ASSERT_TRUE(testing::SignPe(pki_, pki_dir_ / "plain.exe", pki_dir_ / "signed.exe"));
    StartEngine();
  }
  int AddEdition(int fileId, int timeStamp, const std::string& copy, bool signedImage,
                 const char* signature = nullptr) {
    std::filesystem::copy_file(pki_dir_ / (signedImage ? "signed.exe" : "plain.exe"),
                               store_ / "Backup" / copy);
    const std::string sql = "Insert Into Edition (FileID,TimeStamp,BackupName,Signature) Values (" +
                            std::to_string(fileId) + "," + std::to_string(timeStamp) + ",'" + copy +
                            "'," + (signature ? "'" + std::string(signature) + "'" : "NULL") + ")";
    EXPECT_EQ(sqlite3_exec(DbmConnect()->db(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    return static_cast<int>(sqlite3_last_insert_rowid(DbmConnect()->db()));
  }
  std::string Signatures() {
    std::string result;
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(DbmConnect()->db(), "Select BackupName, Signature From Edition Order By ID",
                       -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* signature = sqlite3_column_text(statement, 1);
      result += std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0))) +
                "=" + (signature ? reinterpret_cast<const char*>(signature) : "") + " ";
    }
    sqlite3_finalize(statement);
    return result;
  }

  testing::TempDir pki_dir_;
  testing::TestPki pki_;
};

TEST_F(SignatureCheckTest, EditionsOlderThanTheNewestSignedOneGo) {
  testing::ScopedTrustedRoots roots(pki_.rootCertificate);
  const int file = AddBackupFile(u"/apps/tool.exe");
  const int other = AddBackupFile(u"/apps/tool_exe");
  AddEdition(file, 100, "e0", false);
  AddEdition(file, 200, "e1", false);
  AddEdition(file, 300, "e2", true);
  AddEdition(file, 400, "e3", false);
  AddEdition(other, 50, "x0", false);  // another file: never pruned by tool.exe's walk
  SignatureCheckTask({});
  EXPECT_EQ(Signatures(), "e2=example signer e3=nosignature x0=nosignature ");
  EXPECT_FALSE(std::filesystem::exists(store_ / "Backup" / "e0"));
  EXPECT_FALSE(std::filesystem::exists(store_ / "Backup" / "e1"));
  EXPECT_TRUE(std::filesystem::exists(store_ / "Backup" / "e2"));

  // A later run: a new edition is checked, the recorded ones are not, and
  // anything older than the signed edition goes.
  std::filesystem::remove(store_ / "Backup" / "e2");  // never read again
  AddEdition(file, 500, "e4", false);
  AddEdition(file, 150, "late", false);
  SignatureCheckTask({});
  EXPECT_EQ(Signatures(), "e2=example signer e3=nosignature x0=nosignature e4=nosignature ");
}

TEST_F(SignatureCheckTest, RecordedValuesAreTrustedInAnyCase) {
  const int file = AddBackupFile(u"/apps/a.exe");
  AddEdition(file, 100, "old", false);
  AddEdition(file, 200, "unsigned", true, "noSignature");  // recorded unsigned: never re-verified
  AddEdition(file, 300, "hostile", false);
  sqlite3_exec(DbmConnect()->db(),
               "Update Edition Set BackupName = '../escape' Where TimeStamp = 300", nullptr,
               nullptr, nullptr);
  SignatureCheckTask({});
  EXPECT_EQ(Signatures(), "old=nosignature unsigned=noSignature ../escape=nosignature ");
  SignatureCheckTask([] { return true; });  // a stopped run changes nothing
  EXPECT_EQ(Signatures(), "old=nosignature unsigned=noSignature ../escape=nosignature ");
}

}  // namespace
}  // namespace orv
