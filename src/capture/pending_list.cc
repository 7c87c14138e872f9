#include "capture/pending_list.h"

namespace orv {

void PendingList::Append(EditionEntry entry) {
  Node& node = order_.emplace_back();
  node.entry = std::move(entry);
  node.position = std::prev(order_.end());
  auto [found, inserted] = byPath_.try_emplace(node.entry.path, Chain{&node, &node});
  if (inserted) return;
  Chain& chain = found->second;
  node.older = chain.newest;
  chain.newest->newer = &node;
  chain.newest = &node;
}

EditionEntry* PendingList::Oldest(std::u16string_view path) {
  const auto found = byPath_.find(path);
  return found == byPath_.end() ? nullptr : &found->second.oldest->entry;
}

EditionEntry PendingList::RemoveOldest(std::u16string_view path) {
  return Remove(byPath_.find(path)->second.oldest);
}

EditionEntry PendingList::Remove(Node* node) {
  const auto found = byPath_.find(node->entry.path);
  Chain& chain = found->second;
  if (chain.oldest == node && chain.newest == node) {
    byPath_.erase(found);
  } else if (chain.oldest == node) {
    Node* next = node->newer;
    next->older = nullptr;
    chain.oldest = next;
    // The key views the removed entry's path: point it at the new oldest's.
    auto handle = byPath_.extract(found);
    handle.key() = next->entry.path;
    byPath_.insert(std::move(handle));
  } else {
    if (chain.newest == node) chain.newest = node->older;
    node->older->newer = node->newer;
    if (node->newer != nullptr) node->newer->older = node->older;
  }
  EditionEntry removed = std::move(node->entry);
  order_.erase(node->position);
  return removed;
}

}  // namespace orv
