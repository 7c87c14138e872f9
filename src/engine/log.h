// The diagnostic log: one UTF-8 file, "orv.log" in the configured directory,
// written one whole line at a time by every thread of the engine, rotated to
// "orv.log.old" past 2 MiB, and alive only between Start and Stop.
//
// WriteLog(level, format, args...) takes printf-style formats over UTF-16:
// %s takes UTF-16 text (const char16_t*, std::u16string, std::u16string_view),
// %d a 32-bit integer, %08X an unsigned value in hexadecimal. Control
// characters in a text argument (a file name may hold a line end) are written
// as \xNN, so that one call is always one line. A line below the threshold
// costs two comparisons: no lock, no formatting, no allocation.
#ifndef ORV_ENGINE_LOG_H_
#define ORV_ENGINE_LOG_H_

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/env.h"

namespace orv {

// Levels the engine writes at; a larger number is more important.
inline constexpr uint32_t kLogTrace = 0x1;
inline constexpr uint32_t kLogLifecycle = 0x10;
inline constexpr uint32_t kLogThreadTimeout = 0x100;
// Faults of the backup store: SQLite errors, and copies, files or directories
// of the store that could not be made, read or kept.
inline constexpr uint32_t kLogStoreFault = 0x1000;
inline constexpr uint32_t kLogConnectFailure = 0x10000;

// A file larger than this is moved aside before the next line.
inline constexpr uint64_t kLogRotateSize = 0x200000;

class LogWriter {
 public:
  LogWriter() = default;
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Begins logging to path (empty: no log) for lines of at least threshold.
  // The file itself is opened by the first line.
  void Setup(uint32_t threshold, std::u16string path);

  // Drops every later line, then closes the file.
  void TakeDown();

  bool Enabled(uint32_t level) const noexcept {
    return level >= threshold_.load(std::memory_order_relaxed) &&
           active_.load(std::memory_order_acquire);
  }

  // Writes prefix + message + "\n" as one line; message is UTF-8.
  void WriteLine(std::string_view message);

 private:
  std::atomic<uint32_t> threshold_{0xFFFFFFFF};
  std::atomic<bool> active_{false};
  std::mutex lock_;  // lives as long as the library; guards what follows
  std::u16string path_;
  std::unique_ptr<AppendFile> file_;
};

// The process-wide log writer.
LogWriter& TheLog();

namespace log_detail {

// One formatting argument, type-erased so that the formatter stays out of this
// header. Refers to, never copies, the caller's text.
class LogArg {
 public:
  enum class Kind { kSigned32, kUnsigned32, kSigned64, kUnsigned64, kText };

  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  LogArg(T value) {  // NOLINT(google-explicit-constructor)
    if constexpr (sizeof(T) <= 4 && std::is_signed_v<T>) {
      kind_ = Kind::kSigned32;
      signed_ = value;
    } else if constexpr (sizeof(T) <= 4) {
      kind_ = Kind::kUnsigned32;
      unsigned_ = value;
    } else if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::kSigned64;
      signed_ = value;
    } else {
      kind_ = Kind::kUnsigned64;
      unsigned_ = value;
    }
  }
  LogArg(const char16_t* text)  // NOLINT(google-explicit-constructor)
      : kind_(Kind::kText), text_(text != nullptr ? text : u"(null)") {}
  LogArg(std::u16string_view text) : kind_(Kind::kText), text_(text) {}    // NOLINT
  LogArg(const std::u16string& text) : kind_(Kind::kText), text_(text) {}  // NOLINT

  Kind kind() const { return kind_; }
  int64_t signedValue() const { return signed_; }
  uint64_t unsignedValue() const { return unsigned_; }
  std::u16string_view text() const { return text_; }

 private:
  Kind kind_;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  std::u16string_view text_;
};

// Expands format with args (printf conventions over UTF-16). A format that does
// not fit its arguments yields the format text itself rather than nothing.
std::u16string FormatMessage(const char16_t* format, std::initializer_list<LogArg> args);

void FormatAndWrite(const char16_t* format, std::initializer_list<LogArg> args);

}  // namespace log_detail

template <typename... Args>
void WriteLog(uint32_t level, const char16_t* format, const Args&... args) {
  if (format == nullptr) return;
  if (!TheLog().Enabled(level)) return;
  log_detail::FormatAndWrite(format, {log_detail::LogArg(args)...});
}

}  // namespace orv

#endif  // ORV_ENGINE_LOG_H_
