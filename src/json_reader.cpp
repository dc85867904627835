#include "json_reader.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>

#include "float_format.hpp"

namespace quillon::json {
namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

std::string backticked(std::string_view kind, std::string_view text) {
  std::string s(kind);
  s += " `";
  s += text;
  s += '`';
  return s;
}

}  // namespace

bool Reader::fail_at(size_t consumed, std::string_view message) {
  if (failed_) return false;
  failed_ = true;
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < consumed && i < text_.size(); ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  error_.assign(message);
  error_ += " at line " + std::to_string(line) + " column " + std::to_string(consumed - line_start);
  return false;
}

bool Reader::fail_here(std::string_view message) { return fail_at(pos_, message); }

bool Reader::fail_peek(std::string_view message) {
  return fail_at(pos_ < text_.size() ? pos_ + 1 : pos_, message);
}

bool Reader::fail_nopos(std::string_view message) {
  if (failed_) return false;
  failed_ = true;
  error_.assign(message);
  return false;
}

bool Reader::invalid_type_here(std::string_view unexpected, std::string_view expected) {
  std::string m = "invalid type: ";
  m += unexpected;
  m += ", expected ";
  m += expected;
  return fail_here(m);
}

bool Reader::invalid_length(size_t len, std::string_view expected) {
  std::string m = "invalid length " + std::to_string(len) + ", expected ";
  m += expected;
  return fail_here(m);
}

bool Reader::invalid_value(std::string_view unexpected, std::string_view expected) {
  std::string m = "invalid value: ";
  m += unexpected;
  m += ", expected ";
  m += expected;
  return fail_here(m);
}

bool Reader::enter() {
  if (++depth_ >= kMaxDepth) return fail_peek("recursion limit exceeded");
  return true;
}

bool Reader::parse_ident(std::string_view rest) {
  ++pos_;  // the first letter was peeked
  for (char expected : rest) {
    if (pos_ >= text_.size()) return fail_here("EOF while parsing a value");
    if (text_[pos_] != expected) {
      ++pos_;
      return fail_here("expected ident");
    }
    ++pos_;
  }
  return true;
}

bool Reader::parse_number(Number& n) {
  n = Number{};
  n.start = pos_;
  const size_t size = text_.size();
  const char* t = text_.data();
  if (t[pos_] == '-') {
    n.negative = true;
    ++pos_;
  }
  if (pos_ >= size) return fail_here("EOF while parsing a value");
  const int first = static_cast<unsigned char>(t[pos_]);
  if (!is_digit(first)) return fail_peek("invalid number");
  uint64_t magnitude = 0;
  bool fits = true;
  int digits = 0;  // significant digits accumulated into `magnitude` (leading zeros excluded)
  int64_t exponent = 0;
  if (first == '0') {
    ++pos_;
    if (pos_ < size && is_digit(t[pos_])) return fail_peek("invalid number");
  } else {
    while (pos_ < size && is_digit(t[pos_])) {
      const uint64_t d = static_cast<uint64_t>(t[pos_] - '0');
      if (magnitude > (UINT64_MAX - d) / 10) fits = false;
      magnitude = magnitude * 10 + d;
      ++digits;
      ++pos_;
    }
  }
  bool integer = true;
  uint64_t significand = magnitude;
  if (pos_ < size && t[pos_] == '.') {
    integer = false;
    ++pos_;
    if (pos_ >= size) return fail_here("EOF while parsing a value");
    if (!is_digit(t[pos_])) return fail_peek("invalid number");
    while (pos_ < size && is_digit(t[pos_])) {
      if (digits < 19) {
        significand = significand * 10 + static_cast<uint64_t>(t[pos_] - '0');
        if (significand != 0) ++digits;
        --exponent;
      } else {
        digits = 20;  // too many digits for the fast path
      }
      ++pos_;
    }
  }
  if (pos_ < size && (t[pos_] == 'e' || t[pos_] == 'E')) {
    integer = false;
    ++pos_;
    bool negative_exp = false;
    if (pos_ < size && (t[pos_] == '+' || t[pos_] == '-')) negative_exp = t[pos_++] == '-';
    if (pos_ >= size) return fail_here("EOF while parsing a value");
    if (!is_digit(t[pos_])) return fail_peek("invalid number");
    int64_t e = 0;
    while (pos_ < size && is_digit(t[pos_])) {
      if (e < 100000) e = e * 10 + (t[pos_] - '0');
      ++pos_;
    }
    exponent += negative_exp ? -e : e;
  }
  n.is_integer = integer;
  n.fits = integer && fits;
  n.magnitude = magnitude;
  n.significand = significand;
  n.exponent = exponent;
  n.exact = fits && digits <= 19;
  n.end = pos_;
  return true;
}

bool Reader::fast_double(const Number& n, double& out) {
  // Clinger's fast path: an exact significand below 2^53 and an exact power of ten give a
  // correctly rounded result in one IEEE operation.
  static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (!n.exact || n.significand > (uint64_t{1} << 53) || n.exponent < -22 || n.exponent > 22) {
    return false;
  }
  const double m = static_cast<double>(n.significand);
  double v = n.exponent >= 0 ? m * kPow10[n.exponent] : m / kPow10[-n.exponent];
  out = n.negative ? -v : v;
  return true;
}

bool Reader::number_to_double(const Number& n, double& out) {
  if (fast_double(n, out)) return true;
  const char* begin = text_.data() + n.start;
  const char* end = text_.data() + n.end;
  const auto res = std::from_chars(begin, end, out);
  if (res.ec == std::errc::result_out_of_range) {
    // Underflow reads as zero of the right sign; overflow is refused.
    bool tiny = false;
    for (const char* p = begin; p < end; ++p) {
      if (*p == 'e' || *p == 'E') {
        tiny = p + 1 < end && p[1] == '-';
        break;
      }
    }
    if (!tiny) return fail_here("number out of range");
    out = n.negative ? -0.0 : 0.0;
    return true;
  }
  return res.ec == std::errc() || fail_here("invalid number");
}

bool Reader::parse_string_raw(std::string_view& raw, bool& has_escape) {
  ++pos_;  // opening quote
  const size_t start = pos_;
  has_escape = false;
  while (true) {
    if (pos_ >= text_.size()) return fail_here("EOF while parsing a string");
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      raw = text_.substr(start, pos_ - start);
      ++pos_;
      return true;
    }
    if (c == '\\') {
      has_escape = true;
      ++pos_;
      if (pos_ >= text_.size()) return fail_here("EOF while parsing a string");
      const char e = text_[pos_];
      if (e == 'u') {
        for (int i = 0; i < 4; ++i) {
          ++pos_;
          if (pos_ >= text_.size()) return fail_here("EOF while parsing a string");
          const char h = text_[pos_];
          const bool hex = is_digit(h) || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F');
          if (!hex) {
            ++pos_;
            return fail_here("invalid escape");
          }
        }
      } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                 e != 'r' && e != 't') {
        ++pos_;
        return fail_here("invalid escape");
      }
      ++pos_;
      continue;
    }
    if (c < 0x20) {
      ++pos_;
      return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
    ++pos_;
  }
}

bool Reader::unescape(std::string_view raw, std::string& out) {
  out.clear();
  auto hex4 = [&](size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) {
      const char h = raw[at + i];
      v = v * 16 + static_cast<uint32_t>(is_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
    }
    return v;
  };
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    const char e = raw[++i];
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        uint32_t cp = hex4(i + 1);
        i += 4;
        if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_here("lone leading surrogate in hex escape");
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          if (i + 6 >= raw.size() + 0 || raw[i + 1] != '\\' || raw[i + 2] != 'u') {
            return fail_here("unexpected end of hex escape");
          }
          const uint32_t low = hex4(i + 3);
          if (low < 0xDC00 || low > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          i += 6;
        }
        if (cp < 0x80) {
          out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
          out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
          out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
          out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
          out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
          out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
          out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
          out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
          out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
          out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
        break;
      }
      default: out.push_back(e); break;  // '"', '\\', '/'
    }
  }
  return true;
}

bool Reader::fail_invalid_type(std::string_view expected) {
  if (failed_) return false;
  const int c = peek();
  switch (c) {
    case -1: return fail_here("EOF while parsing a value");
    case '[': return invalid_type_here("sequence", expected);
    case '{': return invalid_type_here("map", expected);
    case 'n': return parse_ident("ull") && invalid_type_here("null", expected);
    case 't': return parse_ident("rue") && invalid_type_here("boolean `true`", expected);
    case 'f': return parse_ident("alse") && invalid_type_here("boolean `false`", expected);
    case '"': {
      std::string_view raw;
      bool esc = false;
      if (!parse_string_raw(raw, esc)) return false;
      std::string s;
      if (esc && !unescape(raw, s)) return false;
      std::string what = "string \"";
      what += esc ? std::string_view(s) : raw;
      what += '"';
      return invalid_type_here(what, expected);
    }
    default: break;
  }
  if (c == '-' || is_digit(c)) {
    Number n;
    if (!parse_number(n)) return false;
    const std::string_view literal = text_.substr(n.start, n.end - n.start);
    if (n.is_integer && n.fits) return invalid_type_here(backticked("integer", literal), expected);
    double d = 0;
    if (!number_to_double(n, d)) return false;
    std::string shown;
    append_f64(shown, d);
    return invalid_type_here(backticked("floating point", shown), expected);
  }
  return fail_peek("expected value");
}

bool Reader::expect_number(Number& n, std::string_view expected) {
  if (failed_) return false;
  const int c = peek();
  if (c != '-' && !is_digit(c)) return fail_invalid_type(expected);
  return parse_number(n);
}

// A number that is not an integer of 64 bits is reported as the value it is; one out of the
// field's range as an invalid value.
bool Reader::integer_refused(const Number& n, std::string_view expected) {
  if (n.is_integer && n.fits) {
    return invalid_value(backticked("integer", text_.substr(n.start, n.end - n.start)), expected);
  }
  pos_ = n.start;
  return fail_invalid_type(expected);
}

bool Reader::read_u64(uint64_t& out, std::string_view expected) {
  Number n;
  if (!expect_number(n, expected)) return false;
  if (!n.is_integer || !n.fits || (n.negative && n.magnitude != 0)) {
    return integer_refused(n, expected);
  }
  out = n.magnitude;
  return true;
}

bool Reader::read_i64(int64_t& out, std::string_view expected) {
  Number n;
  if (!expect_number(n, expected)) return false;
  const uint64_t limit = n.negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
  if (!n.is_integer || !n.fits || n.magnitude > limit) return integer_refused(n, expected);
  out = n.negative ? static_cast<int64_t>(0 - n.magnitude) : static_cast<int64_t>(n.magnitude);
  return true;
}

bool Reader::read_f64(double& out) {
  Number n;
  return expect_number(n, "f64") && number_to_double(n, out);
}

bool Reader::read_f32(float& out) {
  Number n;
  if (!expect_number(n, "f32")) return false;
  double wide = 0;
  if (fast_double(n, wide)) {
    // The double is the correctly rounded decimal; rounding it again to 32 bits can only go
    // wrong when it sits exactly halfway between two floats, which the slow path settles.
    const float narrow = static_cast<float>(wide);
    const uint64_t bits = std::bit_cast<uint64_t>(wide);
    const bool halfway = static_cast<double>(narrow) != wide && (bits & 0x1fffffffULL) == 0x10000000ULL;
    // Subnormal floats have another midpoint pattern: leave them to the slow path as well.
    const bool normal = std::fabs(narrow) >= std::numeric_limits<float>::min() || wide == 0.0;
    if (!halfway && normal && std::isfinite(narrow)) {
      out = narrow;
      return true;
    }
  }
  const char* begin = text_.data() + n.start;
  const char* end = text_.data() + n.end;
  const auto res = std::from_chars(begin, end, out);
  if (res.ec == std::errc()) return true;
  // Beyond the 32-bit range: round through the 64-bit value (infinity or zero).
  double d = 0;
  if (!number_to_double(n, d)) return false;
  out = static_cast<float>(d);
  return true;
}

bool Reader::read_bool(bool& out) {
  if (failed_) return false;
  const int c = peek();
  if (c == 't') {
    out = true;
    return parse_ident("rue");
  }
  if (c == 'f') {
    out = false;
    return parse_ident("alse");
  }
  return fail_invalid_type("a boolean");
}

bool Reader::read_string(std::string& out) {
  if (failed_) return false;
  if (peek() != '"') return fail_invalid_type("a string");
  std::string_view raw;
  bool esc = false;
  if (!parse_string_raw(raw, esc)) return false;
  if (esc) return unescape(raw, out);
  out.assign(raw);
  return true;
}

bool Reader::take_null() {
  if (failed_) return false;
  if (peek() != 'n') return false;
  parse_ident("ull");
  return !failed_;
}

bool Reader::skip_value() {
  if (failed_) return false;
  const int c = peek();
  switch (c) {
    case -1: return fail_here("EOF while parsing a value");
    case 'n': return parse_ident("ull");
    case 't': return parse_ident("rue");
    case 'f': return parse_ident("alse");
    case '"': {
      std::string_view raw;
      bool esc = false;
      return parse_string_raw(raw, esc);
    }
    case '[': {
      if (!begin_seq("")) return false;
      bool has = false;
      while (seq_next(has) && has) {
        if (!skip_value()) return false;
      }
      return !failed_;
    }
    case '{': {
      if (!begin_map("")) return false;
      bool has = false;
      std::string_view key;
      while (map_next_key(has, key) && has) {
        if (!map_colon() || !skip_value()) return false;
      }
      return !failed_;
    }
    default: break;
  }
  if (c == '-' || is_digit(c)) {
    Number n;
    return parse_number(n);
  }
  return fail_peek("expected value");
}

// Sequence state: after begin_seq the next seq_next reads the first element or ']'.
bool Reader::begin_seq(std::string_view expected) {
  if (failed_) return false;
  if (peek() != '[') return fail_invalid_type(expected);
  if (!enter()) return false;
  ++pos_;
  skip_ws();
  first_in_container_ = true;
  return true;
}

bool Reader::seq_next(bool& has) {
  if (failed_) return false;
  const int c = peek();
  if (c == -1) return fail_here("EOF while parsing a list");
  if (c == ']') {
    ++pos_;
    leave();
    has = false;
    first_in_container_ = false;
    return true;
  }
  if (first_in_container_) {
    first_in_container_ = false;
    has = true;
    return true;
  }
  if (c != ',') return fail_peek("expected `,` or `]`");
  ++pos_;
  const int next = peek();
  if (next == ']') return fail_peek("trailing comma");
  if (next == -1) return fail_here("EOF while parsing a value");
  has = true;
  return true;
}

bool Reader::end_seq_exact(size_t count, std::string_view expected) {
  if (failed_) return false;
  const int c = peek();
  if (c == ']') {
    ++pos_;
    leave();
    return true;
  }
  if (c == -1) return fail_here("EOF while parsing a list");
  // More elements than the fixed length: count them to report the length found.
  size_t len = count;
  bool has = false;
  while (seq_next(has) && has) {
    if (!skip_value()) return false;
    ++len;
  }
  return !failed_ && invalid_length(len, expected);
}

bool Reader::begin_map(std::string_view expected) {
  if (failed_) return false;
  if (peek() != '{') return fail_invalid_type(expected);
  if (!enter()) return false;
  ++pos_;
  first_in_container_ = true;
  return true;
}

bool Reader::map_next_key(bool& has, std::string_view& key) {
  if (failed_) return false;
  int c = peek();
  if (c == -1) return fail_here("EOF while parsing an object");
  if (c == '}') {
    ++pos_;
    leave();
    has = false;
    first_in_container_ = false;
    return true;
  }
  if (!first_in_container_) {
    if (c != ',') return fail_peek("expected `,` or `}`");
    ++pos_;
    c = peek();
    if (c == '}') return fail_peek("trailing comma");
    if (c == -1) return fail_here("EOF while parsing a value");
  }
  first_in_container_ = false;
  if (c != '"') return fail_peek("key must be a string");
  std::string_view raw;
  bool esc = false;
  if (!parse_string_raw(raw, esc)) return false;
  if (esc) {
    if (!unescape(raw, key_scratch_)) return false;
    key = key_scratch_;
  } else {
    key = raw;
  }
  has = true;
  return true;
}

bool Reader::map_colon() {
  if (failed_) return false;
  const int c = peek();
  if (c == ':') {
    ++pos_;
    first_in_container_ = false;
    return true;
  }
  if (c == -1) return fail_here("EOF while parsing an object");
  return fail_peek("expected `:`");
}

bool Reader::finish() {
  if (failed_) return false;
  if (peek() != -1) return fail_peek("trailing characters");
  return true;
}

}  // namespace quillon::json
