// Filters: the units of the backup policy. Each tests one part of the path of
// the file that an event names against its configured values and answers with
// its hit action when any value matches, its miss action otherwise.
#ifndef ORV_POLICY_FILTER_H_
#define ORV_POLICY_FILTER_H_

#include <orv/orv.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "policy/folded_string_set.h"
#include "policy/policy_action.h"
#include "policy/prefix_tree.h"

namespace orv {

// One part of a path that filters look at (the whole path, its extension or
// its base name), with the part's case-folded hash.
struct PathPart {
  std::u16string_view text;
  uint64_t foldedHash = 0;
  bool present = false;
};

// The path an event names, as the filters of one evaluation see it. Each part
// and its hash are worked out once, on first use, however many filters ask.
// Lives on the evaluating thread's stack.
class EventPath {
 public:
  EventPath() = default;  // no path
  explicit EventPath(std::u16string_view path) : present_(true), text_(path) {}
  static EventPath Of(const FileEventRecord& event);

  bool present() const { return present_; }
  std::u16string_view text() const { return text_; }
  const PathPart& Whole() const;
  // After the last "."; absent without one.
  const PathPart& Extension() const;
  // After the last "/"; absent without one.
  const PathPart& BaseName() const;

 private:
  const PathPart& After(char16_t mark, PathPart& part, bool& done) const;

  bool present_ = false;
  std::u16string_view text_;
  mutable PathPart whole_, extension_, baseName_;
  mutable bool wholeDone_ = false, extensionDone_ = false, baseNameDone_ = false;
};

class CFilter {
 public:
  virtual ~CFilter() = default;

  // The hit action when the test succeeds for any value, else the miss action.
  virtual PolicyAction Match(const EventPath& path) const = 0;
  PolicyAction Match(const FileEventRecord& event) const { return Match(EventPath::Of(event)); }
  // 1 extension, 3 file name and location, 4 base name.
  virtual uint32_t GetKind() const = 0;
  // Adds one configured value (expanding %NAME% references where the class does).
  virtual void AddValue(std::u16string_view value) = 0;

  void SetActions(FilterType type, PolicyAction hit, PolicyAction miss) {
    type_ = type;
    hit_ = hit;
    miss_ = miss;
  }
  FilterType type() const { return type_; }
  PolicyAction hitAction() const { return hit_; }
  PolicyAction missAction() const { return miss_; }

  // Position in the walk: 100 x kind + 10 x type + hit action.
  uint32_t OrderKey() const {
    return 100u * GetKind() + 10u * static_cast<uint32_t>(type_) + static_cast<uint32_t>(hit_);
  }

 protected:
  PolicyAction Answer(bool hit) const { return hit ? hit_ : miss_; }

 private:
  FilterType type_ = FilterType::None;
  PolicyAction hit_ = PolicyAction::None;
  PolicyAction miss_ = PolicyAction::None;
};

// The text after the last "." of the path (ASCII case ignored). A value is
// written without its dot.
class CExtensionFilter final : public CFilter {
 public:
  PolicyAction Match(const EventPath& path) const override;
  using CFilter::Match;
  uint32_t GetKind() const override { return 1; }
  void AddValue(std::u16string_view value) override { values_.Add(value); }

 private:
  FoldedStringSet values_;
};

// The whole path (ASCII case ignored).
class CFileNameFilter final : public CFilter {
 public:
  PolicyAction Match(const EventPath& path) const override;
  using CFilter::Match;
  uint32_t GetKind() const override { return 3; }
  void AddValue(std::u16string_view value) override;

 private:
  FoldedStringSet values_;
};

// The text after the path's last separator (ASCII case ignored).
class CFileBaseNameFilter final : public CFilter {
 public:
  PolicyAction Match(const EventPath& path) const override;
  using CFilter::Match;
  uint32_t GetKind() const override { return 4; }
  void AddValue(std::u16string_view value) override { values_.Add(value); }

 private:
  FoldedStringSet values_;
};

// The path begins with a value (case significant). Shares kind 3 with the
// file-name filter, so the two interleave in load order.
class CPathFilter final : public CFilter {
 public:
  PolicyAction Match(const EventPath& path) const override;
  using CFilter::Match;
  uint32_t GetKind() const override { return 3; }
  void AddValue(std::u16string_view value) override;

 private:
  PrefixTree values_;
};

}  // namespace orv

#endif  // ORV_POLICY_FILTER_H_
