#include "rcf/memory_budget.hpp"

#include <unistd.h>

#include <new>

namespace quillon::rcf {

ByteCount ByteCount::of(uint64_t count, uint64_t each) { return ByteCount(count).times(each); }

ByteCount ByteCount::operator+(ByteCount other) const {
  ByteCount sum;
  sum.saturated_ =
      saturated_ || other.saturated_ || __builtin_add_overflow(bytes_, other.bytes_, &sum.bytes_);
  return sum;
}

ByteCount ByteCount::times(uint64_t factor) const {
  ByteCount product;
  product.saturated_ = saturated_ || __builtin_mul_overflow(bytes_, factor, &product.bytes_);
  return product;
}

void ensure_physical_memory(ByteCount need) {
  if (need.saturated()) throw std::bad_alloc();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return;  // unknown: let the allocator decide
  const ByteCount physical =
      ByteCount::of(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size));
  if (!physical.saturated() && need.bytes() > physical.bytes()) throw std::bad_alloc();
}

}  // namespace quillon::rcf
