#include "featuresketch/sketch.hpp"

#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>

namespace quillon::fsketch {
namespace {

// Decay factors towards one epoch, memoised by the counter's epoch: the counters one earlier
// event wrote all share its epoch, and every reference mass of an ensemble usually shares one, so
// most exp2 calls repeat. Same inputs give the same factor, so the memo never changes a result.
class DecayTo {
 public:
  DecayTo(uint64_t now, uint64_t half_life) : now_(now), half_life_(half_life) {
    // Only epochs before `now_` are looked up, so UINT64_MAX marks an empty slot.
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

// The factors towards `now` (to read a counter) and `now + 1` (to rewrite it) in one lookup.
class DecayToNowAndNext {
 public:
  struct Factors {
    double now;
    double next;
  };
  DecayToNowAndNext(uint64_t now, uint64_t half_life)
      : now_(now), half_life_(half_life), one_step_(decay_factor(now, now + 1, half_life)) {
    for (Slot& slot : slots_) slot.since = UINT64_MAX;
  }
  Factors factors(uint64_t since) {
    if (since >= now_) return {1.0, since == now_ ? one_step_ : 1.0};
    Slot& slot = slots_[since % kSlots];
    if (slot.since != since) {
      slot = {since, decay_factor(since, now_, half_life_),
              decay_factor(since, now_ + 1, half_life_)};
    }
    return {slot.now, slot.next};
  }

 private:
  static constexpr size_t kSlots = 32;
  struct Slot {
    uint64_t since;
    double now;
    double next;
  };
  uint64_t now_;
  uint64_t half_life_;
  double one_step_;
  std::array<Slot, kSlots> slots_;
};

// Calls row(level, j, cell) for every row of every level in layout order, and level_end(level)
// after a level's last row. Cell addresses are hashed and prefetched one chunk ahead of the
// visits, so the cache misses of an event's scattered cells overlap instead of queueing.
template <class Ensemble, class Row, class LevelEnd>
void visit_cells(Ensemble& sketch, const ChainLayout& layout, std::span<const double> x, Row&& row,
                 LevelEnd&& level_end) {
  using Cell = std::conditional_t<std::is_const_v<Ensemble>, const DecayedValue, DecayedValue>;
  constexpr size_t kChunk = 32;
  const size_t level_count = layout.levels.size();
  size_t gather_level = 0;
  uint64_t gather_row = 0;
  int64_t bin = 0;
  auto gather = [&](Cell** out) {
    size_t n = 0;
    while (n < kChunk && gather_level < level_count) {
      auto& level = sketch.levels[gather_level];
      if (gather_row == 0) {
        const ChainLevel& chain_level = layout.levels[gather_level];
        bin = bin_of(chain_level, x[chain_level.dimension]);
      }
      const uint64_t rows = level.rows;
      const uint64_t buckets = level.buckets;
      const bool power_of_two = (buckets & (buckets - 1)) == 0;
      for (; gather_row < rows && n < kChunk; ++gather_row) {
        const uint64_t hash = [&] {
          SeededHasher h(level.row_hash_seeds.seeds[gather_row]);
          h.add_u64(gather_row);
          h.add_i64(bin);
          return h.finish();
        }();
        const uint64_t bucket = power_of_two ? hash & (buckets - 1) : hash % buckets;
        Cell* cell = sketch.cells.data() + (level.first_cell + gather_row * buckets + bucket);
        __builtin_prefetch(cell, std::is_const_v<Ensemble> ? 0 : 1);
        out[n++] = cell;
      }
      if (gather_row == rows) {
        gather_row = 0;
        ++gather_level;
      }
    }
    return n;
  };

  std::array<Cell*, kChunk> chunks[2];
  size_t visit_level = 0;
  uint64_t visit_row = 0;
  size_t current = 0;
  size_t n = gather(chunks[0].data());
  while (n > 0) {
    const size_t upcoming = gather(chunks[current ^ 1].data());
    for (size_t k = 0; k < n; ++k) {
      row(visit_level, visit_row, *chunks[current][k]);
      if (++visit_row == sketch.levels[visit_level].rows) {
        level_end(visit_level);
        visit_row = 0;
        ++visit_level;
      }
    }
    current ^= 1;
    n = upcoming;
  }
}

// -ln(1e-12) as the C library computes it (the compiler's constant folding might round apart).
const double kFloorLevelScore = [] {
  volatile double floor = 1e-12;
  return -std::log(floor);
}();

// The bin's share of the decayed mass over its share of the level-0 width, clamped to
// [1e-12, 1]. Comparisons instead of fmax/fmin give the same results (the floors are not NaN and
// a NaN quotient takes the lower floor) without a library call per level.
inline double clamped_share(double bin_mass, double reference_mass, double bin_volume_ratio) {
  constexpr double kFloor = 1e-12;
  double q = bin_mass / (reference_mass > kFloor ? reference_mass : kFloor) /
             (bin_volume_ratio > kFloor ? bin_volume_ratio : kFloor);
  q = q > kFloor ? q : kFloor;
  return q < 1.0 ? q : 1.0;
}

inline double surprise(double share) {
  if (share == 1e-12) return kFloorLevelScore;
  return -std::log(share);
}

// Running state of the score: min over a level's rows, max over a chain's levels, sum of chains.
struct ScoreAccumulator {
  // -ln falls as q rises and the C library's log is accurate to within an ulp (at most 2^-48 for
  // results below 32), so a level whose q exceeds the chain's best q by a relative 2^-40 cannot
  // score higher: its log is skipped without changing the chain's maximum.
  static constexpr double kSkipMargin = 1.0 + 0x1.0p-40;

  uint64_t chain_depth;
  uint64_t levels_in_chain = 0;
  double total = 0.0;
  double chain = 0.0;
  double chain_share = std::numeric_limits<double>::infinity();
  double bin_mass = 0.0;

  void row(uint64_t j, double estimate) {
    if (j == 0 || estimate < bin_mass) bin_mass = estimate;
  }
  // Levels arrive in layout order, so a count replaces (i + 1) % chain_depth.
  void level_done(double reference_mass, double bin_volume_ratio) {
    const double q = clamped_share(bin_mass, reference_mass, bin_volume_ratio);
    // q = 1 scores -ln(1) = -0, which never beats a chain score (they start at +0).
    if (q < 1.0 && !(q > chain_share * kSkipMargin)) {
      const double s = surprise(q);
      if (s > chain) {
        chain = s;
        chain_share = q;
      }
    }
    if (++levels_in_chain == chain_depth) {
      levels_in_chain = 0;
      total += chain;
      chain = 0.0;
      chain_share = std::numeric_limits<double>::infinity();
    }
  }
  double mean(size_t level_count) const {
    return total / static_cast<double>(level_count / chain_depth);
  }
};

}  // namespace

template <class T>
T* HugePageAllocator<T>::allocate(size_t n) {
  if (n > std::numeric_limits<size_t>::max() / sizeof(T) - kHugePage) throw std::bad_alloc();
  const size_t bytes = n * sizeof(T);
  if (bytes < kHugePage) return std::allocator<T>{}.allocate(n);
  const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = std::aligned_alloc(kHugePage, rounded);
  if (p == nullptr) throw std::bad_alloc();
  (void)madvise(p, rounded, MADV_HUGEPAGE);  // only advice: plain pages work as well
  return static_cast<T*>(p);
}

template <class T>
void HugePageAllocator<T>::deallocate(T* p, size_t n) {
  if (n * sizeof(T) < kHugePage) {
    std::allocator<T>{}.deallocate(p, n);
  } else {
    std::free(p);
  }
}

template struct HugePageAllocator<DecayedValue>;

EnsembleSketch generate_sketch(uint64_t rows, uint64_t buckets, uint64_t level_count,
                               Xoshiro256PlusPlus& rng) {
  EnsembleSketch sketch;
  sketch.levels.reserve(level_count);
  const uint64_t per_level = rows * buckets;
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
    level.first_cell = i * per_level;
    level.cell_count = per_level;
    sketch.levels.push_back(std::move(level));
  }
  sketch.cells.resize(level_count * per_level);
  sketch.reference_masses.resize(level_count);
  return sketch;
}

double level_share(double bin_mass, double reference_mass, double bin_volume_ratio) {
  return clamped_share(bin_mass, reference_mass, bin_volume_ratio);
}

double share_score(double share) { return surprise(share); }

double level_score(double bin_mass, double reference_mass, double bin_volume_ratio) {
  return surprise(clamped_share(bin_mass, reference_mass, bin_volume_ratio));
}

void record(EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
            uint64_t now, uint64_t half_life) {
  DecayTo cell_decay(now, half_life);
  visit_cells(
      sketch, layout, x,
      [&](size_t, uint64_t, DecayedValue& cell) {
        cell.value = cell.value * cell_decay.factor(cell.epoch) + 1.0;
        cell.epoch = now;
      },
      [](size_t) {});
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
  visit_cells(
      sketch, layout, x,
      [&](size_t, uint64_t j, const DecayedValue& cell) {
        acc.row(j, cell.value * cell_decay.factor(cell.epoch));
      },
      [&](size_t i) {
        const DecayedValue& mass = sketch.reference_masses[i];
        acc.level_done(mass.value * mass_decay.factor(mass.epoch),
                       layout.levels[i].bin_volume_ratio);
      });
  return acc.mean(layout.levels.size());
}

double score_then_record(EnsembleSketch& sketch, const ChainLayout& layout,
                         std::span<const double> x, uint64_t now, uint64_t half_life) {
  const uint64_t next = now + 1;
  DecayToNowAndNext cell_decay(now, half_life);
  DecayToNowAndNext mass_decay(now, half_life);
  ScoreAccumulator acc{layout.chain_depth};
  visit_cells(
      sketch, layout, x,
      [&](size_t, uint64_t j, DecayedValue& cell) {
        const auto f = cell_decay.factors(cell.epoch);
        acc.row(j, cell.value * f.now);
        cell.value = cell.value * f.next + 1.0;
        cell.epoch = next;
      },
      [&](size_t i) {
        DecayedValue& mass = sketch.reference_masses[i];
        const auto f = mass_decay.factors(mass.epoch);
        acc.level_done(mass.value * f.now, layout.levels[i].bin_volume_ratio);
        mass.value = mass.value * f.next + 1.0;
        mass.epoch = next;
      });
  return acc.mean(layout.levels.size());
}

}  // namespace quillon::fsketch

namespace quillon::json {

void Codec<fsketch::EnsembleSketch>::write(Writer& w, const fsketch::EnsembleSketch& sketch) {
  fsketch::EnsembleSketchRecord<std::span<const fsketch::DecayedValue>> view;
  view.levels.reserve(sketch.levels.size());
  for (size_t i = 0; i < sketch.levels.size(); ++i) {
    const fsketch::LevelSketch& level = sketch.levels[i];
    view.levels.push_back({level.rows, level.buckets, level.row_hash_seeds, sketch.level_cells(i)});
  }
  view.reference_masses = sketch.reference_masses;
  write_record(w, view);
}

// Levels are read with their own cell arrays and then packed into one buffer in level order.
// The stored counts are kept as they are; the detector checks them against its configuration.
bool Codec<fsketch::EnsembleSketch>::read(Reader& r, fsketch::EnsembleSketch& sketch) {
  fsketch::EnsembleSketchRecord<std::vector<fsketch::DecayedValue>> record;
  if (!read_record(r, record, "struct EnsembleSketch")) return false;
  size_t total = 0;
  for (const auto& level : record.levels) total += level.cells.size();
  sketch.levels.clear();
  sketch.levels.reserve(record.levels.size());
  sketch.cells.clear();
  sketch.cells.reserve(total);
  for (auto& level : record.levels) {
    sketch.levels.push_back({level.rows, level.buckets, std::move(level.row_hash_seeds),
                             sketch.cells.size(), level.cells.size()});
    sketch.cells.insert(sketch.cells.end(), level.cells.begin(), level.cells.end());
    level.cells = {};
  }
  sketch.reference_masses = std::move(record.reference_masses);
  return true;
}

}  // namespace quillon::json

namespace quillon::bin {

static_assert(sizeof(fsketch::DecayedValue) == 16 &&
                  std::is_trivially_copyable_v<fsketch::DecayedValue>,
              "cells are copied as they stand: a 64-bit value, then a 64-bit epoch");

void Codec<fsketch::EnsembleSketch>::write(Writer& w, const fsketch::EnsembleSketch& sketch) {
  w.u64(sketch.levels.size());
  for (size_t i = 0; i < sketch.levels.size(); ++i) {
    const fsketch::LevelSketch& level = sketch.levels[i];
    w.u64(level.rows);
    w.u64(level.buckets);
    bin::write(w, level.row_hash_seeds);
    const auto cells = sketch.level_cells(i);
    w.u64(cells.size());
    w.bytes(cells.data(), cells.size_bytes());
  }
  bin::write(w, sketch.reference_masses);
}

// Levels are packed into one buffer in level order, as the JSON reader packs them.
bool Codec<fsketch::EnsembleSketch>::read(Reader& r, fsketch::EnsembleSketch& sketch) {
  uint64_t levels = 0;
  if (!r.count(levels, 3 * sizeof(uint64_t))) return false;
  sketch.levels.clear();
  sketch.levels.reserve(levels);
  sketch.cells.clear();
  for (uint64_t i = 0; i < levels; ++i) {
    fsketch::LevelSketch level;
    uint64_t cells = 0;
    if (!r.raw(level.rows) || !r.raw(level.buckets) || !bin::read(r, level.row_hash_seeds) ||
        !r.count(cells, sizeof(fsketch::DecayedValue))) {
      return false;
    }
    const size_t start = sketch.cells.size();
    const size_t at = r.offset();
    sketch.cells.resize(start + cells);
    if (!r.bytes(sketch.cells.data() + start, cells * sizeof(fsketch::DecayedValue))) return false;
    for (uint64_t c = 0; c < cells; ++c) {
      if (!std::isfinite(sketch.cells[start + c].value)) {
        return r.fail_at(at + c * sizeof(fsketch::DecayedValue),
                         "invalid value: a non-finite float, expected a finite f64");
      }
    }
    level.first_cell = start;
    level.cell_count = cells;
    sketch.levels.push_back(std::move(level));
  }
  return bin::read(r, sketch.reference_masses);
}

}  // namespace quillon::bin

