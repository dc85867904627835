#include "onlineiforest/detector.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace quillon::oif {
namespace {

using Point = std::vector<float>;

OnlineIForestConfig config(uint64_t dim, uint64_t trees = 32, uint64_t window = 2048,
                           uint64_t eta = 32) {
  return {dim, trees, window, eta};
}

OnlineIForest make(const OnlineIForestConfig& c, uint64_t seed) {
  auto d = OnlineIForest::construct(c, seed);
  EXPECT_TRUE(d.has_value());
  return std::move(*d);
}

// A stream that drifts: a cluster whose centre moves, with occasional outliers and repeats.
std::vector<Point> stream(uint64_t seed, size_t n, uint64_t dim) {
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(seed);
  std::vector<Point> points;
  for (size_t i = 0; i < n; ++i) {
    Point p(dim);
    const double centre = static_cast<double>(i) / 50.0;
    for (float& v : p) v = static_cast<float>(centre + g.unit_f64());
    if (i % 97 == 0) p[0] = 1000.0f;
    if (i % 13 == 0 && !points.empty()) p = points.back();
    points.push_back(p);
  }
  return points;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string error_of(std::string_view text) {
  auto r = OnlineIForest::from_json(text);
  return r ? std::string("<accepted>") : r.error().message;
}

TEST(OnlineIForestConstruct, ValidationInOrder) {
  struct Case {
    OnlineIForestConfig config;
    const char* message;
  };
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const Case cases[] = {
      {{0, 0, 0, 0}, "input_dim must be > 0"},
      {{2, 0, 0, 0}, "num_trees must be > 0"},
      {{2, 1, 0, 0}, "window_size must be > 0"},
      {{2, 1, kMax, 0}, "window_size is too large"},
      {{2, 1, 10, 0}, "max_leaf_samples must be > 0"},
      {{2, 32, 32, 32}, "window_size must be greater than max_leaf_samples"},
      {{2, 32, 5, 6}, "window_size must be greater than max_leaf_samples"},
  };
  for (const Case& c : cases) {
    auto d = OnlineIForest::construct(c.config, 1);
    ASSERT_FALSE(d.has_value()) << c.message;
    EXPECT_EQ(d.error().kind, DetectorError::Kind::InvalidArgument);
    EXPECT_EQ(d.error().message, c.message);
  }
  EXPECT_TRUE(OnlineIForest::construct({1, 1, 2, 1}, 1).has_value());
  EXPECT_TRUE(OnlineIForest::construct({1, 1, 5, 1}, std::nullopt).has_value());
}

TEST(OnlineIForestConstruct, StorageBeyondMemoryFailsCleanly) {
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const OnlineIForestConfig huge[] = {
      {1, 1, uint64_t{1} << 62, 1},  // window of 2^62 points
      {1 << 20, 1, kMax - 1, 1},     // window bytes overflow 64 bits
      {uint64_t{1} << 40, 1, 2048, 32},
      {1, uint64_t{1} << 60, 2048, 32},  // trees
  };
  for (const OnlineIForestConfig& c : huge) {
    EXPECT_THROW((void)OnlineIForest::construct(c, 1), std::bad_alloc);
  }
}

TEST(OnlineIForest, FreshDetectorScoresOne) {
  OnlineIForest d = make(config(3), 5);
  EXPECT_FALSE(d.is_ready());
  EXPECT_EQ(d.entries_seen(), 0u);
  EXPECT_EQ(d.num_trees(), 32u);
  for (const Point& p : {Point{0, 0, 0}, Point{1e30f, -5, 2}, Point{-0.0f, 3, 3}}) {
    EXPECT_EQ(d.score(p).value(), 1.0);
  }
  EXPECT_EQ(d.repr(),
            "OnlineIForest(input_dim=3, num_trees=32, window_size=2048, max_leaf_samples=32, "
            "entries_seen=0)");
}

TEST(OnlineIForest, RepeatedPointScores) {
  OnlineIForest d = make(config(2), 9);
  const Point p{0.25f, -4.0f};
  for (int i = 1; i <= 64; ++i) {
    const double s = d.update_and_score(p).value();
    if (i <= 32) {
      EXPECT_EQ(s, 1.0) << i;
    } else if (i == 33) {
      EXPECT_EQ(s, 0.9948845190874696);
    } else if (i == 64) {
      EXPECT_EQ(s, 0.8908987181403393);
    }
  }
  EXPECT_TRUE(d.is_ready());
  EXPECT_EQ(d.to_json().find("\"split\":{"), std::string::npos);  // never split
  EXPECT_EQ(d.repr(),
            "OnlineIForest(input_dim=2, num_trees=32, window_size=2048, max_leaf_samples=32, "
            "entries_seen=64)");
}

TEST(OnlineIForest, TreeGeneratorsDerivedFromTheSeed) {
  const std::string json = make(config(1), 42).to_json();
  const std::string first_tree =
      "\"trees\":[{\"root\":null,\"rng\":{\"s\":[7859636576997966354,1263635441869299813,"
      "16081493032536890308,3165408155234214758]}}";
  EXPECT_NE(json.find(first_tree), std::string::npos) << json.substr(0, 300);
}

TEST(OnlineIForest, WorkedSplitExample) {
  OnlineIForest d = make(config(1, 1, 4, 1), 42);
  EXPECT_EQ(d.update_and_score(Point{0.0f}).value(), 1.0);
  EXPECT_EQ(d.update_and_score(Point{1.0f}).value(), 0.7071067811865476);
  EXPECT_EQ(
      d.to_json(),
      "{\"config\":{\"input_dim\":1,\"num_trees\":1,\"window_size\":4,\"max_leaf_samples\":1},"
      "\"trees\":[{\"root\":{\"height\":2,\"support\":{\"min\":[0.0],\"max\":[1.0]},\"split\":{"
      "\"dimension\":0,\"value\":0.7967148,\"left\":{\"height\":1,\"support\":{\"min\":[0.51009905]"
      ","
      "\"max\":[0.51009905]},\"split\":null},\"right\":{\"height\":1,\"support\":{\"min\":[0."
      "90457344],\"max\":[0.90457344]},\"split\":null}}},\"rng\":{\"s\":[11300411774541849140,"
      "2215873402571913940,7674794735910000056,5130337618987571036]}}],\"window\":[[0.0],[1.0]],"
      "\"entries_seen\":2}");
}

TEST(OnlineIForest, WindowHoldsTheLastWPoints) {
  const uint64_t w = 16;
  OnlineIForest d = make(config(2, 4, w, 2), 3);
  const auto points = stream(4, w + 5, 2);
  for (const Point& p : points) ASSERT_TRUE(d.update(p).has_value());
  EXPECT_EQ(d.entries_seen(), w + 5);
  ASSERT_EQ(d.window().size(), w);
  for (uint64_t i = 0; i < w; ++i) {
    const auto got = d.window().at(i);
    EXPECT_EQ(Point(got.begin(), got.end()), points[5 + i]);
  }
  for (const OnlineITree& t : d.trees()) EXPECT_EQ(t.arena().node(0).height, w);
}

TEST(OnlineIForest, UpdateAndScoreIsUpdateThenScore) {
  OnlineIForest a = make(config(3, 8, 64, 4), 17);
  OnlineIForest b = make(config(3, 8, 64, 4), 17);
  for (const Point& p : stream(18, 400, 3)) {
    const double before = b.score(p).value();
    const double combined = a.update_and_score(p).value();
    ASSERT_TRUE(b.update(p).has_value());
    const double after = b.score(p).value();
    ASSERT_EQ(combined, after);
    ASSERT_GT(before, 0.0);
    ASSERT_LE(before, 1.0);
  }
  EXPECT_EQ(a.to_json(), b.to_json());
}

TEST(OnlineIForest, SameSeedSameStateDifferentSeedDiffers) {
  const auto points = stream(5, 300, 2);
  OnlineIForest a = make(config(2, 6, 50, 3), 77);
  OnlineIForest b = make(config(2, 6, 50, 3), 77);
  OnlineIForest c = make(config(2, 6, 50, 3), 78);
  for (const Point& p : points) {
    ASSERT_EQ(a.update_and_score(p).value(), b.update_and_score(p).value());
    ASSERT_TRUE(c.update(p).has_value());
  }
  EXPECT_EQ(a.to_json(), b.to_json());
  EXPECT_NE(a.to_json(), c.to_json());
}

TEST(OnlineIForest, RefusedPointsChangeNothing) {
  OnlineIForest d = make(config(3, 4, 32, 2), 8);
  for (const Point& p : stream(9, 50, 3)) ASSERT_TRUE(d.update(p).has_value());
  const std::string before = d.to_json();
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    Point point;
    DetectorError::Kind kind;
    std::string text;
  };
  const Case cases[] = {
      {{1, 2}, DetectorError::Kind::DimensionMismatch, "dimension mismatch: expected 3, got 2"},
      {{}, DetectorError::Kind::DimensionMismatch, "dimension mismatch: expected 3, got 0"},
      {{1, 2, 3, 4},
       DetectorError::Kind::DimensionMismatch,
       "dimension mismatch: expected 3, got 4"},
      {{1, nan, 3},
       DetectorError::Kind::InvalidArgument,
       "invalid argument: point values must be finite"},
      {{inf, 2, 3},
       DetectorError::Kind::InvalidArgument,
       "invalid argument: point values must be finite"},
      {{1, 2, -inf},
       DetectorError::Kind::InvalidArgument,
       "invalid argument: point values must be finite"},
      // A wrong length is reported before a non-finite value.
      {{nan, nan}, DetectorError::Kind::DimensionMismatch, "dimension mismatch: expected 3, got 2"},
  };
  for (const Case& c : cases) {
    for (int op = 0; op < 3; ++op) {
      DetectorError err;
      if (op == 0) err = d.update(c.point).error();
      if (op == 1) err = d.update_and_score(c.point).error();
      if (op == 2) err = d.score(c.point).error();
      EXPECT_EQ(err.kind, c.kind);
      EXPECT_EQ(err.text(), c.text);
    }
    EXPECT_EQ(d.to_json(), before);
  }
}

TEST(OnlineIForest, CopiesAreIndependent) {
  OnlineIForest a = make(config(2, 4, 40, 2), 10);
  const auto points = stream(11, 200, 2);
  for (size_t i = 0; i < 100; ++i) ASSERT_TRUE(a.update(points[i]).has_value());
  OnlineIForest b = a;
  const std::string snapshot = b.to_json();
  for (size_t i = 100; i < 200; ++i) ASSERT_TRUE(a.update(points[i]).has_value());
  EXPECT_EQ(b.to_json(), snapshot);
  for (size_t i = 100; i < 200; ++i) ASSERT_TRUE(b.update(points[i]).has_value());
  EXPECT_EQ(a.to_json(), b.to_json());
}

// Saved at any point, a restored detector continues exactly like the original, splits and folds
// included; every state written along the way also passes the loader's consistency checks.
TEST(OnlineIForestJson, RoundTripContinuesIdentically) {
  const OnlineIForestConfig configs[] = {config(1, 1, 4, 1), config(2, 5, 64, 2),
                                         config(4, 3, 300, 8), config(3, 2, 33, 32)};
  uint64_t seed = 100;
  for (const OnlineIForestConfig& c : configs) {
    OnlineIForest original = make(c, ++seed);
    const auto points = stream(seed, 700, c.input_dim);
    for (size_t i = 0; i < points.size(); ++i) {
      if (i % 97 == 0 || i == 5) {
        const std::string saved = original.to_json();
        auto restored = OnlineIForest::from_json(saved);
        ASSERT_TRUE(restored.has_value()) << restored.error().message;
        ASSERT_EQ(restored->to_json(), saved);
        OnlineIForest ahead = original;
        for (size_t j = i; j < std::min(points.size(), i + 150); ++j) {
          ASSERT_EQ(restored->update_and_score(points[j]).value(),
                    ahead.update_and_score(points[j]).value());
        }
        ASSERT_EQ(restored->to_json(), ahead.to_json());
      }
      ASSERT_TRUE(original.update(points[i]).has_value());
    }
    EXPECT_NE(original.to_json().find("\"split\":{"), std::string::npos);
  }
}

TEST(OnlineIForestJson, LenientForms) {
  OnlineIForest d = make(config(1, 1, 4, 1), 42);
  ASSERT_TRUE(d.update(Point{0.0f}).has_value());
  ASSERT_TRUE(d.update(Point{1.0f}).has_value());
  const std::string json = d.to_json();
  const std::string leaf =
      "{\"height\":1,\"support\":{\"min\":[0.51009905],\"max\":[0.51009905]},"
      "\"split\":null}";
  const std::string variants[] = {
      // "split" missing on a leaf
      replaced(json, leaf,
               "{\"height\":1,\"support\":{\"min\":[0.51009905],\"max\":[0.51009905]}}"),
      // unknown keys anywhere
      replaced(replaced(json, "{\"height\":2", "{\"x\":[1,{\"y\":null}],\"height\":2"),
               "\"entries_seen\"", "\"extra\":true,\"entries_seen\""),
      // records written as arrays of their values
      replaced(json, leaf, "[1,[[0.51009905],[0.51009905]],null]"),
      replaced(json, "{\"input_dim\":1,\"num_trees\":1,\"window_size\":4,\"max_leaf_samples\":1}",
               "[1,1,4,1]"),
      // keys in another order, white space around
      replaced(json, leaf,
               " { \"split\" : null , \"support\":{\"max\":[0.51009905],\"min\":[0.51009905]},"
               "\"height\":1 } "),
  };
  for (const std::string& v : variants) {
    auto r = OnlineIForest::from_json(v);
    ASSERT_TRUE(r.has_value()) << v << "\n" << r.error().message;
    EXPECT_EQ(r->to_json(), json);
  }
  // An empty tree may leave out "root".
  const std::string fresh = make(config(1, 1, 4, 1), 42).to_json();
  auto r = OnlineIForest::from_json(replaced(fresh, "\"root\":null,", ""));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->to_json(), fresh);
}

// A small valid state to break in one place at a time: one tree, window size 4, eta 1, so the
// depth limit is 2 and the split thresholds are 1 at the root and 2 at depth 1.
constexpr const char* kBase =
    R"({"config":{"input_dim":1,"num_trees":1,"window_size":4,"max_leaf_samples":1},)"
    R"("trees":[{"root":{"height":2,"support":{"min":[0.0],"max":[1.0]},"split":{"dimension":0,)"
    R"("value":0.5,"left":LEFT,"right":{"height":1,"support":{"min":[1.0],"max":[1.0]},)"
    R"("split":null}}},"rng":{"s":[1,2,3,4]}}],"window":[[0.0],[1.0]],"entries_seen":2})";
constexpr const char* kLeaf = R"({"height":1,"support":{"min":[0.0],"max":[0.0]},"split":null})";

std::string base_with_left(const std::string& left) { return replaced(kBase, "LEFT", left); }

TEST(OnlineIForestJson, BaseStateLoads) {
  auto d = OnlineIForest::from_json(base_with_left(kLeaf));
  ASSERT_TRUE(d.has_value()) << d.error().message;
  EXPECT_EQ(d->to_json(), base_with_left(kLeaf));
  EXPECT_EQ(d->score(Point{0.0f}).value(), std::exp2(-1.0 / 2.0));
}

TEST(OnlineIForestJson, InconsistentStatesAreRefused) {
  const std::string base = base_with_left(kLeaf);
  const std::string deep_left =
      R"({"height":2,"support":{"min":[0.0],"max":[0.4]},"split":{"dimension":0,"value":0.2,)"
      R"("left":{"height":1,"support":{"min":[0.0],"max":[0.0]},"split":null},)"
      R"("right":{"height":1,"support":{"min":[0.4],"max":[0.4]},"split":null}}})";
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {replaced(base, "\"input_dim\":1", "\"input_dim\":0"), "input_dim must be > 0"},
      {replaced(base, "\"max_leaf_samples\":1", "\"max_leaf_samples\":0"),
       "max_leaf_samples must be > 0"},
      {replaced(base, "\"window_size\":4", "\"window_size\":1"),
       "window_size must be greater than max_leaf_samples"},
      {replaced(base, "\"num_trees\":1", "\"num_trees\":2"), "expected 2 trees, found 1"},
      {replaced(base, "\"entries_seen\":2", "\"entries_seen\":3"),
       "window holds 2 points, expected 3 after 3 entries with window_size 4"},
      {replaced(base, "[[0.0],[1.0]],\"entries_seen\":2",
                "[[0.0],[1.0],[1.0],[1.0],[1.0]],\"entries_seen\":9"),
       "window holds 5 points, expected 4 after 9 entries with window_size 4"},
      {replaced(base, "[[0.0],[1.0]]", "[[0.0],[1.0,2.0]]"),
       "window point 1 has 2 values, expected 1"},
      {replaced(base, "[[0.0],[1.0]]", "[[1e39],[1.0]]"), "window point 0 values must be finite"},
      {replaced(base, "\"support\":{\"min\":[0.0],\"max\":[1.0]}",
                "\"support\":{\"min\":[0.0],\"max\":[1.0,2.0]}"),
       "tree 0: support has 2 values, expected 1"},
      {replaced(base, "\"support\":{\"min\":[0.0],\"max\":[1.0]}",
                "\"support\":{\"min\":[],\"max\":[1.0]}"),
       "tree 0: support has 0 values, expected 1"},
      {replaced(base, "\"max\":[1.0]}", "\"max\":[-1e300]}"),
       "tree 0: support values must be finite"},
      {replaced(base, "\"dimension\":0", "\"dimension\":1"),
       "tree 0: split dimension 1 out of range for input_dim 1"},
      {replaced(base, "\"dimension\":0", "\"dimension\":18446744073709551615"),
       "tree 0: split dimension 18446744073709551615 out of range for input_dim 1"},
      {replaced(base, "\"value\":0.5", "\"value\":4e38"), "tree 0: split value must be finite"},
      {replaced(base, "{\"height\":2", "{\"height\":3"),
       "tree 0: root height 3 differs from the 2 points of the window"},
      {replaced(base,
                "\"root\":{\"height\":2,\"support\":{\"min\":[0.0],\"max\":[1.0]},\"split\":{"
                "\"dimension\":0,\"value\":0.5,\"left\":" +
                    std::string(kLeaf) +
                    ",\"right\":{\"height\":1,\"support\":{\"min\":[1.0],\"max\":[1.0]},\"split\":"
                    "null}}}",
                "\"root\":null"),
       "tree 0: tree is empty but the window holds 2 points"},
      {base_with_left(R"({"height":0,"support":{"min":[0.0],"max":[0.0]},"split":null})"),
       "tree 0: node height 2 exceeds the sum of its children's heights"},
      // At depth 1 a node may count 1 * (2 + 1) plus the one window point routed to it, 4.
      {base_with_left(R"({"height":5,"support":{"min":[0.0],"max":[0.0]},"split":null})"),
       "tree 0: node height 5 at depth 1 is more than 2 window points can give"},
      {replaced(base, "\"height\":1,\"support\":{\"min\":[1.0]", "\"height\":5,\"support\":{\"min\":[1.0]"),
       "tree 0: node height 5 at depth 1 is more than 2 window points can give"},
      // With both window points routed right, the left child may only count what it was made with.
      {replaced(base_with_left(R"({"height":4,"support":{"min":[0.0],"max":[0.0]},"split":null})"),
                "[[0.0],[1.0]]", "[[1.0],[1.0]]"),
       "tree 0: node height 4 at depth 1 is more than 2 window points can give"},
      // An internal node at depth 1 needs a count of at least 1 * 2^1.
      {base_with_left(replaced(deep_left, "{\"height\":2", "{\"height\":1")),
       "tree 0: split node height 1 below its split threshold at depth 1"},
      // Depth limit 2: a node at depth 2 never splits.
      {base_with_left(replaced(
           deep_left, R"("left":{"height":1,"support":{"min":[0.0],"max":[0.0]},"split":null})",
           R"("left":{"height":1,"support":{"min":[0.0],"max":[0.0]},"split":{"dimension":0,"value":0.0,"left":)" +
               std::string(kLeaf) + "," + "\"right\":" + kLeaf + "}}")),
       "tree 0: split at depth 2 beyond the depth limit"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(error_of(c.text), "invalid OnlineIForest JSON: " + c.message) << c.text;
  }
  EXPECT_EQ(error_of(base_with_left(R"({"height":4,"support":{"min":[0.0],"max":[0.0]},"split":null})")),
            "<accepted>");
  // The deeper (valid) left subtree itself loads.
  EXPECT_EQ(error_of(replaced(base_with_left(deep_left),
                              "\"height\":2,\"support\":{\"min\":[0.0],\"max\":[1.0]}",
                              "\"height\":2,\"support\":{\"min\":[0.0],\"max\":[1.0]}")),
            "<accepted>");
}

TEST(OnlineIForestJson, MalformedTextIsRefusedWithTheReaderMessage) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{}", "missing field `config` at line 1 column 2"},
      {"[]", "invalid length 0, expected struct OnlineIForest with 4 elements at line 1 column 2"},
      {replaced(base_with_left(kLeaf), "\"rng\":{\"s\":[1,2,3,4]}", "\"rng\":{\"s\":[1,2,3]}"),
       "invalid length 3, expected an array of length 4"},
      {replaced(base_with_left(kLeaf), "\"height\":2", "\"height\":-2"), "invalid value"},
      {replaced(base_with_left(kLeaf), "\"height\":2", "\"height\":2,\"height\":2"),
       "duplicate field `height`"},
      {replaced(base_with_left(kLeaf), "\"value\":0.5,", ""), "missing field `value`"},
      {replaced(base_with_left(kLeaf), "\"left\":", "\"lft\":"), "missing field `left`"},
      {replaced(base_with_left(kLeaf), "\"value\":0.5", "\"value\":null"), "invalid type: null"},
      {base_with_left(kLeaf) + "x", "trailing characters"},
  };
  for (const Case& c : cases) {
    const std::string err = error_of(c.text);
    EXPECT_EQ(err.rfind("invalid OnlineIForest JSON: " + c.message, 0), 0u) << err;
  }
}

// A hostile chain of nested nodes far deeper than any tree: refused by the reader's nesting limit
// without exhausting the stack, whatever its length.
TEST(OnlineIForestJson, DeeplyNestedNodesAreRefused) {
  for (const int levels : {70, 1000, 100000}) {
    std::string chain;
    for (int i = 0; i < levels; ++i) {
      chain +=
          R"({"height":2,"support":{"min":[0.0],"max":[0.0]},"split":{"dimension":0,"value":0.0,"left":)";
    }
    chain += kLeaf;
    const std::string text = base_with_left(chain);
    EXPECT_NE(error_of(text).find("recursion limit exceeded"), std::string::npos);
  }
}

TEST(OnlineIForestJson, RestoredCounterAtTheTopRefusesUpdates) {
  // A full window of 4 points whose counter has reached the top.
  std::string full = replaced(base_with_left(kLeaf), "{\"height\":2", "{\"height\":4");
  full = replaced(full, "\"height\":1,\"support\":{\"min\":[1.0]",
                  "\"height\":3,\"support\":{\"min\":[1.0]");
  full = replaced(full, "[[0.0],[1.0]],\"entries_seen\":2",
                  "[[0.0],[1.0],[1.0],[1.0]],\"entries_seen\":18446744073709551615");
  auto d = OnlineIForest::from_json(full);
  ASSERT_TRUE(d.has_value()) << d.error().message;
  const std::string before = d->to_json();
  const auto updated = d->update(Point{0.5f});
  const auto scored = d->update_and_score(Point{0.5f});
  ASSERT_FALSE(updated.has_value());
  ASSERT_FALSE(scored.has_value());
  EXPECT_EQ(updated.error().text(), "overflow: OnlineIForest entries_seen overflow");
  EXPECT_EQ(scored.error().text(), "overflow: OnlineIForest entries_seen overflow");
  EXPECT_EQ(d->to_json(), before);
  EXPECT_TRUE(d->is_ready());
}

TEST(OnlineIForestJson, HugeSavedConfigurationFailsCleanly) {
  const std::string text =
      R"({"config":{"input_dim":1,"num_trees":1,"window_size":4611686018427387904,)"
      R"("max_leaf_samples":1},"trees":[{"root":null,"rng":{"s":[1,2,3,4]}}],"window":[],)"
      R"("entries_seen":0})";
  EXPECT_THROW((void)OnlineIForest::from_json(text), std::bad_alloc);
}

}  // namespace
}  // namespace quillon::oif

namespace quillon::oif {
namespace {

// Whatever a mutated state holds, it is either refused or yields a detector that updates, scores
// and saves without reading out of bounds (run under the sanitizers), and saves a state that
// loads again.
TEST(OnlineIForestJson, MutatedStatesNeverBreakTheDetector) {
  OnlineIForest d = make(config(2, 2, 12, 2), 5);
  const auto points = stream(6, 30, 2);
  for (const Point& p : points) ASSERT_TRUE(d.update(p).has_value());
  const std::string text = d.to_json();
  Xoshiro256PlusPlus g = Xoshiro256PlusPlus::from_seed(12);
  const std::string replacements = "0123456789-.,:[]{}\"en ";
  size_t accepted = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::string mutated = text;
    const int edits = 1 + static_cast<int>(g.bounded_index(3));
    for (int e = 0; e < edits; ++e) {
      const size_t at = g.bounded_index(mutated.size());
      switch (g.bounded_index(3)) {
        case 0: mutated[at] = replacements[g.bounded_index(replacements.size())]; break;
        case 1: mutated.erase(at, 1 + g.bounded_index(4)); break;
        default: mutated.insert(at, 1, replacements[g.bounded_index(replacements.size())]); break;
      }
    }
    auto r = OnlineIForest::from_json(mutated);
    if (!r) {
      ASSERT_EQ(r.error().message.rfind("invalid OnlineIForest JSON: ", 0), 0u);
      continue;
    }
    ++accepted;
    for (const Point& p : points) {
      ASSERT_TRUE(r->update_and_score(p).has_value());
      ASSERT_TRUE(r->score(p).has_value());
    }
    ASSERT_TRUE(OnlineIForest::from_json(r->to_json()).has_value()) << mutated;
  }
  RecordProperty("accepted", static_cast<int>(accepted));
  EXPECT_GT(accepted, 0u);
}

}  // namespace
}  // namespace quillon::oif
