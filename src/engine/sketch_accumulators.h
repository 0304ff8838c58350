// Quantile and distinct-count states of the window aggregates.
//
// Three states, each a value type that can take values, merge another state
// of its kind (the panes of a hopping window, two sessions that touch) and
// save itself as bytes a checkpoint can carry:
//
//   ExactQuantiles  every value, so quantile(q) is exact: the same double
//                   as numpy.quantile(values, q, method="linear").
//   KllQuantiles    a KLL sketch of doubles: bounded memory, and a
//                   quantile whose rank is within rank_error() of q (with
//                   99% confidence; the error is on the rank, not on the
//                   value).
//   HllDistinct     a HyperLogLog sketch: the number of distinct values,
//                   within relative_standard_error() (one standard error).
//
// One state answers every q: an aggregate plan that asks for p50 and p99 of
// one field with one op and param keeps ONE state (SketchKey names it) and
// reads both quantiles from it.
//
// Which values are taken:
// - The quantile states take ints and floats (add_cell skips null, bools and
//   strings).  NaN is skipped by both: it has no place in an order, and the
//   sketch cannot hold it.  So ExactQuantiles equals numpy.nanquantile, and
//   numpy.quantile whenever there is no NaN.  Infinities are ordinary values.
// - HllDistinct takes every non-null value, with the identity that the
//   exact count_distinct gives values: an int and a float of the same value
//   (1 and 1.0) are one value, every NaN is one value and -0.0 is 0; bools,
//   numbers and strings never equal each other (True is not 1, 1 is not
//   "1").  Concretely an int, and a float that holds an integer in the int64
//   range, is hashed as that 64-bit integer; any other float as its 8 IEEE
//   bytes; a string as its bytes; a bool as the one byte 0 or 1.  This is how
//   the library's own bindings hash ints, floats and strings, so a sketch
//   there fed the same values gives the same estimate (except that those
//   bindings skip the empty string, which counts here).  The oddity of
//   hashing bytes: a string and the bool or number whose bytes it spells (the
//   one-byte string "\x01" and True, an 8-byte string and the int whose
//   little-endian bytes it is) are one value to the sketch.
//
// Serialized forms (what a checkpoint holds) are the library's own compact
// images for the sketches and a flat array of doubles for the exact state,
// each behind one version byte.  deserialize() checks the bytes before the
// library sees them and then that the state saves back to the same bytes, so
// damaged or forged bytes are refused, never trusted; a state it accepts
// answers exactly as the one that was saved.
//
// Plain data, no locks: a state is guarded by whoever holds it (the stream's
// state_mutex).  quantile() on the exact state is const but sorts the values
// in place the first time, so two threads may not read one state at once.
#ifndef MOVRA_ENGINE_SKETCH_ACCUMULATORS_H_
#define MOVRA_ENGINE_SKETCH_ACCUMULATORS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/cell.h"

namespace movra {

// The parameters of the sketches: their defaults and the ranges a plan may
// ask for (those the library supports).
inline constexpr int kKllDefaultK = 200;
inline constexpr int kKllMinK = 8;
inline constexpr int kKllMaxK = 65535;
inline constexpr int kHllDefaultLgK = 12;
inline constexpr int kHllMinLgK = 4;
inline constexpr int kHllMaxLgK = 21;

// The op names of the quantile and distinct aggregates.
enum class SketchKind : std::uint8_t { kExactQuantile, kKllQuantile, kHllDistinct };

// What one state is shared by: the aggregates with the same kind, field and
// param (q is not part of it).  param is the k or lg_k in force (the default
// filled in), 0 for the exact state.
struct SketchKey {
  SketchKind kind = SketchKind::kExactQuantile;
  std::string field;
  int param = 0;

  friend bool operator==(const SketchKey&, const SketchKey&) = default;
  friend auto operator<=>(const SketchKey&, const SketchKey&) = default;
};

class ExactQuantiles {
 public:
  ExactQuantiles() = default;

  // Takes v unless it is NaN.
  void add(double v);
  // Takes an int or float cell; skips null, bool, string and NaN.
  void add_cell(const Cell& cell);
  void add_view(const CellView& v);
  void merge(const ExactQuantiles& other);

  // numpy.quantile(values, q, method="linear"), bit for bit; nothing when no
  // value was taken.  REQUIRES: 0 <= q <= 1.
  std::optional<double> quantile(double q) const;

  std::uint64_t count() const { return values_.size(); }
  // Bytes held (the values' buffer).
  std::size_t memory_bytes() const { return values_.capacity() * sizeof(double); }

  std::string serialize() const;
  // The state saved in bytes, or nothing when they are not one.
  static std::optional<ExactQuantiles> deserialize(std::string_view bytes);

 private:
  void sort() const;

  mutable std::vector<double> values_;
  mutable bool sorted_ = true;
};

class KllQuantiles {
 public:
  // REQUIRES: kKllMinK <= k <= kKllMaxK.
  explicit KllQuantiles(int k = kKllDefaultK);
  KllQuantiles(const KllQuantiles& other);
  KllQuantiles(KllQuantiles&& other) noexcept;
  KllQuantiles& operator=(const KllQuantiles& other);
  KllQuantiles& operator=(KllQuantiles&& other) noexcept;
  ~KllQuantiles();

  void add(double v);
  void add_cell(const Cell& cell);
  void add_view(const CellView& v);
  // REQUIRES: other.k() == k().
  void merge(const KllQuantiles& other);

  // A value taken whose rank is within rank_error() of q (inclusive ranks:
  // q = 0 is the least value, q = 1 the greatest); nothing when empty.
  // REQUIRES: 0 <= q <= 1.
  std::optional<double> quantile(double q) const;

  int k() const;
  std::uint64_t count() const;
  // The normalized rank error of one quantile at 99% confidence (1.33% at
  // k = 200).
  double rank_error() const { return rank_error_for(k()); }
  static double rank_error_for(int k);
  // Bytes held by the sketch (its item buffer and levels).
  std::size_t memory_bytes() const;

  std::string serialize() const;
  static std::optional<KllQuantiles> deserialize(std::string_view bytes);

 private:
  struct Impl;
  explicit KllQuantiles(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

class HllDistinct {
 public:
  // REQUIRES: kHllMinLgK <= lg_k <= kHllMaxLgK.
  explicit HllDistinct(int lg_k = kHllDefaultLgK);
  HllDistinct(const HllDistinct& other);
  HllDistinct(HllDistinct&& other) noexcept;
  HllDistinct& operator=(const HllDistinct& other);
  HllDistinct& operator=(HllDistinct&& other) noexcept;
  ~HllDistinct();

  // Takes any non-null cell (see the top of this file for how).
  void add_cell(const Cell& cell);
  void add_view(const CellView& v);
  void add_int(std::int64_t v);
  void add_double(double v);
  void add_string(std::string_view v);
  // The union.  REQUIRES: other.lg_k() == lg_k().
  void merge(const HllDistinct& other);

  // The estimated number of distinct values (0 when none was taken).
  double estimate() const;
  int lg_k() const;
  // One relative standard error of estimate() for this lg_k (1.04 /
  // sqrt(2^lg_k), 1.6% at lg_k = 12; the sketch is exact while small).
  double relative_standard_error() const { return relative_standard_error_for(lg_k()); }
  static double relative_standard_error_for(int lg_k);
  // Bytes held by the sketch: at most 2^lg_k registers of one byte plus a
  // small header (4 KB at lg_k = 12), far less while few values are taken.
  std::size_t memory_bytes() const;

  std::string serialize() const;
  static std::optional<HllDistinct> deserialize(std::string_view bytes);

 private:
  struct Impl;
  explicit HllDistinct(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace movra

#endif  // MOVRA_ENGINE_SKETCH_ACCUMULATORS_H_
