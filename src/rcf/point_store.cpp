#include "rcf/point_store.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "rcf/byte_count.hpp"

namespace quillon::rcf {

PointStore PointStore::create(uint64_t dim, uint64_t input_dim, uint64_t shingle_size,
                              bool internal_shingling, uint64_t capacity) {
  PointStore s;
  s.dim = dim;
  s.input_dim = input_dim;
  s.shingle_size = shingle_size;
  s.internal_shingling = internal_shingling;
  // No row is held until one is handed out.
  s.store.rows = capacity;
  s.store.cols = dim;
  s.capacity = capacity;
  s.shingle_buf.assign(dim, 0.0f);
  return s;
}

bool PointStore::can_add() const {
  if (!free_list.empty() || next_free < capacity) return true;
  return capacity < (uint64_t{1} << 63) - 2;
}

Status PointStore::grow() {
  if (capacity >= (uint64_t{1} << 63) - 2) {
    return fail(DetectorError::overflow("point store capacity growth overflows usize"));
  }
  // The new rows are not held until they are handed out, so growing allocates nothing.
  capacity = 2 * capacity + 4;
  store.rows = capacity;
  return {};
}

void PointStore::hold_rows(uint64_t rows) {
  if (rows > capacity) rows = capacity;
  const uint64_t held = held_rows();
  if (rows <= held) return;
  // Geometric, so that filling the store copies each row a bounded number of times.
  uint64_t target = held + held / 2 + 16;
  if (target < rows) target = rows;
  if (target > capacity) target = capacity;
  ensure_memory(ByteCount::of(target, dim).times(sizeof(float)) +
                    ByteCount::of(target, sizeof(uint64_t) + 1),
                "point store of " + std::to_string(target) + " rows");
  // Build everything first, then swap in: a failed allocation leaves the store as it was.
  std::vector<float> data;
  data.reserve(target * dim);
  data.assign(store.data.begin(), store.data.end());
  data.resize(target * dim, 0.0f);
  std::vector<bool> occ;
  occ.reserve(target);
  occ.assign(occupied.begin(), occupied.end());
  occ.resize(target, false);
  std::vector<uint64_t> refs;
  refs.reserve(target);
  refs.assign(ref_count.begin(), ref_count.end());
  refs.resize(target, 0);
  // Every held row can be released at most once before it is reused, so releases never allocate.
  std::vector<uint64_t> free_rows;
  free_rows.reserve(target);
  free_rows.assign(free_list.begin(), free_list.end());
  store.data.swap(data);
  free_list.swap(free_rows);
  occupied.swap(occ);
  ref_count.swap(refs);
}

void PointStore::release_unused_rows() {
  // Rows from next_free on are free and unreferenced; those holding only +0.0 need no memory.
  uint64_t rows = held_rows();
  while (rows > next_free) {
    const float* row = store.data.data() + (rows - 1) * dim;
    bool zeros = true;
    for (uint64_t i = 0; i < dim && zeros; ++i) zeros = std::bit_cast<uint32_t>(row[i]) == 0;
    if (!zeros || occupied[rows - 1] || ref_count[rows - 1] != 0) break;
    --rows;
  }
  store.data.resize(rows * dim);
  store.data.shrink_to_fit();
  occupied.resize(rows);
  occupied.shrink_to_fit();
  ref_count.resize(rows);
  ref_count.shrink_to_fit();
  if (free_list.capacity() < rows) free_list.reserve(rows);
}

size_t PointStore::heap_bytes() const {
  return store.data.capacity() * sizeof(float) + occupied.capacity() / 8 +
         ref_count.capacity() * sizeof(uint64_t) + free_list.capacity() * sizeof(uint64_t) +
         shingle_buf.capacity() * sizeof(float);
}

Status PointStore::ensure_free_row() {
  if (!free_list.empty()) return {};
  if (next_free >= capacity) {
    if (auto grown = grow(); !grown) return grown;
  }
  hold_rows(next_free + 1);
  return {};
}

Result<uint64_t> PointStore::add(std::span<const float> values) {
  QUILLON_INVARIANT(values.size() == dim, "store must be contiguous");
  uint64_t row;
  if (!free_list.empty()) {
    row = free_list.back();
    free_list.pop_back();
  } else {
    if (next_free >= capacity) {
      if (auto grown = grow(); !grown) return fail(grown.error());
    }
    hold_rows(next_free + 1);
    row = next_free++;
  }
  QUILLON_INVARIANT(row < held_rows(), "index out of range in point store");
  std::memcpy(store.data.data() + row * dim, values.data(), dim * sizeof(float));
  for (const float v : values) zero_coordinate_seen = zero_coordinate_seen || v == 0.0f;
  occupied[row] = true;
  ref_count[row] = 0;
  ++size;
  return row;
}

void PointStore::recount_zero_coordinates() {
  zero_coordinate_seen = false;
  for (uint64_t row = 0; row < held_rows(); ++row) {
    if (!occupied[row]) continue;
    for (const float v : point(row)) zero_coordinate_seen = zero_coordinate_seen || v == 0.0f;
  }
}

void PointStore::retain(uint64_t row) {
  QUILLON_INVARIANT(row < held_rows(), "index out of range in point store");
  ++ref_count[row];
}

void PointStore::release(uint64_t row) {
  QUILLON_INVARIANT(row < held_rows(), "index out of range in point store");
  if (ref_count[row] > 0) --ref_count[row];
  if (ref_count[row] == 0 && occupied[row]) {
    occupied[row] = false;
    --size;
    free_list.push_back(row);
  }
}

bool PointStore::equals(uint64_t row, std::span<const float> values) const {
  if (values.size() != dim) return false;
  const float* p = point(row).data();
  for (uint64_t i = 0; i < dim; ++i) {
    if (!(p[i] == values[i])) return false;
  }
  return true;
}

void PointStore::advance_shingle(std::span<const float> observation) {
  QUILLON_INVARIANT(observation.size() == input_dim && shingle_buf.size() == dim,
                    "index out of range in point store");
  std::copy(shingle_buf.begin() + static_cast<ptrdiff_t>(input_dim), shingle_buf.end(),
            shingle_buf.begin());
  std::copy(observation.begin(), observation.end(),
            shingle_buf.end() - static_cast<ptrdiff_t>(input_dim));
}

void PointStore::query_shingle(std::span<const float> observation, std::vector<float>& out) const {
  if (internal_shingling && observation.size() == input_dim) {
    out.assign(shingle_buf.begin(), shingle_buf.end());
    std::copy(observation.begin(), observation.end(),
              out.end() - static_cast<ptrdiff_t>(input_dim));
  } else {
    out.assign(observation.begin(), observation.end());
  }
}

}  // namespace quillon::rcf
