// Staging of snapshot copies on Linux. Platform-internal.
#ifndef ORV_PLATFORM_SNAPSHOT_COPY_LINUX_H_
#define ORV_PLATFORM_SNAPSHOT_COPY_LINUX_H_

#include <memory>
#include <string>

#include "platform/env.h"

struct stat;

namespace orv {

// The FileState of a status.
FileState StateOf(const struct stat& status);

// Env::StageCopy in native names: where no unnamed file can be made, the copy
// is written as partialPrefix + "<pid>-<n>" + partialSuffix; a source linked
// (mayLink, on the conditions of Env::CopySource) is named so until it is
// published. On failure null, with the reason in *failure.
std::unique_ptr<StagedCopy> StageCopyLinux(const std::string& source, bool mayLink,
                                           const std::string& directory,
                                           const std::string& partialPrefix,
                                           const std::string& partialSuffix, std::string* failure);

// The same for the file open at descriptor (lent by the host: neither closed
// nor moved); anything but a regular file fails.
std::unique_ptr<StagedCopy> StageCopyOfDescriptorLinux(int descriptor, const std::string& directory,
                                                       const std::string& partialPrefix,
                                                       const std::string& partialSuffix,
                                                       std::string* failure);

}  // namespace orv

#endif  // ORV_PLATFORM_SNAPSHOT_COPY_LINUX_H_
