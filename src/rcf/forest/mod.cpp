#include "rcf/forest/mod.hpp"

#include <cmath>
#include <new>
#include <string>

#include "memory_budget.hpp"

namespace quillon::rcf {

namespace {

uint64_t store_rows(const RcfConfig& c) {
  const uint64_t sampled = c.capacity * c.num_trees + 1;
  const uint64_t doubled = 2 * c.capacity;
  return sampled > doubled ? sampled : doubled;
}

}  // namespace

Status Forest::validate(const RcfConfig& c) {
  auto invalid = [](const char* message) { return fail(DetectorError::invalid_argument(message)); };
  uint64_t product = 0;
  if (c.input_dim == 0) return invalid("input_dim must be > 0");
  if (c.shingle_size == 0) return invalid("shingle_size must be > 0");
  if (__builtin_mul_overflow(c.input_dim, c.shingle_size, &product)) {
    return invalid("input_dim * shingle_size overflows usize");
  }
  if (c.capacity == 0) return invalid("capacity must be > 0");
  if (c.num_trees == 0) return invalid("num_trees must be > 0");
  if (c.capacity >= (uint64_t{1} << 63) - 2) return invalid("2 * capacity + 4 overflows usize");
  if (__builtin_mul_overflow(c.capacity, c.num_trees, &product) || product == UINT64_MAX) {
    return invalid("capacity * num_trees + 1 overflows usize");
  }
  if (!std::isfinite(c.time_decay) || c.time_decay < 0.0) {
    return invalid("time_decay must be finite and >= 0.0");
  }
  // A sampler weight is ln(-ln u) - t * time_decay with t up to 2^64; beyond this bound the
  // product leaves the finite range and the weights stop comparing (or saving).
  if (c.time_decay > kMaxTimeDecay) {
    return invalid("time_decay must be <= 9.745314011399998e+288");
  }
  if (!std::isfinite(c.initial_accept_fraction) || c.initial_accept_fraction < 0.0 ||
      c.initial_accept_fraction > 1.0) {
    return invalid("initial_accept_fraction must be finite and in [0.0, 1.0]");
  }
  return {};
}

std::string memory_label(const RcfConfig& c) {
  return "input_dim=" + std::to_string(c.input_dim) +
         ", shingle_size=" + std::to_string(c.shingle_size) +
         ", capacity=" + std::to_string(c.capacity) + ", num_trees=" + std::to_string(c.num_trees);
}

void require_addressable(const RcfConfig& c) {
  // Trees number their nodes and cut dimensions in 32 bits. A larger capacity would need over a
  // hundred gigabytes per tree, a larger dimension sixteen gigabytes per point.
  if (c.capacity > kMaxCapacity || c.input_dim * c.shingle_size >= kNoSlot) {
    const ByteCount need = forest_footprint(c);
    throw MemoryRefused(memory_label(c), need.saturated() ? ~ByteSize{0} : ByteSize{need.bytes()},
                        available_memory_bytes());
  }
}

ByteCount forest_footprint(const RcfConfig& c) {
  const uint64_t dim = c.input_dim * c.shingle_size;
  const uint64_t rows = store_rows(c);
  const uint64_t slots = 2 * c.capacity + 4;
  const ByteCount store = ByteCount::of(rows, dim).times(sizeof(float)) +
                          ByteCount::of(rows, 2 * sizeof(uint64_t) + 1) +
                          ByteCount::of(dim, sizeof(float));
  const ByteCount per_slot = ByteCount(sizeof(Node) + sizeof(uint64_t));
  const ByteCount per_box = ByteCount::of(dim, 2 * sizeof(float)) + ByteCount(sizeof(uint32_t));
  const ByteCount per_tree = per_slot.times(slots) + per_box.times(c.capacity + 1) +
                             ByteCount::of(c.capacity + 1, sizeof(PathEntry)) +
                             ByteCount::of(c.capacity, sizeof(double) + sizeof(uint64_t)) +
                             ByteCount::of(dim, 2 * sizeof(float)) + ByteCount(sizeof(Admission));
  return store + per_tree.times(c.num_trees);
}

Result<Forest> Forest::create(const RcfConfig& config, uint64_t seed) {
  if (auto ok = validate(config); !ok) return fail(ok.error());
  require_addressable(config);
  ensure_memory(forest_footprint(config), memory_label(config));

  const uint64_t dim = config.input_dim * config.shingle_size;
  Forest f;
  f.config = config;
  auto master = Xoshiro256PlusPlus::from_seed(seed);
  f.trees.reserve(config.num_trees);
  for (uint64_t i = 0; i < config.num_trees; ++i) {
    f.trees.push_back(
        RcfTree::create(dim, config.capacity, Xoshiro256PlusPlus::from_seed(master.next_u64())));
  }
  f.samplers.assign(config.num_trees, Sampler::create(config.capacity));
  f.point_store = PointStore::create(dim, config.input_dim, config.shingle_size,
                                     config.internal_shingling, store_rows(config));
  f.rng = Xoshiro256PlusPlus::from_seed(master.next_u64());
  f.admissions_.reserve(config.num_trees);
  f.evicting_trees_.reserve(config.num_trees);
  f.evicted_rows_.reserve(config.num_trees);
  f.mutations_.trees.reserve(config.num_trees);
  f.mutations_.rows.reserve(config.num_trees);
  return f;
}

Forest::Forest(const Forest& other)
    : config(other.config),
      trees(other.trees),
      samplers(other.samplers),
      point_store(other.point_store),
      entries_seen(other.entries_seen),
      rng(other.rng) {
  reserve_working_memory();
}

Forest& Forest::operator=(const Forest& other) {
  if (this != &other) {
    Forest copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Forest::reserve_working_memory() {
  // Trees, samplers and the store grow as they fill; a restored state lists every row and entry,
  // of which only the used ones are kept.
  point_store.release_unused_rows();
  for (auto& sampler : samplers) sampler.release_unused_entries();
  // The headroom that growth would have given them, so that a copy or a restored forest in its
  // steady state does not allocate either.
  point_store.hold_rows(point_store.next_free + 1);
  for (uint64_t i = 0; i < trees.size(); ++i) {
    trees[i].make_room(config.capacity);
    samplers[i].make_room();
  }
  admissions_.reserve(trees.size());
  evicting_trees_.reserve(trees.size());
  evicted_rows_.reserve(trees.size());
  mutations_.trees.reserve(trees.size());
  mutations_.rows.reserve(trees.size());
}

size_t Forest::heap_bytes() const {
  size_t bytes = trees.capacity() * sizeof(RcfTree) + samplers.capacity() * sizeof(Sampler) +
                 point_store.heap_bytes() + admissions_.capacity() * sizeof(Admission) +
                 (evicting_trees_.capacity() + mutations_.trees.capacity()) * sizeof(RcfTree*) +
                 (evicted_rows_.capacity() + mutations_.rows.capacity()) * sizeof(uint64_t);
  for (const RcfTree& tree : trees) bytes += tree.heap_bytes();
  for (const Sampler& sampler : samplers) bytes += sampler.heap_bytes();
  return bytes;
}

double Forest::effective_time_decay() const {
  return config.time_decay != 0.0 ? config.time_decay : 0.1 / static_cast<double>(config.capacity);
}

uint64_t Forest::readiness_threshold() const {
  uint64_t w = config.output_after != 0 ? config.output_after : config.capacity / 4 + 1;
  // A threshold beyond the 64-bit range is never reached.
  if (config.internal_shingling && __builtin_add_overflow(w, config.shingle_size - 1, &w)) {
    return UINT64_MAX;
  }
  return w;
}

Result<std::span<const float>> Forest::query_point(std::span<const float> values,
                                                   std::vector<float>& scratch) const {
  if (auto ok = check_query_width(values.size()); !ok) return fail(std::move(ok.error()));
  // A non-finite coordinate has no place among the boxes: NaN takes arbitrary branches and an
  // infinity makes the separation sums infinite, so the result would be plausible-looking noise.
  if (auto ok = check_known_finite(values); !ok) return fail(std::move(ok.error()));
  if (point_store.internal_shingling && values.size() == point_store.input_dim) {
    point_store.query_shingle(values, scratch);
    return std::span<const float>(scratch);
  }
  return values;
}

Status Forest::check_query_width(uint64_t width) const {
  if (point_store.internal_shingling && width == point_store.input_dim) return {};
  if (width != dim()) return fail(DetectorError::dimension_mismatch(dim(), width));
  return {};
}

std::string Forest::repr() const {
  return "Forest(input_dim=" + std::to_string(config.input_dim) +
         ", shingle_size=" + std::to_string(config.shingle_size) +
         ", num_trees=" + std::to_string(config.num_trees) +
         ", capacity=" + std::to_string(config.capacity) +
         ", entries_seen=" + std::to_string(entries_seen) + ")";
}

Status check_known_finite(std::span<const float> values, std::span<const uint8_t> ignored) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i]) && (ignored.empty() || ignored[i] == 0)) {
      return fail(DetectorError::invalid_argument("point values must be finite"));
    }
  }
  return {};
}

Status check_finite(std::span<const float> values) {
  // One pass for the accepted point: a value within the magnitude is also finite.
  for (const float v : values) {
    if (within_magnitude(v)) continue;
    // A value that is not finite, anywhere in the point, is the error named.
    for (const float w : values) {
      if (!std::isfinite(w))
        return fail(DetectorError::invalid_argument("point values must be finite"));
    }
    return fail(DetectorError::invalid_argument(
        "point values must be less than 1.7014118e+38 in magnitude"));
  }
  return {};
}

}  // namespace quillon::rcf
