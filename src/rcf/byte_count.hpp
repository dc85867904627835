// Sizes of forest allocations, added and multiplied without wrapping, for the up-front check
// against the memory available (memory_budget.hpp).
#pragma once

#include <cstdint>
#include <string_view>

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

// Throws MemoryRefused (MemoryError in Python) naming `what` when `need` exceeds the memory
// available.
void ensure_memory(ByteCount need, std::string_view what);

}  // namespace quillon::rcf
