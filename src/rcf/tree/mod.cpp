#include "rcf/tree/mod.hpp"

#include <algorithm>
#include <bit>

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
  // The descents of this update record at most height() entries, and its insertion leaves a
  // tree at most one level deeper; a tree of m points has at most m - 1 levels, so `most`
  // entries always suffice. Otherwise room for height_bound_ + 1 entries keeps the path from
  // allocating until the next make_room, whose first descents run before it. When the bound
  // reaches the room, a walk renews it; the path grows only when the tree itself has come near
  // the room, to twice its height or the few times log2(capacity) that random cut trees seldom
  // exceed, so that walks and growth stay rare.
  const uint64_t most = (tree_mass < capacity ? tree_mass : capacity) + 2;
  if (path_.capacity() < most && path_.capacity() <= height_bound_) {
    height_bound_ = height();
    if (path_.capacity() <= height_bound_ + 4) {
      const uint64_t usual = 2 * static_cast<uint64_t>(std::bit_width(capacity));
      path_.reserve(std::min(2 * std::max(height_bound_, usual) + 16, capacity + 2));
    }
  }
  cut_min_.reserve(dims);
  cut_max_.reserve(dims);
}

size_t RcfTree::heap_bytes() const {
  return arena.heap_bytes() + path_.capacity() * sizeof(PathEntry) +
         (cut_min_.capacity() + cut_max_.capacity()) * sizeof(float);
}

uint64_t RcfTree::height() const {
  if (root == kNoIndex) return 0;
  // Depth first: go left, keeping each right child with its depth for later. The pending children
  // sit at distinct depths, so a tree of usual height keeps them on the stack and the walk does
  // not allocate.
  struct Pending {
    uint32_t slot;
    uint32_t depth;
  };
  constexpr size_t kNear = 64;
  Pending near[kNear];
  std::vector<Pending> far;
  size_t pending = 0;
  uint64_t deepest = 0;
  uint64_t slot = root;
  uint32_t depth = 0;
  uint64_t visited = 0;
  while (true) {
    const Node* node = &arena.get(slot);
    while (node->is_internal()) {
      QUILLON_INVARIANT(++visited < arena.slot_count(), "tree walk longer than its arena");
      const Pending right{node->right, depth + 1};
      if (pending < kNear) {
        near[pending] = right;
      } else {
        far.push_back(right);
      }
      ++pending;
      slot = node->left;
      ++depth;
      node = &arena.get(slot);
    }
    deepest = std::max<uint64_t>(deepest, depth);
    if (pending == 0) return deepest;
    --pending;
    const Pending next = pending < kNear ? near[pending] : far.back();
    if (pending >= kNear) far.pop_back();
    slot = next.slot;
    depth = next.depth;
  }
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
