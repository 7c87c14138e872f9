// The Windows backend of the engine's Authenticode verifier
// (maintenance/authenticode.h): the pieces tests reach directly.
#ifndef ORV_PLATFORM_AUTHENTICODE_WINDOWS_H_
#define ORV_PLATFORM_AUTHENTICODE_WINDOWS_H_

// windows.h (through windows_file.h) first: the other system headers need it.
#include "platform/windows_file.h"

#include <wincrypt.h>

#include <optional>
#include <string>

namespace orv {

// The certificate's simple display name (CERT_NAME_SIMPLE_DISPLAY_TYPE: its
// first common name, else organizational unit, else organization, else e-mail
// address, else what the system falls back to), cut by CutSignerName;
// nothing when it has none.
std::optional<std::u16string> GetSignerName(PCCERT_CONTEXT certificate);

}  // namespace orv

#endif  // ORV_PLATFORM_AUTHENTICODE_WINDOWS_H_
