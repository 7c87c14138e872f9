// One read transaction of the catalog for a series of queries: one moment of
// it, and no lock taken and released for each lookup.
#ifndef ORV_TOOLS_ORV_READ_TRANSACTION_H_
#define ORV_TOOLS_ORV_READ_TRANSACTION_H_

#include <orv/orv.h>

namespace orv::tool {

// Begun when made (where the engine can: otherwise each query reads on its
// own), ended when destroyed.
class ReadTransaction {
 public:
  ReadTransaction() : begun_(OrvBeginRead() == 1) {}
  ~ReadTransaction() {
    if (begun_) OrvEndRead();
  }
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  bool begun_;
};

}  // namespace orv::tool

#endif  // ORV_TOOLS_ORV_READ_TRANSACTION_H_
