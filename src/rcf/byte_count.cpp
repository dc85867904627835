#include "rcf/byte_count.hpp"

#include <new>

#include "memory_budget.hpp"

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

void ensure_memory(ByteCount need, std::string_view what) {
  require_memory(need.saturated() ? ~ByteSize{0} : ByteSize{need.bytes()}, what);
}

}  // namespace quillon::rcf
