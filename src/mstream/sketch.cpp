#include "mstream/sketch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "keyed_hash.hpp"
#include "mstream/normalization.hpp"
#include "mstream/standard_normal.hpp"
#include "vector_clones.hpp"

namespace quillon::mstream {
namespace {

// Only integers are hashed, so the last two key words never matter.
uint64_t keyed_hash(uint64_t s0, uint64_t s1, int64_t value) {
  SeededHasher h(s0, s1, 0, 0);
  h.add_i64(value);
  return h.finish();
}

// (a + b) mod m for a, b < m, as if added in 128 bits: the sum is below 2m, so one subtraction
// suffices, and a wrapped 64-bit sum is exactly the case where it is needed.
uint64_t add_mod(uint64_t a, uint64_t b, uint64_t m) {
  uint64_t sum = 0;
  const bool wrapped = __builtin_add_overflow(a, b, &sum);
  return wrapped || sum >= m ? sum - m : sum;
}

// The decay pass is the hottest loop of an update that advances the tick. Element-wise products
// are exactly rounded whatever the vector width, so the wider clone gives identical counts.
QUILLON_AVX2_CLONES void scale_counts(double* counts, size_t n, double factor) {
  for (size_t i = 0; i < n; ++i) counts[i] *= factor;
}

void scale(std::vector<double>& counts, double factor) {
  scale_counts(counts.data(), counts.size(), factor);
}

}  // namespace

double chi_squared_term(double current, double total, uint64_t tick) {
  const double t = std::max(static_cast<double>(tick), 1.0);
  const double h = std::max(t - 1.0, 1.0);
  const double mean = total / t;
  if (mean <= kMinRange) return 0.0;
  const double diff = current - mean;
  const double sq = diff * diff;
  return sq / (mean * h) + sq / mean;
}

// --- RecordSketch ---

RecordSketch RecordSketch::draw(uint64_t rows, uint64_t buckets, uint64_t numeric_dim,
                                uint64_t categorical_dim, Xoshiro256PlusPlus& rng) {
  RecordSketch s;
  s.num_rows = rows;
  s.num_buckets = buckets;
  s.numeric_dim = numeric_dim;
  s.categorical_dim = categorical_dim;
  s.numeric_planes = NdArray<double, 3>::filled({rows, hash_bits(buckets), numeric_dim}, 0.0);
  for (double& v : s.numeric_planes.data) v = standard_normal(rng);
  s.categorical_coeffs = NdArray<int64_t, 2>::filled({rows, categorical_dim}, 0);
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint64_t j = 0; j < categorical_dim; ++j) {
      const uint64_t word = rng.next_u64();
      const uint64_t coeff = j + 1 < categorical_dim ? word % (buckets - 1) + 1 : word % buckets;
      s.categorical_coeffs.data[r * categorical_dim + j] = static_cast<int64_t>(coeff);
    }
  }
  s.count = NdArray<double, 2>::filled({rows, buckets}, 0.0);
  return s;
}

uint64_t RecordSketch::bucket(uint64_t row, std::span<const double> numeric,
                              std::span<const int64_t> categorical) const {
  return bucket(row, numeric, categorical, BucketModulus(num_buckets));
}

uint64_t RecordSketch::bucket(uint64_t row, std::span<const double> numeric,
                              std::span<const int64_t> categorical,
                              const BucketModulus& mod) const {
  uint64_t sign_bits = 0;
  if (numeric_dim != 0) {
    const uint64_t bits = numeric_planes.dim[1];
    const double* plane = numeric_planes.data.data() + row * bits * numeric_dim;
    for (uint64_t k = 0; k < bits; ++k, plane += numeric_dim) {
      double dot = 0.0;
      for (uint64_t j = 0; j < numeric_dim; ++j) dot += plane[j] * numeric[j];
      if (dot > 0.0) sign_bits |= uint64_t{1} << k;
    }
  }
  uint64_t hash_sum = 0;
  const int64_t* coeffs = categorical_coeffs.data.data() + row * categorical_dim;
  for (uint64_t j = 0; j < categorical_dim; ++j) {
    const uint64_t h = keyed_hash(static_cast<uint64_t>(coeffs[j]), row, categorical[j]);
    hash_sum = add_mod(hash_sum, mod(h), num_buckets);
  }
  return add_mod(hash_sum, mod(sign_bits), num_buckets);
}

double RecordSketch::estimate(std::span<const double> numeric,
                              std::span<const int64_t> categorical) const {
  double best = std::numeric_limits<double>::infinity();
  for (uint64_t r = 0; r < num_rows; ++r) {
    best = std::min(best, count.data[r * num_buckets + bucket(r, numeric, categorical)]);
  }
  return best;
}

void RecordSketch::add(std::span<const double> numeric, std::span<const int64_t> categorical) {
  for (uint64_t r = 0; r < num_rows; ++r) {
    count.data[r * num_buckets + bucket(r, numeric, categorical)] += 1.0;
  }
}

double RecordSketch::add_and_estimate(std::span<const double> numeric,
                                      std::span<const int64_t> categorical) {
  double best = std::numeric_limits<double>::infinity();
  for (uint64_t r = 0; r < num_rows; ++r) {
    double& cell = count.data[r * num_buckets + bucket(r, numeric, categorical)];
    cell += 1.0;
    best = std::min(best, cell);
  }
  return best;
}

void RecordSketch::decay(double factor) { scale(count.data, factor); }

// --- NumericSketch ---

NumericSketch NumericSketch::zeroed(uint64_t buckets) {
  NumericSketch s;
  s.num_buckets = buckets;
  s.count = NdArray<double, 1>::filled({buckets}, 0.0);
  return s;
}

uint64_t NumericSketch::bucket(double normalized) const {
  const double slot = std::floor(static_cast<double>(num_buckets) * normalized);
  // Written so that NaN also lands in bucket 0 rather than reaching the conversion.
  if (!(slot > 0.0)) return 0;
  const uint64_t last = num_buckets - 1;
  if (slot >= static_cast<double>(last)) return last;
  return static_cast<uint64_t>(slot);
}

void NumericSketch::decay(double factor) { scale(count.data, factor); }

// --- CategoricalSketch ---

CategoricalSketch CategoricalSketch::draw(uint64_t rows, uint64_t buckets,
                                          Xoshiro256PlusPlus& rng) {
  CategoricalSketch s;
  s.num_rows = rows;
  s.num_buckets = buckets;
  s.hash_a = NdArray<int64_t, 1>::filled({rows}, 0);
  s.hash_b = NdArray<int64_t, 1>::filled({rows}, 0);
  for (int64_t& a : s.hash_a.data) a = static_cast<int64_t>(rng.next_u64() % (buckets - 1) + 1);
  for (int64_t& b : s.hash_b.data) b = static_cast<int64_t>(rng.next_u64() % buckets);
  s.count = NdArray<double, 2>::filled({rows, buckets}, 0.0);
  return s;
}

uint64_t CategoricalSketch::bucket(uint64_t row, int64_t value) const {
  return bucket(row, value, BucketModulus(num_buckets));
}

uint64_t CategoricalSketch::bucket(uint64_t row, int64_t value, const BucketModulus& mod) const {
  return mod(keyed_hash(static_cast<uint64_t>(hash_a.data[row]),
                        static_cast<uint64_t>(hash_b.data[row]), value));
}

double CategoricalSketch::estimate(int64_t value) const {
  double best = std::numeric_limits<double>::infinity();
  for (uint64_t r = 0; r < num_rows; ++r) {
    best = std::min(best, count.data[r * num_buckets + bucket(r, value)]);
  }
  return best;
}

void CategoricalSketch::add(int64_t value) {
  for (uint64_t r = 0; r < num_rows; ++r) count.data[r * num_buckets + bucket(r, value)] += 1.0;
}

double CategoricalSketch::add_and_estimate(int64_t value) {
  double best = std::numeric_limits<double>::infinity();
  for (uint64_t r = 0; r < num_rows; ++r) {
    double& cell = count.data[r * num_buckets + bucket(r, value)];
    cell += 1.0;
    best = std::min(best, cell);
  }
  return best;
}

void CategoricalSketch::decay(double factor) { scale(count.data, factor); }

}  // namespace quillon::mstream
