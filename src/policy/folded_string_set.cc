#include "policy/folded_string_set.h"

#include "platform/text.h"

namespace orv {

uint64_t FoldedHash(std::u16string_view text) {
  // FNV-1a over the folded units, then a final mix so the low bits, which pick
  // the slot, depend on every unit.
  uint64_t hash = 14695981039346656037ull;
  for (char16_t unit : text) {
    hash ^= AsciiToLower(unit);
    hash *= 1099511628211ull;
  }
  hash ^= hash >> 29;
  hash *= 0xBF58476D1CE4E5B9ull;
  hash ^= hash >> 32;
  return hash | 1;
}

void FoldedStringSet::Place(uint64_t hash, uint32_t index) {
  const size_t mask = slots_.size() - 1;
  size_t at = static_cast<size_t>(hash) & mask;
  while (slots_[at].hash != 0) at = (at + 1) & mask;
  slots_[at] = {hash, index};
}

void FoldedStringSet::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{});
  for (const Slot& slot : old) {
    if (slot.hash != 0) Place(slot.hash, slot.index);
  }
}

void FoldedStringSet::Add(std::u16string_view value) {
  const uint64_t hash = FoldedHash(value);
  if (Contains(value, hash)) return;
  if ((values_.size() + 1) * 2 > slots_.size()) Grow();
  values_.emplace_back(value);
  Place(hash, static_cast<uint32_t>(values_.size() - 1));
}

bool FoldedStringSet::Contains(std::u16string_view text, uint64_t hash) const {
  if (slots_.empty()) return false;
  const size_t mask = slots_.size() - 1;
  for (size_t at = static_cast<size_t>(hash) & mask; slots_[at].hash != 0; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.hash == hash && AsciiEqualIgnoreCase(values_[slot.index], text)) return true;
  }
  return false;
}

}  // namespace orv
