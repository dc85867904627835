// Nodes of an online isolation tree and the arena that holds them. A node keeps a count and the
// box of the points routed through it; an internal node also keeps its split. Children are
// allocated as a pair (left, left + 1), so a node needs one index to reach both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace quillon::oif {

inline constexpr uint64_t kNoChildren = std::numeric_limits<uint64_t>::max();

struct Node {
  uint64_t height = 0;
  uint64_t children = kNoChildren;  // left child's slot; the right child is the next slot
  uint64_t split_dimension = 0;
  float split_value = 0.0f;

  bool is_leaf() const { return children == kNoChildren; }
  uint64_t left() const { return children; }
  uint64_t right() const { return children + 1; }
};

// Slot storage for one tree. Slot 0 is the root whenever the tree is not empty. Supports live
// in one flat float array, `2 * input_dim` per slot (minimum then maximum), so a root-to-leaf
// walk touches contiguous memory.
class NodeArena {
 public:
  NodeArena() = default;
  explicit NodeArena(uint64_t input_dim) : input_dim_(input_dim) {}

  uint64_t input_dim() const { return input_dim_; }
  bool empty() const { return nodes_.empty(); }
  // Slots in use or on the free list.
  size_t slot_count() const { return nodes_.size(); }
  size_t live_count() const { return nodes_.size() - 2 * free_pairs_.size(); }
  size_t reserved_bytes() const;

  Node& node(uint64_t slot) { return nodes_[slot]; }
  const Node& node(uint64_t slot) const { return nodes_[slot]; }
  float* min(uint64_t slot) { return bounds_.data() + slot * 2 * input_dim_; }
  float* max(uint64_t slot) { return min(slot) + input_dim_; }
  const float* min(uint64_t slot) const { return bounds_.data() + slot * 2 * input_dim_; }
  const float* max(uint64_t slot) const { return min(slot) + input_dim_; }

  // Guarantees that the next create_root() or allocate_pair() does not allocate. May throw
  // std::bad_alloc; nothing observable changes either way.
  void reserve_pair();
  // Room for `slots` slots in total (used when a saved tree is rebuilt); may throw std::bad_alloc.
  void reserve_slots(size_t slots) { grow_to(slots); }
  // Both require a preceding reserve_pair() (or enough spare capacity).
  uint64_t create_root();
  uint64_t allocate_pair();
  // Returns every slot below `slot` to the free list and makes `slot` a leaf. Iterative: the
  // free list itself is the work queue, so no stack and no allocation are needed.
  void release_children(uint64_t slot);
  // Drops every node; capacity is kept for the next root.
  void clear();

 private:
  void grow_to(size_t slots);

  uint64_t input_dim_ = 0;
  std::vector<Node> nodes_;
  std::vector<float> bounds_;
  std::vector<uint64_t> free_pairs_;
};

}  // namespace quillon::oif
