// The count-min sketches of MStream: one over whole records, one per numeric field and one per
// categorical field, each kept as a pair of a decaying `current` and a never-decayed `total`.
#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <string_view>

#include "json_codec.hpp"
#include "mstream/nd_array.hpp"
#include "rng.hpp"

namespace quillon::mstream {

// Number of sign bits a record hash contributes: the bit length of B - 1.
inline uint64_t hash_bits(uint64_t num_buckets) {
  return static_cast<uint64_t>(std::bit_width(num_buckets - 1));
}

// The chi-squared term of a bucket whose decayed count is `current` and whose all-time count is
// `total`, at the given clock tick.
double chi_squared_term(double current, double total, uint64_t tick);

// x mod d without a division instruction, for a fixed d >= 1: a mask when d is a power of two,
// else the remainder read directly off the fraction x / d held in 128 bits (exact for every
// 64-bit x, since 128 bits are at least twice the width of both x and d).
class BucketModulus {
 public:
  BucketModulus() = default;
  explicit BucketModulus(uint64_t d)
      : d_(d),
        mask_(std::has_single_bit(d) ? d - 1 : 0),
        reciprocal_(std::has_single_bit(d) ? 0 : ~static_cast<unsigned __int128>(0) / d + 1) {}

  uint64_t operator()(uint64_t x) const {
    if (reciprocal_ == 0) return x & mask_;
    const unsigned __int128 fraction = reciprocal_ * x;  // wraps: keeps the fractional part
    const unsigned __int128 low =
        static_cast<uint64_t>(fraction) * static_cast<unsigned __int128>(d_);
    const unsigned __int128 high =
        static_cast<uint64_t>(fraction >> 64) * static_cast<unsigned __int128>(d_);
    return static_cast<uint64_t>((high + (low >> 64)) >> 64);
  }
  uint64_t divisor() const { return d_; }
  friend bool operator==(const BucketModulus&, const BucketModulus&) = default;

 private:
  uint64_t d_ = 1;
  uint64_t mask_ = 0;
  unsigned __int128 reciprocal_ = 0;
};

struct RecordSketch {
  uint64_t num_rows = 0;
  uint64_t num_buckets = 0;
  uint64_t numeric_dim = 0;
  uint64_t categorical_dim = 0;
  NdArray<double, 3> numeric_planes;       // [rows][bits][numeric_dim], standard normal
  NdArray<int64_t, 2> categorical_coeffs;  // [rows][categorical_dim], hash keys
  NdArray<double, 2> count;                // [rows][buckets]

  // Draws the planes (row, bit, field order) and then the coefficients row by row.
  static RecordSketch draw(uint64_t rows, uint64_t buckets, uint64_t numeric_dim,
                           uint64_t categorical_dim, Xoshiro256PlusPlus& rng);

  // Sign bits of the plane dot products with the raw numeric values, plus the keyed hashes of
  // the categorical values, modulo B.
  uint64_t bucket(uint64_t row, std::span<const double> numeric,
                  std::span<const int64_t> categorical) const;
  // The same with the reduction modulo B prepared; `mod` must be BucketModulus(num_buckets).
  uint64_t bucket(uint64_t row, std::span<const double> numeric,
                  std::span<const int64_t> categorical, const BucketModulus& mod) const;
  // Whether `other` maps every record to the same buckets (same planes, keys and B).
  bool hashes_like(const RecordSketch& other) const {
    return num_buckets == other.num_buckets && numeric_planes == other.numeric_planes &&
           categorical_coeffs == other.categorical_coeffs;
  }
  // Minimum over the rows; +inf without rows.
  double estimate(std::span<const double> numeric, std::span<const int64_t> categorical) const;
  void add(std::span<const double> numeric, std::span<const int64_t> categorical);
  // add() followed by estimate(), hashing each row once: a row's minimum candidate is final as
  // soon as that row is incremented, since no other row touches it.
  double add_and_estimate(std::span<const double> numeric, std::span<const int64_t> categorical);
  void decay(double factor);

  static constexpr std::string_view kJsonName = "RecordSketch";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("num_rows", self.num_rows);
    field("num_buckets", self.num_buckets);
    field("numeric_dim", self.numeric_dim);
    field("categorical_dim", self.categorical_dim);
    field("numeric_planes", self.numeric_planes);
    field("categorical_coeffs", self.categorical_coeffs);
    field("count", self.count);
  }
  friend bool operator==(const RecordSketch&, const RecordSketch&) = default;
};

struct NumericSketch {
  uint64_t num_buckets = 0;
  NdArray<double, 1> count;  // [buckets]

  static NumericSketch zeroed(uint64_t buckets);

  // floor(B * v) clamped to the buckets; v is a normalised value in [0, 1].
  uint64_t bucket(double normalized) const;
  void decay(double factor);

  static constexpr std::string_view kJsonName = "NumericSketch";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("num_buckets", self.num_buckets);
    field("count", self.count);
  }
  friend bool operator==(const NumericSketch&, const NumericSketch&) = default;
};

struct CategoricalSketch {
  uint64_t num_rows = 0;
  uint64_t num_buckets = 0;
  NdArray<int64_t, 1> hash_a;  // [rows], in [1, B - 1] when drawn
  NdArray<int64_t, 1> hash_b;  // [rows], in [0, B - 1] when drawn
  NdArray<double, 2> count;    // [rows][buckets]

  // Draws all of hash_a, then all of hash_b.
  static CategoricalSketch draw(uint64_t rows, uint64_t buckets, Xoshiro256PlusPlus& rng);

  uint64_t bucket(uint64_t row, int64_t value) const;
  uint64_t bucket(uint64_t row, int64_t value, const BucketModulus& mod) const;
  bool hashes_like(const CategoricalSketch& other) const {
    return num_buckets == other.num_buckets && hash_a == other.hash_a && hash_b == other.hash_b;
  }
  double estimate(int64_t value) const;
  void add(int64_t value);
  // add() followed by estimate(), hashing each row once.
  double add_and_estimate(int64_t value);
  void decay(double factor);

  static constexpr std::string_view kJsonName = "CategoricalSketch";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("num_rows", self.num_rows);
    field("num_buckets", self.num_buckets);
    field("hash_a", self.hash_a);
    field("hash_b", self.hash_b);
    field("count", self.count);
  }
  friend bool operator==(const CategoricalSketch&, const CategoricalSketch&) = default;
};

// Two sketches with the same parameters: `current` decays by alpha per tick, `total` never does.
template <class Sketch>
struct SketchCounts {
  Sketch current;
  Sketch total;

  static constexpr std::string_view kJsonName = "SketchCounts";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("current", self.current);
    field("total", self.total);
  }
  friend bool operator==(const SketchCounts&, const SketchCounts&) = default;
};

}  // namespace quillon::mstream
