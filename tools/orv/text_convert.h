// UTF-8 (the terminal's and the file system's) to and from the engine's UTF-16.
#ifndef ORV_TOOLS_ORV_TEXT_CONVERT_H_
#define ORV_TOOLS_ORV_TEXT_CONVERT_H_

#include <utf8.h>

#include <string>
#include <string_view>

namespace orv::tool {

// Invalid UTF-8 becomes U+FFFD.
inline std::u16string ToUtf16(std::string_view text) {
  std::string valid;
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
  std::u16string result;
  utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(result));
  return result;
}

// Invalid UTF-16 (a lone surrogate) becomes U+FFFD.
inline std::string ToUtf8(std::u16string_view text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    utf8::append(cp, std::back_inserter(result));
  }
  return result;
}

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_TEXT_CONVERT_H_
