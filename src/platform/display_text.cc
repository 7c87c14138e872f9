#include "platform/display_text.h"

#include <cstdint>

namespace orv {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendHex(std::string* out, uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out->push_back(kHex[(value >> shift) & 0xF]);
}

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// One valid code point, escaped when it is a control or a backslash.
void AppendCodePoint(std::string* out, char32_t cp) {
  switch (cp) {
    case U'\\':
      *out += "\\\\";
      return;
    case U'\n':
      *out += "\\n";
      return;
    case U'\r':
      *out += "\\r";
      return;
    case U'\t':
      *out += "\\t";
      return;
    default:
      break;
  }
  if (cp < 0x20 || cp == 0x7F) {
    *out += "\\x";
    AppendHex(out, cp, 2);
  } else if (cp >= 0x80 && cp <= 0x9F) {
    // Not \xHH: that stands for an invalid byte of the same value.
    *out += "\\u";
    AppendHex(out, cp, 4);
  } else {
    AppendUtf8(out, cp);
  }
}

// The length of the valid UTF-8 sequence at the start of bytes, its code point
// in *cp; 0 when the first byte does not start one (overlong forms, encoded
// surrogates, values past U+10FFFF and truncated sequences included).
size_t DecodeUtf8(std::string_view bytes, char32_t* cp) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) {
    *cp = lead;
    return 1;
  }
  size_t length = 0;
  char32_t value = 0, minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *cp = value;
  return length;
}

}  // namespace

std::string DisplayText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t cp = 0;
    size_t length = DecodeUtf8(bytes, &cp);
    if (length == 0) {
      out += "\\x";
      AppendHex(&out, static_cast<uint8_t>(bytes[0]), 2);
      length = 1;
    } else {
      AppendCodePoint(&out, cp);
    }
    bytes.remove_prefix(length);
  }
  return out;
}

std::string DisplayText(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      AppendCodePoint(&out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                                (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += "\\u";
      AppendHex(&out, unit, 4);
    } else {
      AppendCodePoint(&out, unit);
    }
  }
  return out;
}

}  // namespace orv
