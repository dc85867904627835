// Forest's batches: the rows of run_batch are checked as the single calls check them, then
// applied as they apply them.
#include <type_traits>
#include <vector>

#include "helper_thread.hpp"
#include "rcf/forest/mod.hpp"
#include "rcf/forest/query.hpp"

namespace quillon::rcf {

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

// A batch whose rows each spread over two threads: the first trees on a helper thread, the rest on
// the caller's. Per row, the caller plans the update alone (every check and decision, nothing
// changed), then both threads score their trees and mutate the ones that admit the new point, and
// the caller settles the store and samplers in tree order. Each thread touches only its own
// trees and reads the store, which nothing changes meanwhile, and the score's terms are summed
// in tree order: the results are those of the single calls, bit for bit.
template <class F>
struct SplitBatch {
  SplitBatch(const ForestBatch<F>& batch, HelperThread& thread)
      : rows(batch), helper(thread), split(helper_share(batch)),
        terms(batch.forest.trees.size(), 0.0) {}

  // The caller also plans and settles each update alone, so the helper takes more of the trees
  // when rows are ingested.
  static size_t helper_share(const ForestBatch<F>& batch) {
    const size_t trees = batch.forest.trees.size();
    return ingests(batch.mode) ? trees * kHelperShareOfUpdates / 100 : trees / 2;
  }
  static constexpr size_t kHelperShareOfUpdates = 60;

  ForestBatch<F> rows;
  HelperThread& helper;
  size_t split = 0;  // trees [0, split) on the helper
  std::vector<float> query_scratch;
  std::vector<double> terms;
  MixScratch walks[2];
  TreeMutations mutations[2];
  // The row in progress.
  const float* query = nullptr;
  uint64_t new_row = kNoIndex;
  size_t admission_split = 0;  // admissions [0, admission_split) are the helper's
  // Consecutive rows whose half the helper missed, and rows left to run without it.
  size_t misses = 0;
  size_t alone = 0;
  static constexpr size_t kMissesBeforeAlone = 8;
  static constexpr size_t kRowsAlone = 512;

  BatchStatus before() const { return rows.before(); }
  Status check(size_t i) const { return rows.check(i); }
  void finish() const {}

  Status apply(size_t i, double* score_out) {
    F& forest = rows.forest;
    const std::span<const float> row = rows.points[i];
    query = nullptr;
    if (score_out != nullptr) {
      auto q = forest.query_point(row, query_scratch);
      if (!q) return fail(q.error());
      query = q->data();
    }
    new_row = kNoIndex;
    admission_split = 0;
    if constexpr (!std::is_const_v<F>) {
      if (ingests(rows.mode)) {
        if (auto ok = forest.plan_update(row); !ok) return ok;
        new_row = forest.begin_planned_update(row);
      }
      if (new_row != kNoIndex) {
        while (admission_split < forest.admissions_.size() &&
               forest.admissions_[admission_split].tree < split) {
          ++admission_split;
        }
      }
    }
    if (alone > 0) {
      --alone;
      run(0);
      run(1);
    } else {
      // A helper that keeps missing its half (the machine is busy) costs a wake-up per row and
      // a spinning thread: the caller then runs a stretch of rows alone before it asks again.
      misses = helper.run_pair(*this) ? 0 : misses + 1;
      if (misses >= kMissesBeforeAlone) {
        misses = 0;
        alone = kRowsAlone;
      }
    }
    if constexpr (!std::is_const_v<F>) {
      if (new_row != kNoIndex) forest.finish_planned_update(new_row);
    }
    if (score_out != nullptr) {
      double sum = 0.0;
      for (const double term : terms) sum += term;
      *score_out = sum / static_cast<double>(forest.trees.size());
    }
    return {};
  }

  // Part 1 is the helper's: trees [0, split); part 0 the caller's: the rest.
  void run(int part) {
    F& forest = rows.forest;
    const size_t first = part == 1 ? 0 : split;
    const size_t last = part == 1 ? split : forest.trees.size();
    if (query != nullptr) score_contributions(forest, query, first, last, terms, walks[part]);
    if constexpr (!std::is_const_v<F>) {
      if (new_row != kNoIndex) {
        const size_t from = part == 1 ? 0 : admission_split;
        const size_t to = part == 1 ? admission_split : forest.admissions_.size();
        if (from < to) forest.mutate_planned_trees(from, to, new_row, mutations[part]);
      }
    }
  }
};

namespace {

template <class F>
BatchResult<Scores> run(F& forest, const Rows<float>& points, BatchMode mode,
                        const BatchInterrupt& interrupt) {
  ForestBatch<F> batch{forest, points, mode};
  if (batch_helper_wanted(points.size(), forest.trees.size())) {
    HelperThread helper;
    if (helper.start()) {
      SplitBatch<F> split(batch, helper);
      return run_batch(split, points.size(), mode, interrupt);
    }
  }
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
