#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "float_format.hpp"

namespace quillon {
namespace {

std::string f64(double v) {
  std::string s;
  append_f64(s, v);
  return s;
}
std::string f32(float v) {
  std::string s;
  append_f32(s, v);
  return s;
}

TEST(FloatFormat, SixtyFourBitLayout) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"},        {1234500.0, "1234500.0"}, {12.5, "12.5"},   {0.00123, "0.00123"},
      {0.0, "0.0"},        {-0.0, "-0.0"},           {1e16, "1e+16"},  {1.5e-7, "1.5e-7"},
      {2.5e300, "2.5e+300"}, {1e15, "1000000000000000.0"}, {1e-5, "0.00001"}, {1.5e-6, "1.5e-6"},
      {0.1, "0.1"},        {-3.25, "-3.25"},         {123456789012345680.0, "1.2345678901234568e+17"},
      {5e-324, "5e-324"},  {1.7976931348623157e308, "1.7976931348623157e+308"},
      {0.8, "0.8"},        {1.2800000000000002, "1.2800000000000002"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(f64(v), text) << text;
  EXPECT_EQ(f64(std::nan("")), "null");
  EXPECT_EQ(f64(-INFINITY), "null");
}

TEST(FloatFormat, ThirtyTwoBitLayout) {
  const std::pair<float, const char*> cases[] = {
      {0.1f, "0.1"},        {1.0f, "1.0"},          {1e12f, "1000000000000.0"}, {1e13f, "1e+13"},
      {1e-6f, "0.000001"},  {1e-7f, "1e-7"},        {-0.0f, "-0.0"},
      {3.4028235e38f, "3.4028235e+38"}, {1e-45f, "1e-45"}, {0.7967148f, "0.7967148"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(f32(v), text) << text;
  EXPECT_EQ(f32(INFINITY), "null");
}

TEST(FloatFormat, PlainDecimalNeverUsesExponent) {
  EXPECT_EQ(format_plain_decimal(0.8), "0.8");
  EXPECT_EQ(format_plain_decimal(2.0), "2");
  EXPECT_EQ(format_plain_decimal(0.0), "0");
  EXPECT_EQ(format_plain_decimal(10.5), "10.5");
  EXPECT_EQ(format_plain_decimal(1e-7), "0.0000001");
  EXPECT_EQ(format_plain_decimal(1e17), "100000000000000000");
}

// Every written value reads back to itself, and no shorter digit string would.
template <class F, class Bits>
void check_round_trip(Bits bits, std::string (*format)(F)) {
  const F v = std::bit_cast<F>(bits);
  if (!std::isfinite(v)) return;
  const std::string text = format(v);
  F back{};
  const auto res = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_EQ(res.ec, std::errc()) << text;
  ASSERT_EQ(std::bit_cast<Bits>(back), bits) << text;
  char shortest[64];
  const auto s = std::to_chars(shortest, shortest + sizeof shortest, v, std::chars_format::scientific);
  size_t digits = 0;
  for (const char* p = shortest; p < s.ptr && *p != 'e'; ++p) digits += (*p >= '0' && *p <= '9');
  size_t written = 0;
  for (char c : text) {
    if (c == 'e') break;
    written += (c >= '0' && c <= '9');
  }
  // Plain notation pads with zeros; strip them before comparing digit counts.
  std::string trimmed;
  for (char c : text) {
    if (c == 'e') break;
    if (c >= '0' && c <= '9') trimmed.push_back(c);
  }
  const size_t first = trimmed.find_first_not_of('0');
  const size_t last = trimmed.find_last_not_of('0');
  const size_t significant = first == std::string::npos ? 1 : last - first + 1;
  ASSERT_LE(significant, digits) << text;
  (void)written;
}

TEST(FloatFormat, RandomBitPatternsRoundTripShortest) {
  std::mt19937_64 gen(12345);
  for (int i = 0; i < 200000; ++i) {
    check_round_trip<double, uint64_t>(gen(), f64);
    check_round_trip<float, uint32_t>(static_cast<uint32_t>(gen()), f32);
  }
  for (uint64_t bits : {0ULL, 1ULL, 0x000fffffffffffffULL, 0x0010000000000000ULL,
                        0x7fefffffffffffffULL, 0x8000000000000001ULL}) {
    check_round_trip<double, uint64_t>(bits, f64);
  }
  for (uint32_t bits : {0u, 1u, 0x007fffffu, 0x00800000u, 0x7f7fffffu, 0x80000001u}) {
    check_round_trip<float, uint32_t>(bits, f32);
  }
}

}  // namespace
}  // namespace quillon
