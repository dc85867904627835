#include "rcf/tree/traversal.hpp"

#include "detector_error.hpp"

namespace quillon::rcf {

namespace {

// Unchecked views of one arena for the walks. A validated tree never leaves its arena, but the
// slot index and the kind are still tested (one predictable branch each) so that a broken state
// ends in an internal failure rather than a wild read.
class ArenaView {
 public:
  explicit ArenaView(const NodeArena& arena)
      : nodes_(arena.nodes.data()),
        slots_(arena.nodes.size()),
        boxes_(arena.boxes.data()),
        box_dim_(arena.dim),
        box_entries_(arena.dim == 0 ? 0 : arena.boxes.size() / (2 * arena.dim)) {}

  const Node& node(uint64_t slot) const {
    QUILLON_INVARIANT(slot < slots_, "index out of range in node arena");
    const Node& n = nodes_[slot];
    QUILLON_INVARIANT(!n.is_empty(), "accessed freed or uninitialized node");
    return n;
  }
  // Separation probability of the query against the box of internal node `n`.
  double separation(const Node& n, const float* x, size_t dim) const {
    QUILLON_INVARIANT(n.box < box_entries_ && dim <= box_dim_, "index out of range in node arena");
    const float* mn = boxes_ + uint64_t{n.box} * 2 * box_dim_;
    return separation_probability_at(mn, mn + box_dim_, n.range_sum, x, dim);
  }
  // A walk visits each slot at most once, so a longer walk means a cycle in a broken state.
  void check_walk_length(uint64_t visits) const {
    QUILLON_INVARIANT(visits <= slots_, "tree walk longer than its arena");
  }

 private:
  const Node* nodes_;
  uint64_t slots_;
  const float* boxes_;
  uint64_t box_dim_;
  uint64_t box_entries_;
};

// The descent rule, without a branch: the side is a coin flip for the predictor, while a data
// dependency lets the child's load start as soon as the comparison is done.
inline uint64_t child_toward(const Node& n, const float* x) {
  const uint64_t go_left = x[n.cut_dim] <= n.cut_val;
  return n.right ^ ((n.left ^ n.right) & (0 - go_left));
}

}  // namespace

template <class Rule>
double mixing_walk(const RcfTree& tree, const PointStore& store, const float* x,
                   std::vector<MixStep>& path) {
  const ArenaView view(tree.arena);
  const size_t dim = store.dim;
  path.clear();
  uint64_t slot = tree.root;
  uint64_t depth = 0;
  const Node* n = &view.node(slot);
  while (n->is_internal()) {
    // The child's load is issued before this node's box is examined, so the two overlap.
    const uint64_t child = child_toward(*n, x);
    const double p = view.separation(*n, x, dim);
    if (p != 0.0) path.push_back({p, n->mass, depth});
    slot = child;
    ++depth;
    view.check_walk_length(depth);
    n = &view.node(slot);
  }
  const bool holds_query = row_equals(store.row_ptr(n->point_idx()), x, dim);
  double v = Rule::at_leaf(holds_query, static_cast<double>(depth), static_cast<double>(n->mass),
                           static_cast<double>(tree.tree_mass));
  // Bottom-up: each ancestor mixes the value below it with leaving the tree there.
  for (size_t i = path.size(); i-- > 0;) {
    const MixStep& s = path[i];
    v = v * (1.0 - s.p) +
        Rule::absent(static_cast<double>(s.depth), static_cast<double>(s.mass)) * s.p;
  }
  return v;
}

template double mixing_walk<AnomalyRule>(const RcfTree&, const PointStore&, const float*,
                                         std::vector<MixStep>&);
template double mixing_walk<DisplacementRule>(const RcfTree&, const PointStore&, const float*,
                                              std::vector<MixStep>&);
template double mixing_walk<DensityRule>(const RcfTree&, const PointStore&, const float*,
                                         std::vector<MixStep>&);

void attribution_walk(const RcfTree& tree, const float* x, size_t dim, double* below,
                      double* above) {
  const ArenaView view(tree.arena);
  const double s = std::log2(static_cast<double>(tree.tree_mass) + 1.0);
  double w = 1.0;  // probability that no cut above has separated the query yet
  uint64_t depth = 0;
  uint64_t slot = tree.root;
  const Node* n = &view.node(slot);
  while (n->is_internal()) {
    const uint64_t d = n->cut_dim;
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
                     l1_distance(x, store.row_ptr(row), dim)});
      branch_done = true;
    } else {
      const double p = view.separation(n, x, dim);
      if (depth > 0 && !(p > threshold)) {
        branch_done = true;  // pruned (also for NaN)
      } else {
        const uint64_t near = child_toward(n, x);
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
      if (mask[n.cut_dim] != 0) {
        // Unknown coordinate: both sides, left first.
        stack.push_back(n.right);
        slot = n.left;
      } else {
        slot = child_toward(n, x);
      }
      continue;
    }
    const uint64_t row = n.point_idx();
    const double d = masked_l1_distance(x, store.row_ptr(row), mask, dim);
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
