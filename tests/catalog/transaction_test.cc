#include "catalog/transaction.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include "catalog/database_manager.h"
#include "engine/timings.h"
#include "query/backup_files.h"
#include "support/catalog_rows.h"
#include "support/engine_fixture.h"

namespace orv {
namespace {

class CatalogTransactionTest : public testing::EngineFixture {
 protected:
  void SetUp() override {
    EngineTimings timings;
    timings.catalogBusyTimeout = std::chrono::milliseconds(20);
    SetTimingsForTesting(timings);
    StartEngine();
  }
  void TearDown() override {
    EngineFixture::TearDown();
    SetTimingsForTesting(EngineTimings{});
  }
  int Files() const { return testing::CountRows(catalogFile(), "BackupFile"); }
};

TEST_F(CatalogTransactionTest, OnlyACommittedTransactionKeepsItsRows) {
  {
    CatalogTransaction transaction(DbmConnect());
    ASSERT_TRUE(transaction.active());
    ASSERT_EQ(query::InsertBackupFile(u"/dropped"), 1u);
  }
  EXPECT_EQ(Files(), 0) << "rolled back when it ends uncommitted";
  {
    CatalogTransaction transaction(DbmConnect());
    ASSERT_EQ(query::InsertBackupFile(u"/kept"), 1u);
    EXPECT_TRUE(transaction.Commit());
    EXPECT_FALSE(transaction.active());
    EXPECT_FALSE(transaction.Commit()) << "nothing left to commit";
  }
  EXPECT_EQ(Files(), 1);
  // Without a connection there is nothing to begin.
  CatalogTransaction none(nullptr);
  EXPECT_FALSE(none.active());
  EXPECT_FALSE(none.Commit());
}

TEST_F(CatalogTransactionTest, ABeginThatMeetsAnotherWriterIsLoggedAndInactive) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(catalogFile().string().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr), SQLITE_OK);
  {
    CatalogTransaction transaction(DbmConnect());
    EXPECT_FALSE(transaction.active());
    EXPECT_FALSE(transaction.Commit());
  }
  ASSERT_EQ(sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  StopEngine();
  int busy = 0;
  for (const std::string& line : LogLines()) busy += line.rfind("Sqlite error code 5,", 0) == 0;
  EXPECT_EQ(busy, 1) << "the BEGIN, once; no ROLLBACK of a transaction never begun";
}

}  // namespace
}  // namespace orv
