// A write transaction on the calling thread's catalog connection, taken with
// BEGIN IMMEDIATE and rolled back unless it was committed.
#ifndef ORV_CATALOG_TRANSACTION_H_
#define ORV_CATALOG_TRANSACTION_H_

namespace orv {

class CatalogConnection;

class CatalogTransaction {
 public:
  // Begins on connection, which must be the calling thread's and stay open
  // for the life of this object (null: never active). IMMEDIATE takes the
  // write lock now: a deferred transaction that must later write can fail at
  // once while another connection writes, whatever the busy wait. A BEGIN
  // that fails is logged and leaves the transaction inactive.
  explicit CatalogTransaction(CatalogConnection* connection);
  // Rolls back what was not committed.
  ~CatalogTransaction();
  CatalogTransaction(const CatalogTransaction&) = delete;
  CatalogTransaction& operator=(const CatalogTransaction&) = delete;

  // True from a successful BEGIN until Commit or the end of this object.
  bool active() const { return connection_ != nullptr; }

  // Commits. True when committed; false (logged, everything rolled back) when
  // the COMMIT failed or the transaction was not active.
  bool Commit();

 private:
  void Rollback();

  CatalogConnection* connection_;
};

}  // namespace orv

#endif  // ORV_CATALOG_TRANSACTION_H_
