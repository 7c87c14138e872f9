#include "engine/configure_manager.h"

#include <orv/orv.h>

#include <gtest/gtest.h>

#include "platform/path.h"

namespace orv {
namespace {

struct StringQuery {
  std::u16string buffer;
  uint64_t count;
  uint32_t result;
};

StringQuery QueryString(CConfigureManager& config, uint32_t item, uint64_t capacity) {
  StringQuery q{std::u16string(capacity + 4, u'#'), capacity, 0};
  ConfigStringBuffer request{q.buffer.data(), &q.count};
  q.result = config.Query(item, &request);
  return q;
}

uint32_t ChangeString(CConfigureManager& config, uint32_t item, const std::u16string& value) {
  ConfigStringBuffer request{const_cast<char16_t*>(value.c_str()), nullptr};
  return config.Change(item, &request);
}

TEST(ConfigureManagerTest, NullValuesAndUnknownItems) {
  CConfigureManager config;
  uint32_t number = 5;
  EXPECT_EQ(config.Change(7, &number), ENG_OK);
  EXPECT_EQ(config.Change(7, nullptr), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(config.Change(CONFIG_LOG_LEVEL, nullptr), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(config.Query(CONFIG_LOG_LEVEL, nullptr), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(config.Query(0xFFFFFFFF, nullptr), ENG_E_INVALID_ARGUMENT);

  // An unknown item is neither stored nor written back.
  uint32_t untouched = 0xA5A5A5A5;
  EXPECT_EQ(config.Query(7, &untouched), ENG_OK);
  EXPECT_EQ(untouched, 0xA5A5A5A5u);

  // A string item with a null Buffer is refused and the old value kept.
  ASSERT_EQ(ChangeString(config, CONFIG_BACKUP_STORE, u"/store"), ENG_OK);
  ConfigStringBuffer nullBuffer{nullptr, nullptr};
  EXPECT_EQ(config.Change(CONFIG_BACKUP_STORE, &nullBuffer), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(config.GetBackupStore(), u"/store");

  // A string query needs both Buffer and BufferSize.
  uint64_t count = 10;
  char16_t buffer[10];
  ConfigStringBuffer noCount{buffer, nullptr};
  ConfigStringBuffer noBuffer{nullptr, &count};
  EXPECT_EQ(config.Query(CONFIG_BACKUP_STORE, &noCount), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(config.Query(CONFIG_BACKUP_STORE, &noBuffer), ENG_E_INVALID_ARGUMENT);
  EXPECT_EQ(count, 10u);
}

TEST(ConfigureManagerTest, NumbersStartAtZeroAndAreStoredAsGiven) {
  CConfigureManager config;
  for (uint32_t item : {CONFIG_HOST_VALUE, CONFIG_LOG_LEVEL}) {
    uint32_t value = 0xDEADBEEF;
    ASSERT_EQ(config.Query(item, &value), ENG_OK);
    EXPECT_EQ(value, 0u);
  }
  uint32_t host = 0xFFFFFFFF, level = 256;
  ASSERT_EQ(config.Change(CONFIG_HOST_VALUE, &host), ENG_OK);
  ASSERT_EQ(config.Change(CONFIG_LOG_LEVEL, &level), ENG_OK);
  uint32_t out = 0;
  ASSERT_EQ(config.Query(CONFIG_HOST_VALUE, &out), ENG_OK);
  EXPECT_EQ(out, 0xFFFFFFFFu);
  ASSERT_EQ(config.Query(CONFIG_LOG_LEVEL, &out), ENG_OK);
  EXPECT_EQ(out, 256u);
  EXPECT_EQ(config.GetLogLevel(), 256u);
}

TEST(ConfigureManagerTest, TwoCallStringProtocol) {
  CConfigureManager config;
  ASSERT_EQ(ChangeString(config, CONFIG_LOG_DIRECTORY, u"/var/lg"), ENG_OK);  // 7 characters

  StringQuery small = QueryString(config, CONFIG_LOG_DIRECTORY, 7);
  EXPECT_EQ(small.result, ENG_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.count, 8u);
  EXPECT_EQ(small.buffer, std::u16string(11, u'#')) << "a refused query must not touch the buffer";

  StringQuery exact = QueryString(config, CONFIG_LOG_DIRECTORY, 8);
  EXPECT_EQ(exact.result, ENG_OK);
  EXPECT_EQ(exact.count, 8u);
  EXPECT_EQ(exact.buffer.substr(0, 8), std::u16string(u"/var/lg\0", 8));
  EXPECT_EQ(exact.buffer.substr(8), u"####") << "nothing written past the terminator";

  StringQuery roomy = QueryString(config, CONFIG_LOG_DIRECTORY, 100);
  EXPECT_EQ(roomy.result, ENG_OK);
  EXPECT_EQ(roomy.count, 100u);
}

TEST(ConfigureManagerTest, EmptyStringNeedsRoomForItsTerminator) {
  CConfigureManager config;
  StringQuery none = QueryString(config, CONFIG_POLICY_DIRECTORY, 0);
  EXPECT_EQ(none.result, ENG_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(none.count, 1u);
  StringQuery one = QueryString(config, CONFIG_POLICY_DIRECTORY, 1);
  EXPECT_EQ(one.result, ENG_OK);
  EXPECT_EQ(one.buffer[0], u'\0');
}

TEST(ConfigureManagerTest, EachStringItemKeepsItsOwnValueExactly) {
  CConfigureManager config;
  const std::u16string store = u"/srv/Store/";  // trailing separator kept
  const std::u16string logs = u"logs \U0001F600 \u00e9";
  std::u16string policy = u"/etc/orv";
  policy.push_back(0xD800);  // stored as given, even when it is no valid text
  ASSERT_EQ(ChangeString(config, CONFIG_BACKUP_STORE, store), ENG_OK);
  ASSERT_EQ(ChangeString(config, CONFIG_LOG_DIRECTORY, logs), ENG_OK);
  ASSERT_EQ(ChangeString(config, CONFIG_POLICY_DIRECTORY, policy), ENG_OK);

  const std::pair<uint32_t, std::u16string> expected[] = {{CONFIG_BACKUP_STORE, store},
                                                          {CONFIG_LOG_DIRECTORY, logs},
                                                          {CONFIG_POLICY_DIRECTORY, policy}};
  for (const auto& [item, value] : expected) {
    StringQuery q = QueryString(config, item, 64);
    ASSERT_EQ(q.result, ENG_OK);
    EXPECT_EQ(q.buffer.substr(0, value.size() + 1), value + std::u16string(1, u'\0')) << item;
  }
  EXPECT_EQ(config.GetBackupStore(), store);
  EXPECT_EQ(config.GetPolicyDirectory(), policy);
  EXPECT_EQ(config.GetLogFilePath(), JoinPath(logs, u"orv.log"));

  // Change reads only the Buffer slot: a bare pointer is enough.
  const char16_t* bare = u"/other";
  ASSERT_EQ(config.Change(CONFIG_BACKUP_STORE, &bare), ENG_OK);
  EXPECT_EQ(config.GetBackupStore(), u"/other");
}

TEST(ConfigureManagerTest, NoLogDirectoryMeansNoLogFile) {
  CConfigureManager config;
  EXPECT_EQ(config.GetLogFilePath(), u"");
}

}  // namespace
}  // namespace orv
