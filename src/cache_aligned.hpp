// Storage whose first element starts on a cache line: records of a power-of-two size laid out from
// there never straddle two lines, so a walk that visits one record pays for one line.
#pragma once

#include <cstddef>
#include <limits>
#include <new>
#include <vector>

namespace quillon {

inline constexpr size_t kCacheLine = 64;

template <class T>
struct CacheAlignedAllocator {
  using value_type = T;

  CacheAlignedAllocator() = default;
  template <class U>
  CacheAlignedAllocator(const CacheAlignedAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > std::numeric_limits<size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(::operator new (n * sizeof(T), std::align_val_t{kCacheLine}));
  }
  void deallocate(T* p, size_t) noexcept { ::operator delete (p, std::align_val_t{kCacheLine}); }

  template <class U>
  bool operator==(const CacheAlignedAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using CacheAlignedVector = std::vector<T, CacheAlignedAllocator<T>>;

}  // namespace quillon
