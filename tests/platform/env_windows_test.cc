// The Windows backend of Env, through the contracts of env.h and path.h: what
// Windows adds (drives and shares, "\", letter case, paths past MAX_PATH,
// devices at file names, a lent handle's file pointer) is where it can go wrong.
#include <windows.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "platform/path.h"
#include "policy/environment_expansion.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace orv::testing {
namespace {

namespace fs = std::filesystem;

TEST(EnvWindowsTest, PathsAreDrivesOrSharesWithBackslashesAndNoStreamsOrDevices) {
  EXPECT_TRUE(IsPlainAbsolutePath(u"C:\\Users\\ann\\a.doc"));
  EXPECT_TRUE(IsPlainAbsolutePath(u"d:\\"));
  EXPECT_TRUE(IsPlainAbsolutePath(u"\\\\server\\share\\a.doc"));
  EXPECT_FALSE(IsPlainAbsolutePath(u"\\\\server"));  // no share
  EXPECT_FALSE(IsPlainAbsolutePath(u"C:a.doc"));     // relative to the drive's directory
  EXPECT_FALSE(IsPlainAbsolutePath(u"\\Users\\a.doc"));
  EXPECT_FALSE(IsPlainAbsolutePath(u"C:\\Users\\..\\Windows\\a.doc"));
  EXPECT_FALSE(IsPlainAbsolutePath(u"C:\\Users/../Windows/a.doc"));
  EXPECT_FALSE(IsPlainAbsolutePath(u"C:\\Users\\a.doc:hidden.exe"));  // a named stream
  EXPECT_FALSE(IsPlainAbsolutePath(u"\\\\?\\C:\\a.doc"));
  EXPECT_FALSE(IsPlainAbsolutePath(u"\\\\.\\PhysicalDrive0"));
  EXPECT_FALSE(IsPlainAbsolutePath(u"/home/ann/a.doc"));
  // Windows drops these from short paths only: the text would not be the file.
  EXPECT_FALSE(IsPlainAbsolutePath(u"C:\\Users\\a.txt."));
  EXPECT_FALSE(IsPlainAbsolutePath(u"C:\\Users \\a.txt"));

  EXPECT_EQ(ParentDirectory(u"C:\\store\\Backup"), u"C:\\store");
  EXPECT_EQ(ParentDirectory(u"C:\\Backup"), u"C:\\");
  EXPECT_EQ(JoinPath(u"C:\\", u"a"), u"C:\\a");
  EXPECT_EQ(JoinPath(u"C:\\store", u"a"), u"C:\\store\\a");

  // Letter case names the same file; other characters compare as they are.
  EXPECT_TRUE(SameFilePath(u"C:\\Docs\\A.DOC", u"c:\\docs\\a.doc"));
  EXPECT_FALSE(SameFilePath(u"C:\\docs\\a_doc", u"C:\\docs\\a.doc"));
  EXPECT_EQ(FilePathHash()(u"C:\\Docs\\A.DOC"), FilePathHash()(u"c:\\docs\\a.doc"));

  Env* env = Env::Default();
  EXPECT_EQ(env->AbsolutePath(u"C:\\a\\.\\b\\..\\c\\\\d\\"), u"C:\\a\\c\\d");
  EXPECT_EQ(env->AbsolutePath(u"C:/a/b/../c"), u"C:\\a\\c");
  EXPECT_EQ(env->AbsolutePath(u"C:\\.."), u"C:\\");
  EXPECT_EQ(env->AbsolutePath(u""), std::nullopt);
}

TEST(EnvWindowsTest, FilesPastMaxPathAndDevicesAtFileNames) {
  TempDir dir;
  Env* env = Env::Default();
  // 5 x 100 units: past MAX_PATH, which the plain calls stop at.
  std::u16string deep = env->AbsolutePath(dir.u16()).value();
  for (int i = 0; i < 5; ++i) deep += u"\\" + std::u16string(100, static_cast<char16_t>(u'a' + i));
  ASSERT_GT(deep.size(), 260u);
  ASSERT_TRUE(env->CreateDirectories(deep));
  ASSERT_TRUE(env->CreateDirectories(deep));  // already there
  const std::u16string file = deep + u"\\notes.txt";
  ASSERT_TRUE(env->CreatePrivateFile(file));
  {
    std::unique_ptr<AppendFile> out = env->OpenAppendText(file);
    ASSERT_NE(out, nullptr);
    ASSERT_TRUE(out->Append("first\n"));
    ASSERT_TRUE(out->Append("second\n"));
  }
  EXPECT_EQ(env->ReadSmallFile(file, 100), "first\nsecond\n");
  EXPECT_EQ(env->ReadSmallFile(file, 5), std::nullopt);  // larger than allowed
  EXPECT_EQ(env->GetFileSize(file), 13u);
  EXPECT_EQ(env->ProbeFile(file), Env::FileProbe::kReadableFile);
  const std::vector<DirectoryFile> listed = env->ListDirectoryFiles(deep);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, u"notes.txt");
  EXPECT_EQ(listed[0].size, 13u);
  EXPECT_NE(listed[0].creationTime, 0u);
  EXPECT_TRUE(env->RemoveFile(file));
  EXPECT_TRUE(env->RemoveFile(file));  // gone already
  EXPECT_EQ(env->ProbeFile(file), Env::FileProbe::kMissing);

  // A directory, and the console device that the name NUL reaches in every
  // directory, are not files: nothing reads or appends to them.
  EXPECT_EQ(env->ProbeFile(dir.u16()), Env::FileProbe::kNotAFile);
  const std::u16string device = dir.u16() + u"\\NUL";
  EXPECT_EQ(env->ProbeFile(device), Env::FileProbe::kNotAFile);
  EXPECT_EQ(env->OpenAppendText(device), nullptr);
  EXPECT_EQ(env->ReadSmallFile(device, 100), std::nullopt);
  EXPECT_EQ(env->OpenSequentialFile(dir.u16()), nullptr);
  EXPECT_FALSE(env->CreatePrivateFile(dir.u16()));
}

TEST(EnvWindowsTest, StagedCopiesAreWholeNeverReplaceAndLeaveNothingWhenDropped) {
  TempDir dir;
  Env* env = Env::Default();
  fs::create_directory(dir / "Backup");
  const std::u16string backup = dir.u16() + u"\\Backup";
  WriteFileText(dir / "a.doc", "old content");
  const Env::PartialName partial{u"partial-", u".tmp"};

  std::u16string failure;
  std::unique_ptr<StagedCopy> copy =
      env->StageCopy({dir.u16() + u"\\a.doc"}, backup, partial, &failure);
  ASSERT_NE(copy, nullptr) << std::string(failure.begin(), failure.end());
  EXPECT_EQ(copy->SourceState().size, 11u);
  EXPECT_EQ(copy->SourceState(), env->GetFileState(dir.u16() + u"\\a.doc"));
  WriteFileText(dir / "Backup" / "taken", "someone else's");
  EXPECT_EQ(copy->PublishAs(u"taken"), StagedCopy::PublishResult::kNameTaken);
  EXPECT_EQ(copy->PublishAs(u"TAKEN"), StagedCopy::PublishResult::kNameTaken);
  EXPECT_EQ(copy->PublishAs(u"a\\b"), StagedCopy::PublishResult::kFailed);
  EXPECT_EQ(copy->PublishAs(u"a.doc-1"), StagedCopy::PublishResult::kPublished);
  copy.reset();
  EXPECT_EQ(ReadFileText(dir / "Backup" / "a.doc-1"), "old content");
  EXPECT_EQ(ReadFileText(dir / "Backup" / "taken"), "someone else's");

  // Dropped unpublished: no partial file stays behind.
  copy = env->StageCopy({dir.u16() + u"\\a.doc"}, backup, partial, nullptr);
  ASSERT_NE(copy, nullptr);
  copy.reset();
  EXPECT_EQ(env->ListDirectory(backup).size(), 2u);

  // A source that is not a file, or missing, is no copy, and says why.
  EXPECT_EQ(env->StageCopy({dir.u16()}, backup, partial, &failure), nullptr);
  EXPECT_EQ(env->StageCopy({dir.u16() + u"\\missing"}, backup, partial, &failure), nullptr);
  EXPECT_FALSE(failure.empty());

  // A copy's name may be as long as the store allows, whatever the store's
  // path: the whole path is what reaches past MAX_PATH.
  const std::u16string longName(240, u'n');
  copy = env->StageCopy({dir.u16() + u"\\a.doc"}, backup, partial, &failure);
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->PublishAs(longName), StagedCopy::PublishResult::kPublished);
  copy.reset();
  EXPECT_EQ(env->ReadSmallFile(JoinPath(backup, longName), 100), "old content");
  ASSERT_TRUE(env->RemoveFile(JoinPath(backup, longName)));

  // A copy that fails half-way leaves no partial file: a handle lent without
  // read access cannot be read.
  const std::wstring sourcePath = (dir / "a.doc").wstring();
  HANDLE unreadable = ::CreateFileW(sourcePath.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(unreadable, INVALID_HANDLE_VALUE);
  Env::CopySource lentSource{u""};
  lentSource.lentHandle = reinterpret_cast<intptr_t>(unreadable);
  EXPECT_EQ(env->StageCopy(lentSource, backup, partial, &failure), nullptr);
  ::CloseHandle(unreadable);
  EXPECT_EQ(env->ListDirectory(backup).size(), 2u);
  // Invalid UTF-16 names no file.
  EXPECT_EQ(env->StageCopy({dir.u16() + u"\\a\xD800.doc"}, backup, partial, &failure), nullptr);
  EXPECT_EQ(failure, u"the path is not valid text");

  // Linked, not copied, when the caller promises the file changes no more: the
  // edition is the file itself under a second name.
  const std::u16string source = dir.u16() + u"\\a.doc";
  Env::CopySource linked{source};
  linked.mayLink = true;
  copy = env->StageCopy(linked, backup, partial, &failure);
  ASSERT_NE(copy, nullptr) << std::string(failure.begin(), failure.end());
  ASSERT_EQ(copy->PublishAs(u"a.doc-2"), StagedCopy::PublishResult::kPublished);
  EXPECT_EQ(ReadFileText(dir / "Backup" / "a.doc-2"), "old content");
}

TEST(EnvWindowsTest, ALentHandleIsReadAsItIsAndItsFilePointerPutBack) {
  TempDir dir;
  Env* env = Env::Default();
  fs::create_directory(dir / "Backup");
  WriteFileText(dir / "a.doc", "0123456789");
  const std::wstring path = (dir / "a.doc").wstring();
  HANDLE held = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  LARGE_INTEGER at{};
  at.QuadPart = 4;
  ASSERT_TRUE(::SetFilePointerEx(held, at, nullptr, FILE_BEGIN));
  // The name now reaches another file: the copy must not look at it.
  fs::rename(dir / "a.doc", dir / "moved.doc");
  WriteFileText(dir / "a.doc", "planted");

  const std::u16string name = dir.u16() + u"\\a.doc";
  Env::CopySource source{name};
  source.lentHandle = reinterpret_cast<intptr_t>(held);
  std::unique_ptr<StagedCopy> copy =
      env->StageCopy(source, dir.u16() + u"\\Backup", {u"p-", u".tmp"}, nullptr);
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->PublishAs(u"copy"), StagedCopy::PublishResult::kPublished);
  EXPECT_EQ(ReadFileText(dir / "Backup" / "copy"), "0123456789");
  LARGE_INTEGER now{};
  ASSERT_TRUE(::SetFilePointerEx(held, LARGE_INTEGER{}, &now, FILE_CURRENT));
  EXPECT_EQ(now.QuadPart, 4);
  ::CloseHandle(held);
}

TEST(EnvWindowsTest, AStoreIsLockedOnceWhateverPathReachesIt) {
  TempDir dir;
  Env* env = Env::Default();
  fs::create_directory(dir / "Backup");
  bool heldElsewhere = true;
  std::unique_ptr<DirectoryLock> first =
      env->TryLockDirectory(dir.u16() + u"\\Backup", &heldElsewhere);
  ASSERT_NE(first, nullptr);
  EXPECT_FALSE(heldElsewhere);
  EXPECT_EQ(env->TryLockDirectory(dir.u16() + u"\\BACKUP", &heldElsewhere), nullptr);
  EXPECT_TRUE(heldElsewhere);
  first.reset();
  EXPECT_NE(env->TryLockDirectory(dir.u16() + u"\\Backup", &heldElsewhere), nullptr);
  EXPECT_EQ(env->TryLockDirectory(dir.u16() + u"\\missing", &heldElsewhere), nullptr);
  EXPECT_FALSE(heldElsewhere);
}

TEST(EnvWindowsTest, TimesAndTheEnvironment) {
  Env* env = Env::Default();
  LocalTime day{2026, 12, 3, 9, 14, 30, 5, 0};
  LocalTime next = day;
  next.day = 10;
  const std::optional<int64_t> a = env->LocalTimeToEpochSeconds(day);
  const std::optional<int64_t> b = env->LocalTimeToEpochSeconds(next);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(*b - *a, 86400);
  LocalTime invalid = day;
  invalid.month = 2;
  invalid.day = 30;
  EXPECT_EQ(env->LocalTimeToEpochSeconds(invalid), std::nullopt);

  // The system's clock and the local time agree to within a day (time zones).
  const int64_t now =
      static_cast<int64_t>((env->GetSystemTime() - 116444736000000000ull) / 10000000);
  const std::optional<int64_t> local = env->LocalTimeToEpochSeconds(env->GetLocalTime());
  ASSERT_TRUE(local);
  EXPECT_LT(std::abs(*local - now), 86400);

  ASSERT_TRUE(::SetEnvironmentVariableW(L"ORV_TEST_VALUE", L"C:\\Users\\ann"));
  EXPECT_EQ(env->GetEnvironmentVariable(u"ORV_TEST_VALUE"), u"C:\\Users\\ann");
  EXPECT_EQ(env->GetEnvironmentVariable(u"orv_test_value"), u"C:\\Users\\ann");  // as Windows
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ORV_TEST_VALUE", nullptr));
  EXPECT_EQ(env->GetEnvironmentVariable(u"ORV_TEST_VALUE"), std::nullopt);
  EXPECT_EQ(env->GetEnvironmentVariable(u"A=B"), std::nullopt);

  // Policy values name the profile as Windows does, and expand as
  // ExpandEnvironmentStringsW would: names in any case, unset ones left, the
  // value never cut.
  const std::u16string profile = env->GetEnvironmentVariable(u"USERPROFILE").value_or(u"");
  ASSERT_FALSE(profile.empty());
  EXPECT_EQ(ExpandEnvironmentReferences(u"%userprofile%\\Documents\\", *env),
            profile + u"\\Documents\\");
  EXPECT_EQ(ExpandEnvironmentReferences(u"%ORV_NOT_SET%\\x", *env), u"%ORV_NOT_SET%\\x");
  const std::wstring longValue(600, L'v');
  ASSERT_TRUE(::SetEnvironmentVariableW(L"ORV_TEST_LONG", longValue.c_str()));
  EXPECT_EQ(ExpandEnvironmentReferences(u"%ORV_TEST_LONG%\\", *env).size(), 601u);
}

}  // namespace
}  // namespace orv::testing
