#include "policy/filter.h"

#include "platform/env.h"
#include "platform/path.h"
#include "platform/text.h"
#include "policy/environment_expansion.h"

namespace orv {

EventPath EventPath::Of(const FileEventRecord& event) {
  if (event.FilePath == nullptr) return EventPath();
  return EventPath(std::u16string_view(event.FilePath, Utf16Length(event.FilePath)));
}

const PathPart& EventPath::Whole() const {
  if (!wholeDone_) {
    wholeDone_ = true;
    if (present_) whole_ = {text_, FoldedHash(text_), true};
  }
  return whole_;
}

const PathPart& EventPath::After(char16_t mark, PathPart& part, bool& done) const {
  if (!done) {
    done = true;
    const size_t at = present_ ? text_.rfind(mark) : std::u16string_view::npos;
    if (at != std::u16string_view::npos) {
      const std::u16string_view rest = text_.substr(at + 1);
      part = {rest, FoldedHash(rest), true};
    }
  }
  return part;
}

const PathPart& EventPath::Extension() const { return After(u'.', extension_, extensionDone_); }

const PathPart& EventPath::BaseName() const {
  return After(kPathSeparator, baseName_, baseNameDone_);
}

namespace {

bool Contains(const FoldedStringSet& values, const PathPart& part) {
  return part.present && values.Contains(part.text, part.foldedHash);
}

}  // namespace

PolicyAction CExtensionFilter::Match(const EventPath& path) const {
  return Answer(Contains(values_, path.Extension()));
}

PolicyAction CFileNameFilter::Match(const EventPath& path) const {
  return Answer(Contains(values_, path.Whole()));
}

void CFileNameFilter::AddValue(std::u16string_view value) {
  values_.Add(ExpandEnvironmentReferences(value, *CurrentEnv()));
}

PolicyAction CFileBaseNameFilter::Match(const EventPath& path) const {
  return Answer(Contains(values_, path.BaseName()));
}

PolicyAction CPathFilter::Match(const EventPath& path) const {
  return Answer(path.present() && values_.AnyPrefixOf(path.text()));
}

void CPathFilter::AddValue(std::u16string_view value) {
  values_.Add(ExpandEnvironmentReferences(value, *CurrentEnv()));
}

}  // namespace orv
