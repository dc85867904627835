#include "onlineiforest/node.hpp"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>

#include "detector_error.hpp"
#include "memory_budget.hpp"

namespace quillon::oif {

size_t NodeArena::reserved_bytes() const {
  return nodes_.capacity() * sizeof(Node) + bounds_.capacity() * sizeof(float) +
         free_pairs_.capacity() * sizeof(uint64_t);
}

void NodeArena::grow_to(size_t slots) {
  const unsigned __int128 floats = static_cast<unsigned __int128>(slots) * 2 * input_dim_;
  const unsigned __int128 bytes =
      static_cast<unsigned __int128>(slots) * (sizeof(Node) + sizeof(uint64_t)) +
      floats * sizeof(float);
  require_memory(bytes > std::numeric_limits<uint64_t>::max() ? ~ByteSize{0} : bytes,
                 "a tree of " + std::to_string(slots) + " nodes");
  nodes_.reserve(slots);
  bounds_.reserve(static_cast<size_t>(floats));
  // Every pair can be on the free list at once; reserving for all of them keeps
  // release_children() free of allocation.
  free_pairs_.reserve(slots / 2 + 1);
}

void NodeArena::reserve_pair() {
  // A pair from the free list needs no new slot, but the free list itself must still have room
  // for every pair: a copied arena keeps no spare capacity, and a fold must not allocate.
  const size_t needed = free_pairs_.empty() ? nodes_.size() + 2 : nodes_.size();
  if (nodes_.capacity() >= needed && bounds_.capacity() >= needed * 2 * input_dim_ &&
      free_pairs_.capacity() >= needed / 2 + 1) {
    return;
  }
  grow_to(nodes_.capacity() >= needed ? nodes_.capacity()
                                      : std::max<size_t>({needed, 2 * nodes_.capacity(), 8}));
}

uint64_t NodeArena::create_root() {
  QUILLON_INVARIANT(nodes_.empty(), "root created in a non-empty tree");
  nodes_.emplace_back();
  bounds_.resize(2 * input_dim_);
  return 0;
}

uint64_t NodeArena::allocate_pair() {
  uint64_t left = 0;
  if (!free_pairs_.empty()) {
    left = free_pairs_.back();
    free_pairs_.pop_back();
    nodes_[left] = Node{};
    nodes_[left + 1] = Node{};
  } else {
    left = nodes_.size();
    nodes_.resize(nodes_.size() + 2);
    bounds_.resize(bounds_.size() + 4 * input_dim_);
  }
  return left;
}

void NodeArena::release_children(uint64_t slot) {
  Node& top = nodes_[slot];
  if (top.is_leaf()) return;
  size_t next = free_pairs_.size();
  free_pairs_.push_back(top.children);
  top.children = kNoChildren;
  for (; next < free_pairs_.size(); ++next) {
    const uint64_t pair = free_pairs_[next];
    for (uint64_t s = pair; s < pair + 2; ++s) {
      if (!nodes_[s].is_leaf()) {
        free_pairs_.push_back(nodes_[s].children);
        nodes_[s].children = kNoChildren;
      }
    }
  }
}

void NodeArena::clear() {
  nodes_.clear();
  bounds_.clear();
  free_pairs_.clear();
}

}  // namespace quillon::oif
