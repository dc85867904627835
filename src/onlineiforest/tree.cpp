#include "onlineiforest/tree.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace quillon::oif {
namespace {

constexpr uint64_t kMaxCount = std::numeric_limits<uint64_t>::max();

// Routing rule: strictly below the split value goes left; everything else (NaN included) right.
inline uint64_t route(const Node& n, std::span<const float> point) {
  return n.split_value > point[n.split_dimension] ? n.left() : n.right();
}

// m + u * (M - m) in 32-bit arithmetic. A box wider than the float range has no finite 32-bit
// width; it is sampled in 64-bit arithmetic instead, with the same single draw, so the split
// still happens and stays inside the box.
inline float sample_between(Xoshiro256PlusPlus& rng, float lo, float hi) {
  const float u = draw_unit_f32(rng);
  const float width = hi - lo;
  if (std::isfinite(width)) return lo + u * width;
  const double wide = static_cast<double>(lo) +
                      static_cast<double>(u) * (static_cast<double>(hi) - static_cast<double>(lo));
  return static_cast<float>(wide);
}

// Box maintenance keeps the current bound on ties, so a bound's sign of zero only changes when a
// strictly smaller (larger) value arrives.
// Written as selects so the compiler can use minss/maxss, which have exactly these semantics.
inline void widen(float* lo, float* hi, uint64_t i, float v) {
  lo[i] = v < lo[i] ? v : lo[i];
  hi[i] = v > hi[i] ? v : hi[i];
}

// The insert walk from the root to a leaf: counts the point in every node it passes and widens
// their boxes; returns the leaf and its depth. A dimension known at compile time (N > 0) lets
// the box update compile to straight-line code, free of the overlap checks and remainder loops
// a run-time length needs.
template <uint64_t N>
uint64_t count_and_widen_path(NodeArena& arena, std::span<const float> point, uint64_t& depth) {
  const uint64_t dim = N != 0 ? N : arena.input_dim();
  float local[N != 0 ? N : 1];
  const float* values = point.data();
  if constexpr (N != 0) {
    for (uint64_t i = 0; i < N; ++i) local[i] = point[i];
    values = local;
  }
  uint64_t slot = 0;
  depth = 0;
  while (true) {
    Node& n = arena.node(slot);
    if (n.height != kMaxCount) ++n.height;
    float* lo = arena.min(slot);
    float* hi = lo + dim;
    for (uint64_t i = 0; i < dim; ++i) widen(lo, hi, i, values[i]);
    if (n.is_leaf()) return slot;
    slot = route(n, point);
    ++depth;
  }
}

}  // namespace

Threshold split_threshold(uint64_t max_leaf_samples, uint64_t depth) {
  if (depth >= 64 || max_leaf_samples > (kMaxCount >> depth)) return {kMaxCount, true};
  return {max_leaf_samples << depth, false};
}

double depth_limit(uint64_t window_size, uint64_t max_leaf_samples) {
  return std::log2(static_cast<double>(window_size) / static_cast<double>(max_leaf_samples));
}

uint64_t draw_index(Xoshiro256PlusPlus& rng, uint64_t k) {
  if (k <= std::numeric_limits<uint32_t>::max()) {
    const uint64_t x1 = rng.next_u64() >> 32;
    const uint64_t product = k * x1;
    uint64_t r = product >> 32;
    const uint64_t lo = product & 0xffffffffULL;
    if (lo > (uint64_t{1} << 32) - k) {
      const uint64_t x2 = rng.next_u64() >> 32;
      const uint64_t hi2 = (k * x2) >> 32;
      if (lo + hi2 > 0xffffffffULL) ++r;
    }
    return r;
  }
  const unsigned __int128 product = static_cast<unsigned __int128>(k) * rng.next_u64();
  uint64_t r = static_cast<uint64_t>(product >> 64);
  const uint64_t lo = static_cast<uint64_t>(product);
  if (lo > 0 - k) {
    const unsigned __int128 p2 = static_cast<unsigned __int128>(k) * rng.next_u64();
    const uint64_t hi2 = static_cast<uint64_t>(p2 >> 64);
    uint64_t sum = 0;
    if (__builtin_add_overflow(lo, hi2, &sum)) ++r;
  }
  return r;
}

float draw_unit_f32(Xoshiro256PlusPlus& rng) {
  const uint32_t bits = static_cast<uint32_t>(rng.next_u64() >> 41) | 0x3f800000U;
  return std::bit_cast<float>(bits) - 1.0f;
}

void OnlineITree::insert(std::span<const float> point, uint64_t max_leaf_samples,
                         double depth_limit) {
  const uint64_t dim = arena_.input_dim();
  if (arena_.empty()) {
    const uint64_t root = arena_.create_root();
    arena_.node(root).height = 1;
    float* lo = arena_.min(root);
    float* hi = arena_.max(root);
    for (uint64_t i = 0; i < dim; ++i) lo[i] = hi[i] = point[i];
    return;
  }
  uint64_t depth = 0;
  uint64_t slot = 0;
  switch (dim) {
    case 1: slot = count_and_widen_path<1>(arena_, point, depth); break;
    case 2: slot = count_and_widen_path<2>(arena_, point, depth); break;
    case 3: slot = count_and_widen_path<3>(arena_, point, depth); break;
    case 4: slot = count_and_widen_path<4>(arena_, point, depth); break;
    case 5: slot = count_and_widen_path<5>(arena_, point, depth); break;
    case 6: slot = count_and_widen_path<6>(arena_, point, depth); break;
    case 7: slot = count_and_widen_path<7>(arena_, point, depth); break;
    case 8: slot = count_and_widen_path<8>(arena_, point, depth); break;
    default: slot = count_and_widen_path<0>(arena_, point, depth); break;
  }
  if (static_cast<double>(depth) < depth_limit &&
      arena_.node(slot).height >= split_threshold(max_leaf_samples, depth).value) {
    split_leaf(slot);
  }
}

void OnlineITree::split_leaf(uint64_t slot) {
  const uint64_t dim = arena_.input_dim();
  uint64_t active = 0;
  {
    const float* m = arena_.min(slot);
    const float* big_m = arena_.max(slot);
    for (uint64_t i = 0; i < dim; ++i) active += big_m[i] > m[i] ? 1 : 0;
  }
  if (active == 0) return;  // every point of the leaf coincides: nothing to cut
  uint64_t rank = draw_index(rng_, active);
  uint64_t d = 0;
  {
    const float* m = arena_.min(slot);
    const float* big_m = arena_.max(slot);
    for (; d < dim; ++d) {
      if (big_m[d] > m[d]) {
        if (rank == 0) break;
        --rank;
      }
    }
  }
  // The pair comes from reserved capacity, so the parent's bounds stay where they are.
  const uint64_t left = arena_.allocate_pair();
  const uint64_t right = left + 1;
  const float* m = arena_.min(slot);
  const float* big_m = arena_.max(slot);
  const float s = sample_between(rng_, m[d], big_m[d]);
  const uint64_t h = arena_.node(slot).height;

  uint64_t counts[2] = {0, 0};
  float* lo[2] = {arena_.min(left), arena_.min(right)};
  float* hi[2] = {arena_.max(left), arena_.max(right)};
  for (uint64_t p = 0; p < h; ++p) {
    const float c = sample_between(rng_, m[d], big_m[d]);
    const int side = c < s ? 0 : 1;
    const bool first = counts[side] == 0;
    ++counts[side];
    float* child_lo = lo[side];
    float* child_hi = hi[side];
    if (first) {
      child_lo[d] = child_hi[d] = c;
    } else {
      widen(child_lo, child_hi, d, c);
    }
    for (uint64_t i = 0; i < dim; ++i) {
      if (i == d) continue;
      const float v = m[i] == big_m[i] ? m[i] : sample_between(rng_, m[i], big_m[i]);
      if (first) {
        child_lo[i] = child_hi[i] = v;
      } else {
        widen(child_lo, child_hi, i, v);
      }
    }
  }
  // A side that got no synthetic point keeps the leaf's box, cut at the split value.
  for (int side = 0; side < 2; ++side) {
    if (counts[side] != 0) continue;
    for (uint64_t i = 0; i < dim; ++i) {
      lo[side][i] = m[i];
      hi[side][i] = big_m[i];
    }
    if (side == 0) {
      hi[0][d] = s;
    } else {
      lo[1][d] = s;
    }
  }
  arena_.node(left).height = counts[0];
  arena_.node(right).height = counts[1];
  Node& n = arena_.node(slot);
  n.children = left;
  n.split_dimension = d;
  n.split_value = s;
}

void OnlineITree::fold(uint64_t slot) {
  const Node& n = arena_.node(slot);
  const uint64_t a = n.left();
  const uint64_t b = n.right();
  const uint64_t dim = arena_.input_dim();
  float* lo = arena_.min(slot);
  float* hi = arena_.max(slot);
  const float* a_lo = arena_.min(a);
  const float* a_hi = arena_.max(a);
  const float* b_lo = arena_.min(b);
  const float* b_hi = arena_.max(b);
  for (uint64_t i = 0; i < dim; ++i) {
    lo[i] = b_lo[i] < a_lo[i] ? b_lo[i] : a_lo[i];
    hi[i] = b_hi[i] > a_hi[i] ? b_hi[i] : a_hi[i];
  }
  arena_.release_children(slot);
}

void OnlineITree::remove(std::span<const float> point, uint64_t max_leaf_samples) {
  if (arena_.empty()) return;
  Node& root = arena_.node(0);
  if (root.height > 0) --root.height;
  if (!root.is_leaf() && root.height < max_leaf_samples) {
    fold(0);
  } else {
    uint64_t slot = 0;
    uint64_t depth = 0;
    while (!arena_.node(slot).is_leaf()) {
      slot = route(arena_.node(slot), point);
      ++depth;
      Node& c = arena_.node(slot);
      if (c.height > 0) --c.height;
      if (c.is_leaf()) break;
      const Threshold t = split_threshold(max_leaf_samples, depth);
      if (t.overflowed || c.height < t.value) {
        fold(slot);
        break;
      }
    }
  }
  if (arena_.node(0).height == 0) arena_.clear();
}

double OnlineITree::path_length(std::span<const float> point, uint64_t max_leaf_samples) const {
  if (arena_.empty()) return 0.0;
  const auto [depth, h] = leaf_of(point);
  const double d = static_cast<double>(depth);
  if (h < max_leaf_samples) return d;
  return d + std::log2(static_cast<double>(h) / static_cast<double>(max_leaf_samples));
}

std::pair<uint64_t, uint64_t> OnlineITree::leaf_of(std::span<const float> point) const {
  uint64_t slot = 0;
  uint64_t depth = 0;
  while (!arena_.node(slot).is_leaf()) {
    slot = route(arena_.node(slot), point);
    ++depth;
  }
  return {depth, arena_.node(slot).height};
}

namespace {

void write_floats(json::Writer& w, const float* v, uint64_t n) {
  w.put('[');
  for (uint64_t i = 0; i < n; ++i) {
    if (i != 0) w.put(',');
    w.f32(v[i]);
  }
  w.put(']');
}

}  // namespace

void OnlineITree::write_json(json::Writer& w) const {
  w.put("{\"root\":");
  if (arena_.empty()) {
    w.null();
  } else {
    // Explicit stack: stage 0 opens a node, 1 moves from the left to the right child, 2 closes.
    struct Frame {
      uint64_t slot;
      int stage;
    };
    std::vector<Frame> stack;
    stack.push_back({0, 0});
    const uint64_t dim = arena_.input_dim();
    while (!stack.empty()) {
      const uint64_t slot = stack.back().slot;
      const Node& n = arena_.node(slot);
      switch (stack.back().stage) {
        case 0:
          w.put("{\"height\":");
          w.u64(n.height);
          w.put(",\"support\":{\"min\":");
          write_floats(w, arena_.min(slot), dim);
          w.put(",\"max\":");
          write_floats(w, arena_.max(slot), dim);
          w.put("},\"split\":");
          if (n.is_leaf()) {
            w.put("null}");
            stack.pop_back();
            break;
          }
          w.put("{\"dimension\":");
          w.u64(n.split_dimension);
          w.put(",\"value\":");
          w.f32(n.split_value);
          w.put(",\"left\":");
          stack.back().stage = 1;
          stack.push_back({n.left(), 0});
          break;
        case 1:
          w.put(",\"right\":");
          stack.back().stage = 2;
          stack.push_back({n.right(), 0});
          break;
        default:
          w.put("}}");
          stack.pop_back();
          break;
      }
    }
  }
  w.put(",\"rng\":");
  json::write(w, rng_);
  w.put('}');
}

void OnlineITree::write_bytes(bin::Writer& w) const {
  const uint64_t dim = arena_.input_dim();
  std::vector<uint64_t> order;
  if (!arena_.empty()) {
    std::vector<uint64_t> stack{0};
    while (!stack.empty()) {
      const uint64_t slot = stack.back();
      stack.pop_back();
      order.push_back(slot);
      const Node& n = arena_.node(slot);
      if (!n.is_leaf()) {
        stack.push_back(n.right());
        stack.push_back(n.left());
      }
    }
  }
  w.u64(order.size());
  for (const uint64_t slot : order) {
    const Node& n = arena_.node(slot);
    w.u64(n.height);
    w.u64(dim);
    w.bytes(arena_.min(slot), dim * sizeof(float));
    w.u64(dim);
    w.bytes(arena_.max(slot), dim * sizeof(float));
    w.u8(n.is_leaf() ? 0 : 1);
    if (!n.is_leaf()) {
      w.u64(n.split_dimension);
      w.f32(n.split_value);
    }
  }
  bin::write(w, rng_);
}

Result<OnlineITree> OnlineITree::from_parsed(ParsedTree&& parsed, uint64_t input_dim,
                                             uint64_t max_leaf_samples, double depth_limit,
                                             std::span<const std::vector<float>> window) {
  const uint64_t expected_root_height = window.size();
  auto refuse = [](std::string what) {
    return fail(DetectorError::invalid_argument(std::move(what)));
  };
  const std::vector<ParsedNode>& nodes = parsed.root.nodes;
  OnlineITree tree(input_dim, parsed.rng);
  if (nodes.empty()) {
    if (expected_root_height != 0) {
      return refuse("tree is empty but the window holds " + std::to_string(expected_root_height) +
                    " points");
    }
    return tree;
  }
  if (nodes[0].height != expected_root_height) {
    return refuse("root height " + std::to_string(nodes[0].height) + " differs from the " +
                  std::to_string(expected_root_height) + " points of the window");
  }
  // Pre-order: a parent's depth is known before its children are reached.
  std::vector<uint64_t> depth(nodes.size(), 0);
  for (size_t i = 0; i < nodes.size(); ++i) {
    const ParsedNode& n = nodes[i];
    if (n.min.size() != input_dim || n.max.size() != input_dim) {
      const size_t got = n.min.size() != input_dim ? n.min.size() : n.max.size();
      return refuse("support has " + std::to_string(got) + " values, expected " +
                    std::to_string(input_dim));
    }
    for (uint64_t k = 0; k < input_dim; ++k) {
      if (!std::isfinite(n.min[k]) || !std::isfinite(n.max[k])) {
        return refuse("support values must be finite");
      }
    }
    if (!n.has_split) continue;
    if (n.split_dimension >= input_dim) {
      return refuse("split dimension " + std::to_string(n.split_dimension) +
                    " out of range for input_dim " + std::to_string(input_dim));
    }
    if (!std::isfinite(n.split_value)) return refuse("split value must be finite");
    if (!(static_cast<double>(depth[i]) < depth_limit)) {
      return refuse("split at depth " + std::to_string(depth[i]) + " beyond the depth limit");
    }
    const Threshold t = split_threshold(max_leaf_samples, depth[i]);
    if (t.overflowed || n.height < t.value) {
      return refuse("split node height " + std::to_string(n.height) +
                    " below its split threshold at depth " + std::to_string(depth[i]));
    }
    // Inserts count a point in a parent and one child, removals uncount it from both (unless
    // the child is already at 0), so a parent never counts more than its children together.
    // A child may count more than its parent: a removal can route elsewhere than the insert.
    const uint64_t lh = nodes[n.left].height;
    const uint64_t rh = nodes[n.right].height;
    if (static_cast<unsigned __int128>(lh) + rh < n.height) {
      return refuse("node height " + std::to_string(n.height) +
                    " exceeds the sum of its children's heights");
    }
    depth[n.left] = depth[i] + 1;
    depth[n.right] = depth[i] + 1;
  }

  // A node's count is what it was made with plus the points routed through it since, less
  // their removals; its ancestors' splits stay fixed while it exists, so those points are
  // removed through it again. What it was made with is at most its parent's count then, which
  // by the same bound one level up is at most d * (points + 1) at depth d, the window holding
  // one point more during an update. So a node at depth d counts at most d * (points + 1) plus
  // the window points that route through it now, and every update keeps that true: checking
  // less would accept states that later save counts their own reload refuses. It also bounds
  // the synthetic points a split draws.
  std::vector<uint64_t> through(nodes.size(), 0);
  for (const std::vector<float>& point : window) {
    size_t i = 0;
    while (true) {
      ++through[i];
      const ParsedNode& n = nodes[i];
      if (!n.has_split) break;
      i = n.split_value > point[n.split_dimension] ? n.left : n.right;
    }
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    const unsigned __int128 most =
        static_cast<unsigned __int128>(depth[i]) * (expected_root_height + 1) + through[i];
    if (nodes[i].height > most) {
      return refuse("node height " + std::to_string(nodes[i].height) + " at depth " +
                    std::to_string(depth[i]) + " is more than " +
                    std::to_string(expected_root_height) + " window points can give");
    }
  }

  tree.arena_.reserve_slots(nodes.size());
  std::vector<uint64_t> slot_of(nodes.size(), 0);
  slot_of[0] = tree.arena_.create_root();
  for (size_t i = 0; i < nodes.size(); ++i) {
    const ParsedNode& p = nodes[i];
    const uint64_t slot = slot_of[i];
    Node& n = tree.arena_.node(slot);
    n.height = p.height;
    std::copy(p.min.begin(), p.min.end(), tree.arena_.min(slot));
    std::copy(p.max.begin(), p.max.end(), tree.arena_.max(slot));
    if (p.has_split) {
      const uint64_t left = tree.arena_.allocate_pair();
      Node& parent = tree.arena_.node(slot);
      parent.children = left;
      parent.split_dimension = p.split_dimension;
      parent.split_value = p.split_value;
      slot_of[p.left] = left;
      slot_of[p.right] = left + 1;
    }
  }
  return tree;
}

}  // namespace quillon::oif

// ---------------------------------------------------------------------------------------------
// Reading nested nodes into the pre-order list. Each record carries the list it appends to;
// the reader's nesting limit bounds the recursion.

namespace {

using quillon::oif::ParsedNode;

struct NodeRef {
  std::vector<ParsedNode>* nodes = nullptr;
  size_t index = 0;
};

struct SupportFields {
  std::vector<float> min;
  std::vector<float> max;
  static constexpr std::string_view kJsonName = "Support";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("min", self.min);
    field("max", self.max);
  }
};

struct SplitFields {
  uint64_t dimension = 0;
  float value = 0.0f;
  NodeRef left;
  NodeRef right;
  static constexpr std::string_view kJsonName = "Split";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("dimension", self.dimension);
    field("value", self.value);
    field("left", self.left);
    field("right", self.right);
  }
};

// The optional "split" of a node; null or missing means a leaf.
struct SplitRef {
  std::vector<ParsedNode>* nodes = nullptr;
  bool present = false;
  uint64_t dimension = 0;
  float value = 0.0f;
  size_t left = 0;
  size_t right = 0;
  void reset() { present = false; }
};

struct NodeFields {
  uint64_t height = 0;
  SupportFields support;
  SplitRef split;
  static constexpr std::string_view kJsonName = "Node";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("height", self.height);
    field("support", self.support);
    field("split", self.split);
  }
};

}  // namespace

namespace quillon::json {

template <>
struct is_optional<SplitRef> : std::true_type {};

template <>
struct Codec<NodeRef> {
  static bool read(Reader& r, NodeRef& ref) {
    if (r.failed()) return false;
    const size_t index = ref.nodes->size();
    ref.nodes->emplace_back();  // reserves the pre-order position before the children
    NodeFields fields;
    fields.split.nodes = ref.nodes;
    if (!read_record(r, fields, "struct Node")) return false;
    ParsedNode& n = (*ref.nodes)[index];
    n.height = fields.height;
    n.min = std::move(fields.support.min);
    n.max = std::move(fields.support.max);
    n.has_split = fields.split.present;
    n.split_dimension = fields.split.dimension;
    n.split_value = fields.split.value;
    n.left = fields.split.left;
    n.right = fields.split.right;
    ref.index = index;
    return true;
  }
};

template <>
struct Codec<SplitRef> {
  static bool read(Reader& r, SplitRef& split) {
    if (r.take_null()) {
      split.present = false;
      return true;
    }
    if (r.failed()) return false;
    SplitFields fields;
    fields.left.nodes = split.nodes;
    fields.right.nodes = split.nodes;
    if (!read_record(r, fields, "struct Split")) return false;
    split.present = true;
    split.dimension = fields.dimension;
    split.value = fields.value;
    split.left = fields.left.index;
    split.right = fields.right.index;
    return true;
  }
};

bool Codec<oif::ParsedRoot>::read(Reader& r, oif::ParsedRoot& root) {
  root.nodes.clear();
  if (r.take_null()) return true;
  if (r.failed()) return false;
  NodeRef ref{&root.nodes, 0};
  return Codec<NodeRef>::read(r, ref);
}

}  // namespace quillon::json

namespace quillon::bin {

// Pre-order nodes with their children's indices recovered as the nesting of JSON gives them: a
// split's left child follows it, its right child follows the left child's subtree.
bool Codec<oif::ParsedRoot>::read(Reader& r, oif::ParsedRoot& root) {
  root.nodes.clear();
  uint64_t count = 0;
  // A node takes at least its height, two list lengths and its tag.
  if (!r.count(count, 3 * sizeof(uint64_t) + 1)) return false;
  root.nodes.reserve(count);
  std::vector<size_t> open;  // splits still waiting for a child
  std::vector<uint8_t> has_left;
  for (uint64_t i = 0; i < count; ++i) {
    if (i != 0) {
      if (open.empty()) return r.fail("a node after the last subtree of the tree");
      oif::ParsedNode& parent = root.nodes[open.back()];
      if (!has_left.back()) {
        parent.left = i;
        has_left.back() = 1;
      } else {
        parent.right = i;
        open.pop_back();
        has_left.pop_back();
      }
    }
    oif::ParsedNode n;
    uint8_t split = 0;
    if (!r.raw(n.height) || !bin::read(r, n.min) || !bin::read(r, n.max) ||
        !r.tag(split, 2, "0 (a leaf) or 1 (a split)")) {
      return false;
    }
    n.has_split = split == 1;
    if (n.has_split && (!r.raw(n.split_dimension) || !r.f32(n.split_value))) return false;
    root.nodes.push_back(std::move(n));
    if (root.nodes.back().has_split) {
      open.push_back(i);
      has_left.push_back(0);
    }
  }
  if (!open.empty()) return r.fail("a split without both of its children");
  return true;
}

}  // namespace quillon::bin

