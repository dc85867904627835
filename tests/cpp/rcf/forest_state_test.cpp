// Restored states: whatever the text, from_json either refuses it or yields a forest that keeps
// working (updates, queries of the point store, serialisation) without touching foreign memory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rcf/forest/mod.hpp"

namespace quillon::rcf {
namespace {

Forest small_forest(uint64_t seed) {
  RcfConfig c;
  c.input_dim = 2;
  c.shingle_size = 2;
  c.num_trees = 3;
  c.capacity = 6;
  auto f = Forest::create(c, seed);
  EXPECT_TRUE(f.has_value());
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(seed);
  for (int i = 0; i < 40; ++i) {
    const std::vector<float> p{static_cast<float>(g.bounded_index(5)),
                               static_cast<float>(g.unit_f64())};
    EXPECT_TRUE(f->update(p).has_value());
  }
  return std::move(*f);
}

// Replaces one number of the text by another; numbers are where indexes, masses, sizes and
// coordinates live.
std::string mutate(const std::string& text, Xoshiro256PlusPlus& g) {
  static const char* const kReplacements[] = {"0",          "1",          "2",
                                              "5",          "7",          "-1",
                                              "0.5",        "1e39",       "18446744073709551615",
                                              "4294967294", "4294967295", "4294967296",
                                              "99999"};
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool digit = (text[i] >= '0' && text[i] <= '9') || text[i] == '-';
    if (digit && (i == 0 || text[i - 1] == ':' || text[i - 1] == ',' || text[i - 1] == '[')) {
      starts.push_back(i);
    }
  }
  const size_t at = starts[g.bounded_index(starts.size())];
  size_t end = at;
  while (end < text.size() && text[end] != ',' && text[end] != ']' && text[end] != '}') ++end;
  return text.substr(0, at) + kReplacements[g.bounded_index(std::size(kReplacements))] +
         text.substr(end);
}

TEST(ForestState, MutatedStatesAreRefusedOrKeepWorking) {
  uint64_t accepted = 0;
  uint64_t refused = 0;
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    const std::string text = small_forest(seed).to_json();
    Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(seed * 101);
    for (int round = 0; round < 400; ++round) {
      std::string bad = mutate(text, g);
      if (round % 3 == 0) bad = mutate(bad, g);
      auto f = Forest::from_json(bad);
      if (!f) {
        EXPECT_EQ(f.error().message.rfind("invalid forest JSON: ", 0), 0u);
        ++refused;
        continue;
      }
      ++accepted;
      // An accepted state is a consistent one: it round-trips and keeps updating until a
      // counter is full, which refuses the update and changes nothing.
      for (int i = 0; i < 30; ++i) {
        const std::vector<float> p{static_cast<float>(g.bounded_index(7)), 0.25f};
        const std::string before = f->to_json();
        auto ok = f->update(p);
        if (!ok && ok.error().text() == "overflow: Forest entries_seen overflow") {
          ASSERT_EQ(f->to_json(), before);
          break;
        }
        ASSERT_TRUE(ok.has_value()) << bad;
      }
      auto again = Forest::from_json(f->to_json());
      ASSERT_TRUE(again.has_value()) << again.error().text();
    }
  }
  EXPECT_GT(refused, 100u);
  EXPECT_GT(accepted, 10u);  // coordinates, weights and generator words may change freely
}

// Boxes are maintained by fast paths while no stored point has a zero coordinate and by plain
// recomputation otherwise; which one runs depends on the forest's history (a restored forest only
// remembers zeros that are still stored). Both must give the same bits, signed zeros included.
// Node fields are stored in 32 bits: a saved index, dimension or mass that only agrees with a valid
// one in its low 32 bits must be refused, not wrapped onto the valid one.
TEST(ForestState, ValuesBeyondThirtyTwoBitsAreNotWrapped) {
  const std::string text = small_forest(7).to_json();
  ASSERT_TRUE(Forest::from_json(text).has_value());
  for (const std::string key :
       {"\"left\":", "\"right\":", "\"cut_dim\":", "\"mass\":", "\"point_idx\":"}) {
    const size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos) << key;
    const size_t start = at + key.size();
    size_t end = start;
    while (text[end] >= '0' && text[end] <= '9') ++end;
    const uint64_t value = std::stoull(text.substr(start, end - start));
    for (const uint64_t high : {uint64_t{1} << 32, uint64_t{1} << 33, uint64_t{5} << 40}) {
      const std::string bad =
          text.substr(0, start) + std::to_string(value + high) + text.substr(end);
      auto f = Forest::from_json(bad);
      ASSERT_FALSE(f.has_value()) << key << (value + high);
      EXPECT_EQ(f.error().message.rfind("invalid forest JSON: ", 0), 0u) << f.error().message;
    }
  }
}

TEST(ForestState, ForgettingZerosOnRestoreChangesNoBits) {
  RcfConfig c;
  c.input_dim = 2;
  c.num_trees = 4;
  c.capacity = 8;
  c.time_decay = 0.5;  // old points leave the samplers quickly
  auto made = Forest::create(c, 17);
  ASSERT_TRUE(made.has_value());
  Forest f = std::move(*made);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(23);
  const float kSigned[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f};
  auto signed_point = [&] {
    return std::vector<float>{kSigned[g.bounded_index(5)], kSigned[g.bounded_index(5)]};
  };
  auto nonzero_point = [&] {
    return std::vector<float>{static_cast<float>(g.bounded_index(4)) + 0.5f,
                              -static_cast<float>(g.bounded_index(3)) - 0.25f};
  };
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(f.update(signed_point()).has_value());
  ASSERT_TRUE(f.point_store.zero_coordinate_seen);
  // Restored while zeros are stored: it must keep the plain recomputation.
  auto early = Forest::from_json(f.to_json());
  ASSERT_TRUE(early.has_value()) << early.error().text();
  ASSERT_TRUE(early->point_store.zero_coordinate_seen);
  for (int i = 0; i < 400; ++i) {
    const auto p = nonzero_point();
    ASSERT_TRUE(f.update(p).has_value());
    ASSERT_TRUE(early->update(p).has_value());
    ASSERT_EQ(early->to_json(), f.to_json()) << "update " << i;
  }

  auto restored = Forest::from_json(f.to_json());
  ASSERT_TRUE(restored.has_value()) << restored.error().text();
  ASSERT_FALSE(restored->point_store.zero_coordinate_seen) << "zeros still stored; feed longer";
  ASSERT_TRUE(f.point_store.zero_coordinate_seen);
  for (int i = 0; i < 300; ++i) {
    const auto p = i < 200 ? nonzero_point() : signed_point();
    ASSERT_TRUE(f.update(p).has_value());
    ASSERT_TRUE(restored->update(p).has_value());
    ASSERT_EQ(restored->to_json(), f.to_json()) << "update " << i;
  }
}

TEST(ForestState, EveryTruncationIsRefused) {
  const std::string text = small_forest(9).to_json();
  for (size_t cut = 0; cut < text.size(); cut += 3) {
    const auto f = Forest::from_json(std::string_view(text).substr(0, cut));
    ASSERT_FALSE(f.has_value()) << cut;
  }
}

}  // namespace
}  // namespace quillon::rcf
