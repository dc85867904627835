#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "binary_codec.hpp"

namespace quillon::bin {
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
  friend bool operator==(const Inner&, const Inner&) = default;
};

struct Outer {
  uint64_t n = 0;
  bool flag = false;
  std::optional<Inner> inner;
  std::vector<Inner> list;
  json::Matrix<float> m;
  Xoshiro256PlusPlus rng;
  static constexpr std::string_view kJsonName = "Outer";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("n", self.n);
    field("flag", self.flag);
    field("inner", self.inner);
    field("list", self.list);
    field("m", self.m);
    field("rng", self.rng);
  }
};

Outer sample() {
  Outer o;
  o.n = 0xFFFFFFFFFFFFFFFFull;
  o.flag = true;
  o.inner = Inner{-0.0f, {1.5, -0.0, 1e308}};
  o.list = {Inner{1.0f, {}}, Inner{2.0f, {3.0}}};
  o.m = {2, 3, {1, 2, 3, 4, 5, 6}};
  o.rng.s = {1, 2, 3, 4};
  return o;
}

constexpr std::string_view kPrefix = "invalid test bytes: ";

Result<Outer> parse(std::string_view data) {
  return parse_state<Outer>(data, StateKind::MStream, kPrefix);
}

TEST(BinaryCodec, RecordsRoundTripBitForBit) {
  const std::string data = write_state(sample(), StateKind::MStream);
  ASSERT_EQ(data.substr(0, 4), kMagic);
  auto back = parse(data);
  ASSERT_TRUE(back) << back.error().message;
  EXPECT_EQ(write_state(*back, StateKind::MStream), data);
  EXPECT_TRUE(std::signbit(back->inner->x));
  EXPECT_EQ(back->list, sample().list);
}

// Every cut, with the header's length fixed or not, and every single byte appended, is refused
// without reading past the input.
TEST(BinaryCodec, EveryCutAndExtraByteIsRefused) {
  const std::string data = write_state(sample(), StateKind::MStream);
  for (size_t cut = 0; cut < data.size(); ++cut) {
    std::string damaged = data.substr(0, cut);
    EXPECT_FALSE(parse(damaged)) << cut;
    if (cut >= kHeaderSize) {
      const uint64_t length = cut - kHeaderSize;
      std::memcpy(damaged.data() + 8, &length, sizeof(length));
      auto r = parse(damaged);
      ASSERT_FALSE(r) << cut;
      EXPECT_TRUE(r.error().message.starts_with(kPrefix)) << r.error().message;
    }
  }
  auto longer = parse(data + '\0');
  ASSERT_FALSE(longer);
  EXPECT_EQ(longer.error().message, std::string(kPrefix) + "1 trailing bytes after the state");
}

// Field values that the JSON form could not have carried: (offset in the payload, bytes written
// there, the message's start).
TEST(BinaryCodec, ValuesJsonCouldNotCarryAreRefused) {
  const std::string data = write_state(sample(), StateKind::MStream);
  struct Case {
    size_t offset;
    std::string bytes;
    std::string message;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::string nan_bytes(8, '\0');
  std::memcpy(nan_bytes.data(), &nan, 8);
  const std::string huge_count(8, '\xFF');
  const std::vector<Case> cases = {
      {8, std::string(1, '\x02'), "invalid value: byte 2, expected a boolean at byte 24"},
      {9, std::string(1, '\x07'), "invalid value: byte 7, expected an optional value at byte 25"},
      {14, huge_count, "invalid length 18446744073709551615: only"},
      {22, nan_bytes, "invalid value: a non-finite float, expected a finite f64 at byte 38"},
  };
  for (const Case& c : cases) {
    std::string damaged = data;
    damaged.replace(kHeaderSize + c.offset, c.bytes.size(), c.bytes);
    auto r = parse(damaged);
    ASSERT_FALSE(r) << c.message;
    EXPECT_TRUE(r.error().message.starts_with(std::string(kPrefix) + c.message))
        << r.error().message;
  }
}

TEST(BinaryCodec, HeaderRefusals) {
  const std::string data = write_state(sample(), StateKind::MStream);
  auto kind = parse_state<Outer>(data, StateKind::Forest, kPrefix);
  ASSERT_FALSE(kind);
  EXPECT_EQ(kind.error().message,
            std::string(kPrefix) + "the state is of a MStream, not of a Forest");
  std::string version = data;
  version[4] = 9;
  EXPECT_EQ(parse(version).error().message,
            std::string(kPrefix) + "unsupported binary state version 9, expected 1");
  EXPECT_TRUE(parse("{\"n\":1}").error().message.find("89 51 4C 4E") != std::string::npos);
}

TEST(BinaryCodec, RenamedRefusalsKeepTheirText) {
  auto e = rename_refusal(DetectorError::invalid_argument("invalid forest JSON: tree 1 root 5"),
                          "invalid forest JSON: ", "invalid forest bytes: ");
  EXPECT_EQ(e.message, "invalid forest bytes: tree 1 root 5");
  auto other = rename_refusal(DetectorError::invalid_argument("capacity must be > 0"),
                              "invalid forest JSON: ", "invalid forest bytes: ");
  EXPECT_EQ(other.message, "capacity must be > 0");
}

}  // namespace
}  // namespace quillon::bin
