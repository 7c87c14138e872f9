// The names shadows stood for, kept in a log beside the store, so that a
// daemon killed (or stopped) before it read what happened to a file still
// knows, at its next start, which shadow held the content that file had:
// a file replaced or deleted meanwhile is then kept from its shadow.
//
// The log is text, one record a line, fields separated by tabs, with "\\",
// "\t" and "\n" in a field written as \\, \t and \n:
//   K <shadow path> <path> <0|1>   path is known by this shadow (1: foreign)
//   F <path>                       path has no shadow any more
//   M <from> <to>                  the file at from is now at to
//   L <path>                       path and everything below it left
//   R <from> <to>                  what was below from is below to
//   T <shadow path> <path> <0|1>   shadow left path and awaits its edition
//   D <shadow path>                that shadow is done with
// Records are appended as the daemon's view changes, one write each; a line
// torn by a kill, or one not understood, is skipped.
#ifndef ORV_TOOLS_ORV_PROTECT_SHADOW_NAMES_H_
#define ORV_TOOLS_ORV_PROTECT_SHADOW_NAMES_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"

namespace orv::tool {

// Not thread-safe: its owner serialises the calls.
class ShadowNames {
 public:
  struct Name {
    std::string shadow;  // the shadow's path
    bool foreign = false;
  };

  // The log at path, created (mode 0600) when missing. A log that cannot be
  // opened keeps nothing: ok() is false, and the calls do nothing.
  explicit ShadowNames(std::filesystem::path path);
  ShadowNames(const ShadowNames&) = delete;
  ShadowNames& operator=(const ShadowNames&) = delete;

  bool ok() const { return fd_.valid(); }

  struct Loaded {
    std::map<std::string, Name> names;  // by path
    // By shadow: the paths of shadows taken and never done with (a kill
    // came between a file's deletion or replacement and its edition).
    std::map<std::string, std::pair<std::string, bool>> taken;
  };
  // What the log says, its records replayed in order.
  Loaded Load() const;

  void Known(const std::string& shadow, const std::string& path, bool foreign);
  void Forgot(const std::string& path);
  void Moved(const std::string& from, const std::string& to);
  void Left(const std::string& path);
  void MovedDirectory(const std::string& from, const std::string& to);
  // Written before the record that takes a shadow's name away, so that the
  // shadow is kept for path until Done says its edition is made.
  void Taken(const std::string& shadow, const std::string& path, bool foreign);
  void Done(const std::string& shadow);

  // Appends nothing from now until the next Rewrite: a start's walk, whose
  // outcome is written whole once it is done, costs no write per file.
  void Pause() { paused_ = true; }

  // Replaces the log by one record per name (through a new file renamed
  // over it: a kill leaves the old log or the new one), and appends again:
  // BeginRewrite, then Rewritten for each name, then EndRewrite.
  void BeginRewrite();
  void Rewritten(const std::string& path, const std::string& shadow, bool foreign);
  void RewrittenTaken(const std::string& shadow, const std::string& path, bool foreign);
  void EndRewrite();

  // Records appended since the log was last written whole.
  uint64_t Appended() const { return appended_; }

 private:
  void Append(std::string_view record);
  void RewriteRecord(std::string_view record);

  std::filesystem::path path_;
  UniqueFd fd_;
  uint64_t appended_ = 0;
  bool paused_ = false;
  // The log being written whole, and what waits to be written to it.
  UniqueFd rewrite_;
  std::string rewriteBuffer_;
  bool rewriteFailed_ = false;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_PROTECT_SHADOW_NAMES_H_
