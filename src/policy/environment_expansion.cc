#include "policy/environment_expansion.h"

namespace orv {

std::u16string ExpandEnvironmentReferences(std::u16string_view text, Env& env) {
  std::u16string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find(u'%', at);
    if (open == std::u16string_view::npos) break;
    const size_t close = text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) break;
    out.append(text.substr(at, open - at));
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    const std::optional<std::u16string> value =
        name.empty() ? std::nullopt : env.GetEnvironmentVariable(name);
    if (value) {
      out.append(*value);
      at = close + 1;
    } else {
      // The closing "%" may open the next reference, as in "%NOT_SET%HOME%".
      out.append(text.substr(open, close - open));
      at = close;
    }
  }
  out.append(text.substr(at));
  return out;
}

}  // namespace orv
