#include "rcf/forest/batch.hpp"

#include <vector>

#include "rcf/forest/query.hpp"

namespace quillon::rcf {
namespace {

// What the single calls check of a row: the scoring step's length (update_and_score scores
// first), then the ingesting step's length and finiteness.
BatchStatus check_rows(const Forest& forest, const Rows<float>& points, bool scoring,
                       bool ingesting, std::vector<float>& scratch) {
  if (auto ok = check_rows_form(points, forest.observation_width() == 1, "points"); !ok) {
    return ok;
  }
  for (size_t i = 0; i < points.size(); ++i) {
    const std::span<const float> row = points.row(i, scratch.data());
    if (scoring) {
      if (auto ok = forest.check_query_width(row.size()); !ok) return fail_row(i, ok.error());
    }
    if (ingesting) {
      if (auto ok = forest.check_observation(row); !ok) return fail_row(i, ok.error());
    }
  }
  return {};
}

}  // namespace

BatchStatus update_many(Forest& forest, const Rows<float>& points) {
  std::vector<float> scratch(points.max_width());
  if (auto ok = check_rows(forest, points, false, true, scratch); !ok) return ok;
  for (size_t i = 0; i < points.size(); ++i) {
    // The remaining refusals of update concern the forest's own consistency, which every
    // constructed or loaded forest has; a row can only fail here if its values changed since
    // they were checked.
    if (auto ok = forest.update(points.row(i, scratch.data())); !ok) return fail_row(i, ok.error());
  }
  return {};
}

BatchResult<Scores> score_many(const Forest& forest, const Rows<float>& points) {
  std::vector<float> scratch(points.max_width());
  if (auto ok = check_rows(forest, points, true, false, scratch); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  Scores out;
  out.values.resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    auto s = score(forest, points.row(i, scratch.data()));
    if (!s) return fail_row(i, s.error());
    out.values[i] = *s;
  }
  return out;
}

BatchResult<Scores> update_and_score_many(Forest& forest, const Rows<float>& points) {
  std::vector<float> scratch(points.max_width());
  if (auto ok = check_rows(forest, points, true, true, scratch); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  Scores out;
  out.values.resize(points.size());
  for (size_t i = 0; i < points.size(); ++i) {
    const std::span<const float> row = points.row(i, scratch.data());
    auto s = score(forest, row);
    if (!s) return fail_row(i, s.error());
    if (auto ok = forest.update(row); !ok) return fail_row(i, ok.error());
    out.values[i] = *s;
  }
  return out;
}

}  // namespace quillon::rcf
