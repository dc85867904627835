// Sizes of forest allocations, added and multiplied without wrapping, for the up-front check
// against physical memory (memory_budget.hpp).
#pragma once

#include <cstdint>

namespace quillon::rcf {

// A byte count that saturates instead of wrapping.
class ByteCount {
 public:
  ByteCount() = default;
  explicit ByteCount(uint64_t bytes) : bytes_(bytes) {}
  static ByteCount of(uint64_t count, uint64_t each);
  ByteCount operator+(ByteCount other) const;
  ByteCount times(uint64_t factor) const;
  bool saturated() const { return saturated_; }
  uint64_t bytes() const { return bytes_; }

 private:
  uint64_t bytes_ = 0;
  bool saturated_ = false;
};

// Throws std::bad_alloc (MemoryError in Python) when `need` exceeds the machine's physical memory.
void ensure_physical_memory(ByteCount need);

}  // namespace quillon::rcf
