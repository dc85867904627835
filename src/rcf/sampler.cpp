#include "rcf/sampler.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace quillon::rcf {

namespace {

// The reject bound: its margin relative to the weights' scale, the discount it may drift by
// across its range of t, and the longest range.
constexpr double kMargin = 0x1.0p-36;
constexpr double kDrift = 0x1.0p-6;
constexpr uint64_t kMaxSpan = uint64_t{1} << 20;

}  // namespace

Sampler Sampler::create(uint64_t capacity) {
  Sampler s;
  s.capacity = capacity;
  return s;
}

SamplerDecision Sampler::decide_after_draw(Xoshiro256PlusPlus& rng, double u1, uint64_t t,
                                           double lambda, double accept_fraction) const {
  SamplerDecision d;
  if (size == capacity) {
    QUILLON_INVARIANT(!weights.empty() && !point_indices.empty(), "index out of range in sampler");
    const double top = weights[0];
    if (t > reject_until_ || !(top <= reject_top_) ||
        std::bit_cast<uint64_t>(lambda) != std::bit_cast<uint64_t>(reject_lambda_)) {
      refresh_reject_bound(top, t, lambda);
      if (u1 <= reject_below_) return d;
    }
    d.weight = std::log(-std::log(u1)) - static_cast<double>(t) * lambda;
    if (d.weight < top) {
      d.kind = SamplerDecision::Kind::AdmitEvict;
      d.evicted = point_indices[0];
    }
    return d;
  }
  d.weight = std::log(-std::log(u1)) - static_cast<double>(t) * lambda;
  const double u2 = rng.unit_f64();
  if (admission_probability(accept_fraction) > u2) d.kind = SamplerDecision::Kind::Admit;
  return d;
}

void Sampler::refresh_reject_bound(double top, uint64_t t, double lambda) const {
  // Why the bound is sound. g(u) = ln(-ln u) falls strictly on (0, 1). Let G be g as decide
  // computes it; with ln within a few ulps, |G - g| < 2^-45 on the clamped range, where |g| < 37.
  // The discount S(t) = fl(double(t) * lambda) does not fall as t grows (lambda >= 0, rounding is
  // monotone), so S(t) <= S(T) for t <= T = reject_until_. The check below gives
  // fl(G(b) - S(T)) >= fl(top + m) at b = reject_below_, with m = 2^-36 * max(1, |top|, S(T)),
  // which exceeds the two logs' errors and these two roundings many times over. So for a clamped
  // u <= b, exactly: G(u) - S(t) >= g(u) - S(T) - 2^-45 >= g(b) - S(T) - 2^-45
  // >= G(b) - S(T) - 2^-44 >= top, and the weight, rounded from G(u) - S(t), is not below the
  // double `top` either: a rejection. A smaller largest weight rejects even more, so the bound
  // holds until the largest weight rises above `top` (a restored or edited state), t passes T or
  // lambda changes. Anything not finite leaves no bound; u1 above the bound takes the exact path.
  reject_top_ = top;
  reject_lambda_ = lambda;
  reject_below_ = -1.0;
  // The range of t: the discount grows by at most kDrift across it, which costs the bound little.
  uint64_t span = kMaxSpan;
  if (lambda > 0.0 && kDrift / lambda < static_cast<double>(kMaxSpan)) {
    span = static_cast<uint64_t>(kDrift / lambda) + 1;
  }
  reject_until_ = t > UINT64_MAX - (span - 1) ? UINT64_MAX : t + (span - 1);
  if (!std::isfinite(top) || !std::isfinite(lambda) || !(lambda >= 0.0)) return;
  const double discount = static_cast<double>(reject_until_) * lambda;
  if (!std::isfinite(discount)) return;
  const double margin = kMargin * std::max({1.0, std::fabs(top), discount});
  // The candidate aims at twice the margin, so that the exact check below passes.
  double below = std::exp(-std::exp(top + discount + 2.0 * margin));
  if (!(below >= kMinUnit)) return;
  if (below > kMaxUnit) below = kMaxUnit;
  if (std::log(-std::log(below)) - discount >= top + margin) reject_below_ = below;
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
