// The tree mutations take shortcuts (stored boxes instead of widening, skipped refreshes, reused
// descents). This file replays random streams through a plain transcription of the algorithm
// and requires bit-identical trees, including the signs of zero bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "rcf/cut.hpp"
#include "rcf/tree/mod.hpp"

namespace quillon::rcf {
namespace {

// The algorithm as written: walking box, one draw per level, full refresh of every path entry.
struct ReferenceTree {
  RcfTree t;
  std::vector<PathEntry> path;

  BoundingBox box_of(uint64_t slot, const PointStore& s) const {
    const Node& n = t.arena.get(slot);
    if (n.is_leaf()) return BoundingBox::of_point(s.point(n.point_idx()));
    const auto mn = t.arena.box_min(slot);
    const auto mx = t.arena.box_max(slot);
    return {{mn.begin(), mn.end()}, {mx.begin(), mx.end()}, n.range_sum};
  }
  void store_box(uint64_t slot, const BoundingBox& b) {
    std::copy(b.min.begin(), b.min.end(), t.arena.box_min_mut(slot).begin());
    std::copy(b.max.begin(), b.max.end(), t.arena.box_max_mut(slot).begin());
    t.arena.nodes[slot].range_sum = b.range_sum;
  }
  uint64_t descend(std::span<const float> p) {
    path.clear();
    uint64_t slot = t.root;
    while (t.arena.get(slot).is_internal()) {
      const Node& n = t.arena.get(slot);
      const uint64_t child = n.child_for(p);
      path.push_back({static_cast<uint32_t>(slot), child == n.left ? n.right : n.left});
      slot = child;
    }
    return slot;
  }
  void refresh(size_t count, const PointStore& s) {
    for (size_t i = count; i-- > 0;) {
      const uint64_t slot = path[i].node;
      const Node n = t.arena.get(slot);
      BoundingBox b = box_of(n.left, s);
      b.extend(box_of(n.right, s));
      store_box(slot, b);
      t.arena.nodes[slot].mass = t.arena.get(n.left).mass + t.arena.get(n.right).mass;
    }
  }
  void link(uint64_t row, std::span<const float> p, Cut cut, uint64_t subtree, size_t level,
            const PointStore& s) {
    const size_t n = path.size();
    const uint64_t leaf = t.arena.allocate_leaf(row, 1);
    Node node;
    node.cut_dim = cut.dim;
    node.cut_val = cut.value;
    node.left = p[cut.dim] <= cut.value ? leaf : subtree;
    node.right = p[cut.dim] <= cut.value ? subtree : leaf;
    node.mass = t.arena.get(subtree).mass + 1;
    BoundingBox b = box_of(subtree, s);
    b.extend(p);
    const uint64_t slot = t.arena.allocate_internal(node);
    store_box(slot, b);
    if (level == n) {
      t.root = slot;
    } else {
      Node& parent = t.arena.get_mut(path[n - level - 1].node);
      (parent.left == subtree ? parent.left : parent.right) = slot;
    }
    refresh(n - level, s);
  }
  uint64_t insert(uint64_t row, const PointStore& s) {
    const auto p = s.point(row);
    if (t.is_empty()) {
      t.root = t.arena.allocate_leaf(row, 1);
      t.tree_mass = 1;
      return row;
    }
    const uint64_t leaf = descend(p);
    ++t.tree_mass;
    const uint64_t q_row = t.arena.get(leaf).point_idx();
    if (s.equals(q_row, p)) {
      ++t.arena.get_mut(leaf).mass;
      refresh(path.size(), s);
      return q_row;
    }
    BoundingBox box = box_of(leaf, s);
    const size_t n = path.size();
    std::optional<Cut> best;
    size_t best_level = 0;
    for (size_t k = 0; k <= n; ++k) {
      const double u = t.rng.unit_f64();
      const auto cut = random_cut(u, box.min, box.max, p);
      if (cut && cut_separates(*cut, box.min, box.max, p)) {
        best = cut;
        best_level = k;
      }
      if (k < n) box.extend(box_of(path[n - 1 - k].sibling, s));
    }
    if (!best) ADD_FAILURE() << "finite points always separate";
    link(row, p, *best, best_level == 0 ? leaf : path[n - best_level].node, best_level, s);
    return row;
  }
  void remove(uint64_t row, const PointStore& s) {
    const uint64_t leaf = descend(s.point(row));
    --t.tree_mass;
    if (t.arena.get(leaf).mass >= 2) {
      --t.arena.get_mut(leaf).mass;
      refresh(path.size(), s);
      return;
    }
    const size_t n = path.size();
    if (n == 0) {
      t.arena.release(leaf);
      t.root = kNoIndex;
      return;
    }
    const uint64_t parent = path[n - 1].node;
    const uint64_t sibling = path[n - 1].sibling;
    if (n == 1) {
      t.root = sibling;
    } else {
      Node& g = t.arena.get_mut(path[n - 2].node);
      (g.left == parent ? g.left : g.right) = sibling;
    }
    t.arena.release(leaf);
    t.arena.release(parent);
    refresh(n - 1, s);
  }
};

struct Stream {
  const char* name;
  uint64_t dim;
  float (*value)(Xoshiro256PlusPlus&);
};

const Stream kStreams[] = {
    {"gaussian-ish", 3,
     [](Xoshiro256PlusPlus& g) { return static_cast<float>(g.unit_f64() * 8.0 - 4.0); }},
    {"signed zeros", 2,
     [](Xoshiro256PlusPlus& g) {
       const float v[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f};
       return v[g.bounded_index(5)];
     }},
    {"tiny around zero", 2,
     [](Xoshiro256PlusPlus& g) {
       const float v[] = {0.0f, -0.0f, 1e-45f, -1e-45f, 2e-45f};
       return v[g.bounded_index(5)];
     }},
    {"coarse grid", 4,
     [](Xoshiro256PlusPlus& g) { return static_cast<float>(g.bounded_index(3)) + 1.0f; }},
    {"wide", 1,
     [](Xoshiro256PlusPlus& g) { return static_cast<float>((g.unit_f64() - 0.5) * 6e38); }},
};

TEST(ReferenceTree, MutationsMatchThePlainAlgorithmBitForBit) {
  for (const Stream& stream : kStreams) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
      PointStore store = PointStore::create(stream.dim, stream.dim, 1, false, 2048);
      RcfTree fast = RcfTree::create(stream.dim, 32, Xoshiro256PlusPlus::from_seed(seed));
      ReferenceTree slow{RcfTree::create(stream.dim, 32, Xoshiro256PlusPlus::from_seed(seed)), {}};
      Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(seed * 31);
      std::vector<uint64_t> held;
      for (int step = 0; step < 700; ++step) {
        if (held.size() < 24 || data.unit_f64() < 0.5) {
          std::vector<float> p(stream.dim);
          for (auto& x : p) x = stream.value(data);
          const uint64_t row = *store.add(p);
          const uint64_t a = fast.insert(row, store);
          const uint64_t b = slow.insert(row, store);
          ASSERT_EQ(a, b) << stream.name << " step " << step;
          store.retain(a);
          if (a != row) store.release(row);
          held.push_back(a);
        } else {
          const uint64_t at = data.bounded_index(held.size());
          const uint64_t row = held[at];
          if (data.unit_f64() < 0.5) {
            ASSERT_TRUE(fast.prepare_delete(row, store).has_value());
          }
          fast.remove(row, store);
          slow.remove(row, store);
          store.release(row);
          held.erase(held.begin() + static_cast<std::ptrdiff_t>(at));
        }
        ASSERT_EQ(json::write_state(fast), json::write_state(slow.t))
            << stream.name << " step " << step;
      }
    }
  }
}

// Halving coordinates attach each new point below the last one: trees over a hundred levels deep,
// whose insertions try more levels than a short walk does. Shuffled halvings mix deep and shallow.
TEST(ReferenceTree, DeepTreesMatchThePlainAlgorithm) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    PointStore store = PointStore::create(1, 1, 1, false, 512);
    RcfTree fast = RcfTree::create(1, 256, Xoshiro256PlusPlus::from_seed(seed));
    ReferenceTree slow{RcfTree::create(1, 256, Xoshiro256PlusPlus::from_seed(seed)), {}};
    Xoshiro256PlusPlus data = Xoshiro256PlusPlus::from_seed(seed);
    for (int i = 0; i < 200; ++i) {
      const int exponent = seed == 1 ? i % 140 : static_cast<int>(data.bounded_index(140));
      const float sign = seed == 3 && data.unit_f64() < 0.5 ? -1.0f : 1.0f;
      const std::vector<float> p{sign * std::ldexp(1.0f, -exponent)};
      const uint64_t row = *store.add(p);
      const uint64_t a = fast.insert(row, store);
      ASSERT_EQ(a, slow.insert(row, store)) << "seed " << seed << " point " << i;
      store.retain(a);
      if (a != row) store.release(row);
      ASSERT_EQ(json::write_state(fast), json::write_state(slow.t))
          << "seed " << seed << " point " << i;
    }
    if (seed == 1) {
      // The smallest point lies at the bottom of a chain deeper than any kept list of draws.
      const std::vector<float> deepest{std::ldexp(1.0f, -139)};
      uint64_t depth = 0;
      for (uint64_t slot = fast.root; fast.arena.get(slot).is_internal(); ++depth) {
        slot = fast.arena.get(slot).child_for(deepest);
      }
      EXPECT_GT(depth, 64u);
    }
  }
}

}  // namespace
}  // namespace quillon::rcf
