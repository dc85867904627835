#include "rcf/forest/impute.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "rcf/tree/traversal.hpp"

namespace quillon::rcf {

namespace {

// Orders 32-bit floats by the IEEE total order (-NaN < -inf < ... < -0.0 < +0.0 < ... < +inf <
// +NaN) through their bit patterns.
uint32_t total_order_key(float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

}  // namespace

std::vector<uint64_t> conditional_search(const Forest& forest, std::span<const float> x,
                                         std::span<const uint8_t> mask, uint64_t seed,
                                         double centrality) {
  QUILLON_INVARIANT(x.size() == forest.dim() && mask.size() == forest.dim(),
                    "conditional search needs dim values and dim mask entries");
  Xoshiro256PlusPlus query_gen = Xoshiro256PlusPlus::from_seed(seed);
  std::vector<uint64_t> rows;
  rows.reserve(forest.trees.size());
  std::vector<uint64_t> stack;
  for (const RcfTree& tree : forest.trees) {
    // One word per tree, empty or not, so that a tree's generator depends only on its position.
    const uint64_t tree_seed = query_gen.next_u64();
    if (tree.is_empty() || tree.tree_mass == 0) continue;
    Xoshiro256PlusPlus tree_gen = Xoshiro256PlusPlus::from_seed(tree_seed);
    rows.push_back(conditional_walk(tree, forest.point_store, x.data(), mask.data(), centrality,
                                    tree_gen, stack));
  }
  return rows;
}

float coordinate_median(const PointStore& store, std::span<const uint64_t> rows, uint64_t k) {
  QUILLON_INVARIANT(!rows.empty() && k < store.dim, "median of no candidates");
  std::vector<float> values;
  values.reserve(rows.size());
  for (const uint64_t row : rows) values.push_back(store.point(row)[k]);
  std::sort(values.begin(), values.end(),
            [](float a, float b) { return total_order_key(a) < total_order_key(b); });
  const size_t n = values.size();
  if (n % 2 == 1) return values[n / 2];
  return (values[n / 2 - 1] + values[n / 2]) * 0.5f;
}

Result<std::vector<float>> impute(const Forest& forest, std::span<const float> values,
                                  std::span<const uint64_t> missing, double centrality) {
  if (missing.empty()) return fail(DetectorError::invalid_argument("missing list is empty"));
  const uint64_t dim = forest.dim();
  if (values.size() != dim) return fail(DetectorError::dimension_mismatch(dim, values.size()));
  std::vector<uint8_t> mask(dim, 0);
  for (const uint64_t index : missing) {
    if (index >= dim) return fail(DetectorError::index_out_of_bounds(index));
    mask[index] = 1;
  }
  // Missing positions are never read, so they may hold anything (NaN is the natural marker).
  if (auto ok = check_known_finite(values, mask); !ok) return fail(std::move(ok.error()));
  // The word the forest generator would give next, read from a copy: repeated calls on an
  // unchanged forest agree, and the forest's own stream is not consumed by a query.
  Xoshiro256PlusPlus peek = forest.rng;
  const uint64_t seed = peek.next_u64();
  const std::vector<uint64_t> rows = conditional_search(forest, values, mask, seed, centrality);
  if (rows.empty()) return fail(DetectorError::not_ready());
  std::vector<float> result(values.begin(), values.end());
  for (const uint64_t index : missing) {
    result[index] = coordinate_median(forest.point_store, rows, index);
  }
  return result;
}

Result<std::vector<float>> extrapolate(const Forest& forest, uint64_t look_ahead) {
  const RcfConfig& config = forest.config;
  if (!config.internal_shingling) {
    return fail(
        DetectorError::invalid_argument("extrapolation requires internal_shingling = true"));
  }
  if (config.shingle_size <= 1) {
    return fail(DetectorError::invalid_argument("extrapolation requires shingle_size > 1"));
  }
  if (look_ahead == 0) return std::vector<float>{};
  if (look_ahead > config.shingle_size) {
    return fail(DetectorError::invalid_argument(
        "extrapolation requires look_ahead <= shingle_size (got " + std::to_string(look_ahead) +
        ", shingle_size=" + std::to_string(config.shingle_size) + ")"));
  }

  const PointStore& store = forest.point_store;
  std::vector<float> working(store.shingle_buf.begin(), store.shingle_buf.end());
  const uint64_t total = working.size();
  const uint64_t block = store.input_dim;
  QUILLON_INVARIANT(total == forest.dim() && look_ahead <= total / std::max<uint64_t>(block, 1),
                    "shingle buffer shorter than the look-ahead");
  std::vector<float> result;
  result.reserve(look_ahead * block);
  std::vector<uint8_t> mask(total, 0);
  for (uint64_t step = 0; step < look_ahead; ++step) {
    const uint64_t begin = total - (step + 1) * block;
    const uint64_t end = total - step * block;
    std::fill(mask.begin(), mask.end(), 0);
    std::fill(mask.begin() + static_cast<ptrdiff_t>(begin),
              mask.begin() + static_cast<ptrdiff_t>(end), 1);
    // Centrality 1.0 makes no random choice, so the seed is irrelevant.
    const std::vector<uint64_t> rows = conditional_search(forest, working, mask, 0, 1.0);
    if (rows.empty()) return fail(DetectorError::not_ready());
    for (uint64_t pos = begin; pos < end; ++pos) {
      const float m = coordinate_median(store, rows, pos);
      working[pos] = m;
      result.push_back(m);
    }
  }
  return result;
}

}  // namespace quillon::rcf
