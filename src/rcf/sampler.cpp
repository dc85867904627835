#include "rcf/sampler.hpp"

#include <bit>
#include <cmath>
#include <utility>

namespace quillon::rcf {

namespace {

constexpr double kMinUnit = 0x1.0p-52;
constexpr double kMaxUnit = 1.0 - 0x1.0p-52;

}  // namespace

Sampler Sampler::create(uint64_t capacity) {
  Sampler s;
  s.capacity = capacity;
  return s;
}

SamplerDecision Sampler::decide(Xoshiro256PlusPlus& rng, uint64_t t, double lambda,
                                double accept_fraction) const {
  double u1 = rng.unit_f64();
  if (u1 < kMinUnit) u1 = kMinUnit;
  if (u1 > kMaxUnit) u1 = kMaxUnit;
  const double weight = std::log(-std::log(u1)) - static_cast<double>(t) * lambda;

  SamplerDecision d;
  d.weight = weight;
  if (size == capacity) {
    QUILLON_INVARIANT(!weights.empty() && !point_indices.empty(), "index out of range in sampler");
    if (weight < weights[0]) {
      d.kind = SamplerDecision::Kind::AdmitEvict;
      d.evicted = point_indices[0];
    }
    return d;
  }
  const double u2 = rng.unit_f64();
  if (admission_probability(accept_fraction) > u2) d.kind = SamplerDecision::Kind::Admit;
  return d;
}

double Sampler::admission_probability(double accept_fraction) const {
  const double fill = static_cast<double>(size) / static_cast<double>(capacity);
  if (fill < accept_fraction) return 1.0;
  return 1.0 - (fill - accept_fraction) / (1.0 - accept_fraction);
}

void Sampler::commit(double weight, uint64_t row) {
  QUILLON_INVARIANT(size <= capacity && weights.size() >= size &&
                        point_indices.size() == weights.size() && capacity > 0,
                    "index out of range in sampler");
  if (size < capacity) {
    uint64_t i = size;
    if (i < weights.size()) {
      weights[i] = weight;
      point_indices[i] = row;
    } else {
      make_room();
      weights.push_back(weight);
      point_indices.push_back(row);
    }
    ++size;
    while (i > 0) {
      const uint64_t parent = (i - 1) / 2;
      if (!(weights[i] > weights[parent])) break;
      std::swap(weights[i], weights[parent]);
      std::swap(point_indices[i], point_indices[parent]);
      i = parent;
    }
    return;
  }
  weights[0] = weight;
  point_indices[0] = row;
  uint64_t i = 0;
  while (true) {
    uint64_t largest = i;
    const uint64_t left = 2 * i + 1;
    const uint64_t right = 2 * i + 2;
    if (left < size && weights[left] > weights[largest]) largest = left;
    if (right < size && weights[right] > weights[largest]) largest = right;
    if (largest == i) break;
    std::swap(weights[i], weights[largest]);
    std::swap(point_indices[i], point_indices[largest]);
    i = largest;
  }
}

void Sampler::make_room() {
  // Nothing to append when full, or when the next entry is already held.
  if (size >= capacity || size < weights.size()) return;
  if (weights.capacity() > weights.size() && point_indices.capacity() > point_indices.size()) return;
  // Geometric up to the capacity, so that filling copies each entry a bounded number of times.
  uint64_t target = weights.size() + weights.size() / 2 + 8;
  if (target > capacity) target = capacity;
  weights.reserve(target);
  point_indices.reserve(target);
}

void Sampler::release_unused_entries() {
  uint64_t held = weights.size() < point_indices.size() ? weights.size() : point_indices.size();
  while (held > size && std::bit_cast<uint64_t>(weights[held - 1]) == 0 &&
         point_indices[held - 1] == kNoIndex) {
    --held;
  }
  weights.resize(held);
  weights.shrink_to_fit();
  point_indices.resize(held);
  point_indices.shrink_to_fit();
}

size_t Sampler::heap_bytes() const {
  return weights.capacity() * sizeof(double) + point_indices.capacity() * sizeof(uint64_t);
}

uint64_t Sampler::eviction_candidate() const {
  QUILLON_INVARIANT(!point_indices.empty(), "index out of range in sampler");
  return point_indices[0];
}

}  // namespace quillon::rcf
