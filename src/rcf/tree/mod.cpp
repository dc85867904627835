#include "rcf/tree/mod.hpp"

#include <algorithm>

namespace quillon::rcf {

RcfTree RcfTree::create(uint64_t dims, [[maybe_unused]] uint64_t capacity,
                        Xoshiro256PlusPlus rng) {
  RcfTree t;
  t.dims = dims;
  t.arena = NodeArena(dims, 0, 0);
  t.rng = rng;
  return t;
}

void RcfTree::make_room(uint64_t capacity) {
  // A tree of `capacity` distinct points has 2 * capacity - 1 nodes, capacity - 1 of them
  // internal; the arena's own reservation rule is 2 * capacity + 4 slots.
  arena.make_room(2 * capacity + 4, capacity + 1);
  // A tree of m points is at most m - 1 deep, and an insertion adds one level.
  const uint64_t depth = (tree_mass < capacity ? tree_mass : capacity) + 2;
  if (path_.capacity() < depth) path_.reserve(std::max<uint64_t>(depth, path_.capacity() * 3 / 2));
  cut_min_.reserve(dims);
  cut_max_.reserve(dims);
}

size_t RcfTree::heap_bytes() const {
  return arena.heap_bytes() + path_.capacity() * sizeof(PathEntry) +
         (cut_min_.capacity() + cut_max_.capacity()) * sizeof(float);
}

uint64_t RcfTree::leaf_for(std::span<const float> point) const {
  uint64_t slot = root;
  const Node* node = &arena.get(slot);
  while (node->is_internal()) {
    slot = node->child_for(point);
    node = &arena.get(slot);
  }
  return slot;
}

}  // namespace quillon::rcf
