// Saved-state conventions: how each C++ type is written to and read from JSON. A record declares
// its fields once (kJsonName + json_fields) and the same declaration drives writer and reader, so
// field names and order cannot drift apart.
//
//   struct Config {
//     uint64_t input_dim = 0;
//     double alpha = 0.0;
//     static constexpr std::string_view kJsonName = "Config";
//     template <class Self, class Field>
//     static void json_fields(Self& self, Field&& field) {
//       field("input_dim", self.input_dim);
//       field("alpha", self.alpha);
//     }
//   };
//
// Records read from objects (any key order, unknown keys skipped, duplicates refused, missing
// required fields refused; std::optional fields may be missing) or from arrays in field order.
#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "detector_error.hpp"
#include "float_format.hpp"
#include "json_reader.hpp"
#include "rng.hpp"

namespace quillon::json {

class Writer {
 public:
  Writer() { out_.reserve(128); }
  void reserve(size_t bytes) { out_.reserve(bytes); }
  void put(char c) { out_.push_back(c); }
  void put(std::string_view s) { out_.append(s); }
  void key(std::string_view name, bool first) {
    if (!first) out_.push_back(',');
    out_.push_back('"');
    out_.append(name);
    out_.append("\":");
  }
  void u64(uint64_t v);
  void i64(int64_t v);
  void f64(double v) { append_f64(out_, v); }
  void f32(float v) { append_f32(out_, v); }
  void boolean(bool v) { out_.append(v ? "true" : "false"); }
  void null() { out_.append("null"); }
  void string(std::string_view s);
  std::string& text() { return out_; }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

template <class T, class Enable = void>
struct Codec;

template <class T>
concept Record = requires { T::kJsonName; };

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};

template <class T>
void write(Writer& w, const T& v) {
  Codec<T>::write(w, v);
}
template <class T>
bool read(Reader& r, T& v) {
  return Codec<T>::read(r, v);
}

template <>
struct Codec<uint64_t> {
  static void write(Writer& w, uint64_t v) { w.u64(v); }
  static bool read(Reader& r, uint64_t& v) { return r.read_u64(v); }
};
template <>
struct Codec<int64_t> {
  static void write(Writer& w, int64_t v) { w.i64(v); }
  static bool read(Reader& r, int64_t& v) { return r.read_i64(v); }
};
template <>
struct Codec<uint32_t> {
  static void write(Writer& w, uint32_t v) { w.u64(v); }
  static bool read(Reader& r, uint32_t& v) {
    uint64_t wide = 0;
    if (!r.read_u64(wide, "u32")) return false;
    if (wide > UINT32_MAX) return r.invalid_value("integer `" + std::to_string(wide) + "`", "u32");
    v = static_cast<uint32_t>(wide);
    return true;
  }
};
template <>
struct Codec<double> {
  static void write(Writer& w, double v) { w.f64(v); }
  static bool read(Reader& r, double& v) { return r.read_f64(v); }
};
template <>
struct Codec<float> {
  static void write(Writer& w, float v) { w.f32(v); }
  static bool read(Reader& r, float& v) { return r.read_f32(v); }
};
template <>
struct Codec<bool> {
  static void write(Writer& w, bool v) { w.boolean(v); }
  static bool read(Reader& r, bool& v) { return r.read_bool(v); }
};
template <>
struct Codec<std::string> {
  static void write(Writer& w, const std::string& v) { w.string(v); }
  static bool read(Reader& r, std::string& v) { return r.read_string(v); }
};

template <class T>
struct Codec<std::optional<T>> {
  static void write(Writer& w, const std::optional<T>& v) {
    if (v) {
      Codec<T>::write(w, *v);
    } else {
      w.null();
    }
  }
  static bool read(Reader& r, std::optional<T>& v) {
    if (r.take_null()) {
      v.reset();
      return true;
    }
    if (r.failed()) return false;
    v.emplace();
    return Codec<T>::read(r, *v);
  }
};

template <class T>
struct Codec<std::vector<T>> {
  static void write(Writer& w, const std::vector<T>& v) {
    w.put('[');
    bool first = true;
    for (const auto& e : v) {
      if (!first) w.put(',');
      first = false;
      Codec<T>::write(w, static_cast<const T&>(e));
    }
    w.put(']');
  }
  static bool read(Reader& r, std::vector<T>& v) {
    v.clear();
    if (!r.begin_seq("a sequence")) return false;
    bool has = false;
    while (r.seq_next(has) && has) {
      T element{};
      if (!Codec<T>::read(r, element)) return false;
      v.push_back(std::move(element));
    }
    return !r.failed();
  }
};

template <class T, size_t N>
struct Codec<std::array<T, N>> {
  static void write(Writer& w, const std::array<T, N>& v) {
    w.put('[');
    for (size_t i = 0; i < N; ++i) {
      if (i != 0) w.put(',');
      Codec<T>::write(w, v[i]);
    }
    w.put(']');
  }
  static bool read(Reader& r, std::array<T, N>& v) {
    const std::string expected = "an array of length " + std::to_string(N);
    if (!r.begin_seq(expected)) return false;
    bool has = false;
    for (size_t i = 0; i < N; ++i) {
      if (!r.seq_next(has)) return false;
      if (!has) return r.invalid_length(i, expected);
      if (!Codec<T>::read(r, v[i])) return false;
    }
    return r.end_seq_exact(N, expected);
  }
};

// Record bodies, shared by plain records and enum variants ("struct variant Node::Leaf").
template <class T>
size_t record_field_count() {
  size_t n = 0;
  T probe{};
  T::json_fields(probe, [&](std::string_view, auto&&) { ++n; });
  return n;
}

template <class T>
void write_record(Writer& w, const T& v) {
  w.put('{');
  bool first = true;
  T::json_fields(v, [&](std::string_view name, const auto& member) {
    w.key(name, first);
    first = false;
    write(w, member);
  });
  w.put('}');
}

// `what` is "struct Name" or "struct variant Enum::Name".
template <class T>
bool read_record(Reader& r, T& v, std::string_view what) {
  if (r.failed()) return false;
  const int c = r.peek();
  if (c == '[') {
    const size_t n = record_field_count<T>();
    const std::string expected =
        std::string(what) + " with " + std::to_string(n) + (n == 1 ? " element" : " elements");
    r.begin_seq(expected);
    size_t index = 0;
    bool ok = !r.failed();
    T::json_fields(v, [&](std::string_view, auto&& member) {
      if (!ok) return;
      bool has = false;
      if (!r.seq_next(has)) {
        ok = false;
      } else if (!has) {
        ok = r.invalid_length(index, expected);
      } else {
        ok = read(r, member);
      }
      ++index;
    });
    return ok && r.end_seq_exact(n, expected);
  }
  if (!r.begin_map(what)) return false;
  uint64_t seen = 0;
  bool has = false;
  std::string_view key;
  while (r.map_next_key(has, key) && has) {
    size_t index = 0;
    bool matched = false;
    bool ok = true;
    T::json_fields(v, [&](std::string_view name, auto&& member) {
      if (!matched && name == key) {
        matched = true;
        if (seen & (uint64_t{1} << index)) {
          ok = r.fail_here("duplicate field `" + std::string(name) + "`");
        } else {
          seen |= uint64_t{1} << index;
          ok = r.map_colon() && read(r, member);
        }
      }
      ++index;
    });
    if (!matched) ok = r.map_colon() && r.skip_value();
    if (!ok) return false;
  }
  if (r.failed()) return false;
  size_t index = 0;
  bool ok = true;
  T::json_fields(v, [&](std::string_view name, auto&& member) {
    using M = std::remove_cvref_t<decltype(member)>;
    if (ok && !(seen & (uint64_t{1} << index))) {
      if constexpr (is_optional<M>::value) {
        member.reset();
      } else {
        ok = r.fail_here("missing field `" + std::string(name) + "`");
      }
    }
    ++index;
  });
  return ok;
}

template <Record T>
struct Codec<T> {
  static void write(Writer& w, const T& v) { write_record(w, v); }
  static bool read(Reader& r, T& v) {
    return read_record(r, v, "struct " + std::string(T::kJsonName));
  }
};

template <>
struct Codec<Xoshiro256PlusPlus> {
  struct View {
    std::array<uint64_t, 4> s;
    static constexpr std::string_view kJsonName = "Xoshiro256PlusPlus";
    template <class Self, class Field>
    static void json_fields(Self& self, Field&& field) {
      field("s", self.s);
    }
  };
  static void write(Writer& w, const Xoshiro256PlusPlus& g) { write_record(w, View{g.s}); }
  static bool read(Reader& r, Xoshiro256PlusPlus& g) {
    View v{};
    if (!read_record(r, v, "struct Xoshiro256PlusPlus")) return false;
    g.s = v.s;
    return true;
  }
};

// A non-negative 64-bit float that can overflow to +infinity (a sum of widths): written as null
// by the float convention and read back from null as +infinity, so such a state still loads.
template <class D>
struct NullAsInfinity {
  D& value;
};
template <class D>
NullAsInfinity<D> null_as_infinity(D& value) {
  return {value};
}
template <class D>
struct Codec<NullAsInfinity<D>> {
  static void write(Writer& w, const NullAsInfinity<D>& v) { w.f64(v.value); }
  static bool read(Reader& r, const NullAsInfinity<D>& v) {
    if (r.take_null()) {
      v.value = std::numeric_limits<double>::infinity();
      return true;
    }
    return !r.failed() && r.read_f64(v.value);
  }
};

// A row-major matrix written as {"v":1,"dim":[rows,cols],"data":[...]}.
template <class T>
struct Matrix {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::vector<T> data;
};

template <class T>
struct Codec<Matrix<T>> {
  static void write(Writer& w, const Matrix<T>& m) {
    w.put("{\"v\":1,\"dim\":[");
    w.u64(m.rows);
    w.put(',');
    w.u64(m.cols);
    w.put("],\"data\":");
    Codec<std::vector<T>>::write(w, m.data);
    w.put('}');
  }
  static bool read(Reader& r, Matrix<T>& m) {
    std::array<uint64_t, 2> dim{};
    uint64_t version = 0;
    bool have[3] = {false, false, false};
    if (r.peek() == '[') {
      const std::string expected = "struct Array with 3 elements";
      if (!r.begin_seq(expected)) return false;
      bool has = false;
      for (int i = 0; i < 3; ++i) {
        if (!r.seq_next(has)) return false;
        if (!has) return r.invalid_length(static_cast<size_t>(i), expected);
        if (i == 0 && !read_version(r, version)) return false;
        if (i == 1 && !json::read(r, dim)) return false;
        if (i == 2 && !json::read(r, m.data)) return false;
      }
      if (!r.end_seq_exact(3, expected)) return false;
      return check_size(r, m, dim);
    }
    if (!r.begin_map("struct Array")) return false;
    bool has = false;
    std::string_view key;
    while (r.map_next_key(has, key) && has) {
      int index = key == "v" ? 0 : key == "dim" ? 1 : key == "data" ? 2 : -1;
      if (index < 0) {
        return r.fail_here("unknown field `" + std::string(key) +
                           "`, expected one of `v`, `dim`, `data`");
      }
      if (have[index]) return r.fail_here("duplicate field `" + std::string(key) + "`");
      have[index] = true;
      if (!r.map_colon()) return false;
      if (index == 0 && !read_version(r, version)) return false;
      if (index == 1 && !json::read(r, dim)) return false;
      if (index == 2 && !json::read(r, m.data)) return false;
    }
    if (r.failed()) return false;
    static constexpr const char* kNames[3] = {"v", "dim", "data"};
    for (int i = 0; i < 3; ++i) {
      if (!have[i]) return r.fail_here(std::string("missing field `") + kNames[i] + "`");
    }
    return check_size(r, m, dim);
  }

 private:
  static bool read_version(Reader& r, uint64_t& version) {
    if (!r.read_u64(version, "u8")) return false;
    if (version != 1) return r.fail_here("unknown array version: " + std::to_string(version));
    return true;
  }
  static bool check_size(Reader& r, Matrix<T>& m, const std::array<uint64_t, 2>& dim) {
    const unsigned __int128 cells = static_cast<unsigned __int128>(dim[0]) * dim[1];
    if (cells != m.data.size()) return r.fail_here("data and dimension must match in size");
    m.rows = dim[0];
    m.cols = dim[1];
    return true;
  }
};

// Write-only views for states held shorter in memory than they are saved: the first elements (or
// rows) come from the vector, the rest up to `length` (or `rows`) are `fill` (or zeros).
template <class T>
struct PaddedList {
  const std::vector<T>* values = nullptr;
  uint64_t length = 0;
  T fill{};
};

template <class T>
struct Codec<PaddedList<T>> {
  static void write(Writer& w, const PaddedList<T>& v) {
    w.put('[');
    for (uint64_t i = 0; i < v.length; ++i) {
      if (i != 0) w.put(',');
      const T e = i < v.values->size() ? static_cast<T>((*v.values)[i]) : v.fill;
      Codec<T>::write(w, e);
    }
    w.put(']');
  }
};

template <class T>
struct PaddedMatrix {
  const Matrix<T>* matrix = nullptr;
  uint64_t rows = 0;
};

template <class T>
struct Codec<PaddedMatrix<T>> {
  static void write(Writer& w, const PaddedMatrix<T>& m) {
    w.put("{\"v\":1,\"dim\":[");
    w.u64(m.rows);
    w.put(',');
    w.u64(m.matrix->cols);
    w.put("],\"data\":");
    Codec<PaddedList<T>>::write(w, {&m.matrix->data, m.rows * m.matrix->cols, T{}});
    w.put('}');
  }
};

// Reads one top-level record and nothing but white space after it. A failure is an
// InvalidArgument whose message is `prefix` followed by the reader's error text.
template <class T>
Result<T> parse_state(std::string_view text, std::string_view prefix) {
  Reader r(text);
  T value{};
  if (!read(r, value) || !r.finish()) {
    return fail(DetectorError::invalid_argument(std::string(prefix) + r.error()));
  }
  return value;
}

// Remembers how long the last text written for T was, so that the next write reserves it at once
// instead of copying a multi-megabyte state through a chain of doublings.
template <class T>
class SizeHint {
 public:
  static size_t get() { return last_.load(std::memory_order_relaxed); }
  static void set(size_t bytes) { last_.store(bytes + bytes / 16, std::memory_order_relaxed); }

 private:
  static inline std::atomic<size_t> last_{128};
};

template <class T>
std::string write_state(const T& value) {
  Writer w;
  w.reserve(SizeHint<T>::get());
  write(w, value);
  SizeHint<T>::set(w.text().size());
  return w.take();
}

}  // namespace quillon::json
