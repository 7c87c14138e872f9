#include <orv/orv.h>

#include <gtest/gtest.h>

#include "host/loaded_library.h"

namespace orv::testing {
namespace {

TEST(HostConfigureTest, ConfigurationWorksInEveryStateThroughTheExports) {
  LoadedLibrary orv;
  uint32_t level = 0x100;
  EXPECT_EQ(orv.ChangeConfigure(CONFIG_LOG_LEVEL, nullptr), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(orv.ChangeConfigure(CONFIG_LOG_LEVEL, &level), ENG_OK);  // state 0
  ASSERT_EQ(orv.Initialize(), ENG_OK);
  ASSERT_EQ(orv.SetString(CONFIG_BACKUP_STORE, u"/srv/orv"), ENG_OK);
  ASSERT_EQ(orv.Start(), ENG_OK);
  ASSERT_EQ(orv.SetString(CONFIG_POLICY_DIRECTORY, u"/etc/orv/policy"), ENG_OK);

  uint64_t count = 0;
  ConfigStringBuffer query{nullptr, &count};
  EXPECT_EQ(orv.QueryConfigure(CONFIG_BACKUP_STORE, &query), ENG_E_INVALID_ARGUMENT);
  std::u16string buffer(8, u'#');
  query.Buffer = buffer.data();
  count = 8;
  EXPECT_EQ(orv.QueryConfigure(CONFIG_BACKUP_STORE, &query), ENG_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 9u);
  buffer.assign(count, u'#');
  query.Buffer = buffer.data();
  ASSERT_EQ(orv.QueryConfigure(CONFIG_BACKUP_STORE, &query), ENG_OK);
  EXPECT_EQ(buffer, std::u16string(u"/srv/orv\0", 9));

  count = 64;
  buffer.assign(count, u'#');
  query.Buffer = buffer.data();
  ASSERT_EQ(orv.QueryConfigure(CONFIG_POLICY_DIRECTORY, &query), ENG_OK);
  EXPECT_EQ(std::u16string(buffer.c_str()), u"/etc/orv/policy");

  ASSERT_EQ(orv.Stop(), ENG_OK);
  uint32_t out = 0;
  ASSERT_EQ(orv.QueryConfigure(CONFIG_LOG_LEVEL, &out), ENG_OK);
  EXPECT_EQ(out, 0x100u);
  ASSERT_EQ(orv.Finalize(), ENG_OK);
  out = 0;
  ASSERT_EQ(orv.QueryConfigure(CONFIG_LOG_LEVEL, &out), ENG_OK);
  EXPECT_EQ(out, 0x100u) << "values survive Stop and Finalize";
}

}  // namespace
}  // namespace orv::testing
