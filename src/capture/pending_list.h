// The entries that wait for a later event on their path. Kept in arrival order
// (for the expiry walk) and indexed by path, so that settling an event costs
// the same with ten entries or ten thousand. Not synchronised: the owner holds
// the pending lock.
#ifndef ORV_CAPTURE_PENDING_LIST_H_
#define ORV_CAPTURE_PENDING_LIST_H_

#include <cstddef>
#include <list>
#include <string_view>
#include <unordered_map>

#include "capture/edition_entry.h"
#include "platform/path.h"

namespace orv {

class PendingList {
 public:
  PendingList() = default;
  PendingList(const PendingList&) = delete;
  PendingList& operator=(const PendingList&) = delete;

  void Append(EditionEntry entry);

  // The oldest entry whose path names the same file, or null. Valid until the
  // list changes.
  EditionEntry* Oldest(std::u16string_view path);

  // Removes the entry Oldest(path) names (there must be one) and hands it back.
  EditionEntry RemoveOldest(std::u16string_view path);

  // Walks in arrival order; each entry for which take(entry) is true is
  // removed and passed to sink.
  template <typename Take, typename Sink>
  void RemoveIf(Take take, Sink sink) {
    for (auto it = order_.begin(); it != order_.end();) {
      Node& node = *it++;
      if (take(node.entry)) sink(Remove(&node));
    }
  }

  // Calls visit(entry) for each entry, in arrival order.
  template <typename Visit>
  void ForEach(Visit visit) const {
    for (const Node& node : order_) visit(node.entry);
  }

  size_t size() const { return order_.size(); }
  bool empty() const { return order_.empty(); }

 private:
  struct Node {
    EditionEntry entry;
    Node* older = nullptr;
    Node* newer = nullptr;
    std::list<Node>::iterator position;
  };
  // The entries of one path, oldest first.
  struct Chain {
    Node* oldest;
    Node* newest;
  };

  EditionEntry Remove(Node* node);

  std::list<Node> order_;
  // Keyed by a view of the path of the chain's oldest entry.
  std::unordered_map<std::u16string_view, Chain, FilePathHash, FilePathEqual> byPath_;
};

}  // namespace orv

#endif  // ORV_CAPTURE_PENDING_LIST_H_
