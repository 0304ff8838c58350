#include "engine/sketch_accumulators.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "test.h"

using namespace movra;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The textbook linear quantile of sorted values: h = (n - 1) q, then the
// straight line between the values at floor(h) and floor(h) + 1.
double textbook_quantile(const std::vector<double>& sorted, double q) {
  const double h = static_cast<double>(sorted.size() - 1) * q;
  const auto lo = static_cast<std::size_t>(std::floor(h));
  if (lo + 1 >= sorted.size()) return sorted.back();
  return sorted[lo] + (h - static_cast<double>(lo)) * (sorted[lo + 1] - sorted[lo]);
}

bool close(double a, double b) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, std::fabs(b)); }

// Values with many ties (small ints) or none (normal doubles).
std::vector<double> random_values(std::mt19937_64& rng, std::size_t n, bool ties) {
  std::vector<double> v(n);
  std::normal_distribution<double> normal(100.0, 30.0);
  std::uniform_int_distribution<int> small(-5, 5);
  for (auto& x : v) x = ties ? small(rng) : normal(rng);
  return v;
}

const double kQs[] = {0.0, 0.01, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999, 1.0};

// Whether some rank of value among sorted (from the count below it to the
// count up to it) lies within eps of q.
bool rank_within(const std::vector<double>& sorted, double value, double q, double eps) {
  const double n = static_cast<double>(sorted.size());
  const double below = std::lower_bound(sorted.begin(), sorted.end(), value) - sorted.begin();
  const double upto = std::upper_bound(sorted.begin(), sorted.end(), value) - sorted.begin();
  return below / n <= q + eps && upto / n >= q - eps;
}

}  // namespace

TEST(exact_quantile_matches_the_linear_formula_with_and_without_ties) {
  std::mt19937_64 rng(7);
  for (const std::size_t n : {1u, 2u, 3u, 10u, 1001u}) {
    for (const bool ties : {false, true}) {
      std::vector<double> values = random_values(rng, n, ties);
      ExactQuantiles state;
      for (const double v : values) state.add(v);
      std::sort(values.begin(), values.end());
      for (const double q : kQs) CHECK(close(*state.quantile(q), textbook_quantile(values, q)));
      CHECK_EQ(*state.quantile(0.0), values.front());
      CHECK_EQ(*state.quantile(1.0), values.back());
    }
  }
}

TEST(exact_quantile_skips_nan_and_non_numbers) {
  ExactQuantiles state;
  CHECK(!state.quantile(0.5).has_value());
  state.add(kNaN);
  state.add_cell(Cell{Null{}});
  state.add_cell(Cell{true});
  state.add_cell(Cell{std::string("7")});
  CHECK(!state.quantile(0.5).has_value());
  state.add_cell(Cell{std::int64_t{4}});
  state.add_cell(Cell{2.0});
  state.add(kNaN);
  CHECK_EQ(state.count(), 2u);
  CHECK_EQ(*state.quantile(0.5), 3.0);
  // Infinities are values; an index that lands on one gives it.
  state.add(kInf);
  CHECK_EQ(*state.quantile(1.0), kInf);
  CHECK_EQ(*state.quantile(0.0), 2.0);
  CHECK_EQ(*state.quantile(0.75), kInf);
}

TEST(exact_merge_answers_as_one_state_of_all_values) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 20; ++round) {
    ExactQuantiles whole, merged;
    for (int part = 0; part < 4; ++part) {
      ExactQuantiles piece;
      for (const double v : random_values(rng, 50 + round * 7, round % 2 == 0)) {
        piece.add(v);
        whole.add(v);
      }
      if (part == 1) piece.quantile(0.5);  // a sorted piece among unsorted ones
      merged.merge(piece);
    }
    for (const double q : kQs) CHECK_EQ(*merged.quantile(q), *whole.quantile(q));
  }
}

TEST(exact_serialization_round_trips_and_refuses_damage) {
  ExactQuantiles state;
  for (const double v : {3.5, -0.0, 1e300, -kInf, 2.0, 2.0}) state.add(v);
  const std::string bytes = state.serialize();
  CHECK_EQ(bytes.size(), 1u + 8 * 6);
  const auto back = ExactQuantiles::deserialize(bytes);
  CHECK(back.has_value());
  for (const double q : kQs) CHECK_EQ(*back->quantile(q), *state.quantile(q));
  CHECK_EQ(back->serialize(), bytes);
  CHECK(ExactQuantiles::deserialize(std::string(1, '\x01')).has_value());  // empty
  CHECK(!ExactQuantiles::deserialize("").has_value());
  CHECK(!ExactQuantiles::deserialize(bytes.substr(0, bytes.size() - 1)).has_value());
  std::string wrong_version = bytes;
  wrong_version[0] = 2;
  CHECK(!ExactQuantiles::deserialize(wrong_version).has_value());
  // Out of order (the first value's top byte made large).
  std::string unordered = bytes;
  unordered[8] = 0x7f;
  CHECK(!ExactQuantiles::deserialize(unordered).has_value());
}

TEST(kll_quantiles_stay_within_the_rank_bound_across_seeds) {
  const double eps = KllQuantiles::rank_error_for(kKllDefaultK);
  CHECK(eps > 0.01 && eps < 0.02);
  int checks = 0, outside = 0;
  for (int seed = 0; seed < 30; ++seed) {
    std::mt19937_64 rng(1000 + seed);
    std::vector<double> values = random_values(rng, 20000 + 1000 * seed, seed % 3 == 0);
    // Four sketches of four parts merged, to cover merge with the bound.
    KllQuantiles whole, merged;
    std::vector<KllQuantiles> parts(4);
    for (std::size_t i = 0; i < values.size(); ++i) {
      whole.add(values[i]);
      parts[i % 4].add(values[i]);
    }
    for (const auto& p : parts) merged.merge(p);
    CHECK_EQ(merged.count(), values.size());
    std::sort(values.begin(), values.end());
    for (const KllQuantiles* s : {&whole, &merged}) {
      CHECK_EQ(*s->quantile(0.0), values.front());
      CHECK_EQ(*s->quantile(1.0), values.back());
      for (const double q : kQs) {
        ++checks;
        const double v = *s->quantile(q);
        if (!rank_within(values, v, q, eps)) ++outside;
        CHECK(rank_within(values, v, q, 2 * eps));
      }
    }
  }
  // The bound holds with 99% confidence for one query.
  CHECK(outside * 100 <= checks * 2);
}

TEST(kll_small_and_empty_sketches_are_exact_and_skip_nan) {
  KllQuantiles s(8);
  CHECK(!s.quantile(0.5).has_value());
  s.add(kNaN);
  s.add_cell(Cell{std::string("x")});
  CHECK_EQ(s.count(), 0u);
  s.add(5.0);
  CHECK_EQ(*s.quantile(0.0), 5.0);
  CHECK_EQ(*s.quantile(0.99), 5.0);
  s.add_cell(Cell{std::int64_t{1}});
  s.add(3.0);
  CHECK_EQ(*s.quantile(0.5), 3.0);
}

TEST(kll_serialization_answers_as_the_original) {
  std::mt19937_64 rng(5);
  for (const std::size_t n : {0u, 1u, 2u, 300u, 100000u}) {
    KllQuantiles s;
    for (const double v : random_values(rng, n, false)) s.add(v);
    if (n == 300) {  // a merged sketch too
      KllQuantiles other;
      for (const double v : random_values(rng, 5000, true)) other.add(v);
      s.merge(other);
    }
    const std::string bytes = s.serialize();
    const auto back = KllQuantiles::deserialize(bytes);
    CHECK(back.has_value());
    if (!back) continue;
    CHECK_EQ(back->count(), s.count());
    CHECK_EQ(back->k(), s.k());
    for (const double q : kQs) CHECK(back->quantile(q) == s.quantile(q));
    // And it goes on taking values.
    KllQuantiles copy = *back;
    for (int i = 0; i < 1000; ++i) copy.add(i);
    CHECK_EQ(copy.count(), s.count() + 1000);
  }
}

// Damaged images: every prefix and every single changed byte is either
// refused or loads into a state that saves back to itself.  (Run under the
// sanitizers, this also shows that nothing reads out of bounds.)
template <typename State>
void check_damage_is_harmless(const std::string& bytes) {
  int accepted = 0;
  for (std::size_t len = 0; len < bytes.size(); ++len)
    accepted += State::deserialize(bytes.substr(0, len)).has_value();
  CHECK_EQ(accepted, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    for (const int flip : {1, 0x80, 0xff}) {
      std::string damaged = bytes;
      damaged[i] = static_cast<char>(damaged[i] ^ flip);
      const auto state = State::deserialize(damaged);
      if (state) CHECK_EQ(state->serialize(), damaged);
    }
  }
}

TEST(sketch_deserialize_refuses_or_survives_damage) {
  std::mt19937_64 rng(9);
  for (const std::size_t n : {1u, 5u, 40u, 3000u}) {
    KllQuantiles k(8);
    HllDistinct h(8);
    for (const double v : random_values(rng, n, false)) {
      k.add(v);
      h.add_double(v);
    }
    check_damage_is_harmless<KllQuantiles>(k.serialize());
    check_damage_is_harmless<HllDistinct>(h.serialize());
  }
}

TEST(hll_estimates_stay_within_three_standard_errors_across_seeds) {
  const double rse = HllDistinct::relative_standard_error_for(kHllDefaultLgK);
  CHECK(rse > 0.015 && rse < 0.017);
  for (int seed = 0; seed < 40; ++seed) {
    std::mt19937_64 rng(500 + seed);
    const std::size_t distinct = seed % 2 == 0 ? 50000 : 3000 + 97 * seed;
    HllDistinct whole, merged;
    std::vector<HllDistinct> parts(3);
    std::uniform_int_distribution<std::uint64_t> id(0, distinct - 1);
    const std::uint64_t salt = rng();
    for (std::size_t i = 0; i < 2 * distinct; ++i) {
      // Each id up to twice; parts overlap.
      const std::int64_t v = static_cast<std::int64_t>((i < distinct ? i : id(rng)) ^ salt);
      whole.add_int(v);
      parts[i % 3].add_int(v);
    }
    for (const auto& p : parts) merged.merge(p);
    for (const HllDistinct* s : {&whole, &merged}) {
      const double err = std::fabs(s->estimate() - static_cast<double>(distinct)) / distinct;
      CHECK(err <= 3 * rse);
    }
  }
}

TEST(hll_counts_values_as_count_distinct_does) {
  HllDistinct s;
  CHECK_EQ(std::llround(s.estimate()), 0);
  for (const Cell& c : {Cell{std::int64_t{1}}, Cell{1.0}, Cell{Null{}}}) s.add_cell(c);
  CHECK_EQ(std::llround(s.estimate()), 1);
  s.add_cell(Cell{std::string("1")});
  CHECK_EQ(std::llround(s.estimate()), 2);
  s.add_cell(Cell{std::string("")});
  CHECK_EQ(std::llround(s.estimate()), 3);
  // Bools are values of their own.
  s.add_cell(Cell{true});
  s.add_cell(Cell{true});
  CHECK_EQ(std::llround(s.estimate()), 4);
  // -0.0 is 0; every NaN is one value; 0.5 is a value of its own.
  for (const Cell& c : {Cell{-0.0}, Cell{std::int64_t{0}}, Cell{0.0}}) s.add_cell(c);
  CHECK_EQ(std::llround(s.estimate()), 5);
  s.add_double(kNaN);
  s.add_double(-kNaN);
  s.add_double(0.5);
  CHECK_EQ(std::llround(s.estimate()), 7);
  // Doubles beyond the int64 range stay doubles.
  s.add_double(0x1p63);
  s.add_int(std::numeric_limits<std::int64_t>::min());
  s.add_double(-0x1p63);
  CHECK_EQ(std::llround(s.estimate()), 9);
}

TEST(hll_serialization_answers_as_the_original_in_every_mode) {
  // A list (few values), a hash set (hundreds), registers (many).
  for (const int n : {0, 3, 300, 100000}) {
    HllDistinct s(12);
    for (int i = 0; i < n; ++i) s.add_string("user-" + std::to_string(i));
    const std::string bytes = s.serialize();
    const auto back = HllDistinct::deserialize(bytes);
    CHECK(back.has_value());
    if (!back) continue;
    CHECK_EQ(back->estimate(), s.estimate());
    CHECK_EQ(back->lg_k(), 12);
    HllDistinct merged = *back;
    merged.merge(s);
    CHECK(std::fabs(merged.estimate() - s.estimate()) <= 3 * s.relative_standard_error() * n);
  }
}

// Equal hash sets save to equal bytes whatever order built them, so a
// reloaded set saves back to the very bytes it came from.
TEST(hll_sets_save_in_one_order) {
  std::vector<int> ids(300);
  for (int i = 0; i < 300; ++i) ids[i] = i;
  HllDistinct forward(12), backward(12);
  for (const int i : ids) forward.add_int(i);
  for (auto it = ids.rbegin(); it != ids.rend(); ++it) backward.add_int(*it);
  CHECK_EQ(forward.serialize(), backward.serialize());
  const auto back = HllDistinct::deserialize(backward.serialize());
  CHECK(back.has_value() && back->serialize() == forward.serialize());
}

TEST(sketches_at_a_million_values_fit_in_8_kb_and_5x_below_exact) {
  KllQuantiles k;
  HllDistinct h;
  std::mt19937_64 rng(3);
  for (int i = 0; i < 1000000; ++i) {
    k.add(static_cast<double>(rng() >> 11));
    h.add_int(static_cast<std::int64_t>(i));
  }
  const std::size_t exact_bytes = 1000000 * sizeof(double);
  CHECK(k.memory_bytes() <= 8192);
  CHECK(h.memory_bytes() <= 8192);
  CHECK(k.serialize().size() <= 8192);
  CHECK(h.serialize().size() <= 8192);
  CHECK(k.memory_bytes() * 5 <= exact_bytes);
}
