#include "engine/log.h"

#include <fmt/args.h>
#include <fmt/printf.h>
#include <fmt/xchar.h>

#include <algorithm>

#include "platform/text.h"

namespace orv {

void LogWriter::Setup(uint32_t threshold, std::u16string path) {
  std::lock_guard guard(lock_);
  file_.reset();
  path_ = std::move(path);
  threshold_.store(threshold, std::memory_order_relaxed);
  active_.store(!path_.empty(), std::memory_order_release);
}

void LogWriter::TakeDown() {
  active_.store(false, std::memory_order_release);
  std::lock_guard guard(lock_);
  file_.reset();
  path_.clear();
}

void LogWriter::WriteLine(std::string_view message) {
  Env* env = CurrentEnv();
  std::lock_guard guard(lock_);
  // Checked again under the lock: TakeDown may have run since Enabled().
  if (path_.empty()) return;

  const std::optional<uint64_t> size = env->GetFileSize(path_);
  if (size && *size > kLogRotateSize) {
    file_.reset();
    env->RenameReplacing(path_, path_ + u".old");
  }
  if (!file_) {
    file_ = env->OpenAppendText(path_);
    if (!file_) return;
  }

  const LocalTime t = env->GetLocalTime();
  std::string line = fmt::sprintf("[%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d(%3.3d)] TID:%d\t", t.year,
                                  t.month, t.day, t.hour, t.minute, t.second, t.milliseconds,
                                  static_cast<int32_t>(env->GetCurrentThreadId()));
  line.append(message);
  line.push_back('\n');
  // A failed write loses this line only; the next line tries again.
  if (!file_->Append(line) || !file_->Flush()) file_.reset();
}

LogWriter& TheLog() {
  static LogWriter log;
  return log;
}

namespace log_detail {
namespace {

// C0 and C1 controls and DEL: a line end or a terminal escape in a value.
bool IsControl(char16_t unit) { return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F); }

// A value with its control characters written as \xNN, so that a file name
// holding a line end can never make one event look like two lines.
std::u16string EscapeControls(std::u16string_view text) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string escaped;
  escaped.reserve(text.size() + 8);
  for (const char16_t unit : text) {
    if (!IsControl(unit)) {
      escaped.push_back(unit);
      continue;
    }
    escaped += u"\\x";
    escaped.push_back(kHex[(unit >> 4) & 0xF]);
    escaped.push_back(kHex[unit & 0xF]);
  }
  return escaped;
}

}  // namespace

std::u16string FormatMessage(const char16_t* format, std::initializer_list<LogArg> args) {
  using Context = fmt::basic_printf_context_t<char16_t>;
  fmt::dynamic_format_arg_store<Context> store;
  for (const LogArg& arg : args) {
    switch (arg.kind()) {
      case LogArg::Kind::kSigned32:
        store.push_back(static_cast<int32_t>(arg.signedValue()));
        break;
      case LogArg::Kind::kUnsigned32:
        store.push_back(static_cast<uint32_t>(arg.unsignedValue()));
        break;
      case LogArg::Kind::kSigned64:
        store.push_back(arg.signedValue());
        break;
      case LogArg::Kind::kUnsigned64:
        store.push_back(arg.unsignedValue());
        break;
      case LogArg::Kind::kText: {
        const std::u16string_view text = arg.text();
        if (std::any_of(text.begin(), text.end(), IsControl)) {
          store.push_back(EscapeControls(text));  // the store keeps its own copy
        } else {
          store.push_back(text);
        }
        break;
      }
    }
  }
  try {
    return fmt::vsprintf(std::u16string_view(format), fmt::basic_format_args<Context>(store));
  } catch (const fmt::format_error&) {
    return std::u16string(format);
  }
}

void FormatAndWrite(const char16_t* format, std::initializer_list<LogArg> args) {
  try {
    TheLog().WriteLine(Utf16ToUtf8Lossy(FormatMessage(format, args)));
  } catch (const std::bad_alloc&) {
    // Out of memory: the line is lost, the caller's work goes on.
  }
}

}  // namespace log_detail
}  // namespace orv
