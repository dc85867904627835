// Test helpers for the query tests: forests fed by updates, trees assembled node by node, and a
// plain recursive evaluation of the scoring rules to compare the iterative walks against.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <vector>

#include "rcf/bounding_box.hpp"
#include "rcf/forest/mod.hpp"
#include "rcf/forest/query.hpp"
#include "rng.hpp"

namespace quillon::rcf::testing {

struct ForestShape {
  uint64_t input_dim = 1;
  uint64_t shingle_size = 1;
  uint64_t num_trees = 1;
  uint64_t capacity = 64;
  bool internal_shingling = true;
  double initial_accept_fraction = 1.0;  // every point enters a filling sampler
  uint64_t seed = 42;
};

inline Forest make_forest(const ForestShape& s) {
  RcfConfig c;
  c.input_dim = s.input_dim;
  c.shingle_size = s.shingle_size;
  c.num_trees = s.num_trees;
  c.capacity = s.capacity;
  c.internal_shingling = s.internal_shingling;
  c.initial_accept_fraction = s.initial_accept_fraction;
  auto f = Forest::create(c, s.seed);
  EXPECT_TRUE(f.has_value());
  return std::move(*f);
}

inline void feed(Forest& f, const std::vector<std::vector<float>>& points) {
  for (const auto& p : points) {
    auto ok = f.update(p);
    ASSERT_TRUE(ok.has_value()) << ok.error().text();
  }
}

// Random observations, clustered around a few centres so that trees have some depth and some
// queries land inside boxes.
inline std::vector<std::vector<float>> random_stream(uint64_t seed, size_t n, size_t dim) {
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(seed);
  std::vector<std::vector<float>> out;
  for (size_t i = 0; i < n; ++i) {
    const double centre = static_cast<double>(g.bounded_index(3)) * 10.0;
    std::vector<float> p(dim);
    for (auto& v : p) v = static_cast<float>(centre + g.range_f64(-2.0, 2.0));
    if (g.bounded_index(10) == 0) p[0] = static_cast<float>(g.range_f64(-100.0, 100.0));
    out.push_back(std::move(p));
  }
  return out;
}

// Assembles tree `index` of a forest by hand. Rows are added to the store; boxes and masses of
// internal nodes are computed from the children.
struct HandTree {
  Forest& forest;
  uint64_t index;

  RcfTree& tree() { return forest.trees[index]; }

  uint64_t row(std::vector<float> values) {
    auto r = forest.point_store.add(values);
    EXPECT_TRUE(r.has_value());
    forest.point_store.retain(*r);
    return *r;
  }
  // A leaf holding a new row with these coordinates.
  uint64_t leaf(std::vector<float> values, uint64_t mass = 1) {
    return tree().arena.allocate_leaf(row(values), mass);
  }

  BoundingBox box_of(uint64_t slot) {
    const Node& n = tree().arena.get(slot);
    if (n.is_leaf()) return BoundingBox::of_point(forest.point_store.point(n.point_idx()));
    const auto mn = tree().arena.box_min(slot);
    const auto mx = tree().arena.box_max(slot);
    return {{mn.begin(), mn.end()}, {mx.begin(), mx.end()}, n.range_sum};
  }

  uint64_t internal(uint64_t left, uint64_t right, uint64_t cut_dim, float cut_val) {
    BoundingBox box = box_of(left);
    box.extend(box_of(right));
    Node n;
    n.left = left;
    n.right = right;
    n.cut_dim = cut_dim;
    n.cut_val = cut_val;
    n.mass = tree().arena.get(left).mass + tree().arena.get(right).mass;
    n.range_sum = box.range_sum;
    const uint64_t slot = tree().arena.allocate_internal(n);
    auto mn = tree().arena.box_min_mut(slot);
    auto mx = tree().arena.box_max_mut(slot);
    std::copy(box.min.begin(), box.min.end(), mn.begin());
    std::copy(box.max.begin(), box.max.end(), mx.begin());
    return slot;
  }

  void set_root(uint64_t slot) {
    tree().root = slot;
    tree().tree_mass = tree().arena.get(slot).mass;
  }
};

// ---- Reference evaluation: recursion exactly as the rules read, on the checked accessors. ----

struct RefRule {
  double (*present)(double depth, double m);
  double (*absent)(double depth, double m);
  double (*normalise)(double big_m, double v);
};

inline const RefRule kRefScore{[](double d, double m) { return 1.0 / (d + std::log2(m + 1.0)); },
                               [](double d, double) { return 1.0 / (d + 1.0); },
                               [](double big_m, double v) { return std::log2(big_m + 1.0) * v; }};
inline const RefRule kRefDisplacement{[](double, double m) { return 1.0 / (m + 1.0); },
                                      [](double, double m) { return m; },
                                      [](double big_m, double v) { return v / (big_m + 1.0); }};

inline double ref_separation(const RcfTree& t, uint64_t slot, std::span<const float> q) {
  return t.arena.separation_probability(slot, q);
}

inline double ref_traverse(const Forest& f, const RcfTree& t, uint64_t slot, double depth,
                           std::span<const float> q, const RefRule& rule) {
  const Node& n = t.arena.get(slot);
  if (n.is_leaf()) {
    const double m = static_cast<double>(n.mass);
    const double big_m = static_cast<double>(t.tree_mass);
    if (f.point_store.equals(n.point_idx(), q)) {
      const double damping = big_m == 0.0 ? 1.0 : 1.0 - m / (2.0 * big_m);
      return rule.present(depth, m) * damping;
    }
    return rule.absent(depth, m);
  }
  const double v = ref_traverse(f, t, n.child_for(q), depth + 1.0, q, rule);
  const double p = ref_separation(t, slot, q);
  if (p == 0.0) return v;
  return v * (1.0 - p) + rule.absent(depth, static_cast<double>(n.mass)) * p;
}

inline double ref_forest_value(const Forest& f, std::span<const float> q, const RefRule& rule) {
  double sum = 0.0;
  for (const RcfTree& t : f.trees) {
    double c = 0.0;
    if (!t.is_empty() && t.tree_mass > 0) {
      c = rule.normalise(static_cast<double>(t.tree_mass),
                         ref_traverse(f, t, t.root, 0.0, q, rule));
    }
    sum += c;
  }
  return sum / static_cast<double>(f.trees.size());
}

inline double ref_density_node(const Forest& f, const RcfTree& t, uint64_t slot,
                               std::span<const float> q) {
  const Node& n = t.arena.get(slot);
  if (n.is_leaf())
    return f.point_store.equals(n.point_idx(), q) ? static_cast<double>(n.mass) : 0.0;
  const double v = ref_density_node(f, t, n.child_for(q), q);
  const double p = ref_separation(t, slot, q);
  if (p == 0.0) return v;
  return v * (1.0 - p) + static_cast<double>(n.mass) * p;
}

inline double ref_density(const Forest& f, std::span<const float> q) {
  double sum = 0.0;
  for (const RcfTree& t : f.trees) {
    double c = 0.0;
    if (!t.is_empty() && t.tree_mass > 0) c = ref_density_node(f, t, t.root, q);
    sum += c;
  }
  return sum / static_cast<double>(f.trees.size());
}

inline std::vector<AttributionPair> ref_attribution(const Forest& f, std::span<const float> q) {
  std::vector<AttributionPair> out(q.size());
  for (const RcfTree& t : f.trees) {
    if (t.is_empty() || t.tree_mass == 0) continue;
    const double s = std::log2(static_cast<double>(t.tree_mass) + 1.0);
    double w = 1.0;
    double depth = 0.0;
    uint64_t slot = t.root;
    while (t.arena.get(slot).is_internal()) {
      const Node& n = t.arena.get(slot);
      const bool right = !(q[n.cut_dim] <= n.cut_val);
      const double p = ref_separation(t, slot, q);
      if (p > 0) {
        const double c = w * p * (1.0 / (depth + 1.0)) * s;
        (right ? out[n.cut_dim].below : out[n.cut_dim].above) += c;
        w = w * (1.0 - p);
      }
      slot = right ? n.right : n.left;
      depth += 1.0;
    }
  }
  const double scale = 1.0 / static_cast<double>(f.trees.size());
  for (auto& pair : out) {
    pair.below *= scale;
    pair.above *= scale;
  }
  return out;
}

struct RefCandidate {
  double score;
  uint64_t row;
  double distance;
};

inline void ref_visit(const Forest& f, const RcfTree& t, uint64_t slot, uint64_t depth,
                      std::span<const float> q, double threshold, std::vector<RefCandidate>& out) {
  for (;;) {
    const Node& n = t.arena.get(slot);
    if (n.is_leaf()) {
      double dist = 0.0;
      const auto p = f.point_store.point(n.point_idx());
      for (size_t i = 0; i < q.size(); ++i) dist += static_cast<double>(std::fabs(q[i] - p[i]));
      out.push_back({(1.0 / (static_cast<double>(depth) + 1.0)) *
                         std::log2(static_cast<double>(t.tree_mass) + 1.0),
                     n.point_idx(), dist});
      return;
    }
    const double p = ref_separation(t, slot, q);
    if (depth > 0 && (p <= threshold || std::isnan(p))) return;
    const uint64_t near = n.child_for(q);
    const uint64_t far = near == n.left ? n.right : n.left;
    ref_visit(f, t, near, depth + 1, q, threshold, out);
    if (p <= 0.5 || std::isnan(p)) return;
    slot = far;
    depth += 1;
  }
}

// Merged (row -> score, distance), before selection and sorting.
inline std::map<uint64_t, std::pair<double, double>> ref_neighbors(const Forest& f,
                                                                   std::span<const float> q,
                                                                   uint64_t percentile) {
  std::vector<RefCandidate> cands;
  for (const RcfTree& t : f.trees) {
    if (!t.is_empty() && t.tree_mass > 0) {
      ref_visit(f, t, t.root, 0, q, static_cast<double>(percentile) / 100.0, cands);
    }
  }
  std::map<uint64_t, std::pair<double, double>> merged;
  for (const auto& c : cands) {
    auto [it, fresh] = merged.try_emplace(c.row, 0.0, 1.7976931348623157e308);
    it->second.first += c.score;
    if (c.distance < it->second.second) it->second.second = c.distance;
  }
  for (auto& [row, v] : merged) v.first /= static_cast<double>(f.trees.size());
  return merged;
}

}  // namespace quillon::rcf::testing
