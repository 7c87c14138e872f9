#include "policy/prefix_tree.h"

#include <algorithm>

namespace orv {
namespace {

bool ByUnit(const std::pair<char16_t, uint32_t>& edge, char16_t unit) { return edge.first < unit; }

}  // namespace

PrefixTree::PrefixTree() : nodes_(1) {}

uint32_t PrefixTree::FindChild(uint32_t node, char16_t unit) const {
  const auto& children = nodes_[node].children;
  const auto it = std::lower_bound(children.begin(), children.end(), unit, ByUnit);
  return (it != children.end() && it->first == unit) ? it->second : 0;
}

uint32_t PrefixTree::AddNode(Node node) {
  nodes_.push_back(std::move(node));
  return static_cast<uint32_t>(nodes_.size() - 1);
}

void PrefixTree::Link(uint32_t parent, uint32_t child) {
  auto& children = nodes_[parent].children;
  const char16_t unit = nodes_[child].label.front();
  const auto it = std::lower_bound(children.begin(), children.end(), unit, ByUnit);
  if (it != children.end() && it->first == unit) {
    it->second = child;
  } else {
    children.insert(it, {unit, child});
  }
}

void PrefixTree::Add(std::u16string_view value) {
  uint32_t node = 0;
  size_t consumed = 0;
  while (true) {
    // A shorter value already answers for everything below it.
    if (nodes_[node].terminal) return;
    if (consumed == value.size()) {
      nodes_[node].terminal = true;
      return;
    }
    const std::u16string_view rest = value.substr(consumed);
    const uint32_t child = FindChild(node, rest.front());
    if (child == 0) {
      Node leaf;
      leaf.label.assign(rest);
      leaf.terminal = true;
      Link(node, AddNode(std::move(leaf)));
      return;
    }
    const std::u16string_view label = nodes_[child].label;
    const size_t common = static_cast<size_t>(
        std::mismatch(label.begin(), label.end(), rest.begin(), rest.end()).first - label.begin());
    if (common < label.size()) {
      // Split the edge: node -> middle (shared run) -> child (the remainder).
      Node middle;
      middle.label.assign(label.substr(0, common));
      const uint32_t middleIndex = AddNode(std::move(middle));
      nodes_[child].label.erase(0, common);
      Link(middleIndex, child);
      Link(node, middleIndex);
      node = middleIndex;
    } else {
      node = child;
    }
    consumed += common;
  }
}

bool PrefixTree::AnyPrefixOf(std::u16string_view text) const {
  uint32_t node = 0;
  size_t consumed = 0;
  while (true) {
    const Node& current = nodes_[node];
    if (current.terminal) return true;
    if (consumed == text.size()) return false;
    const uint32_t child = FindChild(node, text[consumed]);
    if (child == 0) return false;
    const std::u16string& label = nodes_[child].label;
    if (text.compare(consumed, label.size(), label) != 0) return false;
    consumed += label.size();
    node = child;
  }
}

}  // namespace orv
