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
  auto restore = reinterpret_cast<decltype(&::RestoreByEdition)>(orv.Symbol("RestoreByEdition"));
  auto free = reinterpret_cast<decltype(&::FreeFileEdition)>(orv.Symbol("FreeFileEdition"));
  auto resolve = reinterpret_cast<decltype(&::GetFileEdition)>(orv.Symbol("GetFileEdition"));
  auto editions =
      reinterpret_cast<decltype(&::GetFileEditionCount)>(orv.Symbol("GetFileEditionCount"));
  ASSERT_TRUE(restore && free && resolve && editions);
  EXPECT_EQ(restore(12345), 1u) << "restores nothing, says 1";
  FileEditionInfo edition{};
  edition.EditionID = 7;
  free(&edition);
  free(nullptr);
  EXPECT_EQ(edition.EditionID, 7);
  char16_t path[16] = {u'#'};
  EXPECT_EQ(resolve(1, 16, path), 0u);
  EXPECT_EQ(path[0], u'#');
  EXPECT_EQ(editions(nullptr), 0u);
  ASSERT_EQ(orv.Stop(), ENG_OK);
  EXPECT_TRUE(std::filesystem::exists(store / "BackupDB.s3db"));
  EXPECT_EQ(count(), 0u);
}

}  // namespace
}  // namespace orv::testing
