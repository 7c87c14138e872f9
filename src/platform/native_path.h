// Conversion of engine paths to the byte strings Linux system calls take (see
// FileNameToUtf16 for how bytes that are not UTF-8 are spelled). Platform-internal.
#ifndef ORV_PLATFORM_NATIVE_PATH_H_
#define ORV_PLATFORM_NATIVE_PATH_H_

#include <string>
#include <string_view>

namespace orv {

// False for a path no file can have: empty, holding a 0, or text that
// Utf16ToFileName refuses.
bool ToNativePath(std::u16string_view path, std::string* native);

}  // namespace orv

#endif  // ORV_PLATFORM_NATIVE_PATH_H_
