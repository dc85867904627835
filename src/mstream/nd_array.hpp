// A dense row-major array of fixed rank, saved as {"v":1,"dim":[...],"data":[...]}. The sketches
// hold 1-D, 2-D and 3-D arrays; the reader guarantees data.size() equals the product of dim.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "binary_codec.hpp"
#include "json_codec.hpp"

namespace quillon::mstream {

template <class T, size_t N>
struct NdArray {
  std::array<uint64_t, N> dim{};
  std::vector<T> data;

  static NdArray filled(const std::array<uint64_t, N>& shape, T value) {
    NdArray a;
    a.dim = shape;
    size_t cells = 1;
    for (uint64_t d : shape) cells *= static_cast<size_t>(d);
    a.data.assign(cells, value);
    return a;
  }

  friend bool operator==(const NdArray&, const NdArray&) = default;
};

// "[2, 1024]", for consistency messages.
template <size_t N>
std::string format_dim(const std::array<uint64_t, N>& dim) {
  std::string s = "[";
  for (size_t i = 0; i < N; ++i) {
    if (i != 0) s += ", ";
    s += std::to_string(dim[i]);
  }
  s += ']';
  return s;
}

}  // namespace quillon::mstream

namespace quillon::json {

template <class T, size_t N>
struct Codec<mstream::NdArray<T, N>> {
  using Array = mstream::NdArray<T, N>;

  static void write(Writer& w, const Array& a) {
    w.put("{\"v\":1,\"dim\":");
    Codec<std::array<uint64_t, N>>::write(w, a.dim);
    w.put(",\"data\":");
    Codec<std::vector<T>>::write(w, a.data);
    w.put('}');
  }

  static bool read(Reader& r, Array& a) {
    std::array<uint64_t, N> dim{};
    if (r.failed()) return false;
    if (r.peek() == '[') {
      const std::string expected = "struct Array with 3 elements";
      if (!r.begin_seq(expected)) return false;
      bool has = false;
      for (size_t i = 0; i < 3; ++i) {
        if (!r.seq_next(has)) return false;
        if (!has) return r.invalid_length(i, expected);
        if (!read_part(r, i, dim, a)) return false;
      }
      if (!r.end_seq_exact(3, expected)) return false;
      return check_size(r, dim, a);
    }
    if (!r.begin_map("struct Array")) return false;
    bool have[3] = {false, false, false};
    bool has = false;
    std::string_view key;
    while (r.map_next_key(has, key) && has) {
      const int index = key == "v" ? 0 : key == "dim" ? 1 : key == "data" ? 2 : -1;
      if (index < 0) {
        return r.fail_here("unknown field `" + std::string(key) +
                           "`, expected one of `v`, `dim`, `data`");
      }
      if (have[index]) return r.fail_here("duplicate field `" + std::string(key) + "`");
      have[index] = true;
      if (!r.map_colon() || !read_part(r, static_cast<size_t>(index), dim, a)) return false;
    }
    if (r.failed()) return false;
    static constexpr const char* kNames[3] = {"v", "dim", "data"};
    for (int i = 0; i < 3; ++i) {
      if (!have[i]) return r.fail_here(std::string("missing field `") + kNames[i] + "`");
    }
    return check_size(r, dim, a);
  }

 private:
  static bool read_part(Reader& r, size_t index, std::array<uint64_t, N>& dim, Array& a) {
    if (index == 0) {
      uint64_t version = 0;
      if (!r.read_u64(version, "u8")) return false;
      if (version != 1) return r.fail_here("unknown array version: " + std::to_string(version));
      return true;
    }
    if (index == 1) return Codec<std::array<uint64_t, N>>::read(r, dim);
    return Codec<std::vector<T>>::read(r, a.data);
  }

  // The product of the dimensions, computed without wrapping: an overflowing product can never
  // equal the length of a vector that was actually read.
  static bool check_size(Reader& r, const std::array<uint64_t, N>& dim, Array& a) {
    bool zero = false;
    for (uint64_t d : dim) zero = zero || d == 0;
    uint64_t cells = zero ? 0 : 1;
    bool overflow = false;
    if (!zero) {
      for (uint64_t d : dim) overflow = overflow || __builtin_mul_overflow(cells, d, &cells);
    }
    if (overflow || cells != a.data.size()) {
      return r.fail_here("data and dimension must match in size");
    }
    a.dim = dim;
    return true;
  }
};

}  // namespace quillon::json

namespace quillon::bin {

// The dimensions, then the data as a list; their agreement is checked as in JSON.
template <class T, size_t N>
struct Codec<mstream::NdArray<T, N>> {
  static void write(Writer& w, const mstream::NdArray<T, N>& a) {
    bin::write(w, a.dim);
    bin::write(w, a.data);
  }
  static bool read(Reader& r, mstream::NdArray<T, N>& a) {
    std::array<uint64_t, N> dim{};
    if (!bin::read(r, dim) || !bin::read(r, a.data)) return false;
    uint64_t cells = 1;
    bool overflow = false;
    for (uint64_t d : dim) overflow = overflow || __builtin_mul_overflow(cells, d, &cells);
    for (uint64_t d : dim) cells = d == 0 ? 0 : cells;
    if ((overflow && cells != 0) || cells != a.data.size()) {
      return r.fail("data and dimension must match in size");
    }
    a.dim = dim;
    return true;
  }
};

}  // namespace quillon::bin
