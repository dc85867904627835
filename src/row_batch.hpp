// Batch inputs as the cores read them, and the error of a refused batch.
//
// Rows of numbers are either viewed in place in the caller's memory (any element type the
// boundary accepted, any strides) or held here after conversion from nested sequences (then
// rows may differ in length, and each row's own length is checked as a single call would).
// Reading a row never allocates: a row that is not already contiguous in the wanted type is
// converted into a scratch buffer the caller sized once with max_width().
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <optional>
#include <type_traits>
#include <algorithm>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "detector_error.hpp"

namespace quillon {

enum class ElementType : uint8_t { Float32, Float64, Int8, Int16, Int32, Int64, UInt8, UInt16, UInt32, UInt64 };

// A rows x cols block of foreign memory; strides in bytes, possibly negative or zero.
struct StridedView {
  const char* base = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 0;
  ElementType type = ElementType::Float64;
};

namespace batch_detail {

template <class Src>
Src load(const char* p) {
  Src v;
  std::memcpy(&v, p, sizeof(Src));
  return v;
}

// One element, converted as the single-call conversion would: integers and floats become 64-bit
// floats first, and a 32-bit float is then rounded from that.
template <class T>
T element(const char* p, ElementType type) {
  auto as = [](auto v) -> T {
    if constexpr (std::is_floating_point_v<T>) {
      return static_cast<T>(static_cast<double>(v));
    } else {
      return static_cast<T>(v);
    }
  };
  switch (type) {
    case ElementType::Float32: return as(load<float>(p));
    case ElementType::Float64: return as(load<double>(p));
    case ElementType::Int8: return as(load<int8_t>(p));
    case ElementType::Int16: return as(load<int16_t>(p));
    case ElementType::Int32: return as(load<int32_t>(p));
    case ElementType::Int64: return as(load<int64_t>(p));
    case ElementType::UInt8: return as(load<uint8_t>(p));
    case ElementType::UInt16: return as(load<uint16_t>(p));
    case ElementType::UInt32: return as(load<uint32_t>(p));
    case ElementType::UInt64: return as(load<uint64_t>(p));
  }
  return T{};
}

template <class T>
constexpr ElementType native_type() {
  if constexpr (std::is_same_v<T, float>) return ElementType::Float32;
  else if constexpr (std::is_same_v<T, double>) return ElementType::Float64;
  else if constexpr (std::is_same_v<T, int64_t>) return ElementType::Int64;
  else return ElementType::UInt64;
}

}  // namespace batch_detail

// Rows of T (float points, double numeric fields, int64 categorical fields).
template <class T>
class Rows {
 public:
  Rows() = default;

  static Rows view(const StridedView& v, bool one_dimensional) {
    Rows r;
    r.view_ = v;
    r.is_view_ = true;
    r.one_dimensional_ = one_dimensional;
    r.contiguous_ = v.type == batch_detail::native_type<T>() &&
                    (v.cols <= 1 || v.col_stride == static_cast<ptrdiff_t>(sizeof(T)));
    return r;
  }
  // Owned rows: row i is values[starts[i] .. starts[i + 1]).
  // `scalar_row`: the first row given as a single value instead of a sequence, if any.
  static Rows owned(std::vector<T> values, std::vector<size_t> starts,
                    std::optional<uint64_t> scalar_row) {
    Rows r;
    r.values_ = std::move(values);
    r.starts_ = std::move(starts);
    r.one_dimensional_ = scalar_row.has_value();
    r.scalar_row_ = scalar_row;
    for (size_t i = 0; i + 1 < r.starts_.size(); ++i) {
      r.max_width_ = std::max(r.max_width_, r.starts_[i + 1] - r.starts_[i]);
    }
    return r;
  }

  size_t size() const { return is_view_ ? view_.rows : (starts_.empty() ? 0 : starts_.size() - 1); }
  size_t width(size_t i) const { return is_view_ ? view_.cols : starts_[i + 1] - starts_[i]; }
  size_t max_width() const { return is_view_ ? view_.cols : max_width_; }
  // The source was one-dimensional (one value per row): a 1-D array, or nested sequences with a
  // plain number as row scalar_row().
  bool one_dimensional() const { return one_dimensional_; }
  std::optional<uint64_t> scalar_row() const { return scalar_row_; }

  // Row i, read in place when it already is contiguous T, else converted into `scratch`, which
  // must hold max_width() values.
  std::span<const T> row(size_t i, T* scratch) const {
    if (!is_view_) return {values_.data() + starts_[i], starts_[i + 1] - starts_[i]};
    const char* p = view_.base + static_cast<ptrdiff_t>(i) * view_.row_stride;
    if (contiguous_) return {reinterpret_cast<const T*>(p), view_.cols};
    for (size_t j = 0; j < view_.cols; ++j, p += view_.col_stride) {
      scratch[j] = batch_detail::element<T>(p, view_.type);
    }
    return {scratch, view_.cols};
  }

 private:
  StridedView view_;
  bool is_view_ = false;
  bool contiguous_ = false;
  bool one_dimensional_ = false;
  std::optional<uint64_t> scalar_row_;
  std::vector<T> values_;
  std::vector<size_t> starts_;
  size_t max_width_ = 0;
};

// A one-dimensional run of unsigned values (MStream timestamps).
class Column {
 public:
  Column() = default;
  static Column view(const StridedView& v) {
    Column c;
    c.view_ = v;
    c.is_view_ = true;
    return c;
  }
  static Column owned(std::vector<uint64_t> values) {
    Column c;
    c.values_ = std::move(values);
    return c;
  }
  size_t size() const { return is_view_ ? view_.rows : values_.size(); }
  uint64_t operator[](size_t i) const {
    if (!is_view_) return values_[i];
    return batch_detail::element<uint64_t>(view_.base + static_cast<ptrdiff_t>(i) * view_.row_stride,
                                           view_.type);
  }

 private:
  StridedView view_;
  bool is_view_ = false;
  std::vector<uint64_t> values_;
};

// Feature events in one flat list of pairs: event i is pairs[starts[i] .. starts[i + 1]).
struct FeatureEvents {
  std::vector<std::pair<std::string, double>> pairs;
  std::vector<size_t> starts{0};
  size_t size() const { return starts.size() - 1; }
  std::span<const std::pair<std::string, double>> event(size_t i) const {
    return {pairs.data() + starts[i], starts[i + 1] - starts[i]};
  }
};

// A refused batch: the error the single call would have raised for row `row` (0-based), or an
// error of the batch as a whole (shapes, lengths) without a row.
struct RowError {
  std::optional<uint64_t> row;
  DetectorError error;
};

template <class T>
using BatchResult = std::expected<T, RowError>;
using BatchStatus = std::expected<void, RowError>;

inline std::unexpected<RowError> fail_row(std::optional<uint64_t> row, DetectorError e) {
  return std::unexpected(RowError{row, std::move(e)});
}

// A 1-D source is one value per row, which only detectors whose rows hold one value take.
// `name` is the argument's name, for the message.
template <class T>
BatchStatus check_rows_form(const Rows<T>& rows, bool single_value_rows, const char* name) {
  if (!rows.one_dimensional() || single_value_rows) return {};
  return fail_row(rows.scalar_row(),
                  DetectorError::invalid_argument(std::string("expected 2-D ") + name +
                                                  " with one row per observation, got 1-D input"));
}

// One score per row.
struct Scores {
  std::vector<double> values;
};

}  // namespace quillon
