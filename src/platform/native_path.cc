#include "platform/native_path.h"

#include "platform/text.h"

namespace orv {

bool ToNativePath(std::u16string_view path, std::string* native) {
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) return false;
  return Utf16ToFileName(path, native);
}

}  // namespace orv
