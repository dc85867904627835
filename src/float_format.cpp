#include "float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace quillon {
namespace {

// Plain notation for every exponent a double can have (the buffer holds the widest).
constexpr int kNoLimit = 330;

// `sci` is to_chars' shortest scientific text ("-1.2345e+06"); its digits are laid out again in a
// stack buffer and appended once (this runs for every float of a saved state).
void lay_out(std::string& out, const char* sci, const char* sci_end, int plain_low, int plain_high) {
  char buf[400];
  char* w = buf;
  const char* p = sci;
  if (*p == '-') *w++ = *p++;
  char digits[24];
  size_t n = 0;
  for (; p < sci_end && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // exponent sign, always written by to_chars
  int magnitude = 0;
  for (; p < sci_end; ++p) magnitude = magnitude * 10 + (*p - '0');
  const int exponent = negative_exponent ? -magnitude : magnitude;
  if (exponent >= plain_low && exponent <= plain_high) {
    if (exponent >= 0) {
      const size_t int_len = static_cast<size_t>(exponent) + 1;
      if (n <= int_len) {
        std::memcpy(w, digits, n);
        w += n;
        std::memset(w, '0', int_len - n);
        w += int_len - n;
        *w++ = '.';
        *w++ = '0';
      } else {
        std::memcpy(w, digits, int_len);
        w += int_len;
        *w++ = '.';
        std::memcpy(w, digits + int_len, n - int_len);
        w += n - int_len;
      }
    } else {
      *w++ = '0';
      *w++ = '.';
      const size_t zeros = static_cast<size_t>(-exponent - 1);
      std::memset(w, '0', zeros);
      w += zeros;
      std::memcpy(w, digits, n);
      w += n;
    }
    out.append(buf, w);
    return;
  }
  *w++ = digits[0];
  if (n > 1) {
    *w++ = '.';
    std::memcpy(w, digits + 1, n - 1);
    w += n - 1;
  }
  *w++ = 'e';
  *w++ = negative_exponent ? '-' : '+';
  w = std::to_chars(w, buf + sizeof buf, magnitude).ptr;
  out.append(buf, w);
}

template <class F>
void append_float(std::string& out, F v, int plain_low, int plain_high) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  lay_out(out, buf, res.ptr, plain_low, plain_high);
}

}  // namespace

void append_f64(std::string& out, double v) { append_float(out, v, -5, 15); }

void append_f32(std::string& out, float v) { append_float(out, v, -6, 12); }

std::string format_plain_decimal(double v) {
  std::string out;
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  append_float(out, v, -kNoLimit, kNoLimit);
  // An integral value is written without a fractional part ("2", not "2.0").
  if (out.size() > 2 && out.compare(out.size() - 2, 2, ".0") == 0) out.resize(out.size() - 2);
  return out;
}

}  // namespace quillon
