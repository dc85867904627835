#include "onlineiforest/tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillon::oif {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

void insert(OnlineITree& tree, std::vector<float> point, uint64_t eta, double limit) {
  tree.reserve_for_insert();
  tree.insert(point, eta, limit);
}

uint64_t steps_taken(Xoshiro256PlusPlus before, const Xoshiro256PlusPlus& after) {
  for (uint64_t n = 0; n < 8; ++n) {
    if (before == after) return n;
    before.next_u64();
  }
  return kMax;
}

TEST(SplitThreshold, DoublesWithDepthAndSaturates) {
  struct Case {
    uint64_t eta, depth, value;
    bool overflowed;
  };
  const Case cases[] = {
      {1, 0, 1, false},
      {32, 0, 32, false},
      {32, 6, 2048, false},
      {1, 63, uint64_t{1} << 63, false},
      {3, 62, 3 * (uint64_t{1} << 62), false},
      {4, 62, kMax, true},
      {2, 63, kMax, true},
      {1, 64, kMax, true},
      {1, 1000, kMax, true},
      {kMax, 0, kMax, false},
      {kMax, 1, kMax, true},
  };
  for (const Case& c : cases) {
    const Threshold t = split_threshold(c.eta, c.depth);
    EXPECT_EQ(t.value, c.value) << c.eta << " << " << c.depth;
    EXPECT_EQ(t.overflowed, c.overflowed) << c.eta << " << " << c.depth;
  }
}

TEST(DepthLimit, IsLog2OfWindowOverEta) {
  EXPECT_EQ(depth_limit(2048, 32), 6.0);
  EXPECT_EQ(depth_limit(4, 1), 2.0);
  EXPECT_EQ(depth_limit(33, 32), std::log2(33.0 / 32.0));
}

// The 32-bit method equals floor(k * 0.x1x2) over the 64-bit fraction made of the high halves of
// two words, and takes the second word only when the first one's low product half is near the top.
TEST(DrawIndex, MatchesTheTwoWordFractionAndItsDrawCount) {
  const uint64_t ks[] = {
      1, 2, 3, 5, 7, 10, 1000, 65537, 0x7fffffffULL, 0xfffffffeULL, 0xffffffffULL};
  Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::from_seed(7);
  uint64_t second_words = 0;
  for (const uint64_t k : ks) {
    for (int trial = 0; trial < 2000; ++trial) {
      Xoshiro256PlusPlus probe = rng;
      const uint64_t x1 = probe.next_u64() >> 32;
      const uint64_t x2 = probe.next_u64() >> 32;
      const unsigned __int128 fraction = (static_cast<unsigned __int128>(x1) << 32) | x2;
      const uint64_t expected = static_cast<uint64_t>((fraction * k) >> 64);
      const uint64_t lo = (k * x1) & 0xffffffffULL;
      const uint64_t expected_words = lo > (uint64_t{1} << 32) - k ? 2 : 1;
      const Xoshiro256PlusPlus before = rng;
      const uint64_t r = draw_index(rng, k);
      ASSERT_EQ(r, expected) << "k=" << k;
      ASSERT_LT(r, k);
      ASSERT_EQ(steps_taken(before, rng), expected_words) << "k=" << k;
      second_words += expected_words - 1;
    }
  }
  EXPECT_GT(second_words, 0u);  // the large k values exercise the second word
}

TEST(DrawIndex, WideRangesUseWholeWords) {
  Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::from_seed(11);
  const uint64_t ks[] = {uint64_t{1} << 32, (uint64_t{1} << 32) + 1, kMax / 3, kMax};
  for (const uint64_t k : ks) {
    for (int trial = 0; trial < 500; ++trial) {
      Xoshiro256PlusPlus probe = rng;
      const uint64_t x1 = probe.next_u64();
      const uint64_t hi = static_cast<uint64_t>((static_cast<unsigned __int128>(k) * x1) >> 64);
      const uint64_t r = draw_index(rng, k);
      ASSERT_LT(r, k);
      ASSERT_TRUE(r == hi || r == hi + 1);
    }
  }
}

TEST(DrawUnitF32, TopBitsOfTheWordAsMantissa) {
  // Seed 42's first tree generator, past its first (index) word: the split of the worked example.
  Xoshiro256PlusPlus rng = Xoshiro256PlusPlus::from_seed(0xd0764d4f4476689fULL);
  rng.next_u64();
  EXPECT_EQ(static_cast<double>(draw_unit_f32(rng)), 0.7967147827148438);
  EXPECT_EQ(static_cast<double>(draw_unit_f32(rng)), 0.9045734405517578);
  EXPECT_EQ(static_cast<double>(draw_unit_f32(rng)), 0.5100990533828735);
  for (int i = 0; i < 100000; ++i) {
    const float u = draw_unit_f32(rng);
    ASSERT_GE(u, 0.0f);
    ASSERT_LT(u, 1.0f);
  }
}

TEST(OnlineITree, CoincidentPointsNeverSplitNorDraw) {
  const auto seed = Xoshiro256PlusPlus::from_seed(3);
  OnlineITree tree(2, seed);
  for (int i = 0; i < 40; ++i) insert(tree, {1.5f, -2.0f}, 32, 6.0);
  EXPECT_EQ(tree.arena().node(0).height, 40u);
  EXPECT_TRUE(tree.arena().node(0).is_leaf());
  EXPECT_EQ(tree.rng(), seed);
  EXPECT_EQ(tree.path_length(std::vector<float>{0.0f, 0.0f}, 32), std::log2(40.0 / 32.0));
}

TEST(OnlineITree, WorkedSplitExample) {
  OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(0xd0764d4f4476689fULL));
  insert(tree, {0.0f}, 1, 2.0);
  EXPECT_TRUE(tree.arena().node(0).is_leaf());
  insert(tree, {1.0f}, 1, 2.0);
  const NodeArena& a = tree.arena();
  const Node& root = a.node(0);
  ASSERT_FALSE(root.is_leaf());
  EXPECT_EQ(root.height, 2u);
  EXPECT_EQ(root.split_dimension, 0u);
  EXPECT_EQ(static_cast<double>(root.split_value), 0.7967147827148438);
  EXPECT_EQ(a.node(root.left()).height, 1u);
  EXPECT_EQ(a.node(root.right()).height, 1u);
  EXPECT_EQ(static_cast<double>(a.min(root.left())[0]), 0.5100990533828735);
  EXPECT_EQ(static_cast<double>(a.max(root.left())[0]), 0.5100990533828735);
  EXPECT_EQ(static_cast<double>(a.min(root.right())[0]), 0.9045734405517578);
  EXPECT_EQ(tree.path_length(std::vector<float>{1.0f}, 1), 1.0);
  EXPECT_EQ(tree.path_length(std::vector<float>{0.0f}, 1), 1.0);
}

TEST(OnlineITree, SplitAtTheMinimumSendsEverySyntheticPointRight) {
  // This generator's second word has its top 23 bits clear: the split value is the box minimum.
  OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(37330948));
  insert(tree, {0.0f}, 1, 2.0);
  insert(tree, {1.0f}, 1, 2.0);
  const NodeArena& a = tree.arena();
  const Node& root = a.node(0);
  ASSERT_FALSE(root.is_leaf());
  EXPECT_EQ(root.split_value, 0.0f);
  const uint64_t left = root.left();
  const uint64_t right = root.right();
  EXPECT_EQ(a.node(left).height, 0u);
  EXPECT_EQ(a.min(left)[0], 0.0f);
  EXPECT_EQ(a.max(left)[0], 0.0f);  // the leaf's box, cut at the split value
  EXPECT_EQ(a.node(right).height, 2u);
}

TEST(OnlineITree, EmptyChildOnOtherDimensionsKeepsTheLeafBox) {
  // Two dimensions, split on whichever is drawn: the empty side (if any) must keep the other
  // dimension's bounds of the leaf; a filled side stays inside the leaf box.
  for (uint64_t seed = 0; seed < 200; ++seed) {
    OnlineITree tree(2, Xoshiro256PlusPlus::from_seed(seed));
    insert(tree, {0.0f, 10.0f}, 1, 3.0);
    insert(tree, {1.0f, 20.0f}, 1, 3.0);
    const NodeArena& a = tree.arena();
    const Node& root = a.node(0);
    ASSERT_FALSE(root.is_leaf());
    const uint64_t d = root.split_dimension;
    EXPECT_EQ(a.node(root.left()).height + a.node(root.right()).height, 2u);
    for (const uint64_t child : {root.left(), root.right()}) {
      for (uint64_t i = 0; i < 2; ++i) {
        EXPECT_GE(a.min(child)[i], a.min(0)[i]);
        EXPECT_LE(a.max(child)[i], a.max(0)[i]);
      }
      if (a.node(child).height == 0) {
        const uint64_t other = 1 - d;
        EXPECT_EQ(a.min(child)[other], a.min(0)[other]);
        EXPECT_EQ(a.max(child)[other], a.max(0)[other]);
        EXPECT_EQ(child == root.left() ? a.max(child)[d] : a.min(child)[d], root.split_value);
      }
    }
  }
}

TEST(OnlineITree, RemovingTheOnlyPointEmptiesTheTreeAndKeepsTheGenerator) {
  OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(5));
  const auto seed = tree.rng();
  insert(tree, {4.0f}, 2, 3.0);
  tree.remove(std::vector<float>{4.0f}, 2);
  EXPECT_TRUE(tree.empty());
  EXPECT_EQ(tree.path_length(std::vector<float>{4.0f}, 2), 0.0);
  EXPECT_EQ(tree.rng(), seed);
  insert(tree, {7.0f}, 2, 3.0);
  EXPECT_EQ(tree.arena().node(0).height, 1u);
  EXPECT_EQ(tree.arena().min(0)[0], 7.0f);
  tree.remove(std::vector<float>{7.0f}, 2);
  tree.remove(std::vector<float>{7.0f}, 2);  // removing from an empty tree does nothing
  EXPECT_TRUE(tree.empty());
}

TEST(OnlineITree, PathLengthOfASingleLeaf) {
  struct Case {
    int count;
    uint64_t eta;
    double expected;
  };
  const Case cases[] = {
      {1, 4, 0.0}, {3, 4, 0.0}, {4, 4, 0.0}, {8, 4, 1.0}, {12, 4, std::log2(3.0)}};
  for (const Case& c : cases) {
    OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(1));
    for (int i = 0; i < c.count; ++i) insert(tree, {2.0f}, c.eta, 10.0);
    EXPECT_EQ(tree.path_length(std::vector<float>{100.0f}, c.eta), c.expected) << c.count;
  }
}

// Removal decrements every count on the point's current route and folds a node whose count falls
// below its threshold back into a leaf whose box is the union of its children's.
TEST(OnlineITree, RemoveDecrementsTheRouteAndFoldsBelowThreshold) {
  OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(0xd0764d4f4476689fULL));
  insert(tree, {0.0f}, 1, 2.0);
  insert(tree, {1.0f}, 1, 2.0);  // root split at 0.7967..., children 1 and 1
  insert(tree, {1.0f}, 1,
         2.0);  // right child reaches 2 >= 1 * 2^1 at depth 1 but 1 < 2 is the limit
  const NodeArena& a = tree.arena();
  const uint64_t right = a.node(0).right();
  ASSERT_FALSE(a.node(0).is_leaf());
  EXPECT_EQ(a.node(0).height, 3u);
  EXPECT_EQ(a.node(right).height, 2u);
  EXPECT_FALSE(a.node(right).is_leaf());  // depth 1 < L = 2: split
  const Node& split = a.node(right);
  const float union_min = std::min(a.min(split.left())[0], a.min(split.right())[0]);
  const float union_max = std::max(a.max(split.left())[0], a.max(split.right())[0]);

  tree.remove(std::vector<float>{1.0f}, 1);  // root 2, right 1 < 2: fold the right child
  EXPECT_EQ(a.node(0).height, 2u);
  EXPECT_TRUE(a.node(right).is_leaf());
  EXPECT_EQ(a.node(right).height, 1u);
  EXPECT_EQ(a.min(right)[0], union_min);
  EXPECT_EQ(a.max(right)[0], union_max);
  EXPECT_EQ(a.live_count(), 3u);

  tree.remove(std::vector<float>{0.0f}, 1);  // root 1 >= 1: no fold; left child 0
  EXPECT_FALSE(a.node(0).is_leaf());
  EXPECT_EQ(a.node(a.node(0).left()).height, 0u);
  tree.remove(std::vector<float>{0.0f}, 1);  // root 0 < 1: fold, then empty
  EXPECT_TRUE(tree.empty());
}

TEST(OnlineITree, RemoveWithoutFoldKeepsSupports) {
  OnlineITree tree(2, Xoshiro256PlusPlus::from_seed(9));
  std::vector<std::vector<float>> points;
  for (int i = 0; i < 64; ++i)
    points.push_back({static_cast<float>(i % 8), static_cast<float>(i / 8)});
  for (const auto& p : points) insert(tree, p, 4, 4.0);
  const NodeArena& a = tree.arena();
  ASSERT_FALSE(a.node(0).is_leaf());
  std::vector<float> bounds_before(a.min(0), a.min(0) + 4);
  tree.remove(points[0], 4);
  EXPECT_EQ(a.node(0).height, 63u);
  EXPECT_EQ(std::vector<float>(a.min(0), a.min(0) + 4), bounds_before);
}

// Grow and shrink repeatedly: slots of folded subtrees are reused, counts stay consistent, and
// a full drain empties the tree.
TEST(OnlineITree, GrowShrinkCyclesReuseSlots) {
  OnlineITree tree(3, Xoshiro256PlusPlus::from_seed(21));
  Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(22);
  std::vector<std::vector<float>> window;
  size_t max_slots = 0;
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 512; ++i) {
      std::vector<float> p{static_cast<float>(data.unit_f64()), static_cast<float>(data.unit_f64()),
                           static_cast<float>(data.unit_f64() * 100.0)};
      insert(tree, p, 2, 8.0);
      window.push_back(p);
    }
    max_slots = std::max(max_slots, tree.arena().slot_count());
    EXPECT_EQ(tree.arena().node(0).height, window.size());
    while (!window.empty()) {
      tree.remove(window.front(), 2);
      window.erase(window.begin());
      if (!window.empty()) {
        ASSERT_EQ(tree.arena().node(0).height, window.size());
      }
    }
    EXPECT_TRUE(tree.empty());
  }
  EXPECT_GT(max_slots, 3u);
}

TEST(OnlineITree, ReservedInsertDoesNotAllocate) {
  OnlineITree tree(4, Xoshiro256PlusPlus::from_seed(31));
  Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(32);
  for (int i = 0; i < 2000; ++i) {
    std::vector<float> p(4);
    for (float& v : p) v = static_cast<float>(data.unit_f64());
    tree.reserve_for_insert();
    const size_t reserved = tree.arena().reserved_bytes();
    tree.insert(p, 1, 11.0);
    ASSERT_EQ(tree.arena().reserved_bytes(), reserved);
    if (i % 3 == 0) tree.remove(p, 1);
  }
}

// Copies hold no spare capacity; after reserve_for_insert() a copied tree must still insert and
// remove, folds and slot reuse included, without allocating.
TEST(OnlineITree, CopiedTreeUpdatesWithoutAllocating) {
  OnlineITree original(2, Xoshiro256PlusPlus::from_seed(33));
  Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(34);
  std::vector<std::vector<float>> window;
  auto step = [&](OnlineITree& tree, bool check) {
    std::vector<float> p{static_cast<float>(data.unit_f64() + window.size() % 7),
                         static_cast<float>(data.unit_f64())};
    tree.reserve_for_insert();
    const size_t reserved = tree.arena().reserved_bytes();
    tree.insert(p, 2, 5.0);
    window.push_back(p);
    if (window.size() > 64) {
      tree.remove(window.front(), 2);
      window.erase(window.begin());
    }
    if (check) {
      ASSERT_EQ(tree.arena().reserved_bytes(), reserved);
    }
  };
  for (int i = 0; i < 300; ++i) step(original, false);
  for (int copy = 0; copy < 20; ++copy) {
    OnlineITree tree = original;
    for (int i = 0; i < 40; ++i) step(tree, true);
    original = tree;
  }
}

// A removal whose route stays at or above every threshold decrements exactly the nodes on the
// route, the leaf included, and folds nothing.
TEST(OnlineITree, RemovalWithoutFoldDecrementsExactlyTheRoute) {
  OnlineITree tree(2, Xoshiro256PlusPlus::from_seed(51));
  Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(52);
  std::vector<std::vector<float>> points;
  for (int i = 0; i < 400; ++i) {
    points.push_back({static_cast<float>(data.unit_f64()), static_cast<float>(data.unit_f64())});
    insert(tree, points.back(), 2, 6.0);
  }
  const NodeArena& a = tree.arena();
  int checked = 0;
  for (const auto& p : points) {
    std::vector<uint64_t> route{0};
    bool clear_of_folds = a.node(0).height > 2;
    while (!a.node(route.back()).is_leaf()) {
      const Node& n = a.node(route.back());
      const uint64_t next = n.split_value > p[n.split_dimension] ? n.left() : n.right();
      const uint64_t depth = route.size();
      route.push_back(next);
      const Node& c = a.node(next);
      if (c.height == 0) clear_of_folds = false;
      if (!c.is_leaf() && c.height <= split_threshold(2, depth).value) clear_of_folds = false;
    }
    if (!clear_of_folds || route.size() < 3) continue;
    std::vector<uint64_t> heights(a.slot_count());
    for (uint64_t s = 0; s < a.slot_count(); ++s) heights[s] = a.node(s).height;
    const size_t live = a.live_count();
    tree.remove(p, 2);
    EXPECT_EQ(a.live_count(), live);
    for (uint64_t s = 0; s < a.slot_count(); ++s) {
      const bool on_route = std::find(route.begin(), route.end(), s) != route.end();
      EXPECT_EQ(a.node(s).height, heights[s] - (on_route ? 1 : 0)) << s;
    }
    if (++checked == 20) break;
  }
  EXPECT_EQ(checked, 20);
}

// A box wider than the 32-bit range has no finite width; the split value must still be a finite
// value inside the box.
TEST(OnlineITree, SplitsBoxesWiderThanTheFloatRange) {
  for (uint64_t seed = 0; seed < 50; ++seed) {
    OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(seed));
    insert(tree, {-3e38f}, 1, 2.0);
    insert(tree, {3e38f}, 1, 2.0);
    const NodeArena& a = tree.arena();
    ASSERT_FALSE(a.node(0).is_leaf());
    const float s = a.node(0).split_value;
    EXPECT_TRUE(std::isfinite(s));
    EXPECT_GE(s, -3e38f);
    EXPECT_LE(s, 3e38f);
    for (const uint64_t child : {a.node(0).left(), a.node(0).right()}) {
      EXPECT_TRUE(std::isfinite(a.min(child)[0]));
      EXPECT_TRUE(std::isfinite(a.max(child)[0]));
    }
  }
}

TEST(OnlineITree, LeavesAtTheDepthLimitNeverSplit) {
  OnlineITree tree(1, Xoshiro256PlusPlus::from_seed(41));
  for (int i = 0; i < 4096; ++i) insert(tree, {static_cast<float>(i)}, 1, 3.0);
  const NodeArena& a = tree.arena();
  // Walk every node with explicit depths; internal nodes only above depth 3.
  std::vector<std::pair<uint64_t, uint64_t>> stack{{0, 0}};
  uint64_t deepest = 0;
  while (!stack.empty()) {
    const auto [slot, depth] = stack.back();
    stack.pop_back();
    deepest = std::max(deepest, depth);
    const Node& n = a.node(slot);
    if (n.is_leaf()) continue;
    EXPECT_LT(depth, 3u);
    stack.push_back({n.left(), depth + 1});
    stack.push_back({n.right(), depth + 1});
  }
  EXPECT_EQ(deepest, 3u);
}

}  // namespace
}  // namespace quillon::oif
