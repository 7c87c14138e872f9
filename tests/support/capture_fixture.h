// A started engine that protects everything under a directory of the test's,
// with the catalog writer's period chosen by the test.
#ifndef ORV_TESTS_SUPPORT_CAPTURE_FIXTURE_H_
#define ORV_TESTS_SUPPORT_CAPTURE_FIXTURE_H_

#include <chrono>
#include <string>

#include "capture/notify_event.h"
#include "engine/timings.h"
#include "support/engine_fixture.h"

namespace orv::testing {

class CaptureFixture : public EngineFixture {
 protected:
  void StartCapture(std::chrono::milliseconds writerPeriod = std::chrono::hours(1)) {
    ProtectEverythingUnder(files_.path(), policy_);
    EngineTimings timings;
    timings.writerPeriod = writerPeriod;
    timings.catalogBusyTimeout = std::chrono::milliseconds(50);
    SetTimingsForTesting(timings);
    StartEngine();
  }
  void TearDown() override {
    EngineFixture::TearDown();
    SetTimingsForTesting(EngineTimings{});
  }
  // A protected file with this content; its path.
  std::u16string File(const std::string& name, const std::string& content = "old") {
    WriteFileText(files_ / name, content);
    return U16(files_ / name);
  }
  void Notify(const FileEventRecord& record) { ASSERT_EQ(HandleNotifyEvent(&record), ENG_OK); }

  TempDir files_;
  TempDir policy_;
};

}  // namespace orv::testing

#endif  // ORV_TESTS_SUPPORT_CAPTURE_FIXTURE_H_
