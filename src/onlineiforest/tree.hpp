// An online isolation tree: counts and boxes only, no stored points. Leaves split when their
// count reaches a threshold that doubles with depth (children estimated from synthetic points
// drawn inside the leaf's box); removals fold subtrees whose counts fall below it again.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "detector_error.hpp"
#include "binary_codec.hpp"
#include "json_codec.hpp"
#include "onlineiforest/node.hpp"
#include "rng.hpp"

namespace quillon::oif {

// max_leaf_samples * 2^depth in unsigned 64-bit arithmetic; saturates (and reports it) on
// overflow.
struct Threshold {
  uint64_t value;
  bool overflowed;
};
Threshold split_threshold(uint64_t max_leaf_samples, uint64_t depth);

// log2(window_size / max_leaf_samples) in 64-bit floats: leaves at this depth or deeper never
// split.
double depth_limit(uint64_t window_size, uint64_t max_leaf_samples);

// Uniform in [0, k): the widening-multiply method on the high 32 bits of a word (with one more
// word for the rare low halves near the top), on whole words and 128-bit products for k >= 2^32.
uint64_t draw_index(Xoshiro256PlusPlus& rng, uint64_t k);
// Uniform 32-bit float in [0, 1): the top 23 bits of a word as the mantissa of [1, 2), minus one.
float draw_unit_f32(Xoshiro256PlusPlus& rng);

// A tree as read from JSON, before it is checked against the detector's configuration. Nodes
// are in pre-order (a parent before its children); an empty list is an empty tree.
struct ParsedNode {
  uint64_t height = 0;
  std::vector<float> min;
  std::vector<float> max;
  bool has_split = false;
  uint64_t split_dimension = 0;
  float split_value = 0.0f;
  size_t left = 0;
  size_t right = 0;
};
struct ParsedRoot {
  std::vector<ParsedNode> nodes;
  void reset() { nodes.clear(); }
};
struct ParsedTree {
  ParsedRoot root;
  Xoshiro256PlusPlus rng;

  static constexpr std::string_view kJsonName = "OnlineITree";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("root", self.root);
    field("rng", self.rng);
  }
};

class OnlineITree {
 public:
  OnlineITree() = default;
  OnlineITree(uint64_t input_dim, Xoshiro256PlusPlus rng) : arena_(input_dim), rng_(rng) {}

  bool empty() const { return arena_.empty(); }
  const NodeArena& arena() const { return arena_; }
  const Xoshiro256PlusPlus& rng() const { return rng_; }

  // Makes room for the nodes one insert can create; may throw std::bad_alloc, before any change.
  void reserve_for_insert() { arena_.reserve_pair(); }
  // `point` holds input_dim finite values; reserve_for_insert() must come first.
  void insert(std::span<const float> point, uint64_t max_leaf_samples, double depth_limit);
  void remove(std::span<const float> point, uint64_t max_leaf_samples);
  double path_length(std::span<const float> point, uint64_t max_leaf_samples) const;
  // Depth and height of the leaf `point` reaches; the tree must not be empty.
  std::pair<uint64_t, uint64_t> leaf_of(std::span<const float> point) const;

  // Nested {"root":Node|null,"rng":{...}} text, written without recursion.
  void write_json(json::Writer& w) const;
  // The same tree in the binary form: the node count, then the nodes in pre-order, each its
  // height, its box as two lists, and a tag byte 0 (leaf) or 1 (split, then dimension and value).
  void write_bytes(bin::Writer& w) const;
  // Checks a parsed tree against the configuration and the detector's window (whose points the
  // counts must account for) and builds it; the error text names what is wrong.
  static Result<OnlineITree> from_parsed(ParsedTree&& parsed, uint64_t input_dim,
                                         uint64_t max_leaf_samples, double depth_limit,
                                         std::span<const std::vector<float>> window);

 private:
  void split_leaf(uint64_t slot);
  void fold(uint64_t slot);

  NodeArena arena_;
  Xoshiro256PlusPlus rng_;
};

}  // namespace quillon::oif

namespace quillon::json {

// "root" may be null or missing: an empty tree.
template <>
struct is_optional<oif::ParsedRoot> : std::true_type {};
template <>
struct Codec<oif::ParsedRoot> {
  static bool read(Reader& r, oif::ParsedRoot& root);
};

}  // namespace quillon::json

namespace quillon::bin {

template <>
struct Codec<oif::ParsedRoot> {
  static bool read(Reader& r, oif::ParsedRoot& root);
};

}  // namespace quillon::bin
