// Memory held by a forest grows with the points it holds, and no representation change may move a
// bit: recorded seeded streams keep their scores and saved text.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "rcf/forest/mod.hpp"
#include "rcf/forest/query.hpp"

namespace quillon::rcf {
namespace {

struct Case {
  const char* name;
  uint64_t input_dim, shingle_size, capacity, num_trees;
  double time_decay;
  bool internal_shingling;
  double accept_fraction;
  bool ternary;  // values in {-1, 0, 1}: zeros and duplicates
  int points;
  uint64_t seed;
  const char* digest;  // scores, then saved text, recorded before the memory work
};

RcfConfig config_of(const Case& c) {
  RcfConfig config;
  config.input_dim = c.input_dim;
  config.shingle_size = c.shingle_size;
  config.capacity = c.capacity;
  config.num_trees = c.num_trees;
  config.time_decay = c.time_decay;
  config.internal_shingling = c.internal_shingling;
  config.initial_accept_fraction = c.accept_fraction;
  return config;
}

struct Fnv {
  uint64_t h = 1469598103934665603ull;
  void bytes(const void* p, size_t n) {
    const auto* c = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) h = (h ^ c[i]) * 1099511628211ull;
  }
  void value(double v) { bytes(&v, sizeof v); }
};

float draw(Xoshiro256PlusPlus& g, bool ternary) {
  const double u = g.unit_f64();
  if (ternary) return static_cast<float>(static_cast<int>(u * 3.0) - 1);
  double s = 0.0;
  for (int i = 0; i < 4; ++i) s += g.unit_f64();
  return static_cast<float>((s - 2.0) * 1.7 + (u < 0.01 ? 8.0 : 0.0));
}

// Every query result and update outcome of the stream, and the saved text halfway (where the
// forest is also replaced by its restored copy) and at the end.
std::string digest(const Case& c) {
  auto created = Forest::create(config_of(c), c.seed);
  if (!created) return "create failed";
  Forest forest = std::move(*created);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(c.seed * 7 + 1);
  Fnv scores, texts;
  std::vector<float> x(forest.observation_width());
  for (int i = 0; i < c.points; ++i) {
    for (float& v : x) v = draw(g, c.ternary);
    auto s = score(forest, x);
    scores.value(s ? *s : -1.0);
    if (i % 7 == 0) {
      auto d = displacement_score(forest, x);
      scores.value(d ? *d : -1.0);
      auto n = density(forest, x);
      scores.value(n ? *n : -1.0);
      if (auto a = attribution(forest, x)) {
        for (const auto& p : *a) {
          scores.value(p.below);
          scores.value(p.above);
        }
      }
    }
    scores.value(forest.update(x) ? 1.0 : 0.0);
    if (i == c.points / 2) {
      const std::string text = forest.to_json();
      texts.bytes(text.data(), text.size());
      auto restored = Forest::from_json(text);
      if (!restored) return "restore failed";
      forest = std::move(*restored);
      if (forest.to_json() != text) return "restored text differs";
    }
  }
  const std::string text = forest.to_json();
  texts.bytes(text.data(), text.size());
  char out[40];
  std::snprintf(out, sizeof out, "%016llx %016llx", static_cast<unsigned long long>(scores.h),
                static_cast<unsigned long long>(texts.h));
  return out;
}

const Case kCases[] = {
    {"default", 1, 8, 256, 50, 0.0, true, 0.125, false, 1200, 1, "205a513c25c0ed56 07528c209de76239"},
    {"three dims", 3, 1, 256, 50, 0.0, true, 0.125, false, 700, 2, "bff897ad1a6a1393 07bf4e9afa330ed3"},
    {"small decaying", 2, 4, 32, 7, 0.01, true, 0.125, false, 1500, 3, "63403d8026dfb8ad b16c3255828f07eb"},
    {"capacity 1", 1, 2, 1, 3, 0.0, true, 0.125, false, 300, 4, "e4b0533d6efe7383 41c517ffd66b6e61"},
    {"capacity 2", 2, 1, 2, 5, 0.5, true, 0.125, false, 300, 5, "91f81c62d8b3197d 8d35b4a385610741"},
    {"external shingles", 5, 1, 64, 10, 0.0, false, 0.125, false, 800, 6, "98296518eb7ac5d9 3c458fbb361a32a4"},
    {"zeros and duplicates", 2, 3, 64, 20, 0.0, true, 0.125, true, 1200, 7, "4585636abec7c687 b5484be55deb7f06"},
    {"accept all", 4, 2, 40, 9, 0.0, true, 1.0, false, 600, 9, "a1129c0fcbf4ed7b bee78ec8d0ec24f3"},
    {"accept none early", 1, 3, 16, 4, 0.0, true, 0.0, false, 500, 10, "360b85dfb09380c6 69ac9cecfd4ca5ae"},
    {"wide", 17, 1, 100, 12, 0.002, true, 0.125, false, 600, 11, "6f9eb030b949006b 105004247b315b09"},
};

TEST(ForestMemory, RecordedStreamsKeepTheirBits) {
  for (const Case& c : kCases) EXPECT_EQ(digest(c), c.digest) << c.name;
}

// Memory follows the points held: a new forest holds next to nothing, a filling one far less than
// its full-size footprint, and a restored one no more rows and entries than it uses, while rows
// and entries that a state lists with other values than the defaults survive a save and restore.
TEST(ForestMemory, HeldMemoryFollowsThePointsAndRestoresKeepEveryValue) {
  for (const Case& c : kCases) {
    const RcfConfig config = config_of(c);
    auto created = Forest::create(config, c.seed);
    ASSERT_TRUE(created.has_value()) << c.name;
    Forest forest = std::move(*created);
    const size_t fresh = forest.heap_bytes();
    EXPECT_LE(fresh, forest_footprint(config).bytes() / 4 + 4096) << c.name;
    Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(c.seed);
    std::vector<float> x(forest.observation_width());
    for (int i = 0; i < c.points / 4; ++i) {
      for (float& v : x) v = draw(g, c.ternary);
      ASSERT_TRUE(forest.update(x).has_value());
    }
    EXPECT_GE(forest.heap_bytes(), fresh) << c.name;
    EXPECT_LE(forest.point_store.held_rows(), forest.point_store.capacity) << c.name;

    auto restored = Forest::from_json(forest.to_json());
    ASSERT_TRUE(restored.has_value()) << c.name;
    // Unused rows and entries are dropped; the rows kept are those used, with the headroom that
    // growth would give them.
    const uint64_t used = restored->point_store.next_free;
    EXPECT_LE(restored->point_store.held_rows(), used + used / 2 + 16) << c.name;
    for (const Sampler& s : restored->samplers) EXPECT_EQ(s.weights.size(), s.size) << c.name;

    // Values in a row never handed out and in a sampler entry beyond its size.
    PointStore& store = forest.point_store;
    store.hold_rows(store.capacity);
    store.store.data.back() = 0.5f + static_cast<float>(c.seed);
    Sampler& sampler = forest.samplers.back();
    const bool tail = sampler.size < sampler.capacity;
    if (tail) {
      sampler.weights.resize(sampler.capacity, 0.0);
      sampler.point_indices.resize(sampler.capacity, kNoIndex);
      sampler.weights.back() = -2.5;
    }
    const std::string text = forest.to_json();
    auto kept = Forest::from_json(text);
    ASSERT_TRUE(kept.has_value()) << c.name;
    EXPECT_EQ(kept->to_json(), text) << c.name;
    EXPECT_EQ(kept->point_store.held_rows(), store.capacity) << c.name;
    if (tail) {
      EXPECT_EQ(kept->samplers.back().weights.size(), sampler.capacity) << c.name;
    }
    // The restored copy keeps working and saving like the original.
    for (int i = 0; i < 20; ++i) {
      for (float& v : x) v = draw(g, c.ternary);
      ASSERT_TRUE(forest.update(x).has_value());
      ASSERT_TRUE(kept->update(x).has_value());
    }
    EXPECT_EQ(kept->to_json(), forest.to_json()) << c.name;
  }
}

// Batches long enough to take a helper thread give the single calls' scores and leave the same
// state, whatever the configuration and however the stream is cut into batches.
TEST(ForestMemory, BatchesOnTwoThreadsMatchTheSingleCalls) {
  for (const Case& c : kCases) {
    const RcfConfig config = config_of(c);
    auto one = Forest::create(config, c.seed);
    auto many = Forest::create(config, c.seed);
    ASSERT_TRUE(one.has_value() && many.has_value()) << c.name;
    Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(c.seed);
    const size_t width = one->observation_width();
    const size_t lengths[] = {16, 61, 200, 17};
    size_t chunk = 0;
    for (int done = 0; done < c.points; ++chunk) {
      const size_t rows = lengths[chunk % 4];
      const int mode = static_cast<int>(chunk % 3);  // update-and-score, update, score
      std::vector<float> values(rows * width);
      for (float& v : values) v = draw(g, c.ternary);
      const auto batch = Rows<float>::uniform(values, rows, width, false);
      std::vector<double> expected;
      for (size_t i = 0; i < rows; ++i) {
        const std::span<const float> row(values.data() + i * width, width);
        if (mode != 1) expected.push_back(*score(*one, row));
        if (mode != 2) {
          ASSERT_TRUE(one->update(row).has_value()) << c.name;
        }
      }
      if (mode == 1) {
        ASSERT_TRUE(many->update_many(batch).has_value()) << c.name;
      } else {
        auto got = mode == 0 ? many->update_and_score_many(batch) : many->score_many(batch);
        ASSERT_TRUE(got.has_value()) << c.name;
        ASSERT_EQ(got->values.size(), expected.size()) << c.name;
        for (size_t i = 0; i < rows; ++i) {
          EXPECT_EQ(std::bit_cast<uint64_t>(got->values[i]), std::bit_cast<uint64_t>(expected[i]))
              << c.name << " chunk " << chunk << " row " << i;
        }
      }
      if (mode != 2) done += static_cast<int>(rows);
    }
    EXPECT_EQ(many->to_json(), one->to_json()) << c.name;
  }
}

#ifdef QUILLON_PRINT_DIGESTS
TEST(ForestMemory, PrintDigests) {
  for (const Case& c : kCases) std::printf("%s\n", digest(c).c_str());
}
#endif

}  // namespace
}  // namespace quillon::rcf
