// The decay of the current counts, deferred within a batch of records.
//
// Record by record, every tick that passes multiplies every current count by a factor: a pass
// over all cells that costs more than the rest of an update, and far more once counts that are
// rarely hit fade into subnormal numbers (the processor handles those in slow microcode). A batch
// instead logs the factors and brings a cell up to date only when a record touches it, or when
// the log is full, or at the end. Each cell still receives exactly the multiplications of the
// record-by-record pass, in the same order, so the counts are bit-identical; products that would
// be subnormal are computed exactly in integer arithmetic instead of by the slow hardware path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace quillon::mstream {

// a * b, exactly rounded (to nearest, ties to even) like the hardware product, for finite
// non-negative a and b; integer arithmetic throughout.
double exact_product(double a, double b);

// One multiplication of a count by a decay factor, as `count * factor` gives it.
inline double decay_step(double count, double factor) {
  // Both normal and the product at least 2^-1020: the hardware multiplication is fast and exact.
  constexpr double kCountFloor = 0x1p-960;
  constexpr double kFactorFloor = 0x1p-60;
  if (count >= kCountFloor && factor >= kFactorFloor) [[likely]]
    return count * factor;
  return exact_product(count, factor);
}

class LazyDecay {
 public:
  static constexpr unsigned kWindow = 64;  // factors logged before every cell is brought up to date
  static_assert(kWindow <= 255, "stamps are bytes");

  // The decaying arrays, registered once before the batch; their storage must not move.
  // Returns the segment's number for touch().
  size_t add_segment(std::vector<double>& cells);

  // A tick gap: `factor` is owed by every cell. The log is also cleared once its product gets
  // small, so that the normal counts of a pass can all stay in the fast vector path.
  void advance(double factor) {
    if (logged_ == kWindow || chain_ < 0x1p-800) flush();
    factors_[logged_++] = factor;
    chain_ *= factor;
    fast_from_ = chain_ > 0x1p-1000 ? 0x1p-1000 / chain_ : std::numeric_limits<double>::infinity();
  }

  // Brings cell `index` of `segment` up to date before it is read or changed.
  void touch(size_t segment, size_t index) {
    const Segment& s = segments_[segment];
    uint8_t& stamp = stamps_[s.first_stamp + index];
    if (stamp == logged_) return;
    double v = s.cells[index];
    if (v >= fast_from_) {
      // No partial product can fall below 2^-1000: plain products, as decay_step would give them.
      for (unsigned j = stamp; j < logged_; ++j) v *= factors_[j];
    } else {
      for (unsigned j = stamp; j < logged_; ++j) v = decay_step(v, factors_[j]);
    }
    s.cells[index] = v;
    stamp = static_cast<uint8_t>(logged_);
  }

  // Brings every cell up to date; the counts are then exactly those of the eager pass.
  void flush();

 private:
  struct Segment {
    double* cells;
    size_t size;
    size_t first_stamp;
  };
  std::vector<Segment> segments_;
  std::vector<uint8_t> stamps_;  // per cell: factors of the log it already has
  std::array<double, kWindow> factors_{};
  unsigned logged_ = 0;
  double chain_ = 1.0;      // product of the logged factors
  double fast_from_ = 0.0;  // counts from here on stay normal through the whole log
};

}  // namespace quillon::mstream
