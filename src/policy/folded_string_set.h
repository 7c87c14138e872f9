// A set of strings that are equal when they differ only in ASCII letter case.
// Open addressing over stored hashes: a lookup touches one slot per probe and
// reads a stored string only when the hashes agree. The caller computes the
// hash of what it looks up (FoldedHash), so one hash serves many sets.
#ifndef ORV_POLICY_FOLDED_STRING_SET_H_
#define ORV_POLICY_FOLDED_STRING_SET_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orv {

// Hash of text with ASCII letters folded to lower case; never 0.
uint64_t FoldedHash(std::u16string_view text);

class FoldedStringSet {
 public:
  void Add(std::u16string_view value);
  // hash must be FoldedHash(text).
  bool Contains(std::u16string_view text, uint64_t hash) const;
  bool Contains(std::u16string_view text) const { return Contains(text, FoldedHash(text)); }
  size_t size() const { return values_.size(); }

 private:
  struct Slot {
    uint64_t hash = 0;  // 0: empty
    uint32_t index = 0;
  };

  void Grow();
  void Place(uint64_t hash, uint32_t index);

  std::vector<std::u16string> values_;
  std::vector<Slot> slots_;  // size a power of two, at most half full
};

}  // namespace orv

#endif  // ORV_POLICY_FOLDED_STRING_SET_H_
