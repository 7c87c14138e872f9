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

constexpr char16_t kFirstEscapedByte = 0xDC80;
constexpr char16_t kLastEscapedByte = 0xDCFF;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at in[at] (0 if there is none) and
// its code point. With allowSurrogates, ED A0..BF xx is taken for the
// surrogate it spells.
size_t SequenceAt(std::string_view in, size_t at, bool allowSurrogates, char32_t* cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(in[at + k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED && !allowSurrogates) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (in.size() - at < length || byte(1) < low || byte(1) > high) return 0;
  char32_t value = lead & (0xFF >> (length + 1));
  for (size_t k = 1; k < length; ++k) {
    if (!IsContinuation(byte(k))) return 0;
    value = (value << 6) | (byte(k) & 0x3F);
  }
  *cp = value;
  return length;
}

void AppendUtf16(char32_t cp, std::u16string* out) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    out->push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  }
}

// Appends the 3-byte form of a lone surrogate, as UTF-8 would any other BMP
// value (which utf8cpp refuses to do for a surrogate).
void AppendSurrogateForm(char16_t unit, std::string* out) {
  out->push_back(static_cast<char>(0xE0 | (unit >> 12)));
  out->push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
  out->push_back(static_cast<char>(0x80 | (unit & 0x3F)));
}

}  // namespace

std::u16string FileNameToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (size_t at = 0; at < bytes.size();) {
    char32_t cp = 0;
    if (const size_t length = SequenceAt(bytes, at, false, &cp); length != 0) {
      AppendUtf16(cp, &out);
      at += length;
    } else {
      out.push_back(
          static_cast<char16_t>(kFirstEscapedByte - 0x80 + static_cast<unsigned char>(bytes[at])));
      ++at;
    }
  }
  return out;
}

bool Utf16ToFileName(std::u16string_view in, std::string* out) {
  out->clear();
  out->reserve(in.size());
  auto sink = std::back_inserter(*out);
  size_t at = 0;
  const bool converted = WalkUtf16(
      in,
      [&](char32_t cp) {
        utf8::unchecked::append(cp, sink);
        at += cp < 0x10000 ? 1 : 2;
      },
      [&] {
        const char16_t unit = in[at++];
        if (unit < kFirstEscapedByte || unit > kLastEscapedByte) return false;
        out->push_back(static_cast<char>(unit - kFirstEscapedByte + 0x80));
        return true;
      });
  // Escaped bytes may join into valid UTF-8 (U+DCC3 U+DCA9 gives the bytes of
  // "é"): only text that decodes back to itself names these bytes alone.
  return converted && FileNameToUtf16(*out) == in;
}

std::string Utf16ToWtf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  auto sink = std::back_inserter(out);
  size_t at = 0;
  WalkUtf16(
      in,
      [&](char32_t cp) {
        utf8::unchecked::append(cp, sink);
        at += cp < 0x10000 ? 1 : 2;
      },
      [&] {
        AppendSurrogateForm(in[at++], &out);
        return true;
      });
  return out;
}

bool Wtf8ToUtf16(std::string_view in, std::u16string* out) {
  out->clear();
  out->reserve(in.size());
  for (size_t at = 0; at < in.size();) {
    char32_t cp = 0;
    const size_t length = SequenceAt(in, at, true, &cp);
    if (length == 0) return false;
    AppendUtf16(cp, out);
    at += length;
  }
  // Two 3-byte forms of a high and a low surrogate decode to a pair, which is
  // written otherwise.
  return Utf16ToWtf8(*out) == in;
}

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
