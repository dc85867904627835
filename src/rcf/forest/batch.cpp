// Forest's batches: the rows of run_batch are checked as the single calls check them, then
// applied as they apply them.
#include <type_traits>
#include <vector>

#include "rcf/forest/mod.hpp"
#include "rcf/forest/query.hpp"

namespace quillon::rcf {
namespace {

// `F` is const for score_many, which changes nothing.
template <class F>
struct ForestBatch {
  F& forest;
  const Rows<float>& points;
  BatchMode mode;

  BatchStatus before() const {
    return check_rows_form(points, forest.observation_width() == 1, "points");
  }
  // The scoring step's length (update_and_score scores first), then the ingesting step's length,
  // finiteness and counter room; a preview's values are checked as a single score checks them.
  Status check(size_t i) const {
    const std::span<const float> row = points[i];
    if (scores(mode)) {
      if (auto ok = forest.check_query_width(row.size()); !ok) return ok;
    }
    if (!ingests(mode)) return check_known_finite(row);
    if (auto ok = forest.check_observation(row); !ok) return ok;
    // The counters as row i finds them, after the rows before it.
    if (auto ok = check_entries_room(forest.entries_seen, uint64_t{i} + 1, "Forest"); !ok) {
      return ok;
    }
    return check_entries_room(forest.point_store.entries_seen, uint64_t{i} + 1, "Forest");
  }
  Status apply(size_t i, double* score_out) const {
    const std::span<const float> row = points[i];
    if (score_out != nullptr) {
      auto s = score(forest, row);
      if (!s) return fail(s.error());
      *score_out = *s;
    }
    if constexpr (!std::is_const_v<F>) {
      if (ingests(mode)) return forest.update(row);
    }
    return {};
  }
  void finish() const {}
};

template <class F>
BatchResult<Scores> run(F& forest, const Rows<float>& points, BatchMode mode,
                        const BatchInterrupt& interrupt) {
  ForestBatch<F> batch{forest, points, mode};
  return run_batch(batch, points.size(), mode, interrupt);
}

}  // namespace

BatchStatus Forest::update_many(const Rows<float>& points, const BatchInterrupt& interrupt) {
  auto r = run(*this, points, BatchMode::Update, interrupt);
  if (!r) return std::unexpected(std::move(r.error()));
  return {};
}

BatchResult<Scores> Forest::score_many(const Rows<float>& points,
                                       const BatchInterrupt& interrupt) const {
  return run(*this, points, BatchMode::Score, interrupt);
}

BatchResult<Scores> Forest::update_and_score_many(const Rows<float>& points,
                                                  const BatchInterrupt& interrupt) {
  return run(*this, points, BatchMode::UpdateAndScore, interrupt);
}

}  // namespace quillon::rcf
