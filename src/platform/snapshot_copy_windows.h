// Staging of snapshot copies on Windows. Platform-internal.
#ifndef ORV_PLATFORM_SNAPSHOT_COPY_WINDOWS_H_
#define ORV_PLATFORM_SNAPSHOT_COPY_WINDOWS_H_

#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/windows_file.h"

namespace orv {

// Env::StageCopy in native names. Windows has no unnamed files: the copy is
// always written as partialPrefix + "<pid>-<n>" + partialSuffix in directory
// and flushed to the disk before it can be published (a volume's flush needs
// an administrator). lent: the host's open handle, read as it is (its file
// pointer put back), else null and source is opened. On failure null, with
// the reason in *failure.
std::unique_ptr<StagedCopy> StageCopyWindows(const std::wstring& source, HANDLE lent, bool mayLink,
                                             const std::u16string& directory,
                                             const std::u16string& partialPrefix,
                                             const std::u16string& partialSuffix,
                                             std::string* failure);

}  // namespace orv

#endif  // ORV_PLATFORM_SNAPSHOT_COPY_WINDOWS_H_
