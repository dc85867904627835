// Random cuts and tree mutation: draw counts, shapes, slot reuse and invariants under churn.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <vector>

#include "rcf/cut.hpp"
#include "rcf/tree/mod.hpp"
#include "tree_invariants.hpp"

namespace quillon::rcf {
namespace {

using testing::check_tree;

// How many draws took `before` to `after` (searching a short way ahead).
int draws_between(Xoshiro256PlusPlus before, const Xoshiro256PlusPlus& after) {
  for (int n = 0; n < 1000; ++n) {
    if (before == after) return n;
    before.next_u64();
  }
  return -1;
}

struct Fixture {
  PointStore store;
  RcfTree tree;
  explicit Fixture(uint64_t dim, uint64_t seed = 7)
      : store(PointStore::create(dim, dim, 1, false, 64)),
        tree(RcfTree::create(dim, 16, Xoshiro256PlusPlus::from_seed(seed))) {}
  uint64_t add(std::vector<float> v) { return *store.add(v); }
  uint64_t insert(std::vector<float> v) { return tree.insert(add(std::move(v)), store); }
};

TEST(RandomCut, ChoosesDimensionByExtendedSpan) {
  const std::vector<float> box{0.0f, 0.0f};
  const std::vector<float> p{4.0f, 1.0f};
  struct Case {
    double u;
    uint64_t dim;
    float value;
  };
  const Case cases[] = {
      {0.5, 0, 2.5f},  // r = 2.5 < 4
      {0.0, 0, 0.0f},
      {0.79, 0, 3.95f},
      {0.9, 1, 0.5f},  // r = 4.5: past dimension 0, 0.5 into dimension 1
  };
  for (const auto& c : cases) {
    auto cut = random_cut(c.u, box, box, p);
    ASSERT_TRUE(cut.has_value());
    EXPECT_EQ(cut->dim, c.dim) << c.u;
    EXPECT_FLOAT_EQ(cut->value, c.value) << c.u;
    EXPECT_TRUE(cut_separates(*cut, box, box, p));
  }
  EXPECT_FALSE(random_cut(0.3, p, p, p).has_value());
}

TEST(RandomCut, ValueStaysBelowTheUpperEnd) {
  // u just below 1 puts r at the very end of the span; the value is lowered below hi.
  const std::vector<float> box{1.0f};
  const std::vector<float> p{2.0f};
  auto cut = random_cut(std::nextafter(1.0, 0.0), box, box, p);
  ASSERT_TRUE(cut.has_value());
  EXPECT_LT(cut->value, 2.0f);
  EXPECT_GE(cut->value, 1.0f);
  // With hi = 0 the limit is the negative float of smallest magnitude.
  const std::vector<float> neg{-1e-45f};
  const std::vector<float> zero{0.0f};
  cut = random_cut(std::nextafter(1.0, 0.0), neg, neg, zero);
  ASSERT_TRUE(cut.has_value());
  EXPECT_EQ(cut->value, -1e-45f);
  EXPECT_TRUE(cut_separates(*cut, neg, neg, zero));
}

TEST(RcfTree, FirstInsertMakesALeafWithoutDrawing) {
  Fixture f(2);
  const auto rng = f.tree.rng;
  EXPECT_EQ(f.insert({1, 2}), 0u);
  EXPECT_EQ(f.tree.tree_mass, 1u);
  EXPECT_TRUE(f.tree.arena.get(f.tree.root).is_leaf());
  EXPECT_EQ(f.tree.rng, rng);
}

TEST(RcfTree, DuplicateIsMergedWithoutDrawing) {
  Fixture f(2);
  f.insert({1, 2});
  const auto rng = f.tree.rng;
  EXPECT_EQ(f.insert({1, 2}), 0u);  // the held row, not the new one
  EXPECT_EQ(f.tree.arena.get(f.tree.root).mass, 2u);
  EXPECT_EQ(f.tree.tree_mass, 2u);
  EXPECT_EQ(f.tree.rng, rng);
  f.tree.remove(0, f.store);
  EXPECT_EQ(f.tree.arena.get(f.tree.root).mass, 1u);
  EXPECT_EQ(f.tree.tree_mass, 1u);
  EXPECT_EQ(f.tree.arena.nodes.size(), 1u);
}

TEST(RcfTree, SecondPointDrawsOnceAndCutsWhereTheyDiffer) {
  Fixture f(3);
  f.insert({1, 2, 3});
  const auto rng = f.tree.rng;
  EXPECT_EQ(f.insert({1, 7, 3}), 1u);
  EXPECT_EQ(draws_between(rng, f.tree.rng), 1);
  const Node& root = f.tree.arena.get(f.tree.root);
  ASSERT_TRUE(root.is_internal());
  EXPECT_EQ(root.cut_dim, 1u);
  EXPECT_GE(root.cut_val, 2.0f);
  EXPECT_LT(root.cut_val, 7.0f);
  EXPECT_EQ(root.mass, 2u);
  EXPECT_EQ(root.range_sum, 5.0);
  // The new point lies above the cut: right child.
  EXPECT_EQ(f.tree.arena.get(root.right).point_idx(), 1u);
  check_tree(f.tree, f.store);
}

TEST(RcfTree, LeafLevelCutUsesTheTreesNextUniformNumber) {
  // (0, 0) stored, (4, 1) inserted: the cut is the random cut of the leaf's box and the point for
  // the tree's next uniform number, and the point lies on its right.
  for (uint64_t seed = 0; seed < 20; ++seed) {
    Fixture f(2, seed);
    f.insert({0, 0});
    Xoshiro256PlusPlus next = f.tree.rng;
    const double u = next.unit_f64();
    f.insert({4, 1});
    const Node& root = f.tree.arena.get(f.tree.root);
    const std::vector<float> q{0, 0};
    const auto expected = random_cut(u, q, q, std::vector<float>{4, 1});
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(root.cut_dim, u * 5.0 < 4.0 ? 0u : 1u);
    EXPECT_EQ(root.cut_dim, expected->dim);
    EXPECT_EQ(root.cut_val, expected->value);
    EXPECT_EQ(f.tree.arena.get(root.right).point_idx(), 1u);
    EXPECT_EQ(f.tree.arena.get(root.left).point_idx(), 0u);
  }
}

TEST(RcfTree, InsertDrawsOncePerLevel) {
  Fixture f(1, 11);
  Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(3);
  for (int i = 0; i < 40; ++i) {
    const std::vector<float> p{static_cast<float>(data.unit_f64() * 100.0)};
    const auto rng = f.tree.rng;
    uint64_t depth = 0;
    if (!f.tree.is_empty()) {
      uint64_t slot = f.tree.root;
      while (f.tree.arena.get(slot).is_internal()) {
        slot = f.tree.arena.get(slot).child_for(p);
        ++depth;
      }
    }
    const bool empty = f.tree.is_empty();
    f.insert(p);
    EXPECT_EQ(draws_between(rng, f.tree.rng), empty ? 0 : static_cast<int>(depth) + 1);
  }
  check_tree(f.tree, f.store);
}

TEST(RcfTree, DeletingLastPointEmptiesTheTree) {
  Fixture f(2);
  f.insert({1, 1});
  f.tree.remove(0, f.store);
  EXPECT_TRUE(f.tree.is_empty());
  EXPECT_EQ(f.tree.tree_mass, 0u);
  EXPECT_EQ(f.tree.arena.free, std::vector<uint64_t>{0});
}

TEST(RcfTree, DeletingUnderTheRootPromotesTheSiblingAndFreesParentLast) {
  Fixture f(1);
  f.insert({0});   // leaf slot 0
  f.insert({10});  // leaf slot 1, internal slot 2 (root)
  ASSERT_EQ(f.tree.root, 2u);
  const auto rng = f.tree.rng;
  f.tree.remove(1, f.store);
  EXPECT_EQ(f.tree.root, 0u);
  EXPECT_EQ(f.tree.arena.free, (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(f.tree.rng, rng);  // deletions draw nothing
  // The parent's slot comes back first, then the leaf's.
  EXPECT_EQ(f.tree.arena.allocate_leaf(5, 1), 2u);
  EXPECT_EQ(f.tree.arena.allocate_leaf(6, 1), 1u);
}

TEST(RcfTree, CheckDeleteReportsEmptyTreeAndZeroMass) {
  Fixture f(1);
  const uint64_t row = f.add({3});
  auto empty = f.tree.check_delete(row, f.store);
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().text(), "runtime error: cannot delete from an empty tree");
  f.tree.insert(row, f.store);
  EXPECT_TRUE(f.tree.check_delete(row, f.store).has_value());
  f.tree.arena.get_mut(f.tree.root).mass = 0;
  auto zero = f.tree.check_delete(row, f.store);
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().text(), "runtime error: leaf mass is already 0");
}

TEST(RcfTree, InvariantsHoldUnderRandomChurn) {
  for (uint64_t dim : {1u, 3u}) {
    Fixture f(dim, 100 + dim);
    Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(dim);
    std::vector<uint64_t> held;  // rows as returned by insert, with repeats
    for (int step = 0; step < 600; ++step) {
      if (held.size() < 12 || data.unit_f64() < 0.5) {
        std::vector<float> p(dim);
        // Coarse values make duplicates and shared coordinates common.
        for (auto& x : p) x = static_cast<float>(data.bounded_index(6)) - 2.5f;
        const uint64_t row = f.add(p);
        const uint64_t got = f.tree.insert(row, f.store);
        if (got != row) f.store.release(row);
        held.push_back(got);
        f.store.retain(got);
      } else {
        const uint64_t at = data.bounded_index(held.size());
        const uint64_t row = held[at];
        ASSERT_TRUE(f.tree.check_delete(row, f.store).has_value());
        f.tree.remove(row, f.store);
        f.store.release(row);
        held.erase(held.begin() + static_cast<std::ptrdiff_t>(at));
      }
      const auto leaves = check_tree(f.tree, f.store);
      std::map<uint64_t, uint64_t> expected;
      for (uint64_t r : held) ++expected[r];
      ASSERT_EQ(leaves, expected) << "step " << step;
    }
  }
}

uint64_t reference_height(const RcfTree& t, uint64_t slot) {
  const Node& n = t.arena.get(slot);
  if (!n.is_internal()) return 0;
  return 1 + std::max(reference_height(t, n.left), reference_height(t, n.right));
}

TEST(RcfTree, RoomMadeBeforeAMutationSuffices) {
  // Window streams (oldest point out, new point in) whose trees stay shallow, grow into a chain
  // at the top (each point far beyond the last) or at the bottom (each point between the last
  // and zero), or hold many duplicates. After make_room, a removal and an
  // insertion must not allocate, whatever the tree's shape, and height() is the exact height.
  enum Shape { Noise, Chain, Converging, Coarse };
  for (Shape shape : {Noise, Chain, Converging, Coarse}) {
    constexpr uint64_t kCapacity = 48;
    Fixture f(2, 40 + shape);
    Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(shape);
    std::deque<uint64_t> window;
    uint64_t highest = 0;
    for (int step = 0; step < 500; ++step) {
      std::vector<float> p(2);
      for (auto& x : p) {
        const double u = data.unit_f64();
        x = shape == Noise   ? static_cast<float>(u)
            : shape == Chain ? std::ldexp(1.0f + static_cast<float>(u), 2 * (step % 60))
            : shape == Converging
                ? std::ldexp(1.0f + static_cast<float>(u), -2 * (step % 60))
                : static_cast<float>(data.bounded_index(3));
      }
      const uint64_t row = f.add(p);
      f.tree.make_room(kCapacity);
      const size_t bytes = f.tree.heap_bytes();
      if (window.size() == kCapacity) {
        f.tree.remove(window.front(), f.store);
        f.store.release(window.front());
        window.pop_front();
      }
      const uint64_t got = f.tree.insert(row, f.store);
      ASSERT_EQ(f.tree.heap_bytes(), bytes) << shape << " step " << step;
      if (got != row) f.store.release(row);
      f.store.retain(got);
      window.push_back(got);
      const uint64_t height = f.tree.height();
      ASSERT_EQ(height, reference_height(f.tree, f.tree.root)) << shape << " step " << step;
      highest = std::max(highest, height);
    }
    if (shape == Chain || shape == Converging) {
      EXPECT_GT(highest, kCapacity / 2) << shape;
    }
  }
}

TEST(RcfTree, CopiesContinueIdentically) {
  Fixture f(2, 5);
  Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(9);
  for (int i = 0; i < 20; ++i) {
    f.insert({static_cast<float>(data.unit_f64()), static_cast<float>(data.unit_f64())});
  }
  RcfTree copy = f.tree;
  const uint64_t row = f.add({0.5f, 2.0f});
  f.tree.insert(row, f.store);
  copy.insert(row, f.store);
  EXPECT_EQ(json::write_state(copy), json::write_state(f.tree));
}

}  // namespace
}  // namespace quillon::rcf
