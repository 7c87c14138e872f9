// An Env with a clock the test drives and faults the test switches on; every
// other operation goes to the real system.
#ifndef ORV_TESTS_SUPPORT_FAKE_ENV_H_
#define ORV_TESTS_SUPPORT_FAKE_ENV_H_

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/path.h"

namespace orv::testing {

class FakeEnv : public EnvWrapper {
 private:
  class FaultyAppendFile final : public AppendFile {
   public:
    FaultyAppendFile(std::unique_ptr<AppendFile> file, const std::atomic<bool>& fail)
        : file_(std::move(file)), fail_(fail) {}
    bool Append(std::string_view data) override { return !fail_.load() && file_->Append(data); }
    bool Flush() override { return file_->Flush(); }

   private:
    std::unique_ptr<AppendFile> file_;
    const std::atomic<bool>& fail_;
  };

 public:
  FakeEnv() : EnvWrapper(Env::Default()) {}

  LocalTime GetLocalTime() override {
    std::lock_guard guard(lock_);
    return localTime_;
  }
  void SetLocalTime(const LocalTime& t) {
    std::lock_guard guard(lock_);
    localTime_ = t;
  }

  uint32_t GetTickCount() override { return tick_.load(); }
  void SetTick(uint32_t tick) { tick_.store(tick); }
  void AdvanceTick(uint32_t ms) { tick_.fetch_add(ms); }

  uint32_t GetCurrentThreadId() override {
    const uint32_t fixed = threadId_.load();
    return fixed != 0 ? fixed : EnvWrapper::GetCurrentThreadId();
  }
  void SetThreadId(uint32_t id) { threadId_.store(id); }

  std::unique_ptr<AppendFile> OpenAppendText(const std::u16string& path) override {
    appendOpens_.fetch_add(1);
    if (failAppendOpen_.load()) return nullptr;
    std::unique_ptr<AppendFile> file = EnvWrapper::OpenAppendText(path);
    if (!file || path.find(std::u16string(1, kPathSeparator) + u"journal.") == std::u16string::npos)
      return file;
    return std::make_unique<FaultyAppendFile>(std::move(file), failJournalAppends_);
  }
  void FailAppendOpen(bool fail) { failAppendOpen_.store(fail); }
  // While set, every append to a journal file fails as on a full disk,
  // nothing written (the log is written as ever).
  void FailJournalAppends(bool fail) { failJournalAppends_.store(fail); }
  int appendOpens() const { return appendOpens_.load(); }

  bool RenameReplacing(const std::u16string& from, const std::u16string& to) override {
    if (failRename_.load()) return false;
    return EnvWrapper::RenameReplacing(from, to);
  }
  void FailRename(bool fail) { failRename_.store(fail); }

  // While set, every copy fails with this reason, as a source the engine may
  // not read would fail (which a test running as root cannot make).
  std::unique_ptr<StagedCopy> StageCopy(const CopySource& source, const std::u16string& directory,
                                        const PartialName& partial,
                                        std::u16string* failure) override {
    {
      std::lock_guard guard(lock_);
      if (!copyFailure_.empty()) {
        if (failure != nullptr) *failure = copyFailure_;
        return nullptr;
      }
    }
    return EnvWrapper::StageCopy(source, directory, partial, failure);
  }
  void FailCopies(const std::u16string& reason) {
    std::lock_guard guard(lock_);
    copyFailure_ = reason;
  }

  // Standard output is kept for the test to read.
  void WriteStandardOutput(std::string_view text) override {
    std::lock_guard guard(lock_);
    standardOutput_.append(text);
  }
  std::string standardOutput() {
    std::lock_guard guard(lock_);
    return standardOutput_;
  }

  // Creation times given by the test, for files of these names.
  std::vector<DirectoryFile> ListDirectoryFiles(const std::u16string& path) override {
    std::vector<DirectoryFile> files = EnvWrapper::ListDirectoryFiles(path);
    std::lock_guard guard(lock_);
    for (DirectoryFile& file : files) {
      const auto it = creationTimes_.find(file.name);
      if (it != creationTimes_.end()) file.creationTime = it->second;
    }
    return files;
  }
  void SetCreationTime(const std::u16string& name, uint64_t time) {
    std::lock_guard guard(lock_);
    creationTimes_[name] = time;
  }

  // The environment is the fake's own: only variables set here exist.
  std::optional<std::u16string> GetEnvironmentVariable(std::u16string_view name) override {
    std::lock_guard guard(lock_);
    const auto it = variables_.find(std::u16string(name));
    if (it == variables_.end()) return std::nullopt;
    return it->second;
  }
  void SetVariable(const std::u16string& name, const std::u16string& value) {
    std::lock_guard guard(lock_);
    variables_[name] = value;
  }

 private:
  std::mutex lock_;
  LocalTime localTime_{2026, 12, 1, 7, 9, 5, 3, 42};
  std::atomic<uint32_t> tick_{1000};
  std::atomic<uint32_t> threadId_{0};
  std::atomic<bool> failAppendOpen_{false};
  std::atomic<bool> failJournalAppends_{false};
  std::atomic<bool> failRename_{false};
  std::atomic<int> appendOpens_{0};
  std::map<std::u16string, std::u16string> variables_;
  std::string standardOutput_;
  std::map<std::u16string, uint64_t> creationTimes_;
  std::u16string copyFailure_;
};

// Installs an Env for the life of the scope.
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env) { SetEnvForTesting(env); }
  ~ScopedEnv() { SetEnvForTesting(nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_FAKE_ENV_H_
