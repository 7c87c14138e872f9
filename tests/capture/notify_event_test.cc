#include "capture/notify_event.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "engine/lifecycle.h"
#include "support/capture_fixture.h"
#include "support/event_records.h"
#include "support/fake_env.h"

namespace orv {
namespace {

TEST(NotifyEventTest, StateIsTestedBeforeTheRecord) {
  FileEventRecord record{};
  record.RecordType = RECORD_TYPE_FILE;
  record.FileOperation = FILE_OP_CLOSE;
  record.FilePath = u"/tmp/x";

  EXPECT_EQ(HandleNotifyEvent(nullptr), ENG_E_WRONG_STATE);
  EXPECT_EQ(HandleNotifyEvent(&record), ENG_E_WRONG_STATE);
  ASSERT_EQ(EngineInitialize(), ENG_OK);
  EXPECT_EQ(HandleNotifyEvent(nullptr), ENG_E_WRONG_STATE);
  ASSERT_EQ(EngineStart(), ENG_OK);
  EXPECT_EQ(HandleNotifyEvent(nullptr), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(HandleNotifyEvent(&record), ENG_OK);

  // Records the engine does not handle are accepted and ignored.
  record.RecordType = 7;
  record.FileOperation = FILE_OP_RENAME;
  EXPECT_EQ(HandleNotifyEvent(&record), ENG_OK);
  record.RecordType = RECORD_TYPE_FILE;
  record.FileOperation = 99;
  EXPECT_EQ(HandleNotifyEvent(&record), ENG_OK);

  ASSERT_EQ(EngineStop(), ENG_OK);
  EXPECT_EQ(HandleNotifyEvent(&record), ENG_E_WRONG_STATE);
  EXPECT_EQ(HandleNotifyEvent(nullptr), ENG_E_WRONG_STATE);
}

// Copies that throw, as the engine's own code may when memory runs out.
class ThrowingEnv : public testing::FakeEnv {
 public:
  std::unique_ptr<StagedCopy> StageCopy(const CopySource&, const std::u16string&,
                                        const PartialName&, std::u16string*) override {
    switch (throws_.load()) {
      case 0:
        throw std::bad_alloc();
      case 1:
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      default:
        throw 42;  // not even a std::exception
    }
  }
  void Throw(int kind) { throws_.store(kind); }

 private:
  std::atomic<int> throws_{0};
};

class NotifyEventFaultTest : public testing::CaptureFixture {};

TEST_F(NotifyEventFaultTest, AFaultInsideIsLoggedAndTheEventStillAccepted) {
  ThrowingEnv env;
  testing::ScopedEnv scoped(&env);
  StartCapture();
  const std::u16string path = File("a.txt");
  for (int kind = 0; kind < 3; ++kind) {
    env.Throw(kind);
    const FileEventRecord open = testing::OpenForWrite(path.c_str());
    EXPECT_EQ(HandleNotifyEvent(&open), ENG_OK);
    // A kept file's host learns that its content was not taken.
    const FileEventRecord deletion = testing::Event(FILE_OP_DELETE, path.c_str());
    EXPECT_EQ(HandleNotifyKeptFile(&deletion, path.c_str()), ORV_E_NOT_KEPT);
  }
  StopEngine();
  const std::vector<std::string> lines = LogLines();
  for (const char* why : {"out of memory", "a system resource was refused", "an internal fault"}) {
    for (const char* operation : {"1", "8"}) {
      EXPECT_NE(std::find(lines.begin(), lines.end(),
                          std::string("[Backup Module] an event (operation ") + operation +
                              ") was lost: " + why),
                lines.end())
          << why << " " << operation;
    }
  }
}

// A Start step that throws what is not even a std::exception is abandoned;
// the steps after it still run.
class ThrowingPathEnv : public testing::FakeEnv {
 public:
  std::optional<std::u16string> AbsolutePath(const std::u16string&) override { throw 7; }
};

TEST_F(NotifyEventFaultTest, StartOutlivesAStepThatThrowsAnything) {
  ThrowingPathEnv env;
  testing::ScopedEnv scoped(&env);
  StartCapture();  // asserts ENG_OK
  EXPECT_EQ(EngineState(), STATE_STARTED);
  EXPECT_FALSE(IsCatalogReady()) << "the catalog's step was the one abandoned";
  StopEngine();
  const std::vector<std::string> lines = LogLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[Backup Module] Started"), lines.end())
      << "the capture's step ran after it";
}

}  // namespace
}  // namespace orv
