// Decayed count-min sketches, one per chain level, and the ensemble score built on them.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "featuresketch/chain.hpp"
#include "binary_codec.hpp"
#include "json_codec.hpp"
#include "keyed_hash.hpp"
#include "rng.hpp"

namespace quillon::fsketch {

// A count as of `epoch`; it is worth value * 2^(-(now - epoch) / half_life) at a later epoch.
struct DecayedValue {
  double value = 0.0;
  uint64_t epoch = 0;

  static constexpr std::string_view kJsonName = "DecayedValue";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("value", self.value);
    field("epoch", self.epoch);
  }
  friend bool operator==(const DecayedValue&, const DecayedValue&) = default;
};

struct RowHashSeeds {
  std::vector<Seed4> seeds;

  static constexpr std::string_view kJsonName = "RowHashSeeds";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("seeds", self.seeds);
  }
  friend bool operator==(const RowHashSeeds&, const RowHashSeeds&) = default;
};

// Storage for the cells of a whole ensemble. Large buffers are aligned to 2 MB and offered huge
// pages: an event touches hundreds of cells scattered over megabytes, and with 4 KB pages nearly
// every one of them would also miss the TLB.
template <class T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr size_t kHugePage = size_t{2} << 20;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(size_t n);
  void deallocate(T* p, size_t n);
  friend bool operator==(const HugePageAllocator&, const HugePageAllocator&) { return true; }
};

using CellVector = std::vector<DecayedValue, HugePageAllocator<DecayedValue>>;

// One level's count-min sketch. Its cells live in the ensemble's buffer, row-major from
// `first_cell`: row j, bucket b is cells[first_cell + j * buckets + b].
struct LevelSketch {
  uint64_t rows = 0;
  uint64_t buckets = 0;
  RowHashSeeds row_hash_seeds;
  uint64_t first_cell = 0;
  uint64_t cell_count = 0;  // as stored; rows * buckets in a checked sketch
  friend bool operator==(const LevelSketch&, const LevelSketch&) = default;
};

// One level sketch and one reference mass per layout level, in layout order. In JSON each level
// carries its own "cells" array (see the Codec below).
struct EnsembleSketch {
  std::vector<LevelSketch> levels;
  std::vector<DecayedValue> reference_masses;
  CellVector cells;

  std::span<const DecayedValue> level_cells(size_t i) const {
    return {cells.data() + levels[i].first_cell, levels[i].cell_count};
  }
  std::span<DecayedValue> level_cells(size_t i) {
    return {cells.data() + levels[i].first_cell, levels[i].cell_count};
  }
  friend bool operator==(const EnsembleSketch&, const EnsembleSketch&) = default;
};

// The saved form of a level and of an ensemble, declared once for reading (Cells = a vector)
// and writing (Cells = a view of the ensemble's buffer).
template <class Cells>
struct LevelSketchRecord {
  uint64_t rows = 0;
  uint64_t buckets = 0;
  RowHashSeeds row_hash_seeds;
  Cells cells{};

  static constexpr std::string_view kJsonName = "LevelSketch";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("rows", self.rows);
    field("buckets", self.buckets);
    field("row_hash_seeds", self.row_hash_seeds);
    field("cells", self.cells);
  }
};

template <class Cells>
struct EnsembleSketchRecord {
  std::vector<LevelSketchRecord<Cells>> levels;
  std::vector<DecayedValue> reference_masses;

  static constexpr std::string_view kJsonName = "EnsembleSketch";
  template <class Self, class Field>
  static void json_fields(Self& self, Field&& field) {
    field("levels", self.levels);
    field("reference_masses", self.reference_masses);
  }
};

// Four generator words per row seed, level by level; all counters start at zero.
EnsembleSketch generate_sketch(uint64_t rows, uint64_t buckets, uint64_t level_count,
                               Xoshiro256PlusPlus& rng);

// The bucket of `bin` in row `row`, keyed by that row's seed.
inline uint64_t bucket_of(const Seed4& row_seed, uint64_t row, int64_t bin, uint64_t buckets) {
  SeededHasher h(row_seed);
  h.add_u64(row);
  h.add_i64(bin);
  return h.finish() % buckets;
}

inline double decay_factor(uint64_t since, uint64_t now, uint64_t half_life) {
  if (now <= since) return 1.0;
  return std::exp2(-static_cast<double>(now - since) / static_cast<double>(half_life));
}

inline double decayed(const DecayedValue& v, uint64_t now, uint64_t half_life) {
  return v.value * decay_factor(v.epoch, now, half_life);
}

// The bin's share of the decayed mass relative to its share of the level-0 width, clamped to
// [1e-12, 1], and the level's surprise -ln(share), between 0 and -ln(1e-12).
double level_share(double bin_mass, double reference_mass, double bin_volume_ratio);
double share_score(double share);
double level_score(double bin_mass, double reference_mass, double bin_volume_ratio);

// The functions below rely on the shape invariants of a constructed (or checked) ensemble:
// matching level counts, dimensions inside `x`, rows >= 1, buckets >= 2, rows * buckets cells.

// Adds one event at epoch `now` to every level's bin counters and reference mass.
void record(EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
            uint64_t now, uint64_t half_life);

// Mean over chains of each chain's most surprising level, read at epoch `now`.
double score(const EnsembleSketch& sketch, const ChainLayout& layout, std::span<const double> x,
             uint64_t now, uint64_t half_life);

// score(..., now) followed by record(..., now + 1) in one pass over the cells. Every counter
// belongs to exactly one (level, row) visit, so reading and rewriting it in place gives the
// same result as the two separate passes.
double score_then_record(EnsembleSketch& sketch, const ChainLayout& layout,
                         std::span<const double> x, uint64_t now, uint64_t half_life);

}  // namespace quillon::fsketch

namespace quillon::json {

// A level's cells written straight from the ensemble's buffer.
template <>
struct Codec<std::span<const fsketch::DecayedValue>> {
  static void write(Writer& w, std::span<const fsketch::DecayedValue> cells) {
    w.put('[');
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i != 0) w.put(',');
      write_record(w, cells[i]);
    }
    w.put(']');
  }
};

template <>
struct Codec<fsketch::EnsembleSketch> {
  static void write(Writer& w, const fsketch::EnsembleSketch& sketch);
  static bool read(Reader& r, fsketch::EnsembleSketch& sketch);
};

}  // namespace quillon::json

namespace quillon::bin {

// Each level's rows, buckets and row seeds, then its cells (a count and 16 bytes each: the value
// and its epoch), then the reference masses: the JSON record with its cells in place.
template <>
struct Codec<fsketch::EnsembleSketch> {
  static void write(Writer& w, const fsketch::EnsembleSketch& sketch);
  static bool read(Reader& r, fsketch::EnsembleSketch& sketch);
};

}  // namespace quillon::bin
