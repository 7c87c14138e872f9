// UTF-16 text helpers shared by the whole engine: conversion to and from the
// UTF-8 the operating system speaks, and the ASCII-only case folding that the
// policy language uses.
#ifndef ORV_PLATFORM_TEXT_H_
#define ORV_PLATFORM_TEXT_H_

#include <string>
#include <string_view>

namespace orv {

// Strict conversions fail on invalid input: what the engine stores, compares or
// hands to the OS must be exactly what it was given. Lossy ones replace what is
// invalid with U+FFFD and never fail: only where a changed text does no harm
// (log lines, what the tool shows, what it is told on its command line).

// Converts UTF-16 to UTF-8. Strict: fails (returning false, *out unspecified) on
// invalid UTF-16 such as a lone surrogate.
bool Utf16ToUtf8(std::u16string_view in, std::string* out);

// Converts UTF-16 to UTF-8. Lossy: each unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view in);

// Converts UTF-8 to UTF-16. Strict: fails (returning false, *out unspecified)
// on malformed UTF-8 (overlong forms, encoded surrogates, truncated sequences).
bool Utf8ToUtf16(std::string_view in, std::u16string* out);

// Converts UTF-8 to UTF-16. Lossy: each malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16Lossy(std::string_view in);

// File names on Linux are bytes, not text. FileNameToUtf16 decodes valid UTF-8
// as usual and turns each byte of what is not valid UTF-8 into the lone
// surrogate U+DC80 + byte (0x80..0xFF; a byte below 0x80 is always valid).
// Valid UTF-8 never decodes to a lone surrogate, so no two byte strings give
// the same text. Never fails.
std::u16string FileNameToUtf16(std::string_view bytes);

// The inverse of FileNameToUtf16: false (*out unspecified) for text that is not
// the image of any byte string: a lone surrogate outside U+DC80..U+DCFF, or
// escaped bytes that together would form valid UTF-8 (that name is spelled
// with the decoded characters instead).
bool Utf16ToFileName(std::u16string_view in, std::string* out);

// Generalised UTF-8 for text kept by SQLite: as UTF-8, except that a lone
// surrogate is written as the 3-byte form of its own value (ED A0 80..ED BF
// BF). Never fails; for valid UTF-16 the result is plain UTF-8.
std::string Utf16ToWtf8(std::u16string_view in);

// The inverse of Utf16ToWtf8: false (*out unspecified) on any other byte
// string, including a surrogate pair written as two 3-byte forms.
bool Wtf8ToUtf16(std::string_view in, std::u16string* out);

// Converts text that is known to be ASCII or valid UTF-8 (literals, numbers);
// empty for malformed UTF-8.
std::u16string Utf8ToUtf16OrEmpty(std::string_view in);

constexpr char16_t AsciiToLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// Compares with ASCII letters folded to lower case and every other unit taken
// as is, like _wcsicmp in the C locale: <0, 0 or >0.
int AsciiCompareIgnoreCase(std::u16string_view a, std::u16string_view b);

inline bool AsciiEqualIgnoreCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && AsciiCompareIgnoreCase(a, b) == 0;
}

// Length of a 0-terminated UTF-16 string.
size_t Utf16Length(const char16_t* s);

}  // namespace orv

#endif  // ORV_PLATFORM_TEXT_H_
