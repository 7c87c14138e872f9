#include "catalog/store_layout.h"

#include <fmt/format.h>

#include "platform/path.h"

namespace orv {
namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return (month >= 1 && month <= 12) ? kDays[month - 1] : 31;
}

// The longest prefix of text, in whole characters, that takes at most budget
// bytes in UTF-8 (a lone surrogate counts as the three bytes of its
// replacement).
size_t PrefixFittingUtf8(std::u16string_view text, size_t budget) {
  size_t keep = 0, bytes = 0;
  while (keep < text.size()) {
    const char16_t unit = text[keep];
    size_t units = 1, add = 3;
    if (unit < 0x80) {
      add = 1;
    } else if (unit < 0x800) {
      add = 2;
    } else if (unit >= 0xD800 && unit <= 0xDBFF && keep + 1 < text.size() &&
               text[keep + 1] >= 0xDC00 && text[keep + 1] <= 0xDFFF) {
      add = 4;
      units = 2;
    }
    if (bytes + add > budget) break;
    bytes += add;
    keep += units;
  }
  return keep;
}

}  // namespace

std::u16string SnapshotName(std::u16string_view baseName, const LocalTime& time) {
  const std::string stamp =
      fmt::format("{:04}{:02}{:02}{:02}{:02}{:02}{:03}", time.year, time.month, time.day, time.hour,
                  time.minute, time.second, time.milliseconds);
  std::u16string name(
      baseName.substr(0, PrefixFittingUtf8(baseName, kMaxFileNameBytes - stamp.size())));
  name.append(stamp.begin(), stamp.end());
  return name;
}

bool IsSnapshotName(std::u16string_view name) {
  if (!IsPlainFileName(name)) return false;
  return PrefixFittingUtf8(name, kMaxFileNameBytes) == name.size();
}

bool IsPartialCopyName(std::u16string_view name) {
  // The staged copy of the platform layer makes these names. The suffix tells
  // them from the copies of a file whose own name begins like one.
  return name.starts_with(kPartialCopyPrefix) && name.ends_with(kPartialCopySuffix);
}

std::u16string JournalFileName(uint64_t generation) {
  const std::string digits = std::to_string(generation);
  std::u16string name(kJournalFilePrefix);
  name.append(digits.begin(), digits.end());
  return name;
}

std::optional<uint64_t> JournalGeneration(std::u16string_view name) {
  if (!name.starts_with(kJournalFilePrefix)) return std::nullopt;
  const std::u16string_view digits =
      name.substr(std::char_traits<char16_t>::length(kJournalFilePrefix));
  // 19 digits always fit; one name per generation, so no leading zeros.
  if (digits.empty() || digits.size() > 19 || (digits.size() > 1 && digits[0] == u'0')) {
    return std::nullopt;
  }
  uint64_t generation = 0;
  for (const char16_t digit : digits) {
    if (digit < u'0' || digit > u'9') return std::nullopt;
    generation = generation * 10 + static_cast<uint64_t>(digit - u'0');
  }
  return generation;
}

void AddOneMillisecond(LocalTime& t) {
  if (++t.milliseconds < 1000) return;
  t.milliseconds = 0;
  if (++t.second < 60) return;
  t.second = 0;
  if (++t.minute < 60) return;
  t.minute = 0;
  if (++t.hour < 24) return;
  t.hour = 0;
  t.dayOfWeek = static_cast<uint16_t>((t.dayOfWeek + 1) % 7);
  if (++t.day <= DaysInMonth(t.year, t.month)) return;
  t.day = 1;
  if (++t.month <= 12) return;
  t.month = 1;
  ++t.year;
}

}  // namespace orv
