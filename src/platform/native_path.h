// Conversion of engine paths to the UTF-8 byte strings Linux system calls take.
// Platform-internal.
#ifndef ORV_PLATFORM_NATIVE_PATH_H_
#define ORV_PLATFORM_NATIVE_PATH_H_

#include <string>
#include <string_view>

namespace orv {

// False for a path no file can have: empty, invalid UTF-16, or holding a 0.
bool ToNativePath(std::u16string_view path, std::string* native);

}  // namespace orv

#endif  // ORV_PLATFORM_NATIVE_PATH_H_
