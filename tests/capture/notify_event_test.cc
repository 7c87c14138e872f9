#include "capture/notify_event.h"

#include <gtest/gtest.h>

#include "engine/lifecycle.h"

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

}  // namespace
}  // namespace orv
