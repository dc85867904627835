// The saved state: writing, reading, and the consistency checks that let every later operation
// trust a restored forest. A state that this module wrote always passes them.
#include <cmath>
#include <string>

#include "rcf/forest/mod.hpp"

namespace quillon::rcf {

namespace {

constexpr std::string_view kPrefix = "invalid forest JSON: ";

std::unexpected<DetectorError> inconsistent(const std::string& what) {
  return fail(DetectorError::invalid_argument(std::string(kPrefix) + what));
}

std::string num(uint64_t v) { return std::to_string(v); }

bool all_finite(std::span<const float> values) {
  for (const float v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

constexpr std::string_view kMagnitudeText = "1.7014118e+38 in magnitude";

// What an update accepts: finite and within the magnitude a box side can carry.
bool all_storable(std::span<const float> values) {
  for (const float v : values) {
    if (!within_magnitude(v)) return false;
  }
  return true;
}

Status check_store(const Forest& f, uint64_t dim) {
  const RcfConfig& c = f.config;
  const PointStore& s = f.point_store;
  if (s.dim != dim || s.input_dim != c.input_dim || s.shingle_size != c.shingle_size ||
      s.internal_shingling != c.internal_shingling) {
    return inconsistent("point_store shape does not match config");
  }
  if (s.store.cols != dim || s.store.rows != s.capacity || s.occupied.size() != s.capacity ||
      s.ref_count.size() != s.capacity) {
    return inconsistent("point_store lists do not match its capacity " + num(s.capacity));
  }
  if (s.shingle_buf.size() != dim) {
    return inconsistent("point_store shingle_buf has " + num(s.shingle_buf.size()) +
                        " values, expected " + num(dim));
  }
  if (!all_storable(s.shingle_buf)) {
    return inconsistent("point_store shingle_buf is not finite or not below " +
                        std::string(kMagnitudeText));
  }
  if (s.next_free > s.capacity) return inconsistent("point_store next_free beyond capacity");
  uint64_t occupied = 0;
  for (uint64_t row = 0; row < s.capacity; ++row) {
    if (!s.occupied[row]) continue;
    ++occupied;
    if (row >= s.next_free)
      return inconsistent("point_store row " + num(row) + " occupied beyond next_free");
  }
  // Free rows too: they are saved, and a value that is not a finite 32-bit float would be
  // written as null.
  for (uint64_t row = 0; row < s.capacity; ++row) {
    if (!all_storable(s.point(row))) {
      return inconsistent("point_store row " + num(row) + " is not finite or not below " +
                          std::string(kMagnitudeText));
    }
  }
  if (occupied != s.size) return inconsistent("point_store size does not match occupied rows");
  std::vector<bool> listed(s.capacity, false);
  for (const uint64_t row : s.free_list) {
    if (row >= s.next_free || s.occupied[row] || listed[row]) {
      return inconsistent("point_store free_list entry " + num(row) + " is not a released row");
    }
    listed[row] = true;
  }
  return {};
}

// Sampler shapes, and the sampler references per row, to be compared with ref_count.
Status check_samplers(const Forest& f, std::vector<uint64_t>& refs) {
  const PointStore& s = f.point_store;
  for (uint64_t i = 0; i < f.samplers.size(); ++i) {
    const Sampler& sm = f.samplers[i];
    const std::string name = "sampler " + num(i);
    if (sm.capacity != f.config.capacity || sm.weights.size() != sm.capacity ||
        sm.point_indices.size() != sm.capacity) {
      return inconsistent(name + " does not match capacity " + num(f.config.capacity));
    }
    if (sm.size > sm.capacity) return inconsistent(name + " size exceeds its capacity");
    for (uint64_t j = 0; j < sm.size; ++j) {
      const uint64_t row = sm.point_indices[j];
      if (row >= s.capacity || !s.occupied[row]) {
        return inconsistent(name + " holds row " + num(row) + " that is not an occupied row");
      }
      ++refs[row];
    }
  }
  for (uint64_t row = 0; row < s.capacity; ++row) {
    if (s.ref_count[row] != refs[row]) {
      return inconsistent("point_store ref_count of row " + num(row) + " is " +
                          num(s.ref_count[row]) + ", samplers hold it " + num(refs[row]) +
                          " times");
    }
    if (s.occupied[row] && refs[row] == 0) {
      return inconsistent("point_store row " + num(row) + " is occupied but unreferenced");
    }
  }
  return {};
}

// Scratch shared by the tree checks, sized once per load.
struct TreeScratch {
  std::vector<uint8_t> seen;    // per slot
  std::vector<uint64_t> order;  // slots in depth-first preorder
  std::vector<uint64_t> stack;
  std::vector<uint64_t> row_count;  // per store row: sampler entries minus leaf masses
};

Status check_tree(const Forest& f, uint64_t index, uint64_t dim, TreeScratch& sc) {
  const RcfTree& t = f.trees[index];
  const NodeArena& a = t.arena;
  const PointStore& s = f.point_store;
  const Sampler& sm = f.samplers[index];
  const std::string name = "tree " + num(index);
  const uint64_t slots = a.nodes.size();

  if (t.dims != dim) return inconsistent(name + " dims " + num(t.dims) + ", expected " + num(dim));
  sc.seen.assign(slots, 0);
  for (const uint64_t slot : a.free) {
    if (slot >= slots || !a.nodes[slot].is_empty() || sc.seen[slot]) {
      return inconsistent(name + " free slot " + num(slot) + " is not an empty slot");
    }
    sc.seen[slot] = 1;
  }
  uint64_t live = 0;
  bool has_internal = false;
  for (const Node& n : a.nodes) {
    if (!n.is_empty()) ++live;
    has_internal = has_internal || n.is_internal();
  }
  if (has_internal && a.dim != dim) {
    return inconsistent(name + " bounding boxes have " + num(a.dim) + " coordinates, expected " +
                        num(dim));
  }
  if (t.root == kNoIndex) {
    if (t.tree_mass != 0 || live != 0) return inconsistent(name + " has no root but holds nodes");
    if (sm.size != 0) return inconsistent(name + " is empty but its sampler holds points");
    return {};
  }
  if (t.root >= slots || a.nodes[t.root].is_empty()) {
    return inconsistent(name + " root " + num(t.root) + " is not a node");
  }

  // Walk from the root: every child must be a node of its own, met exactly once.
  sc.seen.assign(slots, 0);
  sc.order.clear();
  sc.stack.assign(1, t.root);
  sc.seen[t.root] = 1;
  while (!sc.stack.empty()) {
    const uint64_t slot = sc.stack.back();
    sc.stack.pop_back();
    sc.order.push_back(slot);
    const Node& n = a.nodes[slot];
    if (n.is_leaf()) {
      if (n.point_idx() >= s.capacity || !s.occupied[n.point_idx()]) {
        return inconsistent(name + " leaf " + num(slot) + " refers to row " + num(n.point_idx()) +
                            " that is not an occupied row");
      }
      if (n.mass == 0) return inconsistent(name + " leaf " + num(slot) + " has mass 0");
      continue;
    }
    if (n.cut_dim >= dim)
      return inconsistent(name + " node " + num(slot) + " cuts dimension " + num(n.cut_dim));
    if (!std::isfinite(n.cut_val) || !all_finite(a.box_min(slot)) || !all_finite(a.box_max(slot))) {
      return inconsistent(name + " node " + num(slot) + " has a non-finite cut or box");
    }
    for (const uint64_t child : {n.left, n.right}) {
      if (child >= slots || a.nodes[child].is_empty()) {
        return inconsistent(name + " node " + num(slot) + " has child " + num(child) +
                            " that is not a node");
      }
      if (sc.seen[child]) {
        return inconsistent(name + " node " + num(child) +
                            " is reached twice (cycle or shared child)");
      }
      sc.seen[child] = 1;
      sc.stack.push_back(child);
    }
  }
  if (sc.order.size() != live) return inconsistent(name + " holds nodes unreachable from its root");

  // Masses and boxes bottom-up: children come after their parent in preorder. A box must be the
  // union of its children's (in value; the sign of a zero bound depends on insertion order).
  auto child_min = [&](uint64_t c) {
    return a.nodes[c].is_leaf() ? s.point(a.nodes[c].point_idx()) : a.box_min(c);
  };
  auto child_max = [&](uint64_t c) {
    return a.nodes[c].is_leaf() ? s.point(a.nodes[c].point_idx()) : a.box_max(c);
  };
  for (size_t i = sc.order.size(); i-- > 0;) {
    const uint64_t slot = sc.order[i];
    const Node& n = a.nodes[slot];
    if (!n.is_internal()) continue;
    uint64_t sum = 0;
    if (__builtin_add_overflow(a.nodes[n.left].mass, a.nodes[n.right].mass, &sum) ||
        sum != n.mass) {
      return inconsistent(name + " node " + num(slot) + " mass does not match its children");
    }
    const auto lmin = child_min(n.left), lmax = child_max(n.left);
    const auto rmin = child_min(n.right), rmax = child_max(n.right);
    const auto min = a.box_min(slot), max = a.box_max(slot);
    for (uint64_t d = 0; d < dim; ++d) {
      if (min[d] != bound_min(lmin[d], rmin[d]) || max[d] != bound_max(lmax[d], rmax[d])) {
        return inconsistent(name + " node " + num(slot) + " box does not match its children");
      }
    }
    if (range_sum_of(min, max) != n.range_sum) {
      return inconsistent(name + " node " + num(slot) + " range_sum does not match its box");
    }
  }
  if (a.nodes[t.root].mass != t.tree_mass)
    return inconsistent(name + " tree_mass does not match its nodes");
  if (t.tree_mass != sm.size) {
    return inconsistent(name + " tree_mass " + num(t.tree_mass) +
                        " differs from its sampler size " + num(sm.size));
  }

  // Each leaf holds exactly as many copies as the sampler holds entries of its row, each row in
  // one leaf, and the leaf is where its own point descends to.
  for (uint64_t j = 0; j < sm.size; ++j) ++sc.row_count[sm.point_indices[j]];
  Status result;
  for (const uint64_t slot : sc.order) {
    const Node& n = a.nodes[slot];
    if (!n.is_leaf()) continue;
    if (sc.row_count[n.point_idx()] != n.mass) {
      result =
          inconsistent(name + " leaf " + num(slot) + " mass does not match its sampler entries");
      break;
    }
    sc.row_count[n.point_idx()] = 0;
    if (t.leaf_for(s.point(n.point_idx())) != slot) {
      result = inconsistent(name + " leaf " + num(slot) + " is not where its point descends");
      break;
    }
  }
  for (uint64_t j = 0; j < sm.size; ++j) {
    const uint64_t row = sm.point_indices[j];
    if (sc.row_count[row] != 0 && result) {
      result = inconsistent(name + " sampler holds row " + num(row) + " that the tree does not");
    }
    sc.row_count[row] = 0;
  }
  return result;
}

Status check_forest(const Forest& f) {
  const RcfConfig& c = f.config;
  if (auto ok = Forest::validate(c); !ok) return inconsistent("config: " + ok.error().message);
  const uint64_t dim = c.input_dim * c.shingle_size;
  if (f.trees.size() != c.num_trees || f.samplers.size() != c.num_trees) {
    return inconsistent("trees and samplers must number num_trees = " + num(c.num_trees));
  }
  if (auto ok = check_store(f, dim); !ok) return ok;
  std::vector<uint64_t> refs(f.point_store.capacity, 0);
  if (auto ok = check_samplers(f, refs); !ok) return ok;
  TreeScratch scratch;
  scratch.row_count.assign(f.point_store.capacity, 0);
  for (uint64_t i = 0; i < f.trees.size(); ++i) {
    if (auto ok = check_tree(f, i, dim, scratch); !ok) return ok;
  }
  return {};
}

}  // namespace

std::string Forest::to_json() const {
  // A rough size, so that the text is not copied over and over while it grows.
  uint64_t estimate = 1024 + point_store.store.data.size() * 4 + point_store.capacity * 10;
  for (const auto& tree : trees)
    estimate += tree.arena.nodes.size() * 64 + tree.arena.boxes.size() * 12;
  for (const auto& sampler : samplers) estimate += sampler.capacity * 44;
  json::Writer w;
  w.text().reserve(estimate);
  json::write(w, *this);
  return w.take();
}

Result<Forest> Forest::from_json(std::string_view text) {
  auto parsed = json::parse_state<Forest>(text, kPrefix);
  if (!parsed) return fail(parsed.error());
  return from_parsed(std::move(*parsed));
}

Result<Forest> Forest::from_parsed(Forest&& f) {
  if (auto ok = check_forest(f); !ok) return fail(ok.error());
  require_addressable(f.config);
  ensure_memory(forest_footprint(f.config), memory_label(f.config));
  for (auto& tree : f.trees) tree.arena.set_box_dim(tree.dims);
  f.point_store.recount_zero_coordinates();
  f.reserve_working_memory();
  return std::move(f);
}

}  // namespace quillon::rcf
