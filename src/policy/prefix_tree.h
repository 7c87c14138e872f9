// Answers "does any stored value begin the given text?" in one pass over the
// text, whatever the number and lengths of the values. Case-significant.
#ifndef ORV_POLICY_PREFIX_TREE_H_
#define ORV_POLICY_PREFIX_TREE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orv {

// A radix tree: each node carries the run of units on the edge into it.
class PrefixTree {
 public:
  PrefixTree();

  void Add(std::u16string_view value);
  // True when some added value is a prefix of text (an empty value is a prefix
  // of everything).
  bool AnyPrefixOf(std::u16string_view text) const;

 private:
  struct Node {
    std::u16string label;
    // Children keyed by the first unit of their label, sorted.
    std::vector<std::pair<char16_t, uint32_t>> children;
    bool terminal = false;
  };

  // Index of the child of node whose label starts with unit, or 0 for none
  // (node 0 is the root, never a child).
  uint32_t FindChild(uint32_t node, char16_t unit) const;
  uint32_t AddNode(Node node);
  void Link(uint32_t parent, uint32_t child);

  std::vector<Node> nodes_;
};

}  // namespace orv

#endif  // ORV_POLICY_PREFIX_TREE_H_
