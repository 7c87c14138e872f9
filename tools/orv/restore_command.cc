// orv restore: an edition's content copied out, never half-written, never over
// an existing file unless asked.
#include <fcntl.h>
#include <orv/orv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "catalog_time.h"
#include "command.h"
#include "edition_argument.h"
#include "edition_listing.h"
#include "platform/display_text.h"
#include "safe_path.h"
#include "store_reader.h"
#include "tool_error.h"

namespace orv::tool {
namespace {

constexpr uint64_t kProgressThreshold = 64ull << 20;

struct RestoreOptions {
  std::string target;  // an edition number, or a path
  std::optional<std::string> at;
  std::optional<std::string> to;
  bool inPlace = false;
  bool force = false;
};

// The edition a restore means: a number, or the newest edition of that exact
// file not later than --at.
uint32_t ChooseEdition(const RestoreOptions& restore) {
  if (IsEditionNumber(restore.target)) {
    if (restore.at) throw ToolError("--at goes with a path, not an edition number");
    return EditionArgument(restore.target);
  }
  const std::string path = std::filesystem::absolute(restore.target).lexically_normal().string();
  const std::optional<uint32_t> fileId = FileIdOf(path);
  if (!fileId) throw ToolError("no editions of " + path + " in the store");
  ListingQuery query;
  query.pattern = path;
  query.fileId = fileId;
  if (restore.at) query.to = ParseCatalogTime(*restore.at);
  const std::vector<EditionRow> rows = ListEditions(query);
  for (const EditionRow& row : rows) {
    if (row.size >= 0) return row.id;  // newest first: the first with content
  }
  throw ToolError("no edition of " + path + (restore.at ? " at or before " + *restore.at : "") +
                  " has content in the store");
}

// A new file in the destination's directory (reached by its descriptor, so
// that a directory swapped meanwhile cannot move the restore elsewhere).
class TemporaryFile {
 public:
  TemporaryFile(int directory, const std::filesystem::path& where) : directory_(directory) {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
      char suffix[16];
      std::snprintf(suffix, sizeof(suffix), "%08x", static_cast<unsigned>(random()));
      name_ = std::string(".orv-restore-") + suffix;
      fd_ = ::openat(directory_, name_.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
      if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
      throw ToolError("cannot write in " + where.string() + ": " + std::strerror(errno));
    }
  }
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlinkat(directory_, name_.c_str(), 0);
  }
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  void Keep() { kept_ = true; }

 private:
  int directory_;
  std::string name_;
  int fd_ = -1;
  bool kept_ = false;
};

void CopyContent(const std::string& source, const std::filesystem::path& destination, bool force) {
  // Only a regular file, never through another user's link, and never an
  // open that blocks: the content of a renamed file lies where its owner keeps
  // it, and so may a store another user made.
  const UniqueFd input = OpenRegularFile(source);
  struct stat st {};
  ::fstat(input.get(), &st);
  const std::string name = destination.filename().string();
  if (name.empty() || name == "." || name == "..") {
    throw ToolError("cannot create " + destination.string() + ": not a file name");
  }
  const UniqueFd directory = OpenDirectory(destination.parent_path());
  TemporaryFile temporary(directory.get(), destination.parent_path());
  const bool progress = static_cast<uint64_t>(st.st_size) > kProgressThreshold && ::isatty(2);
  std::vector<char> buffer(1 << 20);
  uint64_t copied = 0;
  int lastPercent = -1;
  while (true) {
    const ssize_t n = ::read(input.get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw ToolError("cannot read the copy " + source + ": " + std::strerror(errno));
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w =
          ::write(temporary.fd(), buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
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
  if (progress) std::cerr << "\n";
  // Permission bits only: never set-uid, set-gid or sticky.
  ::fchmod(temporary.fd(), st.st_mode & 0777);
  // Root restoring into another user's directory gives the file to that user.
  struct stat owner {};
  if (::geteuid() == 0 && ::fstat(directory.get(), &owner) == 0 && owner.st_uid != 0) {
    if (::fchown(temporary.fd(), owner.st_uid, owner.st_gid) != 0) {
      throw ToolError("cannot give " + destination.string() + " to its directory's owner");
    }
  }
  if (::fsync(temporary.fd()) != 0) throw ToolError("cannot write " + destination.string());
  // Without --force the final step refuses to replace anything, even a file
  // that appeared meanwhile.
  const int published =
      force ? ::renameat(directory.get(), temporary.name().c_str(), directory.get(), name.c_str())
            : ::linkat(directory.get(), temporary.name().c_str(), directory.get(), name.c_str(), 0);
  if (published != 0) {
    if (errno == EEXIST)
      throw ToolError(destination.string() + " exists (use --force to replace it)");
    throw ToolError("cannot create " + destination.string() + ": " + std::strerror(errno));
  }
  if (force) temporary.Keep();  // renamed away: nothing left to remove
}

void RunRestore(const GlobalOptions& options, const RestoreOptions& restore, Output& out) {
  if (restore.to && restore.inPlace) throw ToolError("give either --to or --in-place, not both");
  StoreReader reader(options);
  const uint32_t edition = ChooseEdition(restore);
  const std::optional<FileEditionInfo> details = EditionDetails(edition);
  if (!details) throw ToolError("no edition " + std::to_string(edition) + " in the store");
  const std::string source = ExistingContentPath(edition);
  const std::string original = FileNameOf(static_cast<uint32_t>(details->FileID)).value_or("");
  std::filesystem::path destination;
  if (restore.inPlace) {
    if (original.empty())
      throw ToolError("the original name of edition " + std::to_string(edition) + " is unknown");
    // The catalog names the place to write: only a plain absolute path, never
    // one relative to where the command runs or climbing with "..".
    destination = original;
    if (!destination.is_absolute() || destination.lexically_normal() != destination ||
        !destination.has_filename()) {
      throw ToolError("the original name of edition " + std::to_string(edition) + " (" + original +
                      ") is not a plain absolute path; use --to");
    }
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
  CopyContent(source, destination, restore.force);
  if (out.json) {
    *out.document = {{"edition", edition}, {"restoredTo", destination.string()}};
  } else {
    std::cout << "restored edition " << edition << " to " << DisplayText(destination.string())
              << "\n";
  }
}

DefinedCommand Define(CLI::App& app) {
  auto restore = std::make_shared<RestoreOptions>();
  CLI::App* command = app.add_subcommand(
      "restore", "copy an edition's content out (an edition number, or a path and --at)");
  command->add_option("EDITION|PATH", restore->target)->required();
  command->add_option("--at", restore->at, "the newest edition not later than this local time");
  command->add_option("--to", restore->to, "destination file or directory");
  command->add_flag("--in-place", restore->inPlace, "restore over the original path");
  command->add_flag("--force", restore->force, "replace an existing file");
  return {command, [restore](const GlobalOptions& options, Output& out) {
            RunRestore(options, *restore, out);
            return 0;
          }};
}

const CommandRegistration kRestore(50, Define);

}  // namespace
}  // namespace orv::tool
