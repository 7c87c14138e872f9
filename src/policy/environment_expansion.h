// %NAME% references in policy values.
#ifndef ORV_POLICY_ENVIRONMENT_EXPANSION_H_
#define ORV_POLICY_ENVIRONMENT_EXPANSION_H_

#include <string>
#include <string_view>

#include "platform/env.h"

namespace orv {

// Replaces each %NAME% whose NAME is a set environment variable (names are
// case-sensitive on Linux; Windows ignores their case) with its value. Anything else stays as
// written: an unset or empty name, a lone "%", and shell forms such as $HOME or ~. The text is
// expanded once; a value that itself holds %...% is not expanded again.
std::u16string ExpandEnvironmentReferences(std::u16string_view text, Env& env);

}  // namespace orv

#endif  // ORV_POLICY_ENVIRONMENT_EXPANSION_H_
