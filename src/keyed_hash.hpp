// Keyed folded-multiply 64-bit hash. Buckets and coefficients of the sketch detectors depend on it,
// so every step is fixed: a restored detector must map each value exactly as the saved one did.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quillon {

using Seed4 = std::array<uint64_t, 4>;

class SeededHasher {
 public:
  SeededHasher(uint64_t s0, uint64_t s1, uint64_t s2, uint64_t s3)
      : buffer_(s1 ^ kW1), pad_(s0 ^ kW0), extra0_(s2 ^ kW2), extra1_(s3 ^ kW3) {}
  explicit SeededHasher(const Seed4& seed) : SeededHasher(seed[0], seed[1], seed[2], seed[3]) {}

  void add_u64(uint64_t x) { buffer_ = fold(buffer_ ^ x, kMultiplier); }
  void add_i64(int64_t x) { add_u64(static_cast<uint64_t>(x)); }

  void add_bytes(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    buffer_ = (buffer_ + n) * kMultiplier;
    if (n == 0) {
      mix(0, 0);
    } else if (n == 1) {
      mix(p[0], p[0]);
    } else if (n <= 3) {
      mix(read16(p), p[n - 1]);
    } else if (n <= 8) {
      mix(read32(p), read32(p + n - 4));
    } else if (n <= 16) {
      mix(read64(p), read64(p + n - 8));
    } else {
      mix(read64(p + n - 16), read64(p + n - 8));
      size_t offset = 0;
      while (n - offset > 16) {
        mix(read64(p + offset), read64(p + offset + 8));
        offset += 16;
      }
    }
  }

  uint64_t finish() const { return std::rotl(fold(buffer_, pad_), static_cast<int>(buffer_ % 64)); }

 private:
  static constexpr uint64_t kMultiplier = 0x5851f42d4c957f2dULL;
  static constexpr uint64_t kW0 = 0x452821e638d01377ULL;
  static constexpr uint64_t kW1 = 0xbe5466cf34e90c6cULL;
  static constexpr uint64_t kW2 = 0xc0ac29b7c97c50ddULL;
  static constexpr uint64_t kW3 = 0x3f84d5b5b5470917ULL;

  static uint64_t fold(uint64_t a, uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
  }
  void mix(uint64_t a, uint64_t b) {
    buffer_ = std::rotl((buffer_ + pad_) ^ fold(a ^ extra0_, b ^ extra1_), 23);
  }
  static uint64_t read16(const unsigned char* p) { return p[0] | (uint64_t{p[1]} << 8); }
  static uint64_t read32(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }
  static uint64_t read64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
  }

  uint64_t buffer_;
  uint64_t pad_;
  uint64_t extra0_;
  uint64_t extra1_;
};

}  // namespace quillon
