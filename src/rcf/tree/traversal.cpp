#include "rcf/tree/traversal.hpp"

#include <cstdint>
#include <utility>

#include "detector_error.hpp"

namespace quillon::rcf {

namespace {

// Unchecked views of one arena for the walks. A validated tree never leaves its arena, but the
// slot index and the kind are still tested (one predictable branch each) so that a broken state
// ends in an internal failure rather than a wild read.
class ArenaView {
 public:
  ArenaView() = default;
  explicit ArenaView(const NodeArena& arena)
      : nodes_(arena.nodes.data()),
        slots_(arena.nodes.size()),
        boxes_(arena.boxes.data()),
        box_floats_(arena.boxes.size()),
        box_dim_(arena.dim) {}

  const Node& node(uint64_t slot) const {
    QUILLON_INVARIANT(slot < slots_, "index out of range in node arena");
    const Node& n = nodes_[slot];
    QUILLON_INVARIANT(!n.is_empty(), "accessed freed or uninitialized node");
    return n;
  }
  // The record in a slot, which may be empty; for walks that test the kind anyway.
  const Node& record(uint64_t slot) const {
    QUILLON_INVARIANT(slot < slots_, "index out of range in node arena");
    return nodes_[slot];
  }
  // Separation probability of the query (dim coordinates, dim <= the box width) against the box
  // of internal node `n`.
  double separation(const Node& n, const float* x, size_t dim) const {
    const uint64_t offset = uint64_t{n.box} * 2 * box_dim_;
    QUILLON_INVARIANT(offset + 2 * box_dim_ <= box_floats_, "index out of range in node arena");
    return separation_probability_at(boxes_ + offset, boxes_ + offset + box_dim_, n.range_sum, x,
                                     dim);
  }
  bool boxes_cover(size_t dim) const { return dim <= box_dim_; }

  // Prefetches are hints that never fault, so the addresses are formed as integers, unchecked.
  // Always inlined: as an out-of-line piece GCC may judge a prefetch a pure call and drop it.
  // A record lies within one cache line.
  [[gnu::always_inline]] void prefetch_node(uint64_t slot) const {
    __builtin_prefetch(
        reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(nodes_) + slot * sizeof(Node)));
  }
  // The first and the last line of the box; the hardware prefetcher follows a long box.
  [[gnu::always_inline]] void prefetch_box(const Node& n) const {
    const uintptr_t first =
        reinterpret_cast<uintptr_t>(boxes_) + uint64_t{n.box} * 2 * box_dim_ * sizeof(float);
    __builtin_prefetch(reinterpret_cast<const void*>(first));
    __builtin_prefetch(reinterpret_cast<const void*>(first + 2 * box_dim_ * sizeof(float) - 1));
  }
  // A walk visits each slot at most once, so a longer walk means a cycle in a broken state.
  void check_walk_length(uint64_t visits) const {
    QUILLON_INVARIANT(visits <= slots_, "tree walk longer than its arena");
  }

 private:
  const Node* nodes_ = nullptr;
  uint64_t slots_ = 0;
  const float* boxes_ = nullptr;
  uint64_t box_floats_ = 0;
  uint64_t box_dim_ = 0;
};

// A leaf's stored point (a validated leaf refers to an occupied row).
inline const float* stored_row(const PointStore& store, uint64_t row) {
  QUILLON_INVARIANT(row < store.held_rows(), "index out of range in point store");
  return store.row_ptr(row);
}

// The descent rule, without a branch: the side is a coin flip for the predictor, while a data
// dependency lets the child's load start as soon as the comparison is done.
inline uint64_t child_toward(const Node& n, const float* x, size_t dim) {
  QUILLON_INVARIANT(n.cut_dim < dim, "cut dimension out of range");
  const uint64_t go_left = x[n.cut_dim] <= n.cut_val;
  return n.right ^ ((n.left ^ n.right) & (0 - go_left));
}

}  // namespace

template <class Rule>
void mixing_walks(std::span<const RcfTree> trees, const PointStore& store, const float* x,
                  std::span<double> values, MixScratch& scratch) {
  QUILLON_INVARIANT(values.size() == trees.size(), "one value per tree");
  const size_t dim = store.dim;
  // Each lane walks one tree at a time: it descends reading node records only, one node per
  // round, and on reaching the leaf requests the leaf's row and the lowest boxes. One round later
  // it climbs back, and the lane takes the next tree.
  struct Lane {
    ArenaView view;
    uint64_t tree = 0;
    uint64_t slot = 0;
    uint64_t depth = 0;
    bool at_leaf = false;
  };
  Lane lanes[kWalkLanes];
  size_t next_tree = 0;
  // Puts the next tree that holds points on the lane; trees without points get 0.0 on the way.
  const auto start = [&](Lane& lane) {
    while (next_tree < trees.size()) {
      const uint64_t i = next_tree++;
      const RcfTree& t = trees[i];
      if (t.is_empty() || t.tree_mass == 0) {
        values[i] = 0.0;
        continue;
      }
      lane.view = ArenaView(t.arena);
      QUILLON_INVARIANT(lane.view.boxes_cover(dim), "index out of range in node arena");
      lane.view.prefetch_node(t.root);
      lane.tree = i;
      lane.slot = t.root;
      lane.depth = 0;
      lane.at_leaf = false;
      return true;
    }
    return false;
  };
  size_t lane_count = 0;
  while (lane_count < kWalkLanes && start(lanes[lane_count])) ++lane_count;
  size_t live = lane_count;
  while (live > 0) {
    for (size_t g = 0; g < live; ++g) {
      Lane& lane = lanes[g];
      if (lane.depth >= scratch.path_length) scratch.grow(2 * lane.depth + 16);
      const Node** path = scratch.paths[g].data();
      if (!lane.at_leaf) {
        const Node& n = lane.view.record(lane.slot);
        path[lane.depth] = &n;
        if (n.is_internal()) {
          lane.slot = child_toward(n, x, dim);
          lane.view.prefetch_node(lane.slot);
          ++lane.depth;
          lane.view.check_walk_length(lane.depth);
          continue;
        }
        QUILLON_INVARIANT(n.is_leaf(), "accessed freed or uninitialized node");
        store.prefetch_row(n.point_idx());
        if (lane.depth >= 1) lane.view.prefetch_box(*path[lane.depth - 1]);
        if (lane.depth >= 2) lane.view.prefetch_box(*path[lane.depth - 2]);
        lane.at_leaf = true;
        continue;
      }
      // A box holds the boxes below it, so once the query lies inside an ancestor's box it lies
      // inside every box above, all of which have separation 0.0 and leave the value as it is:
      // the climb stops there, and most boxes are never read.
      const Node& leaf = *path[lane.depth];
      const bool holds_query = row_equals(stored_row(store, leaf.point_idx()), x, dim);
      double v = Rule::at_leaf(holds_query, static_cast<double>(lane.depth),
                               static_cast<double>(leaf.mass),
                               static_cast<double>(trees[lane.tree].tree_mass));
      for (uint64_t up = lane.depth; up > 0; --up) {
        if (up >= 3) lane.view.prefetch_box(*path[up - 3]);
        const Node& a = *path[up - 1];
        const double p = lane.view.separation(a, x, dim);
        if (p == 0.0) break;
        v = v * (1.0 - p) +
            Rule::absent(static_cast<double>(up - 1), static_cast<double>(a.mass)) * p;
      }
      values[lane.tree] = v;
      if (start(lane)) continue;
      // The last live lane takes this one's place (its path buffer too).
      --live;
      if (g != live) {
        lane = lanes[live];
        std::swap(scratch.paths[g], scratch.paths[live]);
        --g;
      }
    }
  }
}

template void mixing_walks<AnomalyRule>(std::span<const RcfTree>, const PointStore&, const float*,
                                        std::span<double>, MixScratch&);
template void mixing_walks<DisplacementRule>(std::span<const RcfTree>, const PointStore&,
                                             const float*, std::span<double>, MixScratch&);
template void mixing_walks<DensityRule>(std::span<const RcfTree>, const PointStore&, const float*,
                                        std::span<double>, MixScratch&);

void attribution_walk(const RcfTree& tree, const float* x, size_t dim, double* below,
                      double* above) {
  const ArenaView view(tree.arena);
  QUILLON_INVARIANT(view.boxes_cover(dim), "index out of range in node arena");
  const double s = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
  double w = 1.0;  // probability that no cut above has separated the query yet
  uint64_t depth = 0;
  uint64_t slot = tree.root;
  const Node* n = &view.node(slot);
  while (n->is_internal()) {
    const uint64_t d = n->cut_dim;
    QUILLON_INVARIANT(d < dim, "cut dimension out of range");
    const bool goes_right = !(x[d] <= n->cut_val);
    const double p = view.separation(*n, x, dim);
    if (p > 0.0) {
      const double c = w * p * (1.0 / (static_cast<double>(depth) + 1.0)) * s;
      // A query above the cut would be cut off from the points below it, and vice versa.
      if (goes_right) {
        below[d] += c;
      } else {
        above[d] += c;
      }
      w = w * (1.0 - p);
    }
    slot = goes_right ? n->right : n->left;
    ++depth;
    view.check_walk_length(depth);
    n = &view.node(slot);
  }
}

void neighbor_walk(const RcfTree& tree, const PointStore& store, const float* x, double threshold,
                   std::vector<NeighborCandidate>& out, std::vector<PendingNode>& stack) {
  const ArenaView view(tree.arena);
  const size_t dim = store.dim;
  QUILLON_INVARIANT(view.boxes_cover(dim), "index out of range in node arena");
  const double normaliser = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
  stack.clear();
  // Depth-first: the near child's whole subtree is visited before the far child, which waits on
  // the stack.
  uint64_t slot = tree.root;
  uint64_t depth = 0;
  uint64_t visits = 0;
  for (;;) {
    view.check_walk_length(++visits);
    const Node& n = view.node(slot);
    bool branch_done = false;
    if (n.is_leaf()) {
      const uint64_t row = n.point_idx();
      out.push_back({(1.0 / (static_cast<double>(depth) + 1.0)) * normaliser, row,
                     l1_distance(x, stored_row(store, row), dim)});
      branch_done = true;
    } else {
      const double p = view.separation(n, x, dim);
      if (depth > 0 && !(p > threshold)) {
        branch_done = true;  // pruned (also for NaN)
      } else {
        const uint64_t near = child_toward(n, x, dim);
        if (p > 0.5) stack.push_back({near == n.left ? n.right : n.left, depth + 1});
        slot = near;
        ++depth;
      }
    }
    if (branch_done) {
      if (stack.empty()) return;
      slot = stack.back().node;
      depth = stack.back().depth;
      stack.pop_back();
    }
  }
}

uint64_t conditional_walk(const RcfTree& tree, const PointStore& store, const float* x,
                          const uint8_t* mask, double centrality, Xoshiro256PlusPlus& gen,
                          std::vector<uint64_t>& stack) {
  const ArenaView view(tree.arena);
  const size_t dim = store.dim;
  const bool nearest_only = centrality >= 1.0;  // false for NaN, as for any c < 1
  const double keep_later = 1.0 - centrality;
  bool have_best = false;
  uint64_t best_row = kNoIndex;
  double best_distance = 0.0;
  stack.clear();
  uint64_t slot = tree.root;
  uint64_t visits = 0;
  for (;;) {
    view.check_walk_length(++visits);
    const Node& n = view.node(slot);
    if (n.is_internal()) {
      QUILLON_INVARIANT(n.cut_dim < dim, "cut dimension out of range");
      if (mask[n.cut_dim] != 0) {
        // Unknown coordinate: both sides, left first.
        stack.push_back(n.right);
        slot = n.left;
      } else {
        slot = child_toward(n, x, dim);
      }
      continue;
    }
    const uint64_t row = n.point_idx();
    const double d = masked_l1_distance(x, stored_row(store, row), mask, dim);
    if (!have_best) {
      have_best = true;
      best_row = row;
      best_distance = d;
    } else if (nearest_only) {
      if (d < best_distance) {
        best_row = row;
        best_distance = d;
      }
    } else {
      const double u = gen.unit_f64();  // drawn at every contested leaf, whatever the outcome
      if (d < best_distance || u < keep_later) {
        best_row = row;
        best_distance = d;
      }
    }
    if (stack.empty()) return best_row;
    slot = stack.back();
    stack.pop_back();
  }
}

}  // namespace quillon::rcf
