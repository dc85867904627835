// Point store rows and reuse order, node arena slots, and box geometry.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "rcf/bounding_box.hpp"
#include "rcf/node_arena.hpp"
#include "rcf/point_store.hpp"

namespace quillon::rcf {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

PointStore make_store(uint64_t dim, uint64_t capacity) {
  return PointStore::create(dim, dim, 1, false, capacity);
}

uint64_t add(PointStore& s, std::vector<float> v) {
  auto row = s.add(v);
  EXPECT_TRUE(row.has_value());
  return *row;
}

TEST(PointStore, RowsAreHandedOutInOrderAndReusedLastInFirstOut) {
  PointStore s = make_store(2, 8);
  for (uint64_t i = 0; i < 6; ++i) {
    EXPECT_EQ(add(s, {float(i), 0.0f}), i);
    s.retain(i);
  }
  s.release(3);
  s.release(5);
  EXPECT_EQ(s.free_list, (std::vector<uint64_t>{3, 5}));
  EXPECT_EQ(s.size, 4u);
  EXPECT_EQ(add(s, {50.0f, 0.0f}), 5u);
  EXPECT_EQ(add(s, {30.0f, 0.0f}), 3u);
  EXPECT_EQ(add(s, {60.0f, 0.0f}), 6u);
  EXPECT_EQ(s.point(3)[0], 30.0f);
  EXPECT_EQ(s.next_free, 7u);
}

TEST(PointStore, ReleaseCountsReferencesDown) {
  PointStore s = make_store(1, 4);
  const uint64_t r = add(s, {1.0f});
  s.retain(r);
  s.retain(r);
  s.release(r);
  EXPECT_EQ(s.ref_count[r], 1u);
  EXPECT_TRUE(s.occupied[r]);
  s.release(r);
  EXPECT_FALSE(s.occupied[r]);
  EXPECT_EQ(s.size, 0u);
  EXPECT_EQ(s.free_list, std::vector<uint64_t>{r});

  // A row that was never retained is freed by its first release, and only once.
  const uint64_t q = add(s, {2.0f});
  EXPECT_EQ(q, r);
  s.release(q);
  s.release(q);
  EXPECT_EQ(s.free_list, std::vector<uint64_t>{q});
  EXPECT_EQ(s.size, 0u);
}

TEST(PointStore, GrowsGeometricallyKeepingRows) {
  PointStore s = make_store(2, 2);
  add(s, {1.0f, 2.0f});
  add(s, {3.0f, 4.0f});
  EXPECT_EQ(add(s, {5.0f, 6.0f}), 2u);
  EXPECT_EQ(s.capacity, 8u);
  EXPECT_EQ(s.store.rows, 8u);
  EXPECT_EQ(s.occupied.size(), 8u);
  EXPECT_EQ(s.ref_count.size(), 8u);
  EXPECT_EQ(s.point(1)[1], 4.0f);
  EXPECT_EQ(s.point(2)[0], 5.0f);
}

TEST(PointStore, GrowthOverflowFailsWithoutChange) {
  PointStore s = make_store(1, 0);
  s.capacity = (uint64_t{1} << 63) - 2;
  s.next_free = s.capacity;
  EXPECT_FALSE(s.can_add());
  const PointStore before = s;
  auto row = s.add(std::vector<float>{1.0f});
  ASSERT_FALSE(row.has_value());
  EXPECT_EQ(row.error().text(), "overflow: point store capacity growth overflows usize");
  EXPECT_EQ(s.capacity, before.capacity);
  EXPECT_EQ(s.next_free, before.next_free);
  EXPECT_EQ(s.size, 0u);

  s.capacity = (uint64_t{1} << 63) - 3;
  s.next_free = s.capacity;
  EXPECT_TRUE(s.can_add());
}

TEST(PointStore, EqualsIsNumeric) {
  PointStore s = make_store(2, 4);
  const uint64_t zero = add(s, {0.0f, 1.0f});
  const uint64_t nan = add(s, {kNaN, 1.0f});
  EXPECT_TRUE(s.equals(zero, std::vector<float>{-0.0f, 1.0f}));
  EXPECT_FALSE(s.equals(zero, std::vector<float>{0.0f, 1.5f}));
  EXPECT_FALSE(s.equals(zero, std::vector<float>{0.0f}));
  EXPECT_FALSE(s.equals(nan, std::vector<float>{kNaN, 1.0f}));
}

TEST(PointStore, ShingleAdvancesAndQueryReplacesNewest) {
  PointStore s = PointStore::create(6, 2, 3, true, 4);
  EXPECT_EQ(s.shingle_buf, std::vector<float>(6, 0.0f));
  s.advance_shingle(std::vector<float>{9.0f, 9.5f});
  EXPECT_EQ(s.shingle_buf, (std::vector<float>{0, 0, 0, 0, 9.0f, 9.5f}));
  s.shingle_buf = {1, 2, 3, 4, 5, 6};
  std::vector<float> q;
  s.query_shingle(std::vector<float>{7, 8}, q);
  EXPECT_EQ(q, (std::vector<float>{1, 2, 3, 4, 7, 8}));
  s.advance_shingle(std::vector<float>{7, 8});
  EXPECT_EQ(s.shingle_buf, (std::vector<float>{3, 4, 5, 6, 7, 8}));
  // A full-length query is taken unchanged.
  s.query_shingle(std::vector<float>{1, 1, 1, 1, 1, 1}, q);
  EXPECT_EQ(q, std::vector<float>(6, 1.0f));

  PointStore single = PointStore::create(2, 2, 1, true, 4);
  single.advance_shingle(std::vector<float>{4, 5});
  EXPECT_EQ(single.shingle_buf, (std::vector<float>{4, 5}));
}

TEST(NodeArena, FreeSlotsAreReusedLastInFirstOut) {
  NodeArena a(2, 4, 2);
  EXPECT_EQ(a.allocate_leaf(10, 1), 0u);
  EXPECT_EQ(a.allocate_leaf(11, 1), 1u);
  EXPECT_EQ(a.allocate_leaf(12, 1), 2u);
  a.release(0);
  a.release(2);
  EXPECT_TRUE(a.nodes[0].is_empty());
  EXPECT_EQ(a.free, (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(a.allocate_leaf(13, 1), 2u);
  EXPECT_EQ(a.allocate_leaf(14, 1), 0u);
  EXPECT_EQ(a.allocate_leaf(15, 1), 3u);
  EXPECT_EQ(a.get(0).point_idx(), 14u);
  EXPECT_TRUE(a.boxes.empty());  // leaves own no box
}

TEST(NodeArena, InternalNodesShareTheSlotOrderAndRecycleBoxes) {
  NodeArena a(2, 8, 4);
  Node internal;
  internal.mass = 2;
  EXPECT_EQ(a.allocate_leaf(0, 1), 0u);
  EXPECT_EQ(a.allocate_internal(internal), 1u);
  EXPECT_EQ(a.allocate_internal(internal), 2u);
  EXPECT_EQ(a.get(1).kind(), NodeKind::Internal);
  EXPECT_EQ(a.get(0).kind(), NodeKind::Leaf);
  EXPECT_EQ(a.boxes.size(), 2u * 2 * 2);
  a.box_min_mut(2)[1] = 7.0f;
  EXPECT_EQ(a.box_min(2)[1], 7.0f);
  EXPECT_EQ(a.box_min(1)[1], 0.0f);
  a.release(1);
  // The slot and the box entry come back for the next internal node; a leaf takes no box.
  EXPECT_EQ(a.allocate_leaf(5, 1), 1u);
  EXPECT_EQ(a.allocate_internal(internal), 3u);
  EXPECT_EQ(a.nodes[3].box, 0u);
  EXPECT_EQ(a.boxes.size(), 2u * 2 * 2);
}

TEST(NodeArena, CheckedAccessRefusesEmptyAndMissingSlots) {
  NodeArena a(1, 2, 1);
  a.allocate_leaf(0, 1);
  a.release(0);
  EXPECT_THROW(a.get(0), InternalFailure);
  EXPECT_THROW(a.get(5), InternalFailure);
}

TEST(BoundingBox, ExtendOutsideDistanceAndSeparation) {
  BoundingBox b = BoundingBox::of_point(std::vector<float>{1, 5});
  EXPECT_EQ(b.range_sum, 0.0);
  b.extend(std::vector<float>{3, 2});
  EXPECT_EQ(b.min, (std::vector<float>{1, 2}));
  EXPECT_EQ(b.max, (std::vector<float>{3, 5}));
  EXPECT_EQ(b.range_sum, 5.0);

  struct Case {
    std::vector<float> point;
    float distance;
    double probability;
  };
  const Case cases[] = {
      {{0, 10}, 6.0f, 6.0 / 11.0},  // outside in both dimensions
      {{2, 3}, 0.0f, 0.0},          // inside
      {{3, 5}, 0.0f, 0.0},          // on the boundary
      {{4, 3}, 1.0f, 1.0 / 6.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(b.outside_distance(c.point), c.distance);
    EXPECT_EQ(b.separation_probability(c.point), c.probability);
  }

  const BoundingBox single = BoundingBox::of_point(std::vector<float>{1, 1});
  EXPECT_EQ(single.separation_probability(std::vector<float>{1, 2}), 1.0);
  EXPECT_EQ(single.separation_probability(std::vector<float>{1, 1}), 0.0);
}

TEST(BoundingBox, NaNCoordinatesLeaveBoundsAlone) {
  BoundingBox b = BoundingBox::of_point(std::vector<float>{1, 5});
  b.extend(std::vector<float>{kNaN, 7});
  EXPECT_EQ(b.min, (std::vector<float>{1, 5}));
  EXPECT_EQ(b.max, (std::vector<float>{1, 7}));
  EXPECT_EQ(b.range_sum, 2.0);
  // A NaN bound takes the other value.
  BoundingBox n = BoundingBox::of_point(std::vector<float>{kNaN});
  n.extend(std::vector<float>{3});
  EXPECT_EQ(n.min[0], 3.0f);
  EXPECT_EQ(n.max[0], 3.0f);
}

TEST(BoundingBox, RangeSumAddsSingleDifferencesInDoublePrecision) {
  // Each difference rounds in 32 bits, the sum does not.
  BoundingBox b = BoundingBox::of_point(std::vector<float>{0.0f, 0.0f});
  b.extend(std::vector<float>{16777216.0f, 1.0f});
  EXPECT_EQ(b.range_sum, 16777217.0);
}

}  // namespace
}  // namespace quillon::rcf
