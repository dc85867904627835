// The two components that prepare every record before a sketch is touched: the stream clock
// (timestamps to tick gaps) and the asinh min-max normaliser of the numeric fields. Each has a
// read-only preview that computes exactly what its committing form would.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "detector_error.hpp"
#include "binary_codec.hpp"
#include "json_codec.hpp"

namespace quillon::mstream {

// Ranges at or below this width count as a single value and normalise to 0.
inline constexpr double kMinRange = 2.220446049250313e-16;

struct ClockStep {
  uint64_t gap = 0;   // ticks elapsed since the last ingested record
  uint64_t tick = 0;  // tick index of the record, 1 for the first one
};

struct StreamClock {
  std::optional<uint64_t> current_time;  // absent until the first record is ingested
  uint64_t current_tick = 0;

  // Where a record at `timestamp` would fall; refuses 0 and timestamps that go back.
  Result<ClockStep> advance(uint64_t timestamp) const;
  void commit(uint64_t timestamp, uint64_t tick) {
    current_time = timestamp;
    current_tick = tick;
  }

  static constexpr std::string_view kJsonName = "StreamClock";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("current_time", self.current_time);
    field("current_tick", self.current_tick);
  }
  friend bool operator==(const StreamClock&, const StreamClock&) = default;
};

struct NumericRangeNormalizer {
  // Bounds of asinh(x) per field; +inf / -inf until the first ingested record.
  std::vector<double> min_numeric;
  std::vector<double> max_numeric;

  static NumericRangeNormalizer with_dim(size_t numeric_dim);
  size_t dim() const { return min_numeric.size(); }

  // Every value must be finite; checked before any bound moves.
  static Status check_finite(std::span<const double> values);

  // One field, x raw and finite. `first` is true when no record has been ingested yet.
  double preview_field(size_t field, double x, bool first) const;
  double update_field(size_t field, double x, bool first);

  // Whole-record forms over all fields (entries_seen decides whether this is the first record).
  Result<std::vector<double>> normalize(std::span<const double> values, uint64_t entries_seen) const;
  Result<std::vector<double>> normalize_and_update(std::span<const double> values,
                                                   uint64_t entries_seen);

  friend bool operator==(const NumericRangeNormalizer&, const NumericRangeNormalizer&) = default;
};

}  // namespace quillon::mstream

namespace quillon::json {

// The bounds of a fresh normaliser are infinite and written as null; reading maps null back to
// +inf for a lower bound and -inf for an upper bound, so a fresh detector's state reads back.
template <>
struct Codec<mstream::NumericRangeNormalizer> {
  static void write(Writer& w, const mstream::NumericRangeNormalizer& n);
  static bool read(Reader& r, mstream::NumericRangeNormalizer& n);
};

}  // namespace quillon::json

namespace quillon::bin {

// Bounds as two lists of floats; like JSON's null, the starting infinity of each side reads back.
template <>
struct Codec<mstream::NumericRangeNormalizer> {
  static void write(Writer& w, const mstream::NumericRangeNormalizer& n);
  static bool read(Reader& r, mstream::NumericRangeNormalizer& n);
};

}  // namespace quillon::bin
