#include <orv/orv.h>

#include <gtest/gtest.h>

#include "host/loaded_library.h"
#include "support/temp_dir.h"

namespace orv::testing {
namespace {

TEST(HostQueryTest, TheCatalogThroughTheExports) {
  LoadedLibrary orv;
  auto connect =
      reinterpret_cast<decltype(&::ConnectBackupStorage)>(orv.Symbol("ConnectBackupStorage"));
  auto count = reinterpret_cast<decltype(&::GetBackupFileCount)>(orv.Symbol("GetBackupFileCount"));
  auto first =
      reinterpret_cast<decltype(&::FindFirstBackupFile)>(orv.Symbol("FindFirstBackupFile"));
  auto close =
      reinterpret_cast<decltype(&::FindBackupFileClose)>(orv.Symbol("FindBackupFileClose"));
  auto disconnect =
      reinterpret_cast<decltype(&::DisconnectBackupStorage)>(orv.Symbol("DisconnectBackupStorage"));
  ASSERT_TRUE(connect && count && first && close && disconnect);
  EXPECT_EQ(orv.Symbol("FindFileEditionClose"), orv.Symbol("FindBackupFileClose"))
      << "one function under two names";

  EXPECT_EQ(connect(), 0u) << "no catalog before Start";
  TempDir store;
  ASSERT_EQ(orv.SetString(CONFIG_BACKUP_STORE, store.u16()), ENG_OK);
  ASSERT_EQ(orv.Initialize(), ENG_OK);
  ASSERT_EQ(orv.Start(), ENG_OK);
  EXPECT_EQ(connect(), 1u);
  EXPECT_EQ(count(), 0u);
  BackupFileInfo info;
  EXPECT_EQ(first(&info), nullptr);
  close(nullptr);
  disconnect();
  ASSERT_EQ(orv.Stop(), ENG_OK);
  EXPECT_TRUE(std::filesystem::exists(store / "BackupDB.s3db"));
  EXPECT_EQ(count(), 0u);
}

}  // namespace
}  // namespace orv::testing
