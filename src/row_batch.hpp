// Batches as the cores read them, the one loop that runs every batch, and the error of a refused
// batch.
//
// A batch owns its rows. Rows given as nested sequences are converted element by element while
// they are read; an array is copied once into the core's element type (copy_rows) before any row
// is checked. The copy costs one batch's worth of memory in the core's type (4 bytes a value for
// points, 8 for numeric and categorical fields, plus 8 a row for timestamps) and buys two things:
// each value is converted once instead of once per pass, and the rows that are checked are the
// very bytes that are applied, so another thread writing into the caller's array during the call
// cannot make a checked batch fail half-way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
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

template <class T, class Src>
T as(Src v) {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(static_cast<double>(v));
  } else {
    return static_cast<T>(v);
  }
}

// Converts `count` elements of type Src, `stride` bytes apart, into `out`.
template <class T, class Src>
void convert_run(const char* p, ptrdiff_t stride, size_t count, T* out) {
  if constexpr (std::is_same_v<T, Src>) {
    if (stride == static_cast<ptrdiff_t>(sizeof(T))) {
      if (count != 0) std::memcpy(out, p, count * sizeof(T));
      return;
    }
  }
  for (size_t j = 0; j < count; ++j, p += stride) out[j] = as<T>(load<Src>(p));
}

// Calls `f` with a value of the C++ type that `type` names.
template <class F>
decltype(auto) with_type(ElementType type, F&& f) {
  switch (type) {
    case ElementType::Float32: return f(float{});
    case ElementType::Float64: return f(double{});
    case ElementType::Int8: return f(int8_t{});
    case ElementType::Int16: return f(int16_t{});
    case ElementType::Int32: return f(int32_t{});
    case ElementType::Int64: return f(int64_t{});
    case ElementType::UInt8: return f(uint8_t{});
    case ElementType::UInt16: return f(uint16_t{});
    case ElementType::UInt32: return f(uint32_t{});
    case ElementType::UInt64: break;
  }
  return f(uint64_t{});
}

}  // namespace batch_detail

// One element, converted as the single call converts it: integers and floats become 64-bit floats
// first, and a 32-bit float is then rounded from that.
template <class T>
T element(const char* p, ElementType type) {
  return batch_detail::with_type(
      type, [&](auto src) { return batch_detail::as<T>(batch_detail::load<decltype(src)>(p)); });
}

// Rows of T (float points, double numeric fields, int64 categorical fields), owned by the batch.
template <class T>
class Rows {
 public:
  Rows() = default;

  // Owned rows of different lengths: row i is values[starts[i] .. starts[i + 1]).
  // `scalar_row`: the first row given as a single value instead of a sequence, if any.
  static Rows ragged(std::vector<T> values, std::vector<size_t> starts,
                     std::optional<uint64_t> scalar_row) {
    Rows r;
    r.values_ = std::move(values);
    r.starts_ = std::move(starts);
    r.count_ = r.starts_.empty() ? 0 : r.starts_.size() - 1;
    r.one_dimensional_ = scalar_row.has_value();
    r.scalar_row_ = scalar_row;
    return r;
  }
  // `count` rows of `width` values each, one after another.
  static Rows uniform(std::vector<T> values, size_t count, size_t width, bool one_dimensional) {
    Rows r;
    r.values_ = std::move(values);
    r.count_ = count;
    r.width_ = width;
    r.one_dimensional_ = one_dimensional;
    return r;
  }

  size_t size() const { return count_; }
  // The source was one-dimensional (one value per row): a 1-D array, or nested sequences with a
  // plain number as row scalar_row().
  bool one_dimensional() const { return one_dimensional_; }
  std::optional<uint64_t> scalar_row() const { return scalar_row_; }

  std::span<const T> operator[](size_t i) const {
    if (starts_.empty()) return {values_.data() + i * width_, width_};
    return {values_.data() + starts_[i], starts_[i + 1] - starts_[i]};
  }

 private:
  std::vector<T> values_;
  std::vector<size_t> starts_;  // empty for uniform rows
  size_t count_ = 0;
  size_t width_ = 0;
  bool one_dimensional_ = false;
  std::optional<uint64_t> scalar_row_;
};

// The bytes copy_rows() will hold for `v`.
template <class T>
constexpr unsigned __int128 copy_bytes(const StridedView& v) {
  return static_cast<unsigned __int128>(v.rows) * v.cols * sizeof(T);
}

// The one conversion of an array batch: every element into T, row after row. A 1-D source is
// one value per row.
template <class T>
Rows<T> copy_rows(const StridedView& v, bool one_dimensional) {
  std::vector<T> values(v.rows * v.cols);
  batch_detail::with_type(v.type, [&](auto src) {
    using Src = decltype(src);
    const bool dense = v.row_stride == static_cast<ptrdiff_t>(v.cols * sizeof(Src)) &&
                       (v.cols <= 1 || v.col_stride == static_cast<ptrdiff_t>(sizeof(Src)));
    if (dense) {  // one run over the whole block
      batch_detail::convert_run<T, Src>(v.base, sizeof(Src), v.rows * v.cols, values.data());
      return;
    }
    for (size_t i = 0; i < v.rows; ++i) {
      batch_detail::convert_run<T, Src>(v.base + static_cast<ptrdiff_t>(i) * v.row_stride,
                                        v.col_stride, v.cols, values.data() + i * v.cols);
    }
  });
  return Rows<T>::uniform(std::move(values), v.rows, v.cols, one_dimensional);
}

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

// Asked between rows whether the batch should stop (a signal arrived); an error stops it. Empty:
// never stop.
using BatchInterrupt = std::function<Status()>;

// What a batch does with its rows.
enum class BatchMode : uint8_t { Update, Score, UpdateAndScore };
constexpr bool ingests(BatchMode m) { return m != BatchMode::Score; }
constexpr bool scores(BatchMode m) { return m != BatchMode::Update; }

// Rows between two interrupt checks: a few milliseconds of the slowest detector's work.
inline constexpr size_t kRowsPerInterruptCheck = 4096;

// Runs a batch: every row is checked before the first is applied, so a refused batch changes
// nothing. A detector describes its batch as an object with
//   BatchStatus before() const            refusals of the batch as a whole (shapes, forms)
//   Status check(size_t i)                the refusals row i would meet, in the single call's
//                                         order (it may follow state across rows, like a clock)
//   Status apply(size_t i, double* score) row i as the single call; `score` is null unless
//                                         scored. Checked rows do not fail: an error here is a
//                                         broken invariant, reported with its row.
//   void finish()                         after the last applied row, also after a stop
// and the mode says whether rows are ingested and whether they are scored. An interrupt stops
// the batch between rows: the rows before it stay applied, as with the single calls one by one,
// and the error says how many.
template <class Batch>
BatchResult<Scores> run_batch(Batch& batch, size_t rows, BatchMode mode,
                              const BatchInterrupt& interrupt) {
  auto stopped = [&](size_t i) -> std::optional<RowError> {
    if (!interrupt || i % kRowsPerInterruptCheck != 0 || i == 0) return std::nullopt;
    Status ok = interrupt();
    if (ok) return std::nullopt;
    return RowError{std::nullopt, std::move(ok.error())};
  };
  if (BatchStatus ok = batch.before(); !ok) return std::unexpected(std::move(ok.error()));
  for (size_t i = 0; i < rows; ++i) {
    if (auto stop = stopped(i)) {
      stop->error.message = "interrupted while checking row " + std::to_string(i) + " of " +
                            std::to_string(rows) + "; no row was applied";
      return std::unexpected(std::move(*stop));
    }
    if (Status ok = batch.check(i); !ok) return fail_row(i, std::move(ok.error()));
  }
  Scores out;
  if (scores(mode)) out.values.resize(rows);
  for (size_t i = 0; i < rows; ++i) {
    if (auto stop = stopped(i)) {
      batch.finish();
      stop->error.message = ingests(mode) ? "interrupted: the first " + std::to_string(i) +
                                                " of " + std::to_string(rows) +
                                                " rows were applied, the rest were not"
                                          : "interrupted at row " + std::to_string(i) + " of " +
                                                std::to_string(rows);
      return std::unexpected(std::move(*stop));
    }
    if (Status ok = batch.apply(i, scores(mode) ? &out.values[i] : nullptr); !ok) {
      batch.finish();
      return fail_row(i, std::move(ok.error()));
    }
  }
  batch.finish();
  return out;
}

}  // namespace quillon
