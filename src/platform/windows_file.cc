#include "platform/windows_file.h"

#include <algorithm>
#include <atomic>

#include "platform/module_hold.h"
#include "platform/path.h"
#include "platform/text.h"

namespace orv {
namespace {

// Symbolic links and junctions name another file; other reparse points are
// the file's own data kept elsewhere.
bool IsLinkTag(HANDLE file) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof(tag))) return true;
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsReparseTagNameSurrogate(tag.ReparseTag);
}

}  // namespace

bool ToWidePath(std::u16string_view path, std::wstring* wide) {
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) return false;
  // Invalid UTF-16 names no file: the catalog could not keep it as it is.
  std::string ignored;
  if (!Utf16ToUtf8(path, &ignored)) return false;
  wide->clear();
  // CreateDirectoryW stops at 248 units, the other calls at MAX_PATH; the
  // prefix turns off the system's folding of the name, so only plain paths
  // (nothing left to fold) get it.
  if (path.size() >= 248 && IsPlainAbsolutePath(path)) {
    if (path[0] == kPathSeparator) {
      wide->assign(L"\\\\?\\UNC");
      path.remove_prefix(1);
    } else {
      wide->assign(L"\\\\?\\");
    }
  }
  wide->append(reinterpret_cast<const wchar_t*>(path.data()), path.size());
  return true;
}

int64_t ReadFileAt(HANDLE file, uint64_t offset, char* buffer, size_t length) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD read = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
  if (!::ReadFile(file, buffer, want, &read, &at)) {
    return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  }
  return read;
}

bool WriteFileAll(HANDLE file, const char* data, size_t length) {
  while (length > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    length -= written;
  }
  return true;
}

std::string ErrorText(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message;
  if (length > 0 && text != nullptr) message = FromWide(std::wstring_view(text, length));
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' ||
                              message.back() == u' ' || message.back() == u'.')) {
    message.pop_back();
  }
  if (message.empty()) return "error " + std::to_string(error);
  return Utf16ToUtf8Lossy(message);
}

UniqueHandle OpenNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                          DWORD flags) {
  // Backup semantics: a directory opens too (and is then refused as not a
  // file) instead of failing with "access denied".
  UniqueHandle file(::CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                  flags | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
  if (!file.valid()) return file;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(file.get(), &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !IsLinkTag(file.get())) {
    file.reset(::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                             flags | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  }
  return file;
}

bool IsRegularFile(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileInformationByHandle(file, info)) {
    return false;
  }
  if ((info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  return (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || !IsLinkTag(file);
}

bool StateOfHandle(HANDLE file, FileState* state) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return false;
  state->device = info.dwVolumeSerialNumber;
  state->inode = Join64(info.nFileIndexHigh, info.nFileIndexLow);
  state->size = Join64(info.nFileSizeHigh, info.nFileSizeLow);
  state->modification = FromFileTime(info.ftLastWriteTime);
  FILE_BASIC_INFO basic{};
  state->change = ::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof(basic)) &&
                          basic.ChangeTime.QuadPart != 0
                      ? static_cast<uint64_t>(basic.ChangeTime.QuadPart)
                      : state->modification;
  return true;
}

namespace {

// The library's own reference while held; trivially destroyed, so nothing
// frees it at unload.
std::atomic<HMODULE> g_heldModule{nullptr};
const char g_anchor = 0;  // any address inside this library
std::atomic<bool> g_processEnding{false};

}  // namespace

void HoldThisModule() {
  HMODULE self = nullptr;
  if (g_heldModule.load() != nullptr ||
      !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&g_anchor), &self)) {
    return;
  }
  HMODULE none = nullptr;
  if (!g_heldModule.compare_exchange_strong(none, self)) ::FreeLibrary(self);
}

void ReleaseThisModule() {
  if (HMODULE held = g_heldModule.exchange(nullptr)) ::FreeLibrary(held);
}

bool ProcessIsEnding() { return g_processEnding.load(); }

void NoteProcessEnding() { g_processEnding.store(true); }

}  // namespace orv
