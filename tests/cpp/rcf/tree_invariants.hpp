// Test helper: recomputes everything a tree caches and compares.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "rcf/bounding_box.hpp"
#include "rcf/tree/mod.hpp"

namespace quillon::rcf::testing {

// Box and mass of the subtree at `slot`, checked against the cached values on the way up. Leaf
// rows and their masses are collected in `leaves`.
inline BoundingBox check_subtree(const RcfTree& t, const PointStore& s, uint64_t slot,
                                 std::map<uint64_t, uint64_t>& leaves, uint64_t& mass) {
  const Node& n = t.arena.get(slot);
  if (n.is_leaf()) {
    leaves[n.point_idx()] += n.mass;
    mass = n.mass;
    EXPECT_GE(n.mass, 1u);
    return BoundingBox::of_point(s.point(n.point_idx()));
  }
  uint64_t left_mass = 0;
  uint64_t right_mass = 0;
  BoundingBox box = check_subtree(t, s, n.left, leaves, left_mass);
  const BoundingBox right = check_subtree(t, s, n.right, leaves, right_mass);
  box.extend(right);
  mass = left_mass + right_mass;
  EXPECT_EQ(n.mass, mass) << "slot " << slot;
  const auto min = t.arena.box_min(slot);
  const auto max = t.arena.box_max(slot);
  EXPECT_EQ(std::vector<float>(min.begin(), min.end()), box.min) << "slot " << slot;
  EXPECT_EQ(std::vector<float>(max.begin(), max.end()), box.max) << "slot " << slot;
  EXPECT_EQ(n.range_sum, box.range_sum) << "slot " << slot;
  return box;
}

// Checks masses, boxes, the descent rule for every leaf and the free stack; returns the rows the
// tree holds with their multiplicities.
inline std::map<uint64_t, uint64_t> check_tree(const RcfTree& t, const PointStore& s) {
  std::map<uint64_t, uint64_t> leaves;
  uint64_t live = 0;
  for (const Node& n : t.arena.nodes) live += !n.is_empty();
  EXPECT_EQ(t.arena.free.size() + live, t.arena.nodes.size());
  for (uint64_t slot : t.arena.free) EXPECT_TRUE(t.arena.nodes[slot].is_empty());
  if (t.is_empty()) {
    EXPECT_EQ(t.tree_mass, 0u);
    EXPECT_EQ(live, 0u);
    return leaves;
  }
  uint64_t mass = 0;
  check_subtree(t, s, t.root, leaves, mass);
  EXPECT_EQ(mass, t.tree_mass);
  for (const auto& [row, m] : leaves) {
    const uint64_t leaf = t.leaf_for(s.point(row));
    EXPECT_EQ(t.arena.get(leaf).point_idx(), row);
  }
  return leaves;
}

}  // namespace quillon::rcf::testing
