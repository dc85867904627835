// One random cut tree: the points its sampler holds, split by one random axis-aligned cut per
// internal node. Mutations live in tree/mutation.cpp; the read-only traversals of the queries in
// tree/traversal.*.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "detector_error.hpp"
#include "json_codec.hpp"
#include "rcf/node_arena.hpp"
#include "rcf/point_store.hpp"
#include "rng.hpp"

namespace quillon::rcf {

// An ancestor on a descent path with the child subtree the walk did not enter.
// Slots are numbered in 32 bits (node_arena.hpp), which halves the walk scratch of every tree.
struct PathEntry {
  uint32_t node = kNoSlot;
  uint32_t sibling = kNoSlot;
};

struct RcfTree {
  uint64_t root = kNoIndex;  // kNoIndex for an empty tree
  uint64_t tree_mass = 0;    // sum of leaf masses
  NodeArena arena;
  Xoshiro256PlusPlus rng;  // draws cuts only
  uint64_t dims = 0;

  // Empty tree for a sampler of `capacity` points; its memory grows with the points it holds (see
  // make_room), so nothing is reserved here.
  static RcfTree create(uint64_t dims, uint64_t capacity, Xoshiro256PlusPlus rng);

  bool is_empty() const { return root == kNoIndex; }

  // Adds one copy of the point in `row`; returns the row the tree holds for it (`row`, or the row
  // of an equal point it already held).
  uint64_t insert(uint64_t row, const PointStore& store);
  // Removes one copy of the point in `row`. Run check_delete first: a failing deletion is an
  // internal invariant violation here.
  void remove(uint64_t row, const PointStore& store);
  // Whether remove(row) would succeed, without changing anything.
  Status check_delete(uint64_t row, const PointStore& store) const;
  // check_delete that also keeps the descent in the tree's scratch, so that a remove(row) that
  // follows with no other mutation of this tree in between does not walk the tree again.
  Status prepare_delete(uint64_t row, const PointStore& store);
  // prepare_delete in each of `trees` (distinct trees, trees[i] deleting rows[i]), with the
  // descents walked side by side. Returns the first failure in order.
  static Status prepare_deletes(std::span<RcfTree* const> trees, std::span<const uint64_t> rows,
                                const PointStore& store);
  // Walks the descent of rows[i] in trees[i] (distinct trees) side by side and keeps it for an
  // insert(rows[i]) that follows with no other mutation of that tree in between.
  static void prepare_inserts(std::span<RcfTree* const> trees, std::span<const uint64_t> rows,
                              const PointStore& store);
  // Hints that the prepared removal is about to run: requests the boxes (or points) of the
  // siblings it reads while it refreshes the lowest boxes of its path.
  void prefetch_removal(const PointStore& store) const;

  // The leaf reached from the root by the descent rule (tree must not be empty).
  uint64_t leaf_for(std::span<const float> point) const;

  // Sizes the arena and the scratch buffers for one removal and one insertion, so that they do
  // not allocate; a tree holds at most `capacity` points. Called before an update changes
  // anything, which makes a failed allocation leave the forest as it was.
  void make_room(uint64_t capacity);
  size_t heap_bytes() const;
  // Internal nodes on the longest way from the root to a leaf (0 for an empty tree or a lone
  // leaf), by a walk over the whole tree.
  uint64_t height() const;

  static constexpr std::string_view kJsonName = "RcfTree";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("root", self.root);
    field("tree_mass", self.tree_mass);
    field("arena", self.arena);
    field("rng", self.rng);
    field("dims", self.dims);
  }

 private:
  // Scratch reused by every mutation; not part of the state.
  std::vector<PathEntry> path_;
  std::vector<float> cut_min_;
  std::vector<float> cut_max_;
  // At least height(): an insertion raises it by at most one, a removal never. Descents record at
  // most height() entries, so path_ is sized by it rather than by the points (make_room).
  uint64_t height_bound_ = 0;

  // The row whose removal (prepared_row_) or insertion (prepared_insert_row_) was prepared: path_
  // holds its descent, ending at descent_leaf_. Every mutation clears both.
  uint64_t prepared_row_ = kNoIndex;
  uint64_t prepared_insert_row_ = kNoIndex;
  uint64_t descent_leaf_ = kNoIndex;

  // Walks the descent of each tree's row into that tree's path_ and descent_leaf_ (kNoIndex for
  // an empty tree), the trees side by side. Clears every prepared row.
  static void descend_side_by_side(std::span<RcfTree* const> trees, std::span<const uint64_t> rows,
                                   const PointStore& store);

  // Clears the path, walks to a leaf recording (node, sibling) pairs; returns the leaf.
  uint64_t descend_with_path(std::span<const float> point);
  // Brings box and mass of the first `count` path entries up to date, deepest first, after one
  // copy of `point` was added below them (mass_delta +1) or removed (-1); `point_left` when no
  // copy of it remains below them.
  void refresh_path(size_t count, const PointStore& store, std::span<const float> point,
                    int mass_delta, bool point_left);
  // refresh_path after one copy of `point` was added below the first `count` path entries.
  void refresh_after_insert(size_t count, const PointStore& store, std::span<const float> point);
  // Recomputes a node's box as its left child's box extended with its right child's, and its mass.
  void refresh_node(uint64_t slot, const PointStore& store);
  // Whether a node's box is certain to come out bit-identical from refresh_node.
  bool box_survives(uint64_t slot, std::span<const float> point, bool point_left) const;
  // Puts a new leaf for `row` beside `subtree` under a new internal node with the given cut.
  void link_new_internal(uint64_t row, std::span<const float> point, uint64_t cut_dim,
                         float cut_val, uint64_t subtree, size_t level, const PointStore& store);
};

}  // namespace quillon::rcf
