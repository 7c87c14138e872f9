#include "platform/snapshot_copy_windows.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/path.h"

namespace orv {
namespace {

class WindowsStagedCopy final : public StagedCopy {
 public:
  // partialPath: the copy's temporary name; it is removed unless published.
  WindowsStagedCopy(std::u16string directory, std::wstring partialPath, const FileState& source)
      : directory_(std::move(directory)), partialPath_(std::move(partialPath)), source_(source) {}

  ~WindowsStagedCopy() override {
    if (!partialPath_.empty()) ::DeleteFileW(partialPath_.c_str());
  }

  FileState SourceState() const override { return source_; }

  PublishResult PublishAs(const std::u16string& name) override {
    if (!IsPlainFileName(name)) return PublishResult::kFailed;
    std::wstring target;
    if (!ToWidePath(JoinPath(directory_, name), &target)) return PublishResult::kFailed;
    // Without MOVEFILE_REPLACE_EXISTING: an existing copy keeps its name.
    // Written through: a row committed after this names a copy on the disk.
    if (!::MoveFileExW(partialPath_.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
      const DWORD error = ::GetLastError();
      return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PublishResult::kNameTaken
                                                                         : PublishResult::kFailed;
    }
    partialPath_.clear();
    return PublishResult::kPublished;
  }

 private:
  std::u16string directory_;
  std::wstring partialPath_;
  FileState source_;
};

// Creates a new file under a partial name, prefix + "<pid>-<n>" + suffix, by
// make (which fails with ERROR_FILE_EXISTS or ERROR_ALREADY_EXISTS when the name
// is taken). The path it succeeded with, or empty.
template <typename Make>
std::wstring UnderPartialName(const std::u16string& directory, const std::u16string& prefix,
                              const std::u16string& suffix, Make make) {
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string number =
        std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
    // Joined whole before it is converted: a long store's names keep the
    // long-path prefix.
    std::wstring path;
    if (!ToWidePath(
            JoinPath(directory, prefix + std::u16string(number.begin(), number.end()) + suffix),
            &path)) {
      ::SetLastError(ERROR_INVALID_NAME);
      return {};
    }
    if (make(path)) return path;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  return {};
}

// Copies input's first size bytes (its size when opened: a file that keeps
// growing must not keep the copy going) to output, and makes them durable. A
// source that shrank meanwhile gives the shorter copy.
bool CopyContent(HANDLE input, HANDLE output, uint64_t size, std::string* failure) {
  std::vector<char> buffer(1 << 16);
  uint64_t done = 0;
  while (done < size) {
    const DWORD want = static_cast<DWORD>(std::min<uint64_t>(size - done, buffer.size()));
    const int64_t read = ReadFileAt(input, done, buffer.data(), want);
    if (read < 0) {
      *failure = "source: " + ErrorText(::GetLastError());
      return false;
    }
    if (read == 0) break;
    if (!WriteFileAll(output, buffer.data(), static_cast<size_t>(read))) {
      *failure = "copy: " + ErrorText(::GetLastError());
      return false;
    }
    done += static_cast<uint64_t>(read);
  }
  if (!::FlushFileBuffers(output)) {
    *failure = "copy: " + ErrorText(::GetLastError());
    return false;
  }
  return true;
}

// The source itself under a second (partial) name, when that is as good as a
// copy: the caller promised nothing changes it, nothing else can (no other
// name), and it lies on the directory's volume. Null otherwise, or when the
// system refuses: the caller then copies.
std::unique_ptr<StagedCopy> StageLink(const std::wstring& source, HANDLE input,
                                      const BY_HANDLE_FILE_INFORMATION& opened,
                                      const FileState& state, const std::u16string& directory,
                                      const std::u16string& prefix, const std::u16string& suffix) {
  if (opened.nNumberOfLinks != 1) return nullptr;
  std::wstring wideDirectory;
  if (!ToWidePath(directory, &wideDirectory)) return nullptr;
  UniqueHandle dir(::CreateFileW(wideDirectory.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION where{};
  if (!dir.valid() || !::GetFileInformationByHandle(dir.get(), &where) ||
      where.dwVolumeSerialNumber != opened.dwVolumeSerialNumber) {
    return nullptr;
  }
  const std::wstring partial =
      UnderPartialName(directory, prefix, suffix, [&](const std::wstring& path) {
        return ::CreateHardLinkW(path.c_str(), source.c_str(), nullptr) != 0;
      });
  if (partial.empty()) return nullptr;
  auto staged = std::make_unique<WindowsStagedCopy>(directory, partial, state);
  // The link is made by name: it must reach the file that was opened and looked
  // at, and no third name may have appeared meanwhile.
  UniqueHandle linked(
      ::CreateFileW(partial.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION now{};
  BY_HANDLE_FILE_INFORMATION linkedInfo{};
  if (!linked.valid() || !::GetFileInformationByHandle(linked.get(), &linkedInfo) ||
      !::GetFileInformationByHandle(input, &now) || now.nNumberOfLinks != 2 ||
      linkedInfo.dwVolumeSerialNumber != now.dwVolumeSerialNumber ||
      linkedInfo.nFileIndexHigh != now.nFileIndexHigh ||
      linkedInfo.nFileIndexLow != now.nFileIndexLow) {
    return nullptr;  // the staged copy removes the partial name
  }
  return staged;
}

std::unique_ptr<StagedCopy> StageFrom(HANDLE input, const FileState& state,
                                      const std::u16string& directory, const std::u16string& prefix,
                                      const std::u16string& suffix, std::string* failure) {
  UniqueHandle output;
  const std::wstring partial =
      UnderPartialName(directory, prefix, suffix, [&](const std::wstring& path) {
        output.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        return output.valid();
      });
  if (partial.empty()) {
    *failure = "copy: " + ErrorText(::GetLastError());
    return nullptr;
  }
  // From here on the staged copy owns the partial name and removes it on failure.
  auto staged = std::make_unique<WindowsStagedCopy>(directory, partial, state);
  if (!CopyContent(input, output.get(), state.size, failure)) {
    output.reset();  // an open handle would keep the partial file from going
    return nullptr;
  }
  // Closed before it is renamed: an open handle without delete sharing
  // would make the rename fail.
  output.reset();
  return staged;
}

}  // namespace

std::unique_ptr<StagedCopy> StageCopyWindows(const std::wstring& source, HANDLE lent, bool mayLink,
                                             const std::u16string& directory,
                                             const std::u16string& partialPrefix,
                                             const std::u16string& partialSuffix,
                                             std::string* failure) {
  UniqueHandle opened;
  HANDLE input = lent;
  if (input == nullptr) {
    opened = OpenNoFollow(source, GENERIC_READ, kShareAll, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!opened.valid()) {
      *failure = "source: " + ErrorText(::GetLastError());
      return nullptr;
    }
    input = opened.get();
  }
  BY_HANDLE_FILE_INFORMATION info{};
  FileState state;
  if (!IsRegularFile(input, &info) || !StateOfHandle(input, &state)) {
    *failure = "source: not a regular file";
    return nullptr;
  }
  if (mayLink && lent == nullptr) {
    if (std::unique_ptr<StagedCopy> link =
            StageLink(source, input, info, state, directory, partialPrefix, partialSuffix)) {
      return link;
    }
  }
  // Reads at an offset move a synchronous handle's file pointer: the host's
  // own reads must find it where they left it.
  LARGE_INTEGER pointer{};
  const bool keepPointer =
      lent != nullptr && ::SetFilePointerEx(lent, LARGE_INTEGER{}, &pointer, FILE_CURRENT);
  std::unique_ptr<StagedCopy> copy =
      StageFrom(input, state, directory, partialPrefix, partialSuffix, failure);
  if (keepPointer) ::SetFilePointerEx(lent, pointer, nullptr, FILE_BEGIN);
  return copy;
}

}  // namespace orv
