#include "featuresketch/sketch.hpp"

#include <array>
#include <type_traits>

namespace quillon::fsketch {
namespace {

// Decay factors towards one epoch, memoised by the counter's epoch: the counters one earlier
// event wrote all share its epoch, and every reference mass of an ensemble usually shares one, so
// most exp2 calls repeat. Same inputs give the same factor, so the memo never changes a result.
class DecayTo {
 public:
  DecayTo(uint64_t now, uint64_t half_life) : now_(now), half_life_(half_life) {
    // No counter epoch at or after `now_` is ever looked up, so UINT64_MAX marks an empty slot.
    for (Slot& slot : slots_) slot.since = UINT64_MAX;
  }
  double factor(uint64_t since) {
    if (now_ <= since) return 1.0;
    Slot& slot = slots_[since % kSlots];
    if (slot.since != since) slot = {since, decay_factor(since, now_, half_life_)};
    return slot.factor;
  }

 private:
  static constexpr size_t kSlots = 32;
  struct Slot {
    uint64_t since;
    double factor;
  };
  uint64_t now_;
  uint64_t half_life_;
  std::array<Slot, kSlots> slots_;
};

// Calls visit(level, row, cell) for every (level, row) of the ensemble in layout order. Bucket
// positions are computed and prefetched kLookahead visits ahead, so the cache misses of one
// event's scattered cells overlap instead of queueing one after another.
template <class Ensemble, class Visit>
void visit_cells(Ensemble& sketch, const ChainLayout& layout, std::span<const double> x,
                 Visit&& visit) {
  using Cell = std::conditional_t<std::is_const_v<Ensemble>, const DecayedValue, DecayedValue>;
  struct Pending {
    size_t level;
    uint64_t row;
    Cell* cell;
  };
  constexpr size_t kLookahead = 16;
  std::array<Pending, kLookahead> ring{};
  size_t issued = 0;
  for (size_t i = 0; i < layout.levels.size(); ++i) {
    const ChainLevel& chain_level = layout.levels[i];
    auto& level = sketch.levels[i];
    const int64_t bin = bin_of(chain_level, x[chain_level.dimension]);
    const uint64_t buckets = level.buckets;
    const bool power_of_two = (buckets & (buckets - 1)) == 0;
    for (uint64_t j = 0; j < level.rows; ++j) {
      SeededHasher h(level.row_hash_seeds.seeds[j]);
      h.add_u64(j);
      h.add_i64(bin);
      const uint64_t hash = h.finish();
      const uint64_t bucket = power_of_two ? hash & (buckets - 1) : hash % buckets;
      Cell* cell = level.cells.data() + (j * buckets + bucket);
      __builtin_prefetch(cell, std::is_const_v<Ensemble> ? 0 : 1);
      Pending& slot = ring[issued % kLookahead];
      if (issued >= kLookahead) visit(slot.level, slot.row, *slot.cell);
      slot = {i, j, cell};
      ++issued;
    }
  }
  const size_t first = issued > kLookahead ? issued - kLookahead : 0;
  for (size_t k = first; k < issued; ++k) {
    const Pending& slot = ring[k % kLookahead];
    visit(slot.level, slot.row, *slot.cell);
  }
}

// Running state of the score: min over a level's rows, max over a chain's levels, sum of chains.
struct ScoreAccumulator {
  uint64_t chain_depth;
  double total = 0.0;
  double chain = 0.0;
  double bin_mass = 0.0;

  void row(uint64_t j, double estimate) {
    if (j == 0 || estimate < bin_mass) bin_mass = estimate;
  }
  void level_done(size_t i, double reference_mass, double bin_volume_ratio) {
    const double s = level_score(bin_mass, reference_mass, bin_volume_ratio);
    if (s > chain) chain = s;  // a NaN level score never wins
    if ((i + 1) % chain_depth == 0) {
      total += chain;
      chain = 0.0;
    }
  }
  double mean(size_t level_count) const {
    return total / static_cast<double>(level_count / chain_depth);
  }
};

// -ln(1e-12) as the C library computes it (the compiler's constant folding might round apart).
double floor_level_score() {
  static const double score = [] {
    volatile double floor = 1e-12;
    return -std::log(floor);
  }();
  return score;
}

}  // namespace

EnsembleSketch generate_sketch(uint64_t rows, uint64_t buckets, uint64_t level_count,
                               Xoshiro256PlusPlus& rng) {
  EnsembleSketch sketch;
  sketch.levels.reserve(level_count);
  for (uint64_t i = 0; i < level_count; ++i) {
    LevelSketch level;
    level.rows = rows;
    level.buckets = buckets;
    level.row_hash_seeds.seeds.reserve(rows);
    for (uint64_t j = 0; j < rows; ++j) {
      Seed4 seed;
      for (auto& word : seed) word = rng.next_u64();
      level.row_hash_seeds.seeds.push_back(seed);
    }
    level.cells.resize(rows * buckets);
    sketch.levels.push_back(std::move(level));
  }
  sketch.reference_masses.resize(level_count);
  return sketch;
}

double level_score(double bin_mass, double reference_mass, double bin_volume_ratio) {
  // Comparisons instead of fmax/fmin: the same results (the floors are not NaN and a NaN
  // quotient takes the lower floor) without a library call per level.
  constexpr double kFloor = 1e-12;
  double q = bin_mass / (reference_mass > kFloor ? reference_mass : kFloor) /
             (bin_volume_ratio > kFloor ? bin_volume_ratio : kFloor);
  q = q > kFloor ? q : kFloor;
  if (q >= 1.0) return 0.0;  // -ln(1) without the call; a chain score is never below +0.0
  if (q == kFloor) return floor_level_score();
  return -std::log(q);
}

void record(EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
            uint64_t now, uint64_t half_life) {
  DecayTo cell_decay(now, half_life);
  visit_cells(sketch, layout, x, [&](size_t, uint64_t, DecayedValue& cell) {
    cell.value = cell.value * cell_decay.factor(cell.epoch) + 1.0;
    cell.epoch = now;
  });
  DecayTo mass_decay(now, half_life);
  for (DecayedValue& mass : sketch.reference_masses) {
    mass.value = mass.value * mass_decay.factor(mass.epoch) + 1.0;
    mass.epoch = now;
  }
}

double score(const EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
             uint64_t now, uint64_t half_life) {
  DecayTo cell_decay(now, half_life);
  DecayTo mass_decay(now, half_life);
  ScoreAccumulator acc{layout.chain_depth};
  visit_cells(sketch, layout, x, [&](size_t i, uint64_t j, const DecayedValue& cell) {
    acc.row(j, cell.value * cell_decay.factor(cell.epoch));
    if (j + 1 < sketch.levels[i].rows) return;
    const DecayedValue& mass = sketch.reference_masses[i];
    acc.level_done(i, mass.value * mass_decay.factor(mass.epoch),
                   layout.levels[i].bin_volume_ratio);
  });
  return acc.mean(layout.levels.size());
}

double score_then_record(EnsembleSketch& sketch, const ChainLayout& layout,
                         std::span<const double> x, uint64_t now, uint64_t half_life) {
  const uint64_t next = now + 1;
  DecayTo read_cell(now, half_life);
  DecayTo write_cell(next, half_life);
  DecayTo read_mass(now, half_life);
  DecayTo write_mass(next, half_life);
  ScoreAccumulator acc{layout.chain_depth};
  visit_cells(sketch, layout, x, [&](size_t i, uint64_t j, DecayedValue& cell) {
    acc.row(j, cell.value * read_cell.factor(cell.epoch));
    cell.value = cell.value * write_cell.factor(cell.epoch) + 1.0;
    cell.epoch = next;
    if (j + 1 < sketch.levels[i].rows) return;
    DecayedValue& mass = sketch.reference_masses[i];
    acc.level_done(i, mass.value * read_mass.factor(mass.epoch),
                   layout.levels[i].bin_volume_ratio);
    mass.value = mass.value * write_mass.factor(mass.epoch) + 1.0;
    mass.epoch = next;
  });
  return acc.mean(layout.levels.size());
}

}  // namespace quillon::fsketch
