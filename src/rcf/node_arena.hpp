// The nodes of one random cut tree, in slots addressed by index, with a stack of vacant slots that
// are reused before the list grows. Nodes refer to children and points by index only, so a tree
// copies and saves without fix-ups.
//
// Layout: `nodes` holds one fixed-size record per slot; the bounding boxes of internal nodes live
// in the flat `boxes` pool, 2 * dim floats per slot (min, then max), so that mutations never
// allocate and a traversal reads a node's box as two contiguous spans. A leaf's box is its point
// in the point store; its pool entry is unused.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "detector_error.hpp"
#include "json_codec.hpp"
#include "rcf/bounding_box.hpp"
#include "rcf/point_store.hpp"

namespace quillon::rcf {

enum class NodeKind : uint8_t { Empty, Leaf, Internal };

struct Node {
  uint64_t left = kNoIndex;   // internal: left child slot; leaf: the point-store row (point_idx())
  uint64_t right = kNoIndex;  // internal: right child slot
  uint64_t cut_dim = 0;
  uint64_t mass = 0;
  double range_sum = 0.0;     // internal: cached range sum of the node's box
  float cut_val = 0.0f;
  NodeKind kind = NodeKind::Empty;

  bool is_leaf() const { return kind == NodeKind::Leaf; }
  bool is_internal() const { return kind == NodeKind::Internal; }
  uint64_t point_idx() const { return left; }
  // Descent rule of every traversal: left when point[cut_dim] <= cut_val, else (NaN too) right.
  uint64_t child_for(std::span<const float> point) const {
    return point[cut_dim] <= cut_val ? left : right;
  }
};

struct NodeArena {
  uint64_t dim = 0;  // coordinates per box; not saved (the tree's dims)
  std::vector<Node> nodes;
  std::vector<float> boxes;     // 2 * dim floats per slot; meaningful for internal nodes only
  std::vector<uint64_t> free;   // vacant slots, used as a stack

  NodeArena() = default;
  NodeArena(uint64_t box_dim, uint64_t reserve_slots);

  // Checked access: an index past the end or an empty slot is an internal invariant violation.
  const Node& get(uint64_t i) const {
    QUILLON_INVARIANT(i < nodes.size(), "index out of range in node arena");
    QUILLON_INVARIANT(nodes[i].kind != NodeKind::Empty, "accessed freed or uninitialized node");
    return nodes[i];
  }
  Node& get_mut(uint64_t i) {
    QUILLON_INVARIANT(i < nodes.size(), "index out of range in node arena");
    QUILLON_INVARIANT(nodes[i].kind != NodeKind::Empty, "accessed freed or uninitialized node");
    return nodes[i];
  }
  uint64_t mass_of(uint64_t i) const { return get(i).mass; }

  // The box of an internal node (unchecked against the node kind; the pool always has the slot).
  std::span<const float> box_min(uint64_t i) const { return {boxes.data() + i * 2 * dim, dim}; }
  std::span<const float> box_max(uint64_t i) const {
    return {boxes.data() + i * 2 * dim + dim, dim};
  }
  std::span<float> box_min_mut(uint64_t i) { return {boxes.data() + i * 2 * dim, dim}; }
  std::span<float> box_max_mut(uint64_t i) { return {boxes.data() + i * 2 * dim + dim, dim}; }
  // Separation probability of `point` against the box of internal node i.
  double separation_probability(uint64_t i, std::span<const float> point) const {
    return rcf::separation_probability(box_min(i), box_max(i), nodes[i].range_sum, point);
  }

  // Reuses the top of the free stack, else appends. The box of an internal node is left for the
  // caller to fill.
  uint64_t allocate(const Node& node);
  uint64_t allocate_leaf(uint64_t point_idx, uint64_t mass) {
    Node n;
    n.kind = NodeKind::Leaf;
    n.left = point_idx;
    n.mass = mass;
    return allocate(n);
  }
  void release(uint64_t i);

  // Number of slots (used and empty).
  uint64_t slot_count() const { return nodes.size(); }
  // Makes sure the box pool covers every slot with `box_dim` floats per side (after loading).
  void set_box_dim(uint64_t box_dim);
};

}  // namespace quillon::rcf

namespace quillon::json {

// {"nodes":[{"Leaf":{...}}, {"Internal":{...}}, null, ...], "free":[...]}
template <>
struct Codec<rcf::NodeArena> {
  static void write(Writer& w, const rcf::NodeArena& arena);
  static bool read(Reader& r, rcf::NodeArena& arena);
};

}  // namespace quillon::json
