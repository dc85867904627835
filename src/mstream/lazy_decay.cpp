#include "mstream/lazy_decay.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace quillon::mstream {
namespace {

// A finite non-negative double as mantissa * 2^exponent (the mantissa has the hidden bit when
// the number is normal).
struct Split {
  uint64_t mantissa;
  int exponent;
};

Split split(double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const int biased = static_cast<int>(bits >> 52);
  const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
  if (biased == 0) return {fraction, -1074};
  return {fraction | (uint64_t{1} << 52), biased - 1075};
}

constexpr size_t kLanes = 16;
using Doubles = double __attribute__((vector_size(32)));
using Stamps = int64_t __attribute__((vector_size(32)));
constexpr double kMinNormal = 0x1p-1022;

// A factor below 1 as an integer mantissa and a right shift: f = mantissa * 2^-shift.
struct FactorParts {
  uint64_t mantissa = 0;
  int shift = 0;
  bool usable = false;  // a factor in [2^-60, 1), so that the shift stays within 128 bits
};

FactorParts factor_parts(double f) {
  FactorParts parts;
  if (!(f >= 0x1p-60 && f < 1.0)) return parts;
  const Split x = split(f);
  parts.mantissa = x.mantissa;
  parts.shift = -x.exponent;  // 53 to 113
  parts.usable = true;
  return parts;
}

// A subnormal count (its bits are its mantissa, in units of 2^-1074) times a factor below 1
// stays subnormal: the product rounded to that grid is the integer product rounded at `shift`.
uint64_t subnormal_step(uint64_t m, const FactorParts& f) {
  const unsigned __int128 p = static_cast<unsigned __int128>(m) * f.mantissa;
  const unsigned __int128 one = 1;
  uint64_t q = static_cast<uint64_t>(p >> f.shift);
  const unsigned __int128 rest = p & ((one << f.shift) - 1);
  const unsigned __int128 half = one << (f.shift - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  return q;
}

// The factors j in [from, logged) applied to one count, the slow values in integer arithmetic.
double catch_up_one(double v, unsigned from, unsigned logged, const double* factors,
                    const FactorParts* parts) {
  for (unsigned j = from; j < logged; ++j) {
    if (v == 0.0) return v;
    if (v < kMinNormal && parts[j].usable) {
      uint64_t m = std::bit_cast<uint64_t>(v);
      for (; j < logged && m != 0 && parts[j].usable; ++j) m = subnormal_step(m, parts[j]);
      v = std::bit_cast<double>(m);
      --j;
      continue;
    }
    v = decay_step(v, factors[j]);
  }
  return v;
}

// Cells whose values (and so all their partial products) stay normal are multiplied in lanes, a
// factor at a time for all lanes that still owe it; any other cell is caught up on its own.
__attribute__((target_clones("avx2", "default"))) void catch_up(double* cells, uint8_t* stamps,
                                                                size_t n, const double* factors,
                                                                const FactorParts* parts,
                                                                unsigned logged, double floor) {
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    double v[kLanes];
    int64_t s[kLanes];
    bool any = false;
    bool slow = false;
    unsigned first = logged;
    for (size_t l = 0; l < kLanes; ++l) {
      v[l] = cells[i + l];
      s[l] = stamps[i + l];
      any = any || v[l] != 0.0;  // zeros stay zero
      slow = slow || (v[l] != 0.0 && v[l] < floor);
      first = std::min<unsigned>(first, static_cast<unsigned>(s[l]));
    }
    double caught[kLanes];
    if (slow) {
      // A value that could leave the normal range is caught up on its own and leaves the lanes
      // as a zero (even a multiplication by 1.0 is slow on a subnormal number).
      for (size_t l = 0; l < kLanes; ++l) {
        caught[l] = -1.0;
        if (v[l] != 0.0 && v[l] < floor) {
          caught[l] = catch_up_one(v[l], static_cast<unsigned>(s[l]), logged, factors, parts);
          v[l] = 0.0;
        }
      }
    }
    if (any) {
      // Vectors of four lanes; a lane that does not owe factor j (yet) is multiplied by 1.0,
      // which is exact for the normal values and zeros left here.
      constexpr size_t kVectors = kLanes / 4;
      Doubles x[kVectors];
      Stamps owed[kVectors];
      std::memcpy(x, v, sizeof(x));
      std::memcpy(owed, s, sizeof(owed));
      const Doubles one = {1.0, 1.0, 1.0, 1.0};
      for (unsigned j = first; j < logged; ++j) {
        const Doubles f = one * factors[j];
        const int64_t jj = j;
        const Stamps now = {jj, jj, jj, jj};
        for (size_t k = 0; k < kVectors; ++k) x[k] *= now >= owed[k] ? f : one;
      }
      std::memcpy(v, x, sizeof(x));
    }
    if (slow) {
      for (size_t l = 0; l < kLanes; ++l) {
        if (caught[l] >= 0.0) v[l] = caught[l];
      }
    }
    for (size_t l = 0; l < kLanes; ++l) {
      cells[i + l] = v[l];
      stamps[i + l] = 0;
    }
  }
  for (; i < n; ++i) {
    cells[i] = catch_up_one(cells[i], stamps[i], logged, factors, parts);
    stamps[i] = 0;
  }
}

}  // namespace

double exact_product(double a, double b) {
  if (a == 0.0 || b == 0.0) return 0.0;
  const Split x = split(a);
  const Split y = split(b);
  unsigned __int128 p = static_cast<unsigned __int128>(x.mantissa) * y.mantissa;
  int e = x.exponent + y.exponent;  // a * b = p * 2^e exactly
  const int length =
      128 - (static_cast<uint64_t>(p >> 64) != 0 ? std::countl_zero(static_cast<uint64_t>(p >> 64))
                                                 : 64 + std::countl_zero(static_cast<uint64_t>(p)));
  // Keep 53 significant bits, or fewer where the result falls below the normal range (its last
  // bit is then worth 2^-1074).
  int drop = length - 53;
  if (length - 1 + e < -1022) drop = -1074 - e;
  if (drop > 0) {
    if (drop >= 128) return 0.0;
    const unsigned __int128 one = 1;
    const unsigned __int128 rest = p & ((one << drop) - 1);
    const unsigned __int128 half = one << (drop - 1);
    p >>= drop;
    e += drop;
    if (rest > half || (rest == half && (p & 1) != 0)) ++p;
  }
  // Compose the bits directly: a floating-point scaling would itself take the slow path.
  uint64_t m = static_cast<uint64_t>(p);  // at most 2^53
  if (m == 0) return 0.0;
  while (m < (uint64_t{1} << 52) && e > -1074) {  // exact products with few bits: normalise
    m <<= 1;
    --e;
  }
  if (m == (uint64_t{1} << 53)) {
    m >>= 1;
    ++e;
  }
  if (m < (uint64_t{1} << 52)) return std::bit_cast<double>(m);  // subnormal: e is -1074
  const int64_t biased = e + 1075;
  if (biased >= 2047) return std::numeric_limits<double>::infinity();
  return std::bit_cast<double>((static_cast<uint64_t>(biased) << 52) | (m - (uint64_t{1} << 52)));
}

size_t LazyDecay::add_segment(std::vector<double>& cells) {
  segments_.push_back({cells.data(), cells.size(), stamps_.size()});
  stamps_.resize(stamps_.size() + cells.size(), 0);
  return segments_.size() - 1;
}

void LazyDecay::flush() {
  if (logged_ == 0) return;
  // Every factor is at most 1, so no partial product of the log is below the whole product; a
  // count at `floor` or above therefore stays above 2^-1000 through all of them.
  double chain = 1.0;
  std::array<FactorParts, kWindow> parts;
  for (unsigned j = 0; j < logged_; ++j) {
    chain *= factors_[j];
    parts[j] = factor_parts(factors_[j]);
  }
  const double floor =
      chain >= 0x1p-900 ? 0x1p-999 / chain : std::numeric_limits<double>::infinity();
  for (const Segment& s : segments_) {
    catch_up(s.cells, stamps_.data() + s.first_stamp, s.size, factors_.data(), parts.data(),
             logged_, floor);
  }
  logged_ = 0;
}

}  // namespace quillon::mstream
