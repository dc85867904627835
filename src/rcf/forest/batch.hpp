// Batches of observations: the single-call update, score and update-and-score applied row after
// row, with the same results. Every refusal that depends on a row (its length, its finiteness)
// is found before the first change, so a refused batch leaves the forest as it was.
#pragma once

#include "rcf/forest/mod.hpp"
#include "row_batch.hpp"

namespace quillon::rcf {

BatchStatus update_many(Forest& forest, const Rows<float>& points);
// Every row against the same forest, as score() row by row.
BatchResult<Scores> score_many(const Forest& forest, const Rows<float>& points);
// Each row's score before it is ingested, as update_and_score() row by row.
BatchResult<Scores> update_and_score_many(Forest& forest, const Rows<float>& points);

}  // namespace quillon::rcf
