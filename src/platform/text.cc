#include "platform/text.h"

#include <utf8.h>

namespace orv {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Walks UTF-16 code points; an invalid unit is handed to onInvalid, which
// decides whether the walk goes on.
template <typename OnCodePoint, typename OnInvalid>
bool WalkUtf16(std::u16string_view in, OnCodePoint onCodePoint, OnInvalid onInvalid) {
  for (size_t i = 0; i < in.size(); ++i) {
    const char16_t unit = in[i];
    if (IsHighSurrogate(unit)) {
      if (i + 1 < in.size() && IsLowSurrogate(in[i + 1])) {
        const char32_t cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                            (static_cast<char32_t>(in[i + 1]) - 0xDC00);
        onCodePoint(cp);
        ++i;
        continue;
      }
      if (!onInvalid()) return false;
    } else if (IsLowSurrogate(unit)) {
      if (!onInvalid()) return false;
    } else {
      onCodePoint(static_cast<char32_t>(unit));
    }
  }
  return true;
}

}  // namespace

bool Utf16ToUtf8(std::u16string_view in, std::string* out) {
  out->clear();
  out->reserve(in.size());
  auto sink = std::back_inserter(*out);
  return WalkUtf16(
      in, [&](char32_t cp) { utf8::unchecked::append(cp, sink); }, [] { return false; });
}

std::string Utf16ToUtf8Lossy(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  auto sink = std::back_inserter(out);
  WalkUtf16(
      in, [&](char32_t cp) { utf8::unchecked::append(cp, sink); },
      [&] {
        utf8::unchecked::append(kReplacementCharacter, sink);
        return true;
      });
  return out;
}

bool Utf8ToUtf16(std::string_view in, std::u16string* out) {
  out->clear();
  if (!utf8::is_valid(in.begin(), in.end())) return false;
  out->reserve(in.size());
  utf8::unchecked::utf8to16(in.begin(), in.end(), std::back_inserter(*out));
  return true;
}

std::u16string Utf8ToUtf16Lossy(std::string_view in) {
  std::string valid;
  valid.reserve(in.size());
  utf8::replace_invalid(in.begin(), in.end(), std::back_inserter(valid), kReplacementCharacter);
  std::u16string out;
  out.reserve(valid.size());
  utf8::unchecked::utf8to16(valid.begin(), valid.end(), std::back_inserter(out));
  return out;
}

std::u16string Utf8ToUtf16OrEmpty(std::string_view in) {
  std::u16string out;
  if (!Utf8ToUtf16(in, &out)) out.clear();
  return out;
}

int AsciiCompareIgnoreCase(std::u16string_view a, std::u16string_view b) {
  const size_t common = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < common; ++i) {
    const int ca = AsciiToLower(a[i]);
    const int cb = AsciiToLower(b[i]);
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

size_t Utf16Length(const char16_t* s) { return std::char_traits<char16_t>::length(s); }

}  // namespace orv
