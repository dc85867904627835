#include "rcf/point_store.hpp"

#include <algorithm>
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
  s.store.rows = capacity;
  s.store.cols = dim;
  s.store.data.assign(capacity * dim, 0.0f);
  s.occupied.assign(capacity, false);
  s.ref_count.assign(capacity, 0);
  // Every row can be released at most once before it is reused, so this never reallocates.
  s.free_list.reserve(capacity);
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
  const uint64_t new_capacity = 2 * capacity + 4;
  ensure_memory(ByteCount::of(new_capacity, dim).times(sizeof(float)) +
                    ByteCount::of(new_capacity, sizeof(uint64_t) * 2),
                "point store growth to " + std::to_string(new_capacity) + " rows");
  // Build everything first, then swap in: a failed allocation leaves the store as it was.
  std::vector<float> data(new_capacity * dim, 0.0f);
  std::copy(store.data.begin(), store.data.end(), data.begin());
  std::vector<bool> occ = occupied;
  occ.resize(new_capacity, false);
  std::vector<uint64_t> refs = ref_count;
  refs.resize(new_capacity, 0);
  std::vector<uint64_t> free_rows;
  free_rows.reserve(new_capacity);
  free_rows.assign(free_list.begin(), free_list.end());
  store.data.swap(data);
  store.rows = new_capacity;
  occupied.swap(occ);
  ref_count.swap(refs);
  free_list.swap(free_rows);
  capacity = new_capacity;
  return {};
}

Status PointStore::ensure_free_row() {
  if (!free_list.empty() || next_free < capacity) return {};
  return grow();
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
    row = next_free++;
  }
  QUILLON_INVARIANT(row < capacity, "index out of range in point store");
  std::memcpy(store.data.data() + row * dim, values.data(), dim * sizeof(float));
  for (const float v : values) zero_coordinate_seen = zero_coordinate_seen || v == 0.0f;
  occupied[row] = true;
  ref_count[row] = 0;
  ++size;
  return row;
}

void PointStore::recount_zero_coordinates() {
  zero_coordinate_seen = false;
  for (uint64_t row = 0; row < capacity; ++row) {
    if (!occupied[row]) continue;
    for (const float v : point(row)) zero_coordinate_seen = zero_coordinate_seen || v == 0.0f;
  }
}

void PointStore::retain(uint64_t row) {
  QUILLON_INVARIANT(row < capacity, "index out of range in point store");
  ++ref_count[row];
}

void PointStore::release(uint64_t row) {
  QUILLON_INVARIANT(row < capacity, "index out of range in point store");
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
