#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <string>

#include <gtest/gtest.h>

#include "capture/backup_module.h"
#include "engine/lifecycle.h"
#include "engine/result_codes.h"
#include "policy/xml_pattern.h"
#include "support/engine_config.h"
#include "support/fake_env.h"
#include "support/files.h"
#include "support/paths.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using testing::TempDir;
using testing::WriteFileText;

// The verdict for a path written with "/", given in the platform's form.
PolicyAction Verdict(const CFilterKit& kit, std::u16string_view slashed) {
  const std::u16string path = testing::EnginePath(slashed);
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.FilePath = path.c_str();
  return kit.Evaluate(record);
}

// A location or file name value of a document, in the platform's form.
std::string Value(std::string_view slashed) { return testing::EnginePath(slashed); }

// A document with one group holding the given filter elements.
std::string Document(const std::string& filters) {
  return "<?xml version=\"1.0\"?>\n<policy><group>" + filters + "</group></policy>";
}

class PolicyDocumentsTest : public ::testing::Test {
 protected:
  void Write(const char* name, const std::string& text) { WriteFileText(dir_ / name, text); }
  uint32_t Load() {
    module_.SetPolicyDirectory(dir_.u16());
    return module_.Start();
  }
  const CFilterKit& kit() const { return module_.policyKit(); }

  TempDir dir_;
  CBackupModule module_;
};

TEST_F(PolicyDocumentsTest, WorkedExampleFromDocumentsToVerdicts) {
  Write("lpolicy.xml", Document(R"(
      <f name="Location" type="Object" hitaction="Backup" missaction="Next"><v value=")" +
                                Value("/Data/") + R"("/></f>
      <f name="Extension" type="Object" hitaction="Ignore" missaction="Next"><v value="tmp"/></f>)"));
  Write("spolicy.xml", Document(R"(
      <f name="BaseName" type="Subject" hitaction="Backup" missaction="Ignore">
        <v value="notes.txt"/></f>)"));
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(kit().size(), 3u);
  EXPECT_EQ(Verdict(kit(), u"/Data/x.tmp"), PolicyAction::Ignore);
  EXPECT_EQ(Verdict(kit(), u"/Data/x.doc"), PolicyAction::Backup);
  EXPECT_EQ(Verdict(kit(), u"/d/notes.txt"), PolicyAction::Backup);
  EXPECT_EQ(Verdict(kit(), u"/d/other.txt"), PolicyAction::Ignore);
}

TEST_F(PolicyDocumentsTest, WalkOrderIsKindThenTypeThenHitActionThenLoadOrder) {
  // Each filter hits every path under "/"; the verdict names the first consulted.
  // Later documents and later elements come first in the text, to show that
  // the order key, not the text, decides.
  Write("spolicy.xml", Document(R"(
      <f name="Extension" type="Object" hitaction="Backup"><v v="x"/></f>)"));
  Write("lpolicy.xml", Document(R"(
      <f name="BaseName" type="None" hitaction="Ignore"><v v="a.x"/></f>
      <f name="Location" type="Subject" hitaction="Ignore"><v v=")" +
                                Value("/") + R"("/></f>
      <f name="Location" type="Object" hitaction="Next" missaction="Next"><v v=")" +
                                Value("/") + R"("/></f>
      <f name="Extension" type="Object" hitaction="Ignore" missaction="Next"><v v="y"/></f>)"));
  ASSERT_EQ(Load(), ENG_OK);
  // Extension (kind 1) first: key 111 (y, misses) then 112 from spolicy.xml.
  EXPECT_EQ(Verdict(kit(), u"/a.x"), PolicyAction::Backup);
  EXPECT_EQ(Verdict(kit(), u"/a.y"), PolicyAction::Ignore);
  // No extension: 112 answers its miss action None. Without a dot at all the
  // extension filters miss too, and None is decisive.
  EXPECT_EQ(Verdict(kit(), u"/a"), PolicyAction::None);
}

TEST_F(PolicyDocumentsTest, EqualKeysAreConsultedInLoadOrderAcrossDocuments) {
  Write("gpolicy.xml", Document(R"(
      <f name="FileName" type="Object" hitaction="Backup" missaction="Next"><v v=")" +
                                Value("/a") + R"("/></f>)"));
  Write("rpolicy.xml", Document(R"(
      <f name="Location" type="Object" hitaction="Backup" missaction="Ignore"><v v=")" +
                                Value("/b") + R"("/></f>)"));
  ASSERT_EQ(Load(), ENG_OK);
  // The location filter of rpolicy.xml comes first and decides for "/a" too.
  EXPECT_EQ(Verdict(kit(), u"/a"), PolicyAction::Ignore);
  EXPECT_EQ(Verdict(kit(), u"/b"), PolicyAction::Backup);
}

TEST_F(PolicyDocumentsTest, AttributesAreReadAsThePolicyLanguageSays) {
  Write("lpolicy.xml", R"(<a><b>
      <c NAME="extension" HitAction="backup" MISSACTION="NEXT" colour="red">
        <d first="doc" second="ignored"/>
        <d/>
        <d empty=""/>
        <d><deeper v="never read"/></d>
      </c>
      <c name="MaxFileSize" hitaction="Ignore" missaction="Ignore"><d v="1000"/></c>
      <c name="Extension" name2="Location" hitaction="Unknown" missaction="Next"><d v="odt"/></c>
      <c hitaction="Backup"><d v="pdf"/></c>
    </b></a>)");
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(kit().size(), 2u) << "MaxFileSize and a missing name make no filter";
  EXPECT_EQ(Verdict(kit(), u"/r.doc"), PolicyAction::Backup);
  EXPECT_EQ(Verdict(kit(), u"/r.ignored"), PolicyAction::Next) << "only the first attribute";
  EXPECT_EQ(Verdict(kit(), u"/r."), PolicyAction::Backup) << "an empty value is a value";
  EXPECT_EQ(Verdict(kit(), u"/r.odt"), PolicyAction::None) << "unknown hit action is None";
  EXPECT_EQ(Verdict(kit(), u"/r.pdf"), PolicyAction::Next);
}

TEST_F(PolicyDocumentsTest, OnlyDepthMattersAndAFilterUnderTheRootIsAGroup) {
  Write("lpolicy.xml", R"(<x>
      <f name="Extension" hitaction="Backup" missaction="Next"><v v="a"/></f>
      <y><z name="Extension" hitaction="Ignore" missaction="Next"><w v="b"/></z></y>
    </x>
    <second><g><f name="Extension" hitaction="Backup"><v v="c"/></f></g></second>)");
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(Verdict(kit(), u"/f.c"), PolicyAction::Next) << "only the first top-level element";
  EXPECT_EQ(kit().size(), 1u) << "the <v> under <f> is read as a nameless filter";
  EXPECT_EQ(Verdict(kit(), u"/f.b"), PolicyAction::Ignore);
  EXPECT_EQ(Verdict(kit(), u"/f.a"), PolicyAction::Next);
}

TEST_F(PolicyDocumentsTest, AFilterWithoutValuesStillCountsAsAPolicy) {
  Write("rpolicy.xml", Document(R"(<f name="Location" hitaction="Backup" missaction="Ignore"/>)"));
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(Verdict(kit(), u"/anything"), PolicyAction::Ignore);
}

TEST_F(PolicyDocumentsTest, NoDocumentsOrNoDirectoryMeansNoPolicy) {
  EXPECT_EQ(Load(), ENG_E_NO_POLICY);
  Write("lpolicy.xml", "<policy/>");
  EXPECT_EQ(Load(), ENG_E_NO_POLICY) << "a document without groups adds nothing";

  // An empty policy directory never reads documents from the root directory.
  testing::FakeEnv env;
  testing::ScopedEnv scoped(&env);
  CBackupModule module;
  EXPECT_EQ(module.Start(), ENG_E_NO_POLICY);
}

TEST_F(PolicyDocumentsTest, HostileDocumentsAddNothingAndNeverHang) {
  const std::string good = Document(R"(<f name="Extension" hitaction="Backup"><v v="ok"/></f>)");
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<e>";
  std::string many = "<p><g>";
  for (int i = 0; i < 1000000; ++i) many += "<f/>";
  many += "</g></p>";
  const std::pair<const char*, std::string> bad[] = {
      {"empty", ""},
      {"not XML", "\x01\x02\xff garbage"},
      {"unclosed", "<policy><group><f name=\"Extension\" hitaction=\"Backup\"><v v=\"x\"/>"},
      {"deep nesting", deep},
      {"attribute without value", "<p><g><f name hitaction=\"Backup\"/></g></p>"},
      {"external entity",
       "<!DOCTYPE p [<!ENTITY x SYSTEM \"/etc/passwd\">]><p><g>"
       "<f name=\"Extension\" hitaction=\"Backup\" missaction=\"Next\"><v v=\"&x;\"/>"
       "</f></g></p>"},
  };
  for (const auto& [what, text] : bad) {
    Write("lpolicy.xml", text);
    Write("rpolicy.xml", good);
    const uint32_t result = Load();
    EXPECT_EQ(result, ENG_OK) << what;
    // Only rpolicy.xml's filter, or (for the entity) a filter with a literal value.
    EXPECT_LE(kit().size(), 2u) << what;
    EXPECT_EQ(Verdict(kit(), u"/a.ok"), PolicyAction::Backup) << what;
  }

  Write("lpolicy.xml", many);
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(kit().size(), 1u) << "a million nameless filter elements add nothing";

  // Values that are not UTF-8 are skipped; the rest of the filter stays.
  Write(
      "lpolicy.xml",
      Document("<f name=\"Extension\" hitaction=\"Ignore\"><v v=\"\xC0\xAF\"/><v v=\"tmp\"/></f>"));
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(Verdict(kit(), u"/a.tmp"), PolicyAction::Ignore);
}

TEST_F(PolicyDocumentsTest, DocumentsThatAreNotSmallRegularFilesAreNotRead) {
  const std::string good = Document(R"(<f name="Extension" hitaction="Backup"><v v="ok"/></f>)");
  Write("rpolicy.xml", good);
#ifndef _WIN32  // FIFOs and symbolic links made by users are Linux cases
  ASSERT_EQ(::mkfifo((dir_ / "lpolicy.xml").c_str(), 0600), 0);          // would block a reader
  std::filesystem::create_symlink("spolicy.xml", dir_ / "spolicy.xml");  // a loop
#endif
  std::filesystem::create_directory(dir_ / "gpolicy.xml");
  ASSERT_EQ(Load(), ENG_OK);
  EXPECT_EQ(kit().size(), 1u);

  // Past the size limit: not read at all, even though it is well formed.
  std::filesystem::remove(dir_ / "rpolicy.xml");
  std::string big = good;
  big.insert(big.size() - std::string("</group></policy>").size(),
             "<!--" + std::string(kMaxPolicyDocumentBytes, ' ') + "-->");
  Write("rpolicy.xml", big);
  EXPECT_EQ(Load(), ENG_E_NO_POLICY);
}

TEST(PolicyRestartTest, EachStartReloadsThePolicyFromScratch) {
  TempDir dir;
  WriteFileText(dir / "lpolicy.xml",
                Document(R"(<f name="Extension" hitaction="Backup"><v v="doc"/></f>)"));
  ASSERT_EQ(testing::SetStringItem(CONFIG_POLICY_DIRECTORY, dir.u16()), ENG_OK);
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  EXPECT_EQ(TheBackupModule().policyKit().size(), 1u);
  ASSERT_EQ(EngineStop(), ENG_OK);
  ASSERT_EQ(EngineFinalize(), ENG_OK);

  std::filesystem::remove(dir / "lpolicy.xml");
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  ASSERT_EQ(EngineStart(), ENG_OK);
  EXPECT_EQ(TheBackupModule().policyKit().size(), 0u) << "old rules are not kept";
  ASSERT_EQ(EngineStop(), ENG_OK);
}

}  // namespace
}  // namespace orv
