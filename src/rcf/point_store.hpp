// The point store shared by all trees of one forest: every point that some tree holds is kept once,
// as a row of 32-bit floats, with a reference count per row. Released rows are reused last in,
// first out. With internal shingling the store also keeps the rolling shingle.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "detector_error.hpp"
#include "json_codec.hpp"

namespace quillon::rcf {

// Marks an absent index (an empty tree's root, an unfilled sampler slot).
inline constexpr uint64_t kNoIndex = std::numeric_limits<uint64_t>::max();

struct PointStore {
  uint64_t dim = 0;  // input_dim * shingle_size
  uint64_t input_dim = 0;
  uint64_t shingle_size = 0;
  bool internal_shingling = false;
  // capacity rows x dim, row-major. Only the first held_rows() rows are in memory: the rows beyond
  // were never handed out and read as zeros, so a forest that has seen few points stays small.
  // occupied and ref_count are held for the same rows.
  json::Matrix<float> store;
  std::vector<bool> occupied;
  std::vector<uint64_t> ref_count;
  uint64_t next_free = 0;           // rows from here on were never handed out
  std::vector<uint64_t> free_list;  // released rows, reused from the back
  uint64_t size = 0;                // occupied rows
  uint64_t capacity = 0;
  std::vector<float> shingle_buf;  // oldest observation first
  uint64_t entries_seen = 0;

  // Not saved: whether any point ever stored had a coordinate equal to zero. Without zeros every
  // box bound has a single bit pattern, which lets tree updates skip recomputing boxes whose
  // values cannot change. Kept by add(); recomputed after loading (see recount_zero_coordinates).
  bool zero_coordinate_seen = false;

  static PointStore create(uint64_t dim, uint64_t input_dim, uint64_t shingle_size,
                           bool internal_shingling, uint64_t capacity);

  // Rows kept in memory (the rest are unused zeros).
  uint64_t held_rows() const { return occupied.size(); }
  // Holds at least `rows` rows (at most capacity), growing geometrically.
  void hold_rows(uint64_t rows);
  // Gives back the memory of trailing rows that were never handed out and hold zeros (after
  // loading a state, which lists every row).
  void release_unused_rows();
  size_t heap_bytes() const;

  // True when the next add needs no growth, or the growth it needs is representable.
  bool can_add() const;
  // Grows the store now if the next add would have to (strong guarantee: on std::bad_alloc or
  // overflow nothing changes), so that the add itself cannot fail.
  Status ensure_free_row();
  // Stores `values` (exactly dim of them) in a free row with a reference count of 0; the caller
  // retains or releases the row before its operation ends.
  Result<uint64_t> add(std::span<const float> values);
  void retain(uint64_t row);
  // Gives up one reference; frees the row when none is left (or none was held).
  void release(uint64_t row);

  std::span<const float> point(uint64_t row) const {
    QUILLON_INVARIANT(row < held_rows(), "index out of range in point store");
    return {store.data.data() + row * dim, dim};
  }
  void recount_zero_coordinates();

  // Unchecked row access for the traversals of a validated forest.
  const float* row_ptr(uint64_t row) const { return store.data.data() + row * dim; }
  // A hint that never faults, so the address is formed as an integer, unchecked.
  [[gnu::always_inline]] void prefetch_row(uint64_t row) const {
    __builtin_prefetch(reinterpret_cast<const void*>(
        reinterpret_cast<uintptr_t>(store.data.data()) + row * dim * sizeof(float)));
  }
  // Numeric equality per coordinate: +0.0 equals -0.0, NaN equals nothing.
  bool equals(uint64_t row, std::span<const float> values) const;

  // Drops the oldest observation from shingle_buf and appends `observation` (input_dim values).
  void advance_shingle(std::span<const float> observation);
  // shingle_buf with its newest input_dim entries replaced by `observation`, written to `out`.
  void query_shingle(std::span<const float> observation, std::vector<float>& out) const;

  static constexpr std::string_view kJsonName = "PointStore";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("dim", self.dim);
    field("input_dim", self.input_dim);
    field("shingle_size", self.shingle_size);
    field("internal_shingling", self.internal_shingling);
    // Saved in full, the rows not held written as zeros; a state is read in full and trimmed by
    // release_unused_rows once it has been checked.
    if constexpr (std::is_const_v<Self>) {
      field("store", json::PaddedMatrix<float>{&self.store, self.capacity});
      field("occupied", json::PaddedList<bool>{&self.occupied, self.capacity, false});
      field("ref_count", json::PaddedList<uint64_t>{&self.ref_count, self.capacity, 0});
    } else {
      field("store", self.store);
      field("occupied", self.occupied);
      field("ref_count", self.ref_count);
    }
    field("next_free", self.next_free);
    field("free_list", self.free_list);
    field("size", self.size);
    field("capacity", self.capacity);
    field("shingle_buf", self.shingle_buf);
    field("entries_seen", self.entries_seen);
  }

 private:
  Status grow();
};

}  // namespace quillon::rcf
