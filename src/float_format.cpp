#include "float_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace quillon {
namespace {

constexpr int kNoLimit = 100000;

// `sci` is to_chars' shortest scientific text ("-1.2345e+06"); re-lay its digits.
void lay_out(std::string& out, std::string_view sci, int plain_low, int plain_high) {
  if (!sci.empty() && sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e_pos = sci.find('e');
  const std::string_view mantissa = sci.substr(0, e_pos);
  int exponent = 0;
  std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+' ? 1 : 0), sci.data() + sci.size(),
                  exponent);
  char digits[32];
  size_t n = 0;
  for (char c : mantissa) {
    if (c != '.') digits[n++] = c;
  }
  const std::string_view d(digits, n);
  if (exponent >= plain_low && exponent <= plain_high) {
    if (exponent >= 0) {
      const size_t int_len = static_cast<size_t>(exponent) + 1;
      if (n <= int_len) {
        out.append(d);
        out.append(int_len - n, '0');
        out.append(".0");
      } else {
        out.append(d.substr(0, int_len));
        out.push_back('.');
        out.append(d.substr(int_len));
      }
    } else {
      out.append("0.");
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out.append(d);
    }
    return;
  }
  out.push_back(d[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(d.substr(1));
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  char exp_buf[8];
  const auto res = std::to_chars(exp_buf, exp_buf + sizeof exp_buf, std::abs(exponent));
  out.append(exp_buf, res.ptr);
}

template <class F>
void append_float(std::string& out, F v, int plain_low, int plain_high) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  lay_out(out, std::string_view(buf, static_cast<size_t>(res.ptr - buf)), plain_low, plain_high);
}

}  // namespace

void append_f64(std::string& out, double v) { append_float(out, v, -5, 15); }

void append_f32(std::string& out, float v) { append_float(out, v, -6, 12); }

std::string format_plain_decimal(double v) {
  std::string out;
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  append_float(out, v, -kNoLimit, kNoLimit);
  return out;
}

}  // namespace quillon
