// One-pass pull reader for the saved states. Errors carry the texts and positions that users see
// in "invalid ... JSON: ..." messages; the first error wins and every later call fails fast.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::json {

class Reader {
 public:
  static constexpr int kMaxDepth = 128;

  explicit Reader(std::string_view text) : text_(text) {}

  bool failed() const { return failed_; }
  // The error text including its " at line {} column {}" suffix when it has a position.
  const std::string& error() const { return error_; }

  // --- scalars (each consumes one value; false on error) ---
  bool read_u64(uint64_t& out, std::string_view expected = "u64");
  bool read_i64(int64_t& out, std::string_view expected = "i64");
  bool read_f64(double& out);
  bool read_f32(float& out);
  bool read_bool(bool& out);
  bool read_string(std::string& out);
  // Consumes a null and returns true if the next value is null; otherwise consumes nothing.
  bool take_null();
  // Like take_null, but false also when a syntax error was found (check failed()).
  bool skip_value();

  // --- sequences: begin_seq, then while (seq_next(has) && has) { element }; ---
  // begin_seq fails with "invalid type: ..., expected {expected}" when the value is not an array.
  bool begin_seq(std::string_view expected);
  bool seq_next(bool& has);
  // Leaves the sequence after a fixed number of elements: expects the closing bracket.
  bool end_seq_exact(size_t count, std::string_view expected);

  // --- maps: begin_map, then while (map_next_key(has, key) && has) { map_colon(); value } ---
  bool begin_map(std::string_view expected);
  bool map_next_key(bool& has, std::string_view& key);
  bool map_colon();

  // Peeks the next non-space byte without consuming it; -1 at the end of the text.
  int peek() {
    skip_ws();
    return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1;
  }
  // Only white space may follow the top-level value.
  bool finish();

  // Error helpers. `fail_here` positions at the last consumed byte (like the end of the value
  // just read), `fail_peek` includes the next byte, `fail_at_end_of_last` reuses the position
  // recorded after the last complete value, `fail_nopos` has no position.
  bool fail_here(std::string_view message);
  bool fail_peek(std::string_view message);
  bool fail_nopos(std::string_view message);
  bool invalid_type_here(std::string_view unexpected, std::string_view expected);
  bool invalid_length(size_t len, std::string_view expected);
  bool invalid_value(std::string_view unexpected, std::string_view expected);

  // Describes the value at the cursor for an "invalid type" message, consuming scalars (so the
  // position follows them) and leaving arrays and objects unconsumed.
  bool fail_invalid_type(std::string_view expected);

  size_t position() const { return pos_; }

 private:
  struct Number {
    bool is_integer = false;
    bool negative = false;
    uint64_t magnitude = 0;  // valid when is_integer and it fits
    bool fits = false;
    // Decimal significand and exponent for the exact fast path: value = significand * 10^exponent,
    // usable when `exact` (at most 19 significant digits, no exponent overflow).
    uint64_t significand = 0;
    int64_t exponent = 0;
    bool exact = false;
    size_t start = 0;
    size_t end = 0;
  };
  // Correctly rounded double from the fast path, or false when the slow path must decide.
  static bool fast_double(const Number& n, double& out);

  void skip_ws() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') break;
      ++pos_;
    }
  }
  bool parse_number(Number& n);
  // The number token where a number is expected (any other value is an invalid type naming
  // `expected`), and the refusal of one that the caller's type cannot hold.
  bool expect_number(Number& n, std::string_view expected);
  bool integer_refused(const Number& n, std::string_view expected);
  bool parse_ident(std::string_view rest);
  bool parse_string_raw(std::string_view& raw, bool& has_escape);
  bool unescape(std::string_view raw, std::string& out);
  bool enter();
  void leave() { --depth_; }
  bool fail_at(size_t consumed, std::string_view message);
  bool number_to_double(const Number& n, double& out);

  std::string_view text_;
  size_t pos_ = 0;
  int depth_ = 0;
  bool failed_ = false;
  bool first_in_container_ = false;
  std::string error_;
  std::string key_scratch_;
};

}  // namespace quillon::json
