// orv restore: an edition's content copied out, never half-written, never over
// an existing file unless asked.
#include <fcntl.h>
#include <orv/orv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <vector>

#include "catalog_reader.h"
#include "catalog_time.h"
#include "commands.h"
#include "edition_listing.h"
#include "engine_host.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

constexpr uint64_t kProgressThreshold = 64ull << 20;

bool AllDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The edition a restore means: a number, or the newest edition of that exact
// file not later than --at.
uint32_t ChooseEdition(CatalogReader& reader, const RestoreOptions& restore) {
  if (AllDigits(restore.target)) {
    if (restore.at) throw ToolError("--at goes with a path, not an edition number");
    return static_cast<uint32_t>(std::stoul(restore.target));
  }
  const std::string path = std::filesystem::absolute(restore.target).lexically_normal().string();
  const std::optional<int32_t> fileId = reader.FileIdOf(path);
  if (!fileId) throw ToolError("no editions of " + path + " in the store");
  ListingQuery query;
  query.pattern = path;
  query.fileId = fileId;
  if (restore.at) query.to = ParseCatalogTime(*restore.at);
  const std::vector<EditionRow> rows = ListEditions(reader, query);
  for (const EditionRow& row : rows) {
    if (row.size >= 0) return row.id;  // newest first: the first with content
  }
  throw ToolError("no edition of " + path + (restore.at ? " at or before " + *restore.at : "") +
                  " has content in the store");
}

class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& directory) {
    path_ = (directory / ".orv-restore-XXXXXX").string();
    fd_ = ::mkstemp(path_.data());
    if (fd_ < 0) {
      throw ToolError("cannot write in " + directory.string() + ": " + std::strerror(errno));
    }
  }
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  bool kept_ = false;
};

void CopyContent(const std::string& source, const std::filesystem::path& destination, bool force) {
  const int input = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (input < 0) throw ToolError("cannot read the copy " + source + ": " + std::strerror(errno));
  struct stat st {};
  ::fstat(input, &st);
  const std::filesystem::path directory = destination.parent_path();
  TemporaryFile temporary(directory);
  const bool progress = static_cast<uint64_t>(st.st_size) > kProgressThreshold && ::isatty(2);
  std::vector<char> buffer(1 << 20);
  uint64_t copied = 0;
  int lastPercent = -1;
  while (true) {
    const ssize_t n = ::read(input, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(input);
      throw ToolError("cannot read the copy " + source + ": " + std::strerror(errno));
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w =
          ::write(temporary.fd(), buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        ::close(input);
        throw ToolError("cannot write " + destination.string() + ": " + std::strerror(errno));
      }
      done += w;
    }
    copied += static_cast<uint64_t>(n);
    if (progress) {
      const int percent = static_cast<int>(copied * 100 / static_cast<uint64_t>(st.st_size));
      if (percent != lastPercent) std::cerr << "\rrestoring " << percent << "%" << std::flush;
      lastPercent = percent;
    }
  }
  ::close(input);
  if (progress) std::cerr << "\n";
  // Permission bits only: never set-uid, set-gid or sticky.
  ::fchmod(temporary.fd(), st.st_mode & 0777);
  // Root restoring into another user's directory gives the file to that user.
  struct stat owner {};
  if (::geteuid() == 0 && ::stat(directory.c_str(), &owner) == 0 && owner.st_uid != 0) {
    if (::fchown(temporary.fd(), owner.st_uid, owner.st_gid) != 0) {
      throw ToolError("cannot give " + destination.string() + " to its directory's owner");
    }
  }
  if (::fsync(temporary.fd()) != 0) throw ToolError("cannot write " + destination.string());
  // Without --force the final step refuses to replace anything, even a file
  // that appeared meanwhile.
  const int published = force ? ::rename(temporary.path().c_str(), destination.c_str())
                              : ::link(temporary.path().c_str(), destination.c_str());
  if (published != 0) {
    if (errno == EEXIST)
      throw ToolError(destination.string() + " exists (use --force to replace it)");
    throw ToolError("cannot create " + destination.string() + ": " + std::strerror(errno));
  }
  if (force) temporary.Keep();  // renamed away: nothing left to remove
}

}  // namespace

void RunRestore(const GlobalOptions& options, const RestoreOptions& restore, Output& out) {
  if (restore.to && restore.inPlace) throw ToolError("give either --to or --in-place, not both");
  EngineHost host(options, EngineHost::Mode::kReadOnly);
  CatalogReader reader(host.catalog());
  const uint32_t edition = ChooseEdition(reader, restore);
  const std::optional<EditionDetails> details = reader.Details(static_cast<int32_t>(edition));
  if (!details) throw ToolError("no edition " + std::to_string(edition) + " in the store");
  const std::optional<std::string> source = ContentPath(edition);
  if (!source || !std::filesystem::is_regular_file(*source)) {
    throw ToolError("the content of edition " + std::to_string(edition) +
                    " is no longer in the store");
  }
  const std::string original = reader.FileNameOf(details->fileId).value_or("");
  std::filesystem::path destination;
  if (restore.inPlace) {
    if (original.empty())
      throw ToolError("the original name of edition " + std::to_string(edition) + " is unknown");
    destination = original;
  } else if (restore.to) {
    destination = std::filesystem::absolute(*restore.to);
    if (std::filesystem::is_directory(destination)) {
      destination /= std::filesystem::path(original).filename();
    }
  } else {
    throw ToolError("say where to: --to DEST, or --in-place over " +
                    (original.empty() ? std::string("the original") : original));
  }
  if (std::filesystem::exists(destination) && !restore.force) {
    throw ToolError(destination.string() + " exists (use --force to replace it)");
  }
  CopyContent(*source, destination, restore.force);
  if (out.json) {
    *out.document = {{"edition", edition}, {"restoredTo", destination.string()}};
  } else {
    std::cout << "restored edition " << edition << " to " << destination.string() << "\n";
  }
}

}  // namespace orv::tool
