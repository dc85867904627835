#include "mstream/lazy_decay.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "vector_clones.hpp"

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

// Stamp `lane` of a group, from its bytes read as words.
unsigned stamps_of(const uint64_t* words, size_t lane) {
  uint8_t bytes[kLanes];
  std::memcpy(bytes, words, kLanes);
  return bytes[lane];
}

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

// The largest subnormal mantissa that a factor leaves unchanged: m * f rounds back to m while
// m * (1 - f) stays below one half, so these are 1 ... the result. Counts that decay long enough
// come to rest there (0.8 keeps 1 and 2 forever) instead of reaching zero.
uint64_t fixed_points(const FactorParts& f, double factor) {
  constexpr uint64_t kMost = (uint64_t{1} << 52) - 1;
  const double guess = 0.5 / (1.0 - factor);  // an estimate, corrected exactly below
  uint64_t m = guess >= static_cast<double>(kMost) ? kMost : static_cast<uint64_t>(guess);
  while (m > 0 && subnormal_step(m, f) != m) --m;
  while (m < kMost && subnormal_step(m + 1, f) == m + 1) ++m;
  return m;
}

// The factors j in [from, logged) applied to one count, the slow values in integer arithmetic.
// A subnormal count with a mantissa of at most `fixed` is unchanged by every factor of the log.
double catch_up_one(double v, unsigned from, unsigned logged, const double* factors,
                    const FactorParts* parts, uint64_t fixed) {
  // Compared as bits: floating-point comparisons of subnormal numbers may be slow.
  constexpr uint64_t kMinNormalBits = uint64_t{1} << 52;
  if (std::bit_cast<uint64_t>(v) <= std::min(fixed, kMinNormalBits - 1)) return v;
  for (unsigned j = from; j < logged; ++j) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    if ((bits << 1) == 0) return v;
    if (bits < kMinNormalBits && parts[j].usable) {
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
// factor at a time for all lanes that still owe it; any other cell is caught up on its own. Most
// groups of lanes hold only zeros, or were not touched since the last pass and so owe every
// factor: both cases skip the per-lane bookkeeping.
QUILLON_AVX2_CLONES void catch_up(double* cells, uint8_t* stamps, size_t n, const double* factors,
                                  const FactorParts* parts, unsigned logged, double floor,
                                  uint64_t fixed) {
  constexpr size_t kVectors = kLanes / 4;
  const Doubles one = {1.0, 1.0, 1.0, 1.0};
  const int64_t floor_bits = std::bit_cast<int64_t>(floor);
  const Stamps low = {floor_bits, floor_bits, floor_bits, floor_bits};
  auto any_lane = [](const Stamps& m) { return (m[0] | m[1] | m[2] | m[3]) != 0; };
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    uint64_t stamp_words[kLanes / 8];
    std::memcpy(stamp_words, stamps + i, sizeof(stamp_words));
    const bool stamped = (stamp_words[0] | stamp_words[1]) != 0;
    if (stamped) std::memset(stamps + i, 0, kLanes);
    // Counts are never negative, so their bits order as their values do; integer comparisons
    // also stay fast on subnormal numbers, where floating-point ones may not be.
    Stamps b[kVectors];
    std::memcpy(b, cells + i, sizeof(b));
    Stamps nonzero = {0, 0, 0, 0};
    Stamps small = {0, 0, 0, 0};
    for (size_t k = 0; k < kVectors; ++k) {
      const Stamps nz = b[k] != 0;
      nonzero |= nz;
      small |= nz & (b[k] < low);
    }
    if (!any_lane(nonzero)) continue;  // zeros stay zero
    const bool slow = any_lane(small);
    uint64_t caught[kLanes];
    uint32_t caught_lanes = 0;
    if (slow) {
      // A value that could leave the normal range is caught up on its own and leaves the lanes
      // as a zero (even a multiplication by 1.0 is slow on a subnormal number).
      uint64_t v[kLanes];
      std::memcpy(v, b, sizeof(v));
      for (size_t l = 0; l < kLanes; ++l) {
        if (v[l] != 0 && v[l] < static_cast<uint64_t>(floor_bits)) {
          caught[l] = std::bit_cast<uint64_t>(catch_up_one(std::bit_cast<double>(v[l]),
                                                           stamped ? stamps_of(stamp_words, l) : 0,
                                                           logged, factors, parts, fixed));
          caught_lanes |= uint32_t{1} << l;
          v[l] = 0;
        }
      }
      std::memcpy(b, v, sizeof(b));
    }
    // Counts at rest below the normal range may be all a group holds.
    bool multiply = !slow;
    for (size_t k = 0; k < kVectors && !multiply; ++k) multiply = any_lane(b[k] != 0);
    Doubles x[kVectors];
    std::memcpy(x, b, sizeof(x));
    unsigned j = multiply ? 0 : logged;
    if (stamped && multiply) {
      // A lane that does not owe factor j (yet) is multiplied by 1.0, which is exact for the
      // normal values and zeros left here; from the largest stamp on, every lane owes it.
      int64_t s[kLanes];
      unsigned first = logged;
      unsigned last = 0;
      for (size_t l = 0; l < kLanes; ++l) {
        s[l] = stamps_of(stamp_words, l);
        first = std::min<unsigned>(first, static_cast<unsigned>(s[l]));
        last = std::max<unsigned>(last, static_cast<unsigned>(s[l]));
      }
      Stamps owed[kVectors];
      std::memcpy(owed, s, sizeof(owed));
      for (j = first; j < last; ++j) {
        const Doubles f = one * factors[j];
        const int64_t jj = j;
        const Stamps now = {jj, jj, jj, jj};
        for (size_t k = 0; k < kVectors; ++k) x[k] *= now >= owed[k] ? f : one;
      }
    }
    for (; j < logged; ++j) {
      const Doubles f = one * factors[j];
      for (size_t k = 0; k < kVectors; ++k) x[k] *= f;
    }
    if (caught_lanes != 0) {
      uint64_t v[kLanes];
      std::memcpy(v, x, sizeof(v));
      for (size_t l = 0; l < kLanes; ++l) {
        if ((caught_lanes >> l) & 1) v[l] = caught[l];
      }
      std::memcpy(x, v, sizeof(x));
    }
    std::memcpy(cells + i, x, sizeof(x));
  }
  for (; i < n; ++i) {
    cells[i] = catch_up_one(cells[i], stamps[i], logged, factors, parts, fixed);
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
  // Mantissas of subnormal counts that every factor of the log leaves as they are; the factors
  // of a log are mostly equal, so each distinct one is examined once.
  uint64_t fixed = ~uint64_t{0};
  for (unsigned j = 0; j < logged_; ++j) {
    chain *= factors_[j];
    parts[j] = factor_parts(factors_[j]);
    if (!parts[j].usable) {
      fixed = 0;
    } else if (j == 0 || factors_[j] != factors_[j - 1]) {
      fixed = std::min(fixed, fixed_points(parts[j], factors_[j]));
    }
  }
  const double floor =
      chain >= 0x1p-900 ? 0x1p-999 / chain : std::numeric_limits<double>::infinity();
  for (const Segment& s : segments_) {
    catch_up(s.cells, stamps_.data() + s.first_stamp, s.size, factors_.data(), parts.data(),
             logged_, floor, fixed);
  }
  logged_ = 0;
  chain_ = 1.0;
  fast_from_ = 0.0;
}

}  // namespace quillon::mstream
