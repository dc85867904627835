// Forest construction, the update pipeline, readiness and the saved state.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "rcf/forest/mod.hpp"
#include "tree_invariants.hpp"

// The replacement operator new below pairs malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

// Counts heap allocations while `g_count_allocations` is set (steady-state update check).
namespace {
std::atomic<bool> g_count_allocations{false};
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  if (g_count_allocations.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quillon::rcf {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

RcfConfig config(uint64_t input_dim) {
  RcfConfig c;
  c.input_dim = input_dim;
  return c;
}

Forest make(const RcfConfig& c, uint64_t seed = 42) {
  auto f = Forest::create(c, seed);
  EXPECT_TRUE(f.has_value()) << (f ? "" : f.error().text());
  return std::move(*f);
}

std::vector<float> point_of(Xoshiro256PlusPlus& g, uint64_t dim) {
  std::vector<float> p(dim);
  for (auto& x : p) x = static_cast<float>(g.unit_f64() * 10.0 - 5.0);
  return p;
}

// Every consistency rule between trees, samplers and the store.
void check_forest(const Forest& f) {
  std::map<uint64_t, uint64_t> refs;
  for (uint64_t i = 0; i < f.trees.size(); ++i) {
    const auto leaves = testing::check_tree(f.trees[i], f.point_store);
    std::map<uint64_t, uint64_t> held;
    const Sampler& s = f.samplers[i];
    for (uint64_t j = 0; j < s.size; ++j) {
      ++held[s.point_indices[j]];
      ++refs[s.point_indices[j]];
      if (j > 0) {
        EXPECT_LE(s.weights[j], s.weights[(j - 1) / 2]);
      }
    }
    EXPECT_EQ(leaves, held) << "tree " << i;
    EXPECT_EQ(f.trees[i].tree_mass, s.size);
  }
  uint64_t occupied = 0;
  // Rows beyond the held ones were never handed out.
  EXPECT_LE(f.point_store.held_rows(), f.point_store.capacity);
  EXPECT_LE(f.point_store.next_free, f.point_store.held_rows());
  for (uint64_t row = 0; row < f.point_store.held_rows(); ++row) {
    const uint64_t expected = refs.count(row) ? refs[row] : 0;
    EXPECT_EQ(f.point_store.ref_count[row], expected) << row;
    EXPECT_EQ(static_cast<bool>(f.point_store.occupied[row]), expected > 0) << row;
    occupied += f.point_store.occupied[row];
  }
  EXPECT_EQ(occupied, f.point_store.size);
}

TEST(ForestConfig, ValidationReportsTheFirstViolatedRule) {
  const uint64_t half = uint64_t{1} << 63;
  struct Case {
    RcfConfig c;
    const char* message;  // nullptr: accepted
  };
  auto with = [](auto change) {
    RcfConfig c = config(2);
    change(c);
    return c;
  };
  const Case cases[] = {
      {with([](auto& c) {
         c.input_dim = 0;
         c.capacity = 0;
       }),
       "input_dim must be > 0"},
      {with([](auto& c) { c.shingle_size = 0; }), "shingle_size must be > 0"},
      {with([](auto& c) {
         c.input_dim = uint64_t{1} << 32;
         c.shingle_size = uint64_t{1} << 32;
       }),
       "input_dim * shingle_size overflows usize"},
      {with([](auto& c) {
         c.capacity = 0;
         c.num_trees = 0;
       }),
       "capacity must be > 0"},
      {with([](auto& c) {
         c.num_trees = 0;
         c.capacity = half;
       }),
       "num_trees must be > 0"},
      {with([&](auto& c) {
         c.capacity = half - 2;
         c.num_trees = 1;
       }),
       "2 * capacity + 4 overflows usize"},
      {with([&](auto& c) {
         c.capacity = half - 3;
         c.num_trees = 1;
       }),
       nullptr},
      {with([&](auto& c) {
         c.capacity = half - 3;
         c.num_trees = 3;
       }),
       "capacity * num_trees + 1 overflows usize"},
      {with([](auto& c) { c.capacity = uint64_t{1} << 62; }),
       "capacity * num_trees + 1 overflows usize"},
      {with([](auto& c) {
         c.capacity = kMax / 3;
         c.num_trees = 3;
       }),
       "capacity * num_trees + 1 overflows usize"},
      {with([](auto& c) { c.time_decay = -0.0; }), nullptr},
      {with([](auto& c) { c.time_decay = -1e-300; }), "time_decay must be finite and >= 0.0"},
      {with([](auto& c) { c.time_decay = std::nan(""); }), "time_decay must be finite and >= 0.0"},
      {with([](auto& c) { c.time_decay = INFINITY; }), "time_decay must be finite and >= 0.0"},
      {with([](auto& c) {
         c.time_decay = -1.0;
         c.initial_accept_fraction = 2.0;
       }),
       "time_decay must be finite and >= 0.0"},
      {with([](auto& c) { c.initial_accept_fraction = 1.0; }), nullptr},
      {with([](auto& c) { c.initial_accept_fraction = 0.0; }), nullptr},
      {with([](auto& c) { c.initial_accept_fraction = 1.0000001; }),
       "initial_accept_fraction must be finite and in [0.0, 1.0]"},
      {with([](auto& c) { c.initial_accept_fraction = -0.1; }),
       "initial_accept_fraction must be finite and in [0.0, 1.0]"},
      {with([](auto& c) { c.initial_accept_fraction = std::nan(""); }),
       "initial_accept_fraction must be finite and in [0.0, 1.0]"},
  };
  for (const auto& c : cases) {
    const auto r = Forest::validate(c.c);
    if (c.message == nullptr) {
      EXPECT_TRUE(r.has_value()) << r.error().message;
    } else {
      ASSERT_FALSE(r.has_value()) << c.message;
      EXPECT_EQ(r.error().kind, DetectorError::Kind::InvalidArgument);
      EXPECT_EQ(r.error().message, c.message);
    }
  }
}

TEST(ForestConfig, NegativeZeroDecayIsStoredAsGivenAndMeansAutomatic) {
  RcfConfig c = config(2);
  c.num_trees = 3;
  c.capacity = 16;
  Forest automatic = make(c, 4);
  c.time_decay = -0.0;
  Forest negative = make(c, 4);
  EXPECT_EQ(negative.effective_time_decay(), 0.1 / 16.0);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(8);
  for (int i = 0; i < 80; ++i) {
    const auto p = point_of(g, 2);
    ASSERT_TRUE(automatic.update(p).has_value());
    ASSERT_TRUE(negative.update(p).has_value());
  }
  std::string text = negative.to_json();
  const std::string kNegative = "\"time_decay\":-0.0,";
  ASSERT_NE(text.find(kNegative), std::string::npos);
  text.replace(text.find(kNegative), kNegative.size(), "\"time_decay\":0.0,");
  EXPECT_EQ(text, automatic.to_json());
}

TEST(ForestConfig, MemoryBeyondThePhysicalIsRefusedUpFront) {
  RcfConfig c = config(1);
  c.capacity = uint64_t{1} << 40;
  EXPECT_THROW(Forest::create(c, 1), std::bad_alloc);
  c.capacity = (uint64_t{1} << 63) - 3;
  c.num_trees = 1;
  EXPECT_THROW(Forest::create(c, 1), std::bad_alloc);
}

TEST(Forest, ConstructionDerivesGeneratorsFromTheSeed) {
  RcfConfig c = config(3);
  c.num_trees = 4;
  c.capacity = 8;
  const Forest f = make(c, 42);
  auto master = Xoshiro256PlusPlus::from_seed(42);
  for (const auto& tree : f.trees) {
    EXPECT_EQ(tree.rng, Xoshiro256PlusPlus::from_seed(master.next_u64()));
    EXPECT_TRUE(tree.is_empty());
    EXPECT_EQ(tree.dims, 3u);
  }
  EXPECT_EQ(f.rng, Xoshiro256PlusPlus::from_seed(master.next_u64()));
  EXPECT_EQ(f.point_store.capacity, 33u);  // 8 * 4 + 1
  c.num_trees = 1;
  EXPECT_EQ(make(c).point_store.capacity, 16u);  // 2 * 8
}

TEST(Forest, DefaultsAndReadiness) {
  Forest f = make(config(3));
  EXPECT_EQ(f.dim(), 3u);
  EXPECT_EQ(f.effective_time_decay(), 0.000390625);
  EXPECT_EQ(f.readiness_threshold(), 65u);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(1);
  for (int i = 0; i < 65; ++i) ASSERT_TRUE(f.update(point_of(g, 3)).has_value());
  EXPECT_FALSE(f.is_ready());
  ASSERT_TRUE(f.update(point_of(g, 3)).has_value());
  EXPECT_TRUE(f.is_ready());

  struct Case {
    uint64_t shingle;
    uint64_t output_after;
    bool internal;
    uint64_t threshold;
  };
  const Case cases[] = {{1, 10, true, 10}, {3, 10, true, 12}, {4, 0, true, 68}, {4, 0, false, 65}};
  for (const auto& c : cases) {
    RcfConfig rc = config(2);
    rc.shingle_size = c.shingle;
    rc.output_after = c.output_after;
    rc.internal_shingling = c.internal;
    rc.num_trees = 2;
    EXPECT_EQ(make(rc).readiness_threshold(), c.threshold);
  }
  RcfConfig huge = config(1);
  huge.num_trees = 1;
  huge.capacity = 4;
  huge.shingle_size = 2;
  huge.output_after = kMax;
  EXPECT_EQ(make(huge).readiness_threshold(), kMax);
}

TEST(Forest, WarmUpOnlyFillsTheShingle) {
  RcfConfig c = config(1);
  c.shingle_size = 4;
  c.num_trees = 5;
  c.capacity = 16;
  Forest f = make(c);
  const auto rng = f.rng;
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(f.update(std::vector<float>{float(i)}).has_value());
    EXPECT_EQ(f.rng, rng);
    EXPECT_EQ(f.point_store.size, 0u);
    EXPECT_EQ(f.point_store.entries_seen, static_cast<uint64_t>(i));
  }
  EXPECT_EQ(f.point_store.shingle_buf, (std::vector<float>{0, 1, 2, 3}));
  ASSERT_TRUE(f.update(std::vector<float>{4}).has_value());
  // Every sampler is empty and admits; the shingle is stored once, in row 0.
  EXPECT_NE(f.rng, rng);
  EXPECT_EQ(f.point_store.size, 1u);
  EXPECT_EQ(f.point_store.ref_count[0], 5u);
  EXPECT_EQ(std::vector<float>(f.point_store.point(0).begin(), f.point_store.point(0).end()),
            (std::vector<float>{1, 2, 3, 4}));
  check_forest(f);
}

TEST(Forest, ObservationLengthDependsOnShingling) {
  for (bool internal : {true, false}) {
    RcfConfig c = config(2);
    c.shingle_size = 2;
    c.internal_shingling = internal;
    c.num_trees = 3;
    Forest f = make(c);
    const std::vector<float> base{1, 2};
    const std::vector<float> full{1, 2, 3, 4};
    const auto ok = f.update(internal ? base : full);
    EXPECT_TRUE(ok.has_value());
    const auto bad = f.update(internal ? full : base);
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().kind, DetectorError::Kind::DimensionMismatch);
    EXPECT_EQ(bad.error().text(), internal ? "dimension mismatch: expected 2, got 4"
                                           : "dimension mismatch: expected 4, got 2");
  }
}

TEST(Forest, QueryPointRule) {
  RcfConfig c = config(2);
  c.shingle_size = 3;
  c.num_trees = 1;
  Forest f = make(c);
  f.point_store.shingle_buf = {1, 2, 3, 4, 5, 6};
  std::vector<float> scratch;
  auto q = f.query_point(std::vector<float>{7, 8}, scratch);
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(std::vector<float>(q->begin(), q->end()), (std::vector<float>{1, 2, 3, 4, 7, 8}));
  const std::vector<float> full{9, 9, 9, 9, 9, 9};
  q = f.query_point(full, scratch);
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->data(), full.data());
  q = f.query_point(std::vector<float>{1, 2, 3}, scratch);
  ASSERT_FALSE(q.has_value());
  EXPECT_EQ(q.error().text(), "dimension mismatch: expected 6, got 3");
}

TEST(Forest, DuplicateOfAHeldPointReleasesTheNewRowAtOnce) {
  RcfConfig c = config(1);
  c.num_trees = 3;
  c.capacity = 8;
  c.initial_accept_fraction = 1.0;  // every point is admitted while filling
  Forest f = make(c);
  ASSERT_TRUE(f.update(std::vector<float>{5}).has_value());
  EXPECT_EQ(f.point_store.size, 1u);
  EXPECT_EQ(f.point_store.ref_count[0], 3u);
  ASSERT_TRUE(f.update(std::vector<float>{5}).has_value());
  // Row 1 held the duplicate only briefly: released and listed for reuse.
  EXPECT_EQ(f.point_store.size, 1u);
  EXPECT_EQ(f.point_store.ref_count[0], 6u);
  EXPECT_EQ(f.point_store.free_list, std::vector<uint64_t>{1});
  ASSERT_TRUE(f.update(std::vector<float>{6}).has_value());
  EXPECT_EQ(f.point_store.ref_count[1], 3u);
  EXPECT_TRUE(f.point_store.free_list.empty());
  check_forest(f);
}

TEST(Forest, RefusedUpdatesChangeNothing) {
  RcfConfig c = config(2);
  c.shingle_size = 2;
  c.num_trees = 4;
  c.capacity = 4;
  Forest f = make(c);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(2);
  for (int i = 0; i < 30; ++i) ASSERT_TRUE(f.update(point_of(g, 2)).has_value());
  const std::string before = f.to_json();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> refused = {
      {1.0f}, {1, 2, 3, 4}, {}, {inf, 0.0f}, {0.0f, -inf}, {std::nanf(""), 1.0f}};
  for (const auto& p : refused) {
    const auto r = f.update(p);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is_value_error());
    EXPECT_EQ(f.to_json(), before);
  }
  EXPECT_EQ(f.update(std::vector<float>{inf, 0.0f}).error().message, "point values must be finite");

  // A planned deletion that cannot succeed (only reachable by tampering) stops the update too.
  Forest broken = f;
  for (uint64_t i = 0; i < broken.trees.size(); ++i) {
    ASSERT_TRUE(broken.samplers[i].is_full());
    broken.samplers[i].weights[0] = 1e300;  // every full sampler evicts
  }
  broken.trees[2].root = kNoIndex;
  const std::string broken_before = broken.to_json();
  auto r = broken.update(point_of(g, 2));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "runtime error: cannot delete from an empty tree");
  EXPECT_EQ(broken.to_json(), broken_before);

  broken = f;
  for (auto& s : broken.samplers) s.weights[0] = 1e300;
  RcfTree& t = broken.trees[1];
  t.arena.get_mut(t.leaf_for(broken.point_store.point(broken.samplers[1].point_indices[0]))).mass =
      0;
  const std::string zero_before = broken.to_json();
  r = broken.update(point_of(g, 2));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "runtime error: leaf mass is already 0");
  EXPECT_EQ(broken.to_json(), zero_before);
}

TEST(Forest, SameSeedSameStateAfterEveryUpdate) {
  RcfConfig c = config(2);
  c.shingle_size = 3;
  c.num_trees = 6;
  c.capacity = 16;
  Forest a = make(c, 9);
  Forest b = make(c, 9);
  Forest other = make(c, 10);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(4);
  for (int i = 0; i < 120; ++i) {
    const auto p = point_of(g, 2);
    ASSERT_TRUE(a.update(p).has_value());
    ASSERT_TRUE(b.update(p).has_value());
    ASSERT_TRUE(other.update(p).has_value());
    ASSERT_EQ(a.to_json(), b.to_json()) << i;
  }
  EXPECT_NE(a.to_json(), other.to_json());
  check_forest(a);
}

TEST(Forest, InvariantsHoldThroughEvictionsAndDuplicates) {
  for (bool internal : {true, false}) {
    RcfConfig c = config(2);
    c.shingle_size = 2;
    c.internal_shingling = internal;
    c.num_trees = 5;
    c.capacity = 8;
    c.time_decay = 0.05;
    Forest f = make(c, 3);
    Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(5);
    for (int i = 0; i < 400; ++i) {
      std::vector<float> p(internal ? 2 : 4);
      for (auto& x : p) x = static_cast<float>(g.bounded_index(4));  // many duplicates
      ASSERT_TRUE(f.update(p).has_value());
      if (i % 25 == 0) check_forest(f);
    }
    check_forest(f);
    for (const auto& s : f.samplers) EXPECT_TRUE(s.is_full());
  }
}

TEST(ForestState, FreshForestText) {
  const Forest f = make(config(2));
  const std::string text = f.to_json();
  EXPECT_EQ(text.rfind(
                "{\"config\":{\"input_dim\":2,\"shingle_size\":1,\"capacity\":256,\"num_trees\":50,"
                "\"time_decay\":0.0,\"output_after\":0,\"internal_shingling\":true,"
                "\"initial_accept_fraction\":0.125},\"trees\":[{\"root\":18446744073709551615,"
                "\"tree_mass\":0,\"arena\":{\"nodes\":[],\"free\":[]},\"rng\":{\"s\":[",
                0),
            0u);
  EXPECT_NE(
      text.find(
          "\"point_store\":{\"dim\":2,\"input_dim\":2,\"shingle_size\":1,"
          "\"internal_shingling\":true,\"store\":{\"v\":1,\"dim\":[12801,2],\"data\":[0.0,0.0,"),
      std::string::npos);
  EXPECT_NE(text.find("\"capacity\":12801,\"shingle_buf\":[0.0,0.0],\"entries_seen\":0},\"entries_"
                      "seen\":0,\"rng\":{\"s\":["),
            std::string::npos);
  EXPECT_NE(text.find("{\"capacity\":256,\"weights\":[0.0,"), std::string::npos);
  EXPECT_NE(text.find(",18446744073709551615],\"size\":0}"), std::string::npos);
}

TEST(ForestState, RoundTripContinuesIdentically) {
  RcfConfig c = config(3);
  c.num_trees = 7;
  c.capacity = 12;
  Forest f = make(c, 8);
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(6);
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(f.update(point_of(g, 3)).has_value());
  auto restored = Forest::from_json(f.to_json());
  ASSERT_TRUE(restored.has_value()) << restored.error().text();
  Forest copy = f;
  for (int i = 0; i < 60; ++i) {
    const auto p = point_of(g, 3);
    ASSERT_TRUE(f.update(p).has_value());
    ASSERT_TRUE(restored->update(p).has_value());
    ASSERT_TRUE(copy.update(p).has_value());
    ASSERT_EQ(restored->to_json(), f.to_json());
    ASSERT_EQ(copy.to_json(), f.to_json());
  }
}

TEST(ForestState, SteadyStateUpdateAllocatesNothing) {
  for (uint64_t input_dim : {1u, 4u}) {
    RcfConfig c = config(input_dim);
    c.shingle_size = 8 / input_dim;
    c.num_trees = 10;
    c.capacity = 32;
    Forest f = make(c);
    Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(1);
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(f.update(point_of(g, input_dim)).has_value());
    auto restored = *Forest::from_json(f.to_json());
    Forest copy = f;
    std::vector<std::vector<float>> points;
    for (int i = 0; i < 500; ++i) points.push_back(point_of(g, input_dim));
    for (Forest* target : {&f, &restored, &copy}) {
      g_allocations = 0;
      g_count_allocations = true;
      for (const auto& p : points) (void)target->update(p);
      g_count_allocations = false;
      EXPECT_EQ(g_allocations.load(), 0u) << input_dim;
    }
  }
}

}  // namespace
}  // namespace quillon::rcf
