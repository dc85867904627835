// The forest's binary state (layout in docs/binary-state.md). It holds what the JSON state holds,
// in fewer bytes: the store and the samplers are written up to their last used entry (the rest
// are the zeros and empty slots JSON lists), and an internal node's box is left out whenever it
// is, bit for bit, the union of its children's, which the reader recomputes. Reading builds the
// same description of the forest the JSON reader builds, and Forest::from_parsed checks both.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "binary_codec.hpp"
#include "memory_budget.hpp"
#include "rcf/forest/mod.hpp"

namespace quillon::rcf {

namespace {

constexpr std::string_view kJsonPrefix = "invalid forest JSON: ";
constexpr std::string_view kBytesPrefix = "invalid forest bytes: ";

// Node tags: the kind in the low bits, then flags for the parts that are written only when they
// cannot be recomputed.
constexpr uint8_t kTagEmpty = 0;
constexpr uint8_t kTagLeaf = 1;
constexpr uint8_t kTagInternal = 2;
constexpr uint8_t kBoxWritten = 0x10;
constexpr uint8_t kRangeSumWritten = 0x20;

bool same_bits(std::span<const float> a, const float* b) {
  return std::memcmp(a.data(), b, a.size() * sizeof(float)) == 0;
}

// What the reader may add beyond the bytes it was given: the padding of lists to the lengths
// JSON lists them at, and the boxes it recomputes. A consistent state needs no more than a
// forest of its configuration holds, so a short input cannot claim gigabytes; beyond that (and
// beyond the machine's memory) the state is refused.
class Budget {
 public:
  explicit Budget(const RcfConfig& config) {
    const ByteCount footprint = forest_footprint(config);
    left_ = footprint.saturated() ? ~ByteSize{0}
                                  : ByteSize{footprint.bytes()} + (ByteSize{64} << 20);
  }
  bool take(bin::Reader& r, ByteSize bytes, std::string_view what) {
    require_memory(bytes, what);
    if (bytes > left_) {
      return r.fail("the " + std::string(what) + " would take more memory than a forest of this "
                    "configuration holds");
    }
    left_ -= bytes;
    return true;
  }

 private:
  ByteSize left_ = 0;
};

// A list written as (length, held, the held elements): the elements beyond `held` up to `length`
// are `fill`, which is how the JSON form lists them.
template <class T>
void write_padded(bin::Writer& w, uint64_t length, const std::vector<T>& values, uint64_t held) {
  w.u64(length);
  w.u64(held);
  w.bytes(values.data(), held * sizeof(T));
}

template <class T>
bool read_padded(bin::Reader& r, std::vector<T>& out, T fill, std::string_view what,
                 Budget& budget) {
  uint64_t length = 0, held = 0;
  if (!r.raw(length) || !r.count(held, sizeof(T))) return false;
  if (held > length) return r.fail("more " + std::string(what) + " held than listed");
  if (!bin::read_elements<T>(r, out, held)) return false;
  // The full list, as JSON gives it to the checks (which then trim it again).
  if (!budget.take(r, ByteSize{length - held} * sizeof(T), what)) return false;
  out.resize(length, fill);
  return true;
}

// Entries up to the last one that differs from the fill (never fewer than `used`).
uint64_t held_rows(const PointStore& s) {
  uint64_t rows = s.held_rows();
  while (rows > s.next_free && !s.occupied[rows - 1] && s.ref_count[rows - 1] == 0) {
    const float* row = s.store.data.data() + (rows - 1) * s.dim;
    bool zeros = true;
    for (uint64_t i = 0; i < s.dim && zeros; ++i) zeros = std::bit_cast<uint32_t>(row[i]) == 0;
    if (!zeros) break;
    --rows;
  }
  return rows;
}

uint64_t held_entries(const Sampler& s) {
  uint64_t held = std::min(s.weights.size(), s.point_indices.size());
  while (held > s.size && std::bit_cast<uint64_t>(s.weights[held - 1]) == 0 &&
         s.point_indices[held - 1] == kNoIndex) {
    --held;
  }
  return held;
}

void write_store(bin::Writer& w, const PointStore& s) {
  w.u64(s.dim);
  w.u64(s.input_dim);
  w.u64(s.shingle_size);
  w.boolean(s.internal_shingling);
  const uint64_t rows = held_rows(s);
  w.u64(s.capacity);  // the store matrix's rows
  w.u64(s.dim);       // and columns
  w.u64(rows);
  w.bytes(s.store.data.data(), rows * s.dim * sizeof(float));
  w.u64(s.capacity);
  w.u64(rows);
  for (uint64_t i = 0; i < rows; ++i) w.boolean(s.occupied[i]);
  write_padded(w, s.capacity, s.ref_count, rows);
  w.u64(s.next_free);
  bin::write(w, s.free_list);
  w.u64(s.size);
  w.u64(s.capacity);
  bin::write(w, s.shingle_buf);
  w.u64(s.entries_seen);
}

bool read_store(bin::Reader& r, PointStore& s, Budget& budget) {
  if (!r.raw(s.dim) || !r.raw(s.input_dim) || !r.raw(s.shingle_size) ||
      !r.boolean(s.internal_shingling)) {
    return false;
  }
  uint64_t rows = 0, cols = 0, held = 0;
  if (!r.raw(rows) || !r.raw(cols) || !r.raw(held)) return false;
  uint64_t held_cells = 0, cells = 0;
  if (held > rows || __builtin_mul_overflow(held, cols, &held_cells) ||
      held_cells > r.remaining() / sizeof(float) || __builtin_mul_overflow(rows, cols, &cells)) {
    return r.fail("data and dimension must match in size");
  }
  if (!bin::read_elements<float>(r, s.store.data, held_cells)) return false;
  if (!budget.take(r, ByteSize{cells - held_cells} * sizeof(float), "point store")) return false;
  s.store.data.resize(cells, 0.0f);
  s.store.rows = rows;
  s.store.cols = cols;
  uint64_t length = 0;
  if (!r.raw(length) || !r.count(held, 1)) return false;
  if (held > length) return r.fail("more occupied flags held than listed");
  if (!budget.take(r, ByteSize{length} / 8 + 1, "occupied flags")) return false;
  s.occupied.assign(length, false);
  for (uint64_t i = 0; i < held; ++i) {
    bool flag = false;
    if (!r.boolean(flag)) return false;
    s.occupied[i] = flag;
  }
  return read_padded<uint64_t>(r, s.ref_count, 0, "reference counts", budget) &&
         r.raw(s.next_free) &&
         bin::read(r, s.free_list) && r.raw(s.size) && r.raw(s.capacity) &&
         bin::read(r, s.shingle_buf) && r.raw(s.entries_seen);
}

void write_sampler(bin::Writer& w, const Sampler& s) {
  const uint64_t held = held_entries(s);
  w.u64(s.capacity);
  write_padded(w, s.capacity, s.weights, held);
  write_padded(w, s.capacity, s.point_indices, held);
  w.u64(s.size);
}

bool read_sampler(bin::Reader& r, Sampler& s, Budget& budget) {
  return r.raw(s.capacity) && read_padded<double>(r, s.weights, 0.0, "sampler weights", budget) &&
         read_padded<uint64_t>(r, s.point_indices, kNoIndex, "sampler rows", budget) &&
         r.raw(s.size);
}

// The box the reader will recompute for internal slot i: its left child's widened by its right
// child's, a leaf's box being its point.
bool box_recomputes(const NodeArena& a, const PointStore& s, const Node& n, uint64_t slot,
                    std::vector<float>& scratch) {
  const uint64_t dim = a.dim;
  const uint64_t slots = a.nodes.size();
  auto corners = [&](uint64_t c, const float*& lo, const float*& hi) {
    if (c >= slots) return false;
    const Node& child = a.nodes[c];
    if (child.is_leaf()) {
      if (child.point_idx() >= s.held_rows() || s.dim != dim) return false;
      lo = hi = s.row_ptr(child.point_idx());
      return true;
    }
    if (!child.is_internal()) return false;
    lo = a.box_min(c).data();
    hi = a.box_max(c).data();
    return true;
  };
  const float *lmin, *lmax, *rmin, *rmax;
  if (!corners(n.left, lmin, lmax) || !corners(n.right, rmin, rmax)) return false;
  scratch.resize(2 * dim);
  for (uint64_t d = 0; d < dim; ++d) {
    scratch[d] = bound_min(lmin[d], rmin[d]);
    scratch[dim + d] = bound_max(lmax[d], rmax[d]);
  }
  return same_bits(a.box_min(slot), scratch.data()) &&
         same_bits(a.box_max(slot), scratch.data() + dim);
}

void write_arena(bin::Writer& w, const NodeArena& a, const PointStore& s) {
  std::vector<float> scratch;
  w.u64(a.dim);
  w.u64(a.nodes.size());
  for (uint64_t i = 0; i < a.nodes.size(); ++i) {
    const Node& n = a.nodes[i];
    if (n.is_empty()) {
      w.u8(kTagEmpty);
    } else if (n.is_leaf()) {
      w.u8(kTagLeaf);
      w.u64(n.point_idx());
      w.u32(n.mass);
    } else {
      const auto min = a.box_min(i), max = a.box_max(i);
      const bool box = !box_recomputes(a, s, n, i, scratch);
      const double sum = range_sum_of(min, max);
      const bool range = std::bit_cast<uint64_t>(sum) != std::bit_cast<uint64_t>(n.range_sum);
      w.u8(kTagInternal | (box ? kBoxWritten : 0) | (range ? kRangeSumWritten : 0));
      w.u32(n.left);
      w.u32(n.right);
      w.u32(n.cut_dim);
      w.f32(n.cut_val);
      w.u32(n.mass);
      if (box) {
        w.bytes(min.data(), min.size() * sizeof(float));
        w.bytes(max.data(), max.size() * sizeof(float));
      }
      if (range) w.f64(n.range_sum);
    }
  }
  bin::write(w, a.free);
}

// Which boxes of an arena were read and which are to be recomputed.
struct ArenaRead {
  std::vector<uint8_t> box_written;     // per box entry
  std::vector<uint8_t> range_written;   // per box entry
};

bool read_arena(bin::Reader& r, NodeArena& a, ArenaRead& read, Budget& budget) {
  uint64_t box_dim = 0, slots = 0;
  if (!r.raw(box_dim) || !r.count(slots, 1)) return false;
  if (slots > kMaxSlots) return r.fail("too many nodes");
  a.nodes.clear();
  a.nodes.reserve(slots);
  a.boxes.clear();
  a.free_boxes.clear();
  read.box_written.clear();
  read.range_written.clear();
  uint64_t box_floats = 0;
  if (__builtin_mul_overflow(box_dim, uint64_t{2}, &box_floats)) box_floats = ~uint64_t{0};
  for (uint64_t i = 0; i < slots; ++i) {
    const size_t at = r.offset();
    uint8_t tag = 0;
    if (!r.raw(tag)) return false;
    Node n;
    const uint8_t kind = tag & 0x0F;
    const uint8_t flags = tag & 0xF0;
    if (kind == kTagEmpty && flags == 0) {
      // an empty slot
    } else if (kind == kTagLeaf && flags == 0) {
      uint64_t row = 0;
      if (!r.raw(row) || !r.raw(n.mass)) return false;
      n.box = kLeafBox;
      n.set_point_idx(row);
    } else if (kind == kTagInternal && (flags & ~(kBoxWritten | kRangeSumWritten)) == 0) {
      if (!r.raw(n.left) || !r.raw(n.right) || !r.raw(n.cut_dim) || !r.f32(n.cut_val) ||
          !r.raw(n.mass)) {
        return false;
      }
      const uint64_t entry = read.box_written.size();
      if (entry >= kMaxBoxes) return r.fail("too many internal nodes");
      n.box = static_cast<uint32_t>(entry);
      // Boxes take the memory they will hold once loaded; written ones come from the input.
      if (flags & kBoxWritten) {
        if (box_floats > r.remaining() / sizeof(float)) {
          return r.fail("unexpected end of data in a bounding box");
        }
      } else if (!budget.take(r, ByteSize{box_floats} * sizeof(float), "bounding boxes")) {
        return false;
      }
      const size_t start = a.boxes.size();
      a.boxes.resize(start + box_floats, 0.0f);
      if (flags & kBoxWritten) {
        const size_t box_at = r.offset();
        if (!r.bytes(a.boxes.data() + start, box_floats * sizeof(float)) ||
            !bin::check_finite(r, a.boxes.data() + start, box_floats, box_at)) {
          return false;
        }
      }
      auto range_sum = json::null_as_infinity(n.range_sum);
      if ((flags & kRangeSumWritten) && !bin::read(r, range_sum)) return false;
      read.box_written.push_back(flags & kBoxWritten ? 1 : 0);
      read.range_written.push_back(flags & kRangeSumWritten ? 1 : 0);
    } else {
      return r.fail_at(at, "unknown node tag " + std::to_string(tag) +
                               ", expected `Leaf`, `Internal` or an empty slot");
    }
    a.nodes.push_back(n);
  }
  a.dim = read.box_written.empty() ? 0 : box_dim;
  return bin::read(r, a.free);
}

// Fills the boxes that were left out, children before parents, when the tree is a sound one
// (every child a node of its own, leaves on stored rows, at most `capacity` leaves, boxes as wide
// as the points). Otherwise the boxes stay zero and the checks refuse the tree for its structure,
// which they test before any box.
void recompute_boxes(RcfTree& t, const ArenaRead& read, const PointStore& s, uint64_t capacity) {
  NodeArena& a = t.arena;
  const uint64_t slots = a.nodes.size();
  const uint64_t dim = a.dim;
  if (read.box_written.empty() || t.root >= slots || dim != s.dim || s.store.cols != dim) return;
  std::vector<uint8_t> seen(slots, 0);
  std::vector<uint64_t> order, stack{t.root};
  seen[t.root] = 1;
  uint64_t leaves = 0;
  while (!stack.empty()) {
    const uint64_t slot = stack.back();
    stack.pop_back();
    order.push_back(slot);
    const Node& n = a.nodes[slot];
    if (n.is_empty()) return;
    if (n.is_leaf()) {
      if (n.point_idx() >= s.store.rows || ++leaves > capacity) return;
      continue;
    }
    for (const uint64_t child : {uint64_t{n.left}, uint64_t{n.right}}) {
      if (child >= slots || seen[child]) return;
      seen[child] = 1;
      stack.push_back(child);
    }
  }
  for (size_t i = order.size(); i-- > 0;) {
    const uint64_t slot = order[i];
    Node& n = a.nodes[slot];
    if (!n.is_internal()) continue;
    if (!read.box_written[n.box]) {
      auto corners = [&](uint64_t c) -> std::pair<const float*, const float*> {
        const Node& child = a.nodes[c];
        if (child.is_leaf()) {
          const float* p = s.store.data.data() + child.point_idx() * dim;
          return {p, p};
        }
        return {a.box_min(c).data(), a.box_max(c).data()};
      };
      const auto [lmin, lmax] = corners(n.left);
      const auto [rmin, rmax] = corners(n.right);
      // The union as every mutation takes it: the left child's bounds widened by the right's.
      union_into(a.box_min_mut(slot).data(), a.box_max_mut(slot).data(), lmin, lmax, rmin, rmax,
                 dim);
    }
    if (!read.range_written[n.box]) n.range_sum = range_sum_of(a.box_min(slot), a.box_max(slot));
  }
}

}  // namespace

std::string Forest::to_bytes() const {
  bin::Writer w(bin::StateKind::Forest, json::SizeHint<bin::BytesOf<Forest>>::get());
  bin::write(w, config);
  w.u64(trees.size());
  for (const RcfTree& t : trees) {
    w.u64(t.root);
    w.u64(t.tree_mass);
    write_arena(w, t.arena, point_store);
    bin::write(w, t.rng);
    w.u64(t.dims);
  }
  w.u64(samplers.size());
  for (const Sampler& s : samplers) write_sampler(w, s);
  write_store(w, point_store);
  w.u64(entries_seen);
  bin::write(w, rng);
  std::string out = w.finish();
  json::SizeHint<bin::BytesOf<Forest>>::set(out.size());
  return out;
}

Result<Forest> Forest::from_bytes(std::string_view data) {
  auto payload = bin::open_payload(data, bin::StateKind::Forest, kBytesPrefix);
  if (!payload) return fail(payload.error());
  bin::Reader r(*payload);
  Forest f;
  std::vector<ArenaRead> arenas;
  uint64_t count = 0;
  // A tree takes at least 80 bytes (five counts and words, a generator), a sampler 48.
  bool ok = bin::read(r, f.config) && r.count(count, 80);
  Budget budget(f.config);
  if (ok) {
    f.trees.resize(count);
    arenas.resize(count);
    for (uint64_t i = 0; ok && i < count; ++i) {
      RcfTree& t = f.trees[i];
      ok = r.raw(t.root) && r.raw(t.tree_mass) && read_arena(r, t.arena, arenas[i], budget) &&
           bin::read(r, t.rng) && r.raw(t.dims);
    }
  }
  ok = ok && r.count(count, 48);
  if (ok) {
    f.samplers.resize(count);
    for (uint64_t i = 0; ok && i < count; ++i) ok = read_sampler(r, f.samplers[i], budget);
  }
  ok = ok && read_store(r, f.point_store, budget) && r.raw(f.entries_seen) && bin::read(r, f.rng) &&
       r.finish();
  if (!ok) return fail(DetectorError::invalid_argument(std::string(kBytesPrefix) + r.error()));
  for (uint64_t i = 0; i < f.trees.size(); ++i) {
    recompute_boxes(f.trees[i], arenas[i], f.point_store, f.config.capacity);
  }
  auto loaded = from_parsed(std::move(f));
  if (!loaded) return fail(bin::rename_refusal(loaded.error(), kJsonPrefix, kBytesPrefix));
  return loaded;
}

}  // namespace quillon::rcf
