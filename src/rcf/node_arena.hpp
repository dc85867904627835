// The nodes of one random cut tree, in slots addressed by index, with a stack of vacant slots that
// are reused before the list grows. Nodes refer to children and points by index only, so a tree
// copies and saves without fix-ups.
//
// Layout: `nodes` holds one 32-byte record per slot, two to a cache line. Only internal nodes have
// a bounding box; it lives in the flat `boxes` pool, 2 * dim floats per entry (min, then max), at
// the entry the node record names. Box entries are recycled through their own stack, so mutations
// never allocate and leaves cost no box memory. A leaf's box is its point in the point store.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cache_aligned.hpp"
#include "detector_error.hpp"
#include "json_codec.hpp"
#include "rcf/bounding_box.hpp"
#include "rcf/point_store.hpp"

namespace quillon::rcf {

enum class NodeKind : uint8_t { Empty, Leaf, Internal };

// Box entry sentinels of the node record; every smaller value names an internal node's box.
inline constexpr uint32_t kEmptySlot = 0xFFFFFFFFu;
inline constexpr uint32_t kLeafBox = 0xFFFFFFFEu;
inline constexpr uint64_t kMaxBoxes = kLeafBox;  // internal nodes a tree can hold at once

// Slots are numbered in 32 bits, so that a record fills half a cache line; a tree of capacity c
// holds at most 2c - 1 nodes, and larger capacities are refused (kMaxCapacity).
inline constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
inline constexpr uint64_t kMaxSlots = kNoSlot;  // slots an arena can number: 0 .. kMaxSlots - 1
inline constexpr uint64_t kMaxCapacity = kMaxSlots / 2;

struct alignas(32) Node {
  uint32_t left = kNoSlot;   // internal: left child slot; leaf: low half of the point-store row
  uint32_t right = kNoSlot;  // internal: right child slot; leaf: high half of the row
  uint32_t cut_dim = 0;
  float cut_val = 0.0f;
  uint32_t mass = 0;          // at most the capacity
  uint32_t box = kEmptySlot;  // internal: entry in NodeArena::boxes; else kLeafBox / kEmptySlot
  double range_sum = 0.0;     // internal: cached range sum of the node's box

  NodeKind kind() const {
    return box == kEmptySlot ? NodeKind::Empty
           : box == kLeafBox ? NodeKind::Leaf
                             : NodeKind::Internal;
  }
  bool is_leaf() const { return box == kLeafBox; }
  bool is_internal() const { return box < kLeafBox; }
  bool is_empty() const { return box == kEmptySlot; }
  uint64_t point_idx() const { return uint64_t{left} | uint64_t{right} << 32; }
  void set_point_idx(uint64_t row) {
    left = static_cast<uint32_t>(row);
    right = static_cast<uint32_t>(row >> 32);
  }
  // Descent rule of every traversal: left when point[cut_dim] <= cut_val, else (NaN too) right.
  uint64_t child_for(std::span<const float> point) const {
    return point[cut_dim] <= cut_val ? left : right;
  }
};
static_assert(sizeof(Node) == 32, "two node records per cache line");

struct NodeArena {
  uint64_t dim = 0;  // coordinates per box; not saved (the tree's dims)
  CacheAlignedVector<Node> nodes;
  std::vector<uint64_t> free;        // vacant slots, used as a stack
  CacheAlignedVector<float> boxes;   // 2 * dim floats per box entry
  std::vector<uint32_t> free_boxes;  // vacant box entries, used as a stack

  NodeArena() = default;
  // Room for `reserve_slots` slots and `reserve_boxes` internal nodes.
  NodeArena(uint64_t box_dim, uint64_t reserve_slots, uint64_t reserve_boxes);
  void reserve(uint64_t slots, uint64_t internal_nodes);
  // Room for one removal and one insertion (a leaf and an internal node appended, two slots and
  // one box entry released), growing geometrically up to `slot_limit` slots and `box_limit` box
  // entries, so that the mutations of an update do not allocate.
  void make_room(uint64_t slot_limit, uint64_t box_limit);
  size_t heap_bytes() const;

  // Checked access: an index past the end or an empty slot is an internal invariant violation.
  const Node& get(uint64_t i) const {
    QUILLON_INVARIANT(i < nodes.size(), "index out of range in node arena");
    QUILLON_INVARIANT(!nodes[i].is_empty(), "accessed freed or uninitialized node");
    return nodes[i];
  }
  Node& get_mut(uint64_t i) {
    QUILLON_INVARIANT(i < nodes.size(), "index out of range in node arena");
    QUILLON_INVARIANT(!nodes[i].is_empty(), "accessed freed or uninitialized node");
    return nodes[i];
  }
  uint64_t mass_of(uint64_t i) const { return get(i).mass; }

  // The box of internal node record `n`: dim minima followed by dim maxima.
  const float* box_data(const Node& n) const { return boxes.data() + uint64_t{n.box} * 2 * dim; }
  // The box of the internal node in slot i.
  std::span<const float> box_min(uint64_t i) const { return {box_data(nodes[i]), dim}; }
  std::span<const float> box_max(uint64_t i) const { return {box_data(nodes[i]) + dim, dim}; }
  std::span<float> box_min_mut(uint64_t i) {
    return {boxes.data() + uint64_t{nodes[i].box} * 2 * dim, dim};
  }
  std::span<float> box_max_mut(uint64_t i) {
    return {boxes.data() + uint64_t{nodes[i].box} * 2 * dim + dim, dim};
  }
  // Separation probability of `point` against the box of internal node i.
  double separation_probability(uint64_t i, std::span<const float> point) const {
    return rcf::separation_probability(box_min(i), box_max(i), nodes[i].range_sum, point);
  }

  // Hints that the box (or node record) of slot i is about to be read: mutations know their whole
  // path after one descent, so the loads of all its boxes can overlap.
  void prefetch_box(uint64_t i) const {
    const Node& n = nodes[i];
    if (!n.is_internal()) return;
    const char* p = reinterpret_cast<const char*>(box_data(n));
    for (uint64_t off = 0; off < 2 * dim * sizeof(float); off += 64) __builtin_prefetch(p + off);
  }
  void prefetch_node(uint64_t i) const { __builtin_prefetch(nodes.data() + i); }

  // Reuses the top of the free stack, else appends.
  uint64_t allocate_leaf(uint64_t point_idx, uint64_t mass);
  // As allocate_leaf; also takes a box entry, left for the caller to fill.
  uint64_t allocate_internal(const Node& node);
  // Empties the slot (and gives back its box entry).
  void release(uint64_t i);

  // Number of slots (used and empty).
  uint64_t slot_count() const { return nodes.size(); }
  // Sets the box width of an arena without internal nodes (after loading).
  void set_box_dim(uint64_t box_dim);

 private:
  uint64_t place(const Node& node);
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
