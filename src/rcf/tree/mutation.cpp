// Insert, delete and check-delete of a random cut tree. The draw order is part of the saved
// behaviour: one uniform number per level walking up from the leaf on a non-duplicate insert, none
// for duplicates and deletions.
#include <algorithm>
#include <cmath>
#include <optional>

#include "rcf/cut.hpp"
#include "rcf/lanes4.hpp"
#include "rcf/tree/mod.hpp"

namespace quillon::rcf {

namespace {

// Coordinates closer than this count as equal when no random cut separates two points.
constexpr float kFallbackTolerance = 1.1920929e-07f;

bool encloses(std::span<const float> min, std::span<const float> max, std::span<const float> p) {
  return simd::encloses(min.data(), max.data(), p.data(), p.size());
}

}  // namespace

uint64_t RcfTree::descend_with_path(std::span<const float> point) {
  path_.clear();
  uint64_t slot = root;
  const Node* node = &arena.get(slot);
  while (node->is_internal()) {
    // The side is a coin flip for the branch predictor; choosing it arithmetically lets the
    // child's load start as soon as the comparison is done. Same rule as Node::child_for.
    const uint64_t go_left = point[node->cut_dim] <= node->cut_val;
    const uint64_t both = node->left ^ node->right;
    const uint64_t child = node->right ^ (both & (0 - go_left));
    path_.push_back({static_cast<uint32_t>(slot), static_cast<uint32_t>(child ^ both)});
    slot = child;
    node = &arena.get(slot);
  }
  return slot;
}

void RcfTree::refresh_node(uint64_t slot, const PointStore& store) {
  const Node& node = arena.get(slot);
  QUILLON_INVARIANT(node.is_internal(), "internal error: entered unreachable code");
  const Node& l = arena.get(node.left);
  const Node& r = arena.get(node.right);
  // A leaf child contributes its point, an internal child its cached box. The left box is taken
  // first and widened by the right one, in one pass.
  const float* lmin = l.is_leaf() ? store.point(l.point_idx()).data() : arena.box_data(l);
  const float* lmax = l.is_leaf() ? lmin : lmin + arena.dim;
  const float* rmin = r.is_leaf() ? store.point(r.point_idx()).data() : arena.box_data(r);
  const float* rmax = r.is_leaf() ? rmin : rmin + arena.dim;
  float* min = arena.box_min_mut(slot).data();
  float* max = min + arena.dim;
  const double range_sum = union_into(min, max, lmin, lmax, rmin, rmax, arena.dim);
  const uint64_t mass = l.mass + r.mass;
  Node& target = arena.nodes[slot];
  target.mass = static_cast<uint32_t>(mass);
  target.range_sum = range_sum;
}

bool RcfTree::box_survives(uint64_t slot, std::span<const float> point, bool point_left) const {
  // A nonzero bound has one bit pattern, so only its value matters. Adding a point inside the box
  // keeps every bound's value; removing one keeps them when no bound was attained by it, which
  // strict inclusion guarantees. Zero bounds are recomputed: +0.0 and -0.0 tie.
  const auto min = arena.box_min(slot);
  const auto max = arena.box_max(slot);
  for (size_t i = 0; i < min.size(); ++i) {
    const float lo = min[i];
    const float hi = max[i];
    const float x = point[i];
    if (lo == 0.0f || hi == 0.0f) return false;
    const bool inside = point_left ? (lo < x && x < hi) : (lo <= x && x <= hi);
    if (!inside) return false;
  }
  return true;
}

void RcfTree::refresh_path(size_t count, const PointStore& store, std::span<const float> point,
                           int mass_delta, bool point_left) {
  // Without zero coordinates, once one node's box keeps its value every ancestor's box (which
  // contains it) does too, and only masses change further up.
  const bool nested = !store.zero_coordinate_seen;
  bool settled = false;
  for (size_t i = count; i-- > 0;) {
    const uint64_t slot = path_[i].node;
    if (settled || box_survives(slot, point, point_left)) {
      Node& node = arena.get_mut(slot);
      node.mass = mass_delta > 0 ? node.mass + 1 : node.mass - 1;
      settled = nested;
    } else {
      refresh_node(slot, store);
    }
  }
}

void RcfTree::refresh_after_insert(size_t count, const PointStore& store,
                                   std::span<const float> point) {
  if (store.zero_coordinate_seen) {
    refresh_path(count, store, point, +1, false);
    return;
  }
  // Without zeros a recomputed box has the bits of the old box widened by the point, and once
  // the point lies inside a box it lies inside every box above.
  for (size_t i = count; i-- > 0;) {
    const uint64_t slot = path_[i].node;
    Node& node = arena.get_mut(slot);
    ++node.mass;
    if (encloses(arena.box_min(slot), arena.box_max(slot), point)) {
      for (size_t j = i; j-- > 0;) ++arena.get_mut(path_[j].node).mass;
      return;
    }
    node.range_sum = extend_with_point(arena.box_min_mut(slot), arena.box_max_mut(slot), point);
  }
}

void RcfTree::link_new_internal(uint64_t row, std::span<const float> point, uint64_t cut_dim,
                                float cut_val, uint64_t subtree, size_t level,
                                const PointStore& store) {
  const size_t n = path_.size();
  const uint64_t subtree_mass = arena.get(subtree).mass;
  const bool subtree_is_leaf = arena.get(subtree).is_leaf();
  const uint64_t subtree_row = arena.get(subtree).point_idx();

  const uint64_t leaf = arena.allocate_leaf(row, 1);
  Node internal;
  internal.cut_dim = static_cast<uint32_t>(cut_dim);
  internal.cut_val = cut_val;
  if (point[cut_dim] <= cut_val) {
    internal.left = static_cast<uint32_t>(leaf);
    internal.right = static_cast<uint32_t>(subtree);
  } else {
    internal.left = static_cast<uint32_t>(subtree);
    internal.right = static_cast<uint32_t>(leaf);
  }
  internal.mass = static_cast<uint32_t>(subtree_mass + 1);
  const uint64_t slot = arena.allocate_internal(internal);

  auto min = arena.box_min_mut(slot);
  auto max = arena.box_max_mut(slot);
  if (subtree_is_leaf) {
    const auto q = store.point(subtree_row);
    std::copy(q.begin(), q.end(), min.begin());
    std::copy(q.begin(), q.end(), max.begin());
  } else {
    std::copy(arena.box_min(subtree).begin(), arena.box_min(subtree).end(), min.begin());
    std::copy(arena.box_max(subtree).begin(), arena.box_max(subtree).end(), max.begin());
  }
  arena.nodes[slot].range_sum = extend_with_point(min, max, point);

  if (level == n) {
    root = slot;
  } else {
    Node& parent = arena.get_mut(path_[n - level - 1].node);
    if (parent.left == subtree) {
      parent.left = static_cast<uint32_t>(slot);
    } else {
      parent.right = static_cast<uint32_t>(slot);
    }
  }
  // The subtree moved one level down: it reaches no deeper than the tree did, nor than a chain of
  // its points (a leaf per copy at most).
  const uint64_t depth = n - level;
  const uint64_t reach = height_bound_ > depth ? height_bound_ - depth : 0;
  const uint64_t below = subtree_is_leaf ? 0 : std::min(reach, subtree_mass - 1);
  height_bound_ = std::max(height_bound_, depth + 1 + below);
  refresh_after_insert(n - level, store, point);
}

uint64_t RcfTree::insert(uint64_t row, const PointStore& store) {
  const bool prepared = prepared_insert_row_ == row;
  prepared_row_ = kNoIndex;
  prepared_insert_row_ = kNoIndex;
  const auto p = store.point(row);
  if (root == kNoIndex) {
    root = arena.allocate_leaf(row, 1);
    tree_mass = 1;
    return row;
  }
  const uint64_t leaf = prepared ? descent_leaf_ : descend_with_path(p);
  ++tree_mass;
  for (const PathEntry& e : path_) {
    arena.prefetch_box(e.node);
    if (store.zero_coordinate_seen) arena.prefetch_box(e.sibling);
  }
  const uint64_t leaf_row = arena.get(leaf).point_idx();
  if (store.equals(leaf_row, p)) {
    ++arena.get_mut(leaf).mass;
    refresh_after_insert(path_.size(), store, p);
    return leaf_row;
  }

  // One draw per level k = 0..n, walking up from the leaf; the highest level whose cut separates
  // p from the level's box wins. The box at level k is the union of the subtree's points: the
  // leaf's point, widened by each sibling on the way up.
  const auto q = store.point(leaf_row);
  const size_t n = path_.size();
  std::optional<Cut> best;
  size_t best_level = 0;
  if (!store.zero_coordinate_seen) {
    // Without zero coordinates a path node's stored box has exactly the bits of that union, so
    // boxes are read, not widened. No cut of a box that encloses p separates it, and boxes only
    // grow upwards: only the levels below the first enclosing one can win, and the first
    // separating level from the top of those is the answer.
    size_t open_levels = n + 1;
    for (size_t k = 1; k <= n; ++k) {
      const uint64_t slot = path_[n - k].node;
      if (encloses(arena.box_min(slot), arena.box_max(slot), p)) {
        open_levels = k;
        break;
      }
    }
    // Level k uses the (k + 1)-th draw. The draws of the lowest levels are kept and tried from
    // the top down; a level above those is tried as its draw comes, the highest separating one
    // winning, so no buffer grows with the depth.
    constexpr size_t kKept = 64;
    double kept[kKept];
    const auto try_level = [&](size_t k, double u) {
      const auto min = k == 0 ? q : arena.box_min(path_[n - k].node);
      const auto max = k == 0 ? q : arena.box_max(path_[n - k].node);
      const auto cut = random_cut(u, min, max, p);
      if (!cut || !cut_separates(*cut, min, max, p)) return false;
      best = cut;
      best_level = k;
      return true;
    };
    for (size_t k = 0; k <= n; ++k) {
      const double u = draw_uniform(rng);
      if (k < kKept) {
        kept[k] = u;
      } else if (k < open_levels) {
        try_level(k, u);
      }
    }
    if (!best) {
      for (size_t k = std::min(open_levels, kKept); k-- > 0;) {
        if (try_level(k, kept[k])) break;
      }
    }
  } else {
    cut_min_.assign(q.begin(), q.end());
    cut_max_.assign(q.begin(), q.end());
    bool enclosed = false;
    for (size_t k = 0; k <= n; ++k) {
      const double u = draw_uniform(rng);
      if (enclosed) continue;
      if (k > 0 && encloses(cut_min_, cut_max_, p)) {
        enclosed = true;
        continue;
      }
      const auto cut = random_cut(u, cut_min_, cut_max_, p);
      if (cut && cut_separates(*cut, cut_min_, cut_max_, p)) {
        best = cut;
        best_level = k;
      }
      if (k < n) {
        const uint64_t sibling = path_[n - 1 - k].sibling;
        const Node& s = arena.get(sibling);
        if (s.is_leaf()) {
          extend_with_point(cut_min_, cut_max_, store.point(s.point_idx()));
        } else {
          extend_with_box(cut_min_, cut_max_, arena.box_min(sibling), arena.box_max(sibling));
        }
      }
    }
  }
  if (best) {
    const uint64_t subtree = best_level == 0 ? leaf : path_[n - best_level].node;
    link_new_internal(row, p, best->dim, best->value, subtree, best_level, store);
    return row;
  }

  // No level separates (only possible with non-finite coordinates): split the leaf itself on the
  // first coordinate that differs noticeably, or count the point as a duplicate.
  for (uint64_t d = 0; d < dims; ++d) {
    if (std::fabs(p[d] - q[d]) > kFallbackTolerance) {
      const float v = q[d] < p[d] ? q[d] : p[d];
      link_new_internal(row, p, d, v, leaf, 0, store);
      return row;
    }
  }
  ++arena.get_mut(leaf).mass;
  refresh_after_insert(path_.size(), store, p);
  return leaf_row;
}

void RcfTree::remove(uint64_t row, const PointStore& store) {
  QUILLON_INVARIANT(root != kNoIndex, "cannot delete from an empty tree");
  const auto q = store.point(row);
  const uint64_t leaf = prepared_row_ == row ? descent_leaf_ : descend_with_path(q);
  prepared_row_ = kNoIndex;
  prepared_insert_row_ = kNoIndex;
  --tree_mass;
  Node& l = arena.get_mut(leaf);
  QUILLON_INVARIANT(l.is_leaf(), "internal error: entered unreachable code");
  if (l.mass >= 2) {
    --l.mass;
    // A copy of the point stays in the tree, so no box loses it.
    refresh_path(path_.size(), store, q, -1, false);
    return;
  }
  const size_t n = path_.size();
  if (n == 0) {
    arena.release(leaf);
    root = kNoIndex;
    return;
  }
  const uint64_t parent = path_[n - 1].node;
  const uint64_t sibling = path_[n - 1].sibling;
  if (n == 1) {
    root = sibling;
  } else {
    Node& grandparent = arena.get_mut(path_[n - 2].node);
    if (grandparent.left == parent) {
      grandparent.left = static_cast<uint32_t>(sibling);
    } else {
      grandparent.right = static_cast<uint32_t>(sibling);
    }
  }
  arena.release(leaf);
  arena.release(parent);
  refresh_path(n - 1, store, q, -1, true);
}

Status RcfTree::prepare_delete(uint64_t row, const PointStore& store) {
  RcfTree* const tree = this;
  return prepare_deletes({&tree, 1}, {&row, 1}, store);
}

void RcfTree::descend_side_by_side(std::span<RcfTree* const> trees, std::span<const uint64_t> rows,
                                   const PointStore& store) {
  QUILLON_INVARIANT(trees.size() == rows.size(), "one row per tree");
  // Independent descents advance side by side, one node per tree per round, so that their cache
  // misses overlap.
  constexpr size_t kSideBySide = 8;
  for (size_t first = 0; first < trees.size(); first += kSideBySide) {
    const size_t count = std::min(kSideBySide, trees.size() - first);
    const float* points[kSideBySide];
    uint64_t slots[kSideBySide];
    bool walking[kSideBySide];
    size_t active = 0;
    for (size_t k = 0; k < count; ++k) {
      RcfTree& t = *trees[first + k];
      t.prepared_row_ = kNoIndex;
      t.prepared_insert_row_ = kNoIndex;
      t.descent_leaf_ = kNoIndex;
      t.path_.clear();
      walking[k] = t.root != kNoIndex;
      if (!walking[k]) continue;
      points[k] = store.point(rows[first + k]).data();
      slots[k] = t.root;
      t.arena.prefetch_node(t.root);
      ++active;
    }
    while (active > 0) {
      for (size_t k = 0; k < count; ++k) {
        if (!walking[k]) continue;
        RcfTree& t = *trees[first + k];
        const Node& node = t.arena.get(slots[k]);
        if (!node.is_internal()) {
          walking[k] = false;
          --active;
          t.descent_leaf_ = slots[k];
          continue;
        }
        QUILLON_INVARIANT(node.cut_dim < t.dims, "cut dimension out of range");
        QUILLON_INVARIANT(t.path_.size() < t.arena.slot_count(), "tree walk longer than its arena");
        // Same rule as Node::child_for, chosen arithmetically as in descend_with_path.
        const uint64_t go_left = points[k][node.cut_dim] <= node.cut_val;
        const uint64_t both = uint64_t{node.left} ^ node.right;
        const uint64_t child = node.right ^ (both & (0 - go_left));
        t.path_.push_back(
            {static_cast<uint32_t>(slots[k]), static_cast<uint32_t>(child ^ both)});
        slots[k] = child;
        t.arena.prefetch_node(child);
      }
    }
  }
}

Status RcfTree::prepare_deletes(std::span<RcfTree* const> trees, std::span<const uint64_t> rows,
                                const PointStore& store) {
  // The points to delete are old, so their paths are rarely in cache.
  descend_side_by_side(trees, rows, store);
  // The removal refreshes boxes from the siblings below the first box that keeps its value.
  for (const RcfTree* t : trees) {
    for (const PathEntry& e : t->path_) {
      t->arena.prefetch_box(e.node);
      t->arena.prefetch_node(e.sibling);
    }
  }
  // Checks in order; a tree that fails keeps no prepared descent.
  for (size_t k = 0; k < trees.size(); ++k) {
    RcfTree& t = *trees[k];
    if (t.root == kNoIndex) return fail(DetectorError::runtime("cannot delete from an empty tree"));
    if (t.arena.get(t.descent_leaf_).mass == 0) {
      return fail(DetectorError::runtime("leaf mass is already 0"));
    }
    t.prepared_row_ = rows[k];
  }
  return {};
}

void RcfTree::prepare_inserts(std::span<RcfTree* const> trees, std::span<const uint64_t> rows,
                              const PointStore& store) {
  descend_side_by_side(trees, rows, store);
  for (size_t k = 0; k < trees.size(); ++k) {
    RcfTree& t = *trees[k];
    if (t.root != kNoIndex) t.prepared_insert_row_ = rows[k];
  }
}

void RcfTree::prefetch_removal(const PointStore& store) const {
  if (prepared_row_ == kNoIndex) return;
  // A removal rarely refreshes more boxes than this before one keeps its value.
  constexpr size_t kLevels = 6;
  const size_t n = path_.size();
  for (size_t i = n; i-- > 0 && n - i <= kLevels;) {
    const Node& sibling = arena.get(path_[i].sibling);
    if (sibling.is_leaf()) {
      store.prefetch_row(sibling.point_idx());
    } else {
      arena.prefetch_box(path_[i].sibling);
    }
  }
}

Status RcfTree::check_delete(uint64_t row, const PointStore& store) const {
  if (root == kNoIndex) return fail(DetectorError::runtime("cannot delete from an empty tree"));
  const uint64_t leaf = leaf_for(store.point(row));
  if (arena.get(leaf).mass == 0) return fail(DetectorError::runtime("leaf mass is already 0"));
  return {};
}

}  // namespace quillon::rcf
