// Names and paths made safe to print on a terminal or in a line-oriented
// listing. A file name may hold anything but "/" and 0: a line end would forge
// a listing line, an escape sequence would drive the terminal, and bytes that
// are not UTF-8 would be shown as something else. Shared by the engine's
// standard-output lines and the orv tool (and its daemon).
//
// The escapes, each starting with a backslash, which is itself written "\\":
//   \n \r \t         line feed, carriage return, tab
//   \xHH             any other C0 control or DEL (HH below 80), or a byte that
//                    is not part of valid UTF-8 (HH from 80 to ff)
//   \u00HH           a C1 control (U+0080 to U+009F)
//   \uHHHH           a UTF-16 surrogate without its pair (UTF-16 text only)
// Hex digits are lower case. Everything else, valid UTF-8 included, is kept.
#ifndef ORV_COMMON_DISPLAY_TEXT_H_
#define ORV_COMMON_DISPLAY_TEXT_H_

#include <string>
#include <string_view>

namespace orv {

// bytes (UTF-8 or not) with every control character, backslash and invalid
// byte escaped as above. Never fails; the result is valid UTF-8 without any
// control character.
std::string DisplayText(std::string_view bytes);

// text as UTF-8 with the same escapes; an unpaired surrogate is \uHHHH.
std::string DisplayText(std::u16string_view text);

}  // namespace orv

#endif  // ORV_COMMON_DISPLAY_TEXT_H_
