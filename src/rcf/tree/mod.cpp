#include "rcf/tree/mod.hpp"

namespace quillon::rcf {

RcfTree RcfTree::create(uint64_t dims, uint64_t capacity, Xoshiro256PlusPlus rng) {
  RcfTree t;
  t.dims = dims;
  t.arena = NodeArena(dims, 2 * capacity + 4, capacity + 1);
  t.rng = rng;
  t.reserve(capacity);
  return t;
}

void RcfTree::reserve(uint64_t capacity) {
  // A tree of `capacity` distinct points has capacity - 1 internal nodes.
  arena.reserve(2 * capacity + 4, capacity + 1);
  // A tree of `capacity` distinct points is at most capacity - 1 deep.
  path_.reserve(capacity + 1);
  uniforms_.reserve(capacity + 1);
  cut_min_.reserve(dims);
  cut_max_.reserve(dims);
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
