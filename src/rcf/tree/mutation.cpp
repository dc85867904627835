// Insert, delete and check-delete of a random cut tree. The draw order is part of the saved
// behaviour: one uniform number per level walking up from the leaf on a non-duplicate insert, none
// for duplicates and deletions.
#include <cmath>
#include <optional>

#include "rcf/cut.hpp"
#include "rcf/tree/mod.hpp"

namespace quillon::rcf {

namespace {

// Coordinates closer than this count as equal when no random cut separates two points.
constexpr float kFallbackTolerance = 1.1920929e-07f;

}  // namespace

uint64_t RcfTree::descend_with_path(std::span<const float> point) {
  path_.clear();
  uint64_t slot = root;
  const Node* node = &arena.get(slot);
  while (node->is_internal()) {
    const uint64_t child = node->child_for(point);
    path_.push_back({slot, child == node->left ? node->right : node->left});
    slot = child;
    node = &arena.get(slot);
  }
  return slot;
}

void RcfTree::refresh_node(uint64_t slot, const PointStore& store) {
  const Node& node = arena.get(slot);
  QUILLON_INVARIANT(node.is_internal(), "internal error: entered unreachable code");
  const uint64_t left = node.left;
  const uint64_t right = node.right;
  const Node& l = arena.get(left);
  const Node& r = arena.get(right);
  const uint64_t mass = l.mass + r.mass;
  // A leaf child contributes its point, an internal child its cached box.
  auto min = arena.box_min_mut(slot);
  auto max = arena.box_max_mut(slot);
  if (l.is_leaf()) {
    const auto p = store.point(l.point_idx());
    std::copy(p.begin(), p.end(), min.begin());
    std::copy(p.begin(), p.end(), max.begin());
  } else {
    std::copy(arena.box_min(left).begin(), arena.box_min(left).end(), min.begin());
    std::copy(arena.box_max(left).begin(), arena.box_max(left).end(), max.begin());
  }
  double range_sum;
  if (r.is_leaf()) {
    range_sum = extend_with_point(min, max, store.point(r.point_idx()));
  } else {
    range_sum = extend_with_box(min, max, arena.box_min(right), arena.box_max(right));
  }
  Node& target = arena.nodes[slot];
  target.mass = mass;
  target.range_sum = range_sum;
}

void RcfTree::refresh_path(size_t count, const PointStore& store) {
  for (size_t i = count; i-- > 0;) refresh_node(path_[i].node, store);
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
  internal.kind = NodeKind::Internal;
  internal.cut_dim = cut_dim;
  internal.cut_val = cut_val;
  if (point[cut_dim] <= cut_val) {
    internal.left = leaf;
    internal.right = subtree;
  } else {
    internal.left = subtree;
    internal.right = leaf;
  }
  internal.mass = subtree_mass + 1;
  const uint64_t slot = arena.allocate(internal);

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
      parent.left = slot;
    } else {
      parent.right = slot;
    }
  }
  refresh_path(n - level, store);
}

uint64_t RcfTree::insert(uint64_t row, const PointStore& store) {
  const auto p = store.point(row);
  if (root == kNoIndex) {
    root = arena.allocate_leaf(row, 1);
    tree_mass = 1;
    return row;
  }
  const uint64_t leaf = descend_with_path(p);
  ++tree_mass;
  const uint64_t leaf_row = arena.get(leaf).point_idx();
  if (store.equals(leaf_row, p)) {
    ++arena.get_mut(leaf).mass;
    refresh_path(path_.size(), store);
    return leaf_row;
  }

  // Walk up from the leaf, one draw per level; the highest separating level wins.
  const auto q = store.point(leaf_row);
  cut_min_.assign(q.begin(), q.end());
  cut_max_.assign(q.begin(), q.end());
  const size_t n = path_.size();
  std::optional<Cut> best;
  size_t best_level = 0;
  for (size_t k = 0; k <= n; ++k) {
    const double u = draw_uniform(rng);
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
  refresh_path(path_.size(), store);
  return leaf_row;
}

void RcfTree::remove(uint64_t row, const PointStore& store) {
  QUILLON_INVARIANT(root != kNoIndex, "cannot delete from an empty tree");
  const uint64_t leaf = descend_with_path(store.point(row));
  --tree_mass;
  Node& l = arena.get_mut(leaf);
  if (l.mass >= 2) {
    --l.mass;
    refresh_path(path_.size(), store);
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
      grandparent.left = sibling;
    } else {
      grandparent.right = sibling;
    }
  }
  arena.release(leaf);
  arena.release(parent);
  refresh_path(n - 1, store);
}

Status RcfTree::check_delete(uint64_t row, const PointStore& store) const {
  if (root == kNoIndex) return fail(DetectorError::runtime("cannot delete from an empty tree"));
  const uint64_t leaf = leaf_for(store.point(row));
  if (arena.get(leaf).mass == 0) return fail(DetectorError::runtime("leaf mass is already 0"));
  return {};
}

}  // namespace quillon::rcf
