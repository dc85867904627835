#include "mstream/normalization.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace quillon::mstream {

Result<ClockStep> StreamClock::advance(uint64_t timestamp) const {
  if (timestamp == 0) return fail(DetectorError::invalid_argument("timestamp must be > 0"));
  if (!current_time) return ClockStep{0, 1};
  const uint64_t previous = *current_time;
  if (timestamp < previous) {
    return fail(DetectorError::invalid_argument(
        "timestamps must be non-decreasing: previous=" + std::to_string(previous) +
        ", got=" + std::to_string(timestamp)));
  }
  const uint64_t gap = timestamp - previous;
  return ClockStep{gap, current_tick + gap};
}

NumericRangeNormalizer NumericRangeNormalizer::with_dim(size_t numeric_dim) {
  NumericRangeNormalizer n;
  n.min_numeric.assign(numeric_dim, std::numeric_limits<double>::infinity());
  n.max_numeric.assign(numeric_dim, -std::numeric_limits<double>::infinity());
  return n;
}

Status NumericRangeNormalizer::check_finite(std::span<const double> values) {
  for (double x : values) {
    if (!std::isfinite(x)) return fail(DetectorError::invalid_argument("numeric values must be finite"));
  }
  return {};
}

double NumericRangeNormalizer::preview_field(size_t field, double x, bool first) const {
  if (first) return 0.0;
  const double y = std::asinh(x);
  const double lo = std::min(min_numeric[field], y);
  const double hi = std::max(max_numeric[field], y);
  const double range = hi - lo;
  return range <= kMinRange ? 0.0 : (y - lo) / range;
}

double NumericRangeNormalizer::update_field(size_t field, double x, bool first) {
  const double y = std::asinh(x);
  if (first) {
    min_numeric[field] = y;
    max_numeric[field] = y;
    return 0.0;
  }
  min_numeric[field] = std::min(min_numeric[field], y);
  max_numeric[field] = std::max(max_numeric[field], y);
  const double range = max_numeric[field] - min_numeric[field];
  return range <= kMinRange ? 0.0 : (y - min_numeric[field]) / range;
}

Result<std::vector<double>> NumericRangeNormalizer::normalize(std::span<const double> values,
                                                              uint64_t entries_seen) const {
  if (auto ok = check_finite(values); !ok) return fail(ok.error());
  std::vector<double> out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = preview_field(i, values[i], entries_seen == 0);
  return out;
}

Result<std::vector<double>> NumericRangeNormalizer::normalize_and_update(
    std::span<const double> values, uint64_t entries_seen) {
  if (auto ok = check_finite(values); !ok) return fail(ok.error());
  std::vector<double> out(values.size());
  for (size_t i = 0; i < values.size(); ++i) out[i] = update_field(i, values[i], entries_seen == 0);
  return out;
}

}  // namespace quillon::mstream

namespace quillon::json {
namespace {

// A bound that reads null as the given infinity.
template <bool kLower>
struct Bound {
  double value = 0.0;
};

}  // namespace

template <bool kLower>
struct Codec<Bound<kLower>> {
  static void write(Writer& w, const Bound<kLower>& b) { w.f64(b.value); }
  static bool read(Reader& r, Bound<kLower>& b) {
    if (r.take_null()) {
      b.value = kLower ? std::numeric_limits<double>::infinity()
                       : -std::numeric_limits<double>::infinity();
      return true;
    }
    return r.read_f64(b.value);
  }
};

namespace {

struct NormalizerView {
  std::vector<Bound<true>> min_numeric;
  std::vector<Bound<false>> max_numeric;

  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("min_numeric", self.min_numeric);
    field("max_numeric", self.max_numeric);
  }
};

}  // namespace

void Codec<mstream::NumericRangeNormalizer>::write(Writer& w,
                                                  const mstream::NumericRangeNormalizer& n) {
  // Non-finite bounds come out as null through the float convention.
  w.put("{\"min_numeric\":");
  Codec<std::vector<double>>::write(w, n.min_numeric);
  w.put(",\"max_numeric\":");
  Codec<std::vector<double>>::write(w, n.max_numeric);
  w.put('}');
}

bool Codec<mstream::NumericRangeNormalizer>::read(Reader& r, mstream::NumericRangeNormalizer& n) {
  NormalizerView view;
  if (!read_record(r, view, "struct NumericRangeNormalizer")) return false;
  n.min_numeric.clear();
  n.max_numeric.clear();
  n.min_numeric.reserve(view.min_numeric.size());
  n.max_numeric.reserve(view.max_numeric.size());
  for (const auto& b : view.min_numeric) n.min_numeric.push_back(b.value);
  for (const auto& b : view.max_numeric) n.max_numeric.push_back(b.value);
  return true;
}

}  // namespace quillon::json

namespace quillon::bin {

namespace {

bool read_bounds(Reader& r, std::vector<double>& out, double infinity) {
  uint64_t n = 0;
  if (!r.count(n, sizeof(double))) return false;
  const size_t start = r.offset();
  out.resize(n);
  if (!r.bytes(out.data(), n * sizeof(double))) return false;
  for (uint64_t i = 0; i < n; ++i) {
    if (!std::isfinite(out[i]) && out[i] != infinity) {
      return r.fail_at(start + i * sizeof(double),
                       "invalid value: a non-finite bound other than the starting infinity");
    }
  }
  return true;
}

}  // namespace

void Codec<mstream::NumericRangeNormalizer>::write(Writer& w,
                                                  const mstream::NumericRangeNormalizer& n) {
  bin::write(w, n.min_numeric);
  bin::write(w, n.max_numeric);
}

bool Codec<mstream::NumericRangeNormalizer>::read(Reader& r, mstream::NumericRangeNormalizer& n) {
  return read_bounds(r, n.min_numeric, std::numeric_limits<double>::infinity()) &&
         read_bounds(r, n.max_numeric, -std::numeric_limits<double>::infinity());
}

}  // namespace quillon::bin

