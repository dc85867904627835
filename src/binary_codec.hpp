// The compact binary state: the same records as the JSON state (the json_fields declarations
// drive both), written as little-endian fixed-width fields after a 16-byte header. Layout in
// docs/binary-state.md.
//
//   header   4 bytes magic 89 51 4C 4E ("\x89QLN"), u16 format version (1), u8 detector kind,
//            u8 flags (0), u64 payload length
//   payload  the top-level record, fields in declaration order, no names:
//            u64/i64/u32/f64/f32 as themselves; bool as one byte 0/1; a list as a u64 count and
//            its elements; a fixed-length array as its elements; an optional as a tag byte 0/1
//            and the value; a record as its fields; a generator as its four words
//
// The reader decodes into the same in-memory description the JSON reader builds, so each detector
// runs one set of consistency checks for both formats. Like the JSON reader it refuses a
// non-finite float where JSON would have written null, and it never allocates more than the input
// can describe: a count is checked against the bytes left before anything is reserved.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "detector_error.hpp"
#include "json_codec.hpp"
#include "rng.hpp"

namespace quillon::bin {

static_assert(std::endian::native == std::endian::little,
              "the binary state is little-endian and copied as it stands in memory");

inline constexpr std::string_view kMagic = "\x89QLN";
inline constexpr uint16_t kFormatVersion = 1;
inline constexpr size_t kHeaderSize = 16;

enum class StateKind : uint8_t { Forest = 1, MStream = 2, FeatureSketch = 3, OnlineIForest = 4 };

std::string_view kind_name(uint8_t kind);

class Writer {
 public:
  explicit Writer(StateKind kind, size_t reserve = 0);
  template <class T>
  void raw(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    const size_t at = out_.size();
    out_.resize(at + sizeof(T));
    std::memcpy(out_.data() + at, &v, sizeof(T));
  }
  void u8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(uint32_t v) { raw(v); }
  void u64(uint64_t v) { raw(v); }
  void f32(float v) { raw(v); }
  void f64(double v) { raw(v); }
  void boolean(bool v) { u8(v ? 1 : 0); }
  void bytes(const void* data, size_t n) {
    if (n != 0) out_.append(static_cast<const char*>(data), n);
  }
  // Fills in the payload length and hands the bytes over.
  std::string finish();

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view payload, size_t base = kHeaderSize)
      : data_(payload), base_(base) {}

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }
  size_t remaining() const { return data_.size() - pos_; }
  size_t offset() const { return base_ + pos_; }

  template <class T>
  bool raw(T& v) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!need(sizeof(T))) return false;
    std::memcpy(&v, data_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return true;
  }
  bool bytes(void* out, size_t n) {
    if (!need(n)) return false;
    if (n != 0) std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }
  bool boolean(bool& v);
  // A tag byte that must be below `limit`; `what` names what it tells apart.
  bool tag(uint8_t& v, uint8_t limit, std::string_view what);
  // A 64-bit float where JSON takes a number: finite only (JSON writes a non-finite one as null,
  // which does not read back).
  bool f64(double& v);
  bool f32(float& v);
  // A list's element count, checked against the bytes left: each element takes at least
  // `min_element_bytes`.
  bool count(uint64_t& n, size_t min_element_bytes);
  // Only the payload's own bytes: nothing may be left over.
  bool finish();

  // Fails with `message` followed by " at byte {offset}" (of the value just read).
  bool fail(std::string_view message);
  bool fail_at(size_t offset, std::string_view message);

 private:
  bool need(size_t n) {
    if (!failed_ && n <= remaining()) [[likely]] return true;
    return refuse_short(n);
  }
  bool refuse_short(size_t n);

  std::string_view data_;
  size_t base_;
  size_t pos_ = 0;
  bool failed_ = false;
  std::string error_;
};

// The payload of a state of `kind`, or an error telling why the header refuses it.
Result<std::string_view> open_payload(std::string_view data, StateKind kind,
                                      std::string_view prefix);

template <class T, class Enable = void>
struct Codec;

template <class T>
void write(Writer& w, const T& v) {
  Codec<T>::write(w, v);
}
template <class T>
bool read(Reader& r, T& v) {
  return Codec<T>::read(r, v);
}

template <class T>
  requires(std::is_same_v<T, uint64_t> || std::is_same_v<T, int64_t> ||
           std::is_same_v<T, uint32_t>)
struct Codec<T> {
  static void write(Writer& w, T v) { w.raw(v); }
  static bool read(Reader& r, T& v) { return r.raw(v); }
};
template <>
struct Codec<double> {
  static void write(Writer& w, double v) { w.f64(v); }
  static bool read(Reader& r, double& v) { return r.f64(v); }
};
template <>
struct Codec<float> {
  static void write(Writer& w, float v) { w.f32(v); }
  static bool read(Reader& r, float& v) { return r.f32(v); }
};
template <>
struct Codec<bool> {
  static void write(Writer& w, bool v) { w.boolean(v); }
  static bool read(Reader& r, bool& v) { return r.boolean(v); }
};
template <>
struct Codec<std::string> {
  static void write(Writer& w, const std::string& v) {
    w.u64(v.size());
    w.bytes(v.data(), v.size());
  }
  static bool read(Reader& r, std::string& v) {
    uint64_t n = 0;
    if (!r.count(n, 1)) return false;
    v.resize(n);
    return r.bytes(v.data(), n);
  }
};

template <class T>
struct Codec<std::optional<T>> {
  static void write(Writer& w, const std::optional<T>& v) {
    w.u8(v ? 1 : 0);
    if (v) Codec<T>::write(w, *v);
  }
  static bool read(Reader& r, std::optional<T>& v) {
    uint8_t present = 0;
    if (!r.tag(present, 2, "an optional value")) return false;
    if (present == 0) {
      v.reset();
      return true;
    }
    v.emplace();
    return Codec<T>::read(r, *v);
  }
};

// Integers are copied in bulk; floats too, then checked for finiteness as one by one would.
template <class T>
inline constexpr bool kBulk = std::is_same_v<T, uint64_t> || std::is_same_v<T, int64_t> ||
                              std::is_same_v<T, uint32_t> || std::is_same_v<T, double> ||
                              std::is_same_v<T, float>;

template <class T>
bool check_finite(Reader& r, const T* values, size_t n, size_t start) {
  if constexpr (std::is_floating_point_v<T>) {
    for (size_t i = 0; i < n; ++i) {
      if (!std::isfinite(values[i])) {
        return r.fail_at(start + i * sizeof(T),
                         std::is_same_v<T, float>
                             ? "invalid value: a non-finite float, expected a finite f32"
                             : "invalid value: a non-finite float, expected a finite f64");
      }
    }
  }
  return true;
}

// `count` elements into `out` (cleared first); the count was checked against the input.
template <class T, class Vec>
bool read_elements(Reader& r, Vec& out, uint64_t count) {
  out.clear();
  if constexpr (kBulk<T>) {
    const size_t start = r.offset();
    out.resize(count);
    if (!r.bytes(out.data(), count * sizeof(T))) return false;
    return check_finite(r, out.data(), count, start);
  } else {
    // Elements larger in memory than in the input grow the list as they are read, so that a
    // count the input cannot back reserves little.
    out.reserve(count < 1024 ? count : 1024);
    for (uint64_t i = 0; i < count; ++i) {
      T element{};
      if (!Codec<T>::read(r, element)) return false;
      out.push_back(std::move(element));
    }
    return true;
  }
}

template <class T>
size_t min_bytes() {
  if constexpr (kBulk<T>) {
    return sizeof(T);
  } else {
    return 1;
  }
}

template <class T, class A>
struct Codec<std::vector<T, A>> {
  static void write(Writer& w, const std::vector<T, A>& v) {
    w.u64(v.size());
    if constexpr (kBulk<T>) {
      w.bytes(v.data(), v.size() * sizeof(T));
    } else {
      for (const auto& e : v) Codec<T>::write(w, static_cast<const T&>(e));
    }
  }
  static bool read(Reader& r, std::vector<T, A>& v) {
    uint64_t n = 0;
    if (!r.count(n, min_bytes<T>())) return false;
    return read_elements<T>(r, v, n);
  }
};

template <class T, size_t N>
struct Codec<std::array<T, N>> {
  static void write(Writer& w, const std::array<T, N>& v) {
    for (const auto& e : v) Codec<T>::write(w, e);
  }
  static bool read(Reader& r, std::array<T, N>& v) {
    for (auto& e : v) {
      if (!Codec<T>::read(r, e)) return false;
    }
    return true;
  }
};

template <json::Record T>
struct Codec<T> {
  static void write(Writer& w, const T& v) {
    T::json_fields(v, [&](std::string_view, const auto& member) { bin::write(w, member); });
  }
  static bool read(Reader& r, T& v) {
    bool ok = true;
    T::json_fields(v, [&](std::string_view, auto&& member) { ok = ok && bin::read(r, member); });
    return ok;
  }
};

template <>
struct Codec<Xoshiro256PlusPlus> {
  static void write(Writer& w, const Xoshiro256PlusPlus& g) { bin::write(w, g.s); }
  static bool read(Reader& r, Xoshiro256PlusPlus& g) { return bin::read(r, g.s); }
};

// A float that JSON reads back from null as +infinity: finite values and +infinity.
template <class D>
struct Codec<json::NullAsInfinity<D>> {
  static void write(Writer& w, const json::NullAsInfinity<D>& v) { w.f64(v.value); }
  static bool read(Reader& r, const json::NullAsInfinity<D>& v) {
    const size_t at = r.offset();
    if (!r.raw(v.value)) return false;
    if (std::isfinite(v.value) || v.value == std::numeric_limits<double>::infinity()) return true;
    return r.fail_at(at, "invalid value: a float that is neither finite nor +infinity");
  }
};

// u64 rows, u64 columns, then rows x columns elements; the JSON form's "v" is implied.
template <class T>
struct Codec<json::Matrix<T>> {
  static void write(Writer& w, const json::Matrix<T>& m) {
    w.u64(m.rows);
    w.u64(m.cols);
    w.bytes(m.data.data(), m.data.size() * sizeof(T));
  }
  static bool read(Reader& r, json::Matrix<T>& m) {
    uint64_t rows = 0, cols = 0;
    if (!r.raw(rows) || !r.raw(cols)) return false;
    uint64_t cells = 0;
    if (__builtin_mul_overflow(rows, cols, &cells) || cells > r.remaining() / sizeof(T)) {
      return r.fail("data and dimension must match in size");
    }
    if (!read_elements<T>(r, m.data, cells)) return false;
    m.rows = rows;
    m.cols = cols;
    return true;
  }
};

// Reads the whole payload as one T.
template <class T>
Result<T> parse_state(std::string_view data, StateKind kind, std::string_view prefix) {
  auto payload = open_payload(data, kind, prefix);
  if (!payload) return fail(payload.error());
  Reader r(*payload);
  T value{};
  if (!read(r, value) || !r.finish()) {
    return fail(DetectorError::invalid_argument(std::string(prefix) + r.error()));
  }
  return value;
}

// A consistency refusal of the shared checks names the JSON format; from bytes it names bytes.
DetectorError rename_refusal(DetectorError e, std::string_view json_prefix,
                             std::string_view bytes_prefix);

// A detector from a binary state: the payload decoded as a T, then `build` (the detector's own
// checks, the ones its JSON state passes, taking the Result<T>).
template <class T, class Build>
auto load_state(std::string_view data, StateKind kind, std::string_view json_prefix,
                std::string_view bytes_prefix, Build&& build) {
  auto loaded = build(parse_state<T>(data, kind, bytes_prefix));
  if (!loaded) loaded = fail(rename_refusal(loaded.error(), json_prefix, bytes_prefix));
  return loaded;
}

template <class T>
struct BytesOf {};

// Reserves what the last state of the same type took, so that a large state is not copied
// through a chain of doublings.
template <class T>
std::string write_state(const T& value, StateKind kind) {
  Writer w(kind, json::SizeHint<BytesOf<T>>::get());
  write(w, value);
  std::string out = w.finish();
  json::SizeHint<BytesOf<T>>::set(out.size());
  return out;
}

}  // namespace quillon::bin
