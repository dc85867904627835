// The update pipeline. Every check that can fail runs before the first change (the shingle
// advance), and the sampling draws are made on a working copy of the generator, so a refused
// observation leaves the forest exactly as it was.
#include "rcf/forest/mod.hpp"

namespace quillon::rcf {

Status Forest::check_observation(std::span<const float> observation) const {
  const uint64_t expected = observation_width();
  if (observation.size() != expected) {
    return fail(DetectorError::dimension_mismatch(expected, observation.size()));
  }
  return check_finite(observation);
}

Status Forest::update(std::span<const float> observation) {
  if (auto ok = plan_update(observation); !ok) return ok;
  const uint64_t h = begin_planned_update(observation);
  if (h == kNoIndex) return {};
  mutate_planned_trees(0, admissions_.size(), h, mutations_);
  finish_planned_update(h);
  return {};
}

Status Forest::plan_update(std::span<const float> observation) {
  if (auto ok = check_observation(observation); !ok) return ok;
  if (auto ok = check_entries_room(entries_seen, 1, "Forest"); !ok) return ok;
  if (auto ok = check_entries_room(point_store.entries_seen, 1, "Forest"); !ok) return ok;

  const uint64_t t = entries_seen + 1;
  const uint64_t warm_up = config.internal_shingling ? config.shingle_size - 1 : 0;
  admissions_.clear();
  planned_rng_ = rng;
  if (t > warm_up) {
    const double lambda = effective_time_decay();
    for (uint64_t i = 0; i < samplers.size(); ++i) {
      const SamplerDecision d =
          samplers[i].decide(planned_rng_, t, lambda, config.initial_accept_fraction);
      if (d.kind == SamplerDecision::Kind::Reject) continue;
      admissions_.push_back({i, d.kind == SamplerDecision::Kind::AdmitEvict, d.evicted, d.weight});
    }
  }
  evicting_trees_.clear();
  evicted_rows_.clear();
  for (const Admission& a : admissions_) {
    if (!a.evicts) continue;
    evicting_trees_.push_back(&trees[a.tree]);
    evicted_rows_.push_back(a.evicted);
  }
  if (auto ok = RcfTree::prepare_deletes(evicting_trees_, evicted_rows_, point_store); !ok) {
    return ok;
  }
  if (!admissions_.empty() && !point_store.can_add()) {
    return fail(DetectorError::overflow("point store capacity growth overflows usize"));
  }
  if (config.internal_shingling && observation.size() != point_store.input_dim) {
    return fail(DetectorError::dimension_mismatch(point_store.input_dim, observation.size()));
  }
  // Memory grows here, before anything changes: the store's next row (a restored store may also
  // need more rows than its capacity), and room for every mutation that follows.
  if (!admissions_.empty()) {
    if (auto room = point_store.ensure_free_row(); !room) return room;
    for (const Admission& a : admissions_) {
      trees[a.tree].make_room(config.capacity);
      samplers[a.tree].make_room();
    }
  }
  for (const RcfTree* tree : evicting_trees_) tree->prefetch_removal(point_store);
  return {};
}

uint64_t Forest::begin_planned_update(std::span<const float> observation) {
  if (config.internal_shingling) point_store.advance_shingle(observation);
  ++entries_seen;
  rng = planned_rng_;
  ++point_store.entries_seen;
  if (admissions_.empty()) return kNoIndex;
  const std::span<const float> point =
      config.internal_shingling ? std::span<const float>(point_store.shingle_buf) : observation;
  auto added = point_store.add(point);
  QUILLON_INVARIANT(added.has_value(), "point store add failed after its checks");
  return *added;
}

void Forest::mutate_planned_trees(size_t first, size_t last, uint64_t h, TreeMutations& scratch) {
  // The store only changes in finish_planned_update: a row a removal gives up is released
  // there, before any row is retained, as if right after its removal, since no insertion reads
  // a row that no tree holds. The new point's descents in every admitting tree are walked side
  // by side.
  scratch.trees.clear();
  scratch.rows.clear();
  for (size_t k = first; k < last; ++k) {
    const Admission& a = admissions_[k];
    RcfTree& tree = trees[a.tree];
    if (a.evicts) tree.remove(a.evicted, point_store);
    scratch.trees.push_back(&tree);
    scratch.rows.push_back(h);
  }
  RcfTree::prepare_inserts(scratch.trees, scratch.rows, point_store);
  for (size_t k = first; k < last; ++k) {
    Admission& a = admissions_[k];
    a.held = trees[a.tree].insert(h, point_store);
  }
}

void Forest::finish_planned_update(uint64_t h) {
  for (const Admission& a : admissions_) {
    if (a.evicts) point_store.release(a.evicted);
  }
  bool referenced = false;
  for (const Admission& a : admissions_) {
    point_store.retain(a.held);
    samplers[a.tree].commit(a.weight, a.held);
    referenced = referenced || a.held == h;
  }
  if (!referenced) point_store.release(h);
}

}  // namespace quillon::rcf
