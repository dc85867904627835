#include <gtest/gtest.h>

#include <cmath>
#include <bit>
#include <charconv>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "json_codec.hpp"

namespace quillon::json {
namespace {

struct Inner {
  float x = 0;
  std::vector<double> w;
  static constexpr std::string_view kJsonName = "Inner";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("x", self.x);
    field("w", self.w);
  }
};

struct Outer {
  uint64_t n = 0;
  bool flag = false;
  std::optional<Inner> inner;
  Matrix<float> m;
  Xoshiro256PlusPlus rng;
  static constexpr std::string_view kJsonName = "Outer";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("n", self.n);
    field("flag", self.flag);
    field("inner", self.inner);
    field("m", self.m);
    field("rng", self.rng);
  }
};

const char* kGood =
    R"({"n":7,"flag":true,"inner":{"x":0.1,"w":[1.0,-2.5,1e+300]},"m":{"v":1,"dim":[2,1],"data":[1.0,2.0]},"rng":{"s":[1,2,3,18446744073709551615]}})";

std::string parse_error(std::string_view text) {
  auto r = parse_state<Outer>(text, "invalid test JSON: ");
  EXPECT_FALSE(r.has_value()) << text;
  return r ? std::string() : r.error().message;
}

TEST(Json, WritesCompactRecordsInFieldOrder) {
  Outer o;
  o.n = 7;
  o.flag = true;
  o.inner = Inner{0.1f, {1.0, -2.5, 1e300}};
  o.m = Matrix<float>{2, 1, {1.0f, 2.0f}};
  o.rng.s = {1, 2, 3, ~0ULL};
  EXPECT_EQ(write_state(o), kGood);
  o.inner.reset();
  EXPECT_NE(write_state(o).find("\"inner\":null"), std::string::npos);
}

TEST(Json, ReadsObjectsInAnyOrderArraysAndUnknownKeys) {
  auto a = parse_state<Outer>(kGood, "");
  ASSERT_TRUE(a.has_value());
  EXPECT_EQ(write_state(*a), kGood);
  const char* reordered =
      R"( { "rng" : {"s":[1,2,3,18446744073709551615]}, "extra": [{"deep":[null,true]}], "m":[1,[2,1],[1,2]],
           "inner":[0.1,[1,-2.5,1e300]], "flag":true, "n":7 } )";
  auto b = parse_state<Outer>(reordered, "");
  ASSERT_TRUE(b.has_value()) << b.error().message;
  EXPECT_EQ(write_state(*b), kGood);
  // An optional field may be missing.
  auto c = parse_state<Outer>(R"({"n":1,"flag":false,"m":{"v":1,"dim":[0,3],"data":[]},"rng":{"s":[0,0,0,1]}})", "");
  ASSERT_TRUE(c.has_value()) << c.error().message;
  EXPECT_FALSE(c->inner.has_value());
}

TEST(Json, StructureErrorsCarryTextAndPosition) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "invalid test JSON: EOF while parsing a value at line 1 column 0"},
      {"{}", "invalid test JSON: missing field `n` at line 1 column 2"},
      {R"({"n":1,"n":2})", "invalid test JSON: duplicate field `n` at line 1 column 10"},
      {R"({"n":-1})", "invalid test JSON: invalid value: integer `-1`, expected u64 at line 1 column 7"},
      {R"({"n":1.5})", "invalid test JSON: invalid type: floating point `1.5`, expected u64 at line 1 column 8"},
      {R"({"n":"x"})", "invalid test JSON: invalid type: string \"x\", expected u64 at line 1 column 8"},
      {R"({"n":[1]})", "invalid test JSON: invalid type: sequence, expected u64 at line 1 column 5"},
      {R"({"n":1,"flag":null})", "invalid test JSON: invalid type: null, expected a boolean at line 1 column 18"},
      {R"({"n":1,"flag":true,"inner":{"x":null,"w":[]}})",
       "invalid test JSON: invalid type: null, expected f32 at line 1 column 36"},
      {R"({"n":1,"flag":true,"inner":[0.5]})",
       "invalid test JSON: invalid length 1, expected struct Inner with 2 elements at line 1 column 32"},
      {R"({"n":1,"flag":true,"m":{"v":2,"dim":[0,0],"data":[]}})",
       "invalid test JSON: unknown array version: 2 at line 1 column 29"},
      {R"({"n":1,"flag":true,"m":{"v":1,"dim":[1,2],"data":[1]}})",
       "invalid test JSON: data and dimension must match in size at line 1 column 53"},
      {R"({"n":1,"flag":true,"m":{"v":1,"x":0,"dim":[1,2],"data":[1]}})",
       "invalid test JSON: unknown field `x`, expected one of `v`, `dim`, `data` at line 1 column 33"},
      {R"({"n":1,"flag":true,"m":{"v":1,"dim":[1],"data":[1]}})",
       "invalid test JSON: invalid length 1, expected an array of length 2 at line 1 column 39"},
      {R"({"n":1,"rng":{"s":[1,2,3]}})",
       "invalid test JSON: invalid length 3, expected an array of length 4 at line 1 column 25"},
      {R"([1,true,null,[1,[0,0],[]],[[1,2,3,4]]] x)", "invalid test JSON: trailing characters at line 1 column 40"},
      {R"({"n":1,})", "invalid test JSON: trailing comma at line 1 column 8"},
      {R"({"n" 1})", "invalid test JSON: expected `:` at line 1 column 6"},
      {R"({"n":01})", "invalid test JSON: invalid number at line 1 column 7"},
      {R"({"n":1e999})", "invalid test JSON: number out of range at line 1 column 10"},
      {"{\"n\":1,\n\"flag\":tru}", "invalid test JSON: expected ident at line 2 column 11"},
      {R"({"n":[1,2)", "invalid test JSON: invalid type: sequence, expected u64 at line 1 column 5"},
      {R"({"z":[1,2)", "invalid test JSON: EOF while parsing a list at line 1 column 9"},
      {R"({1:2})", "invalid test JSON: key must be a string at line 1 column 2"},
      {"{\"z\":\"a\x01\"}", "invalid test JSON: control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(parse_error(text), message) << text;
}

// Each integer width at and beyond its ends: what is read, or the refusal's text.
TEST(Json, IntegersAreReadWithinTheirRangeOnly) {
  struct Case {
    const char* text;
    bool is_signed;
    const char* value_or_error;
  };
  const Case cases[] = {
      {"0", false, "0"},
      {"-0", false, "0"},
      {"18446744073709551615", false, "18446744073709551615"},
      {"18446744073709551616", false,
       "invalid type: floating point `1.8446744073709552e+19`, expected u64 at line 1 column 20"},
      {"-1", false, "invalid value: integer `-1`, expected u64 at line 1 column 2"},
      {"2.0", false, "invalid type: floating point `2.0`, expected u64 at line 1 column 3"},
      {"true", false, "invalid type: boolean `true`, expected u64 at line 1 column 4"},
      {"9223372036854775807", true, "9223372036854775807"},
      {"-9223372036854775808", true, "-9223372036854775808"},
      {"9223372036854775808", true,
       "invalid value: integer `9223372036854775808`, expected i64 at line 1 column 19"},
      {"-9223372036854775809", true,
       "invalid value: integer `-9223372036854775809`, expected i64 at line 1 column 20"},
      {"-1e2", true, "invalid type: floating point `-100.0`, expected i64 at line 1 column 4"},
      {"null", true, "invalid type: null, expected i64 at line 1 column 4"},
  };
  for (const Case& c : cases) {
    Reader r(c.text);
    uint64_t u = 0;
    int64_t i = 0;
    const bool ok = c.is_signed ? r.read_i64(i) : r.read_u64(u);
    const std::string got = !ok ? r.error() : c.is_signed ? std::to_string(i) : std::to_string(u);
    EXPECT_EQ(got, c.value_or_error) << c.text;
  }
}

TEST(Json, DeepNestingIsRefusedWithoutRecursingFurther) {
  const std::string deep(100000, '[');
  EXPECT_EQ(parse_error(R"({"z":)" + deep),
            "invalid test JSON: recursion limit exceeded at line 1 column 132");
  // 126 levels of skipped nesting below the top-level object are fine.
  std::string ok = R"({"z":)" + std::string(126, '[') + std::string(126, ']') + "}";
  EXPECT_EQ(parse_error(ok), "invalid test JSON: missing field `n` at line 1 column 258");
}

TEST(Json, EscapesRoundTripThroughStrings) {
  Writer w;
  w.string("a\"b\\c\n\x01é");
  EXPECT_EQ(w.text(), "\"a\\\"b\\\\c\\n\\u0001é\"");
  Reader r(w.text());
  std::string back;
  ASSERT_TRUE(r.read_string(back));
  EXPECT_EQ(back, "a\"b\\c\n\x01é");
  Reader u(R"("\ud83d\ude00\u00e9")");
  ASSERT_TRUE(u.read_string(back));
  EXPECT_EQ(back, "\xF0\x9F\x98\x80\xC3\xA9");
}

TEST(Json, ThirtyTwoBitFieldsRoundToNearest) {
  Reader r("[0.1, 16777217, 1e39, 1e-50]");
  ASSERT_TRUE(r.begin_seq("a sequence"));
  std::vector<float> got;
  bool has = false;
  while (r.seq_next(has) && has) {
    float f = 0;
    ASSERT_TRUE(r.read_f32(f));
    got.push_back(f);
  }
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], 0.1f);
  EXPECT_EQ(got[1], 16777216.0f);
  EXPECT_TRUE(std::isinf(got[2]));
  EXPECT_EQ(got[3], 0.0f);
}

}  // namespace
}  // namespace quillon::json

namespace quillon::json {
namespace {

template <class F>
F read_number(const std::string& text) {
  Reader r(text);
  F v{};
  if constexpr (std::is_same_v<F, float>) {
    EXPECT_TRUE(r.read_f32(v)) << text;
  } else {
    EXPECT_TRUE(r.read_f64(v)) << text;
  }
  return v;
}

// The reader's fast path must agree with a correctly rounding parser on every input.
TEST(Json, NumbersReadExactlyAsCorrectRounding) {
  std::mt19937_64 gen(77);
  std::vector<std::string> texts = {"0.1", "-0", "0.000001", "16777217", "3.4028235e38", "1e-45",
                                    "7e-46", "0.30000001192092896", "1.00000005960464477539062",
                                    "9007199254740993", "123456789012345678901234567890e-10"};
  for (int i = 0; i < 200000; ++i) {
    // Random bit patterns written shortest, and random decimal strings of up to 19 digits.
    const double d = std::bit_cast<double>(gen());
    const float f = std::bit_cast<float>(static_cast<uint32_t>(gen()));
    std::string a, b;
    append_f64(a, d);
    append_f32(b, f);
    if (a != "null") texts.push_back(a);
    if (b != "null") texts.push_back(b);
    const int digits = 1 + static_cast<int>(gen() % 19);
    const int point = 1 + static_cast<int>(gen() % static_cast<uint64_t>(digits));
    std::string s;
    for (int k = 0; k < digits; ++k) {
      if (k == point) s.push_back('.');
      s.push_back(static_cast<char>(k == 0 ? '1' + gen() % 9 : '0' + gen() % 10));
    }
    s.append("e");
    s.append(std::to_string(static_cast<int>(gen() % 60) - 40));
    texts.push_back(s);
  }
  for (const std::string& t : texts) {
    double want_d = 0;
    float want_f = 0;
    const auto rd = std::from_chars(t.data(), t.data() + t.size(), want_d);
    const auto rf = std::from_chars(t.data(), t.data() + t.size(), want_f);
    if (rd.ec == std::errc()) {
      ASSERT_EQ(std::bit_cast<uint64_t>(read_number<double>(t)), std::bit_cast<uint64_t>(want_d)) << t;
    }
    if (rf.ec == std::errc()) {
      ASSERT_EQ(std::bit_cast<uint32_t>(read_number<float>(t)), std::bit_cast<uint32_t>(want_f)) << t;
    }
  }
}

}  // namespace
}  // namespace quillon::json
