// Keywords of policy documents, compared in their UTF-8 text with ASCII case
// ignored: bytes outside ASCII never equal a keyword, so no conversion is needed.
#ifndef ORV_POLICY_ASCII_KEYWORD_H_
#define ORV_POLICY_ASCII_KEYWORD_H_

#include <string_view>

namespace orv {

constexpr bool IsKeyword(std::string_view text, std::string_view keyword) {
  if (text.size() != keyword.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char a = text[i], b = keyword[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace orv

#endif  // ORV_POLICY_ASCII_KEYWORD_H_
