// Serialized forms
// ----------------
// Every form starts with one version byte, kFormatVersion (1), then:
//
//   exact quantiles  the values as little-endian IEEE doubles, 8 bytes each,
//                    in ascending order (no NaN).
//   KLL              the library's image of a kll_sketch<double> (serial
//                    version 2: 8 bytes when empty, 16 with one item, else
//                    20 bytes of preamble, the level offsets, min, max and
//                    the retained items).
//   HLL              the library's compact image of an HLL_8 sketch (a list
//                    or hash set of coupons while small, then 40 bytes of
//                    preamble and 2^lg_k one-byte registers); a hash set's
//                    coupons are written in ascending order, so that equal
//                    sets save to equal bytes.
//
// The library's deserializers trust their input (a wrong level offset or
// coupon count reads or loops out of bounds), so the images are checked here
// first; after loading, the state must save back to the very same bytes.
#include "engine/sketch_accumulators.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "hll.hpp"
#include "kll_sketch.hpp"

namespace movra {

namespace {

constexpr std::uint8_t kFormatVersion = 1;

using Kll = datasketches::kll_sketch<double>;
using Hll = datasketches::hll_sketch;
// Registers of one byte: no exception table to keep or to check, and the
// fastest update.  4 KB at the default lg_k of 12.
constexpr datasketches::target_hll_type kHllType = datasketches::HLL_8;

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint64_t get_u64(const unsigned char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t get_u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

double get_f64(const unsigned char* p) { return std::bit_cast<double>(get_u64(p)); }

template <typename Bytes>
std::string with_version(const Bytes& image) {
  std::string out;
  out.reserve(image.size() + 1);
  out.push_back(static_cast<char>(kFormatVersion));
  out.append(reinterpret_cast<const char*>(image.data()), image.size());
  return out;
}

// The image behind the version byte, or nothing when the version is wrong.
std::optional<std::string_view> image_of(std::string_view bytes) {
  if (bytes.empty() || static_cast<unsigned char>(bytes[0]) != kFormatVersion) return std::nullopt;
  return bytes.substr(1);
}

// Whether p[0..n) is ascending with no NaN.
bool ascending(const unsigned char* p, std::size_t n) {
  double prev = -std::numeric_limits<double>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    const double v = get_f64(p + 8 * i);
    if (std::isnan(v) || v < prev) return false;
    prev = v;
  }
  return true;
}

// Whether image is a KLL image of doubles that the library may load.
bool kll_image_ok(std::string_view image) {
  const auto* p = reinterpret_cast<const unsigned char*>(image.data());
  const std::size_t size = image.size();
  if (size < 8) return false;
  const unsigned preamble_ints = p[0], serial_version = p[1], family = p[2], flags = p[3];
  const unsigned k = p[4] | (p[5] << 8), m = p[6];
  if (family != 15 || m != 8 || k < kKllMinK || k > kKllMaxK) return false;
  const bool empty = flags & 1, single = flags & 4;
  if (flags & ~7u) return false;
  if (empty) return !single && preamble_ints == 2 && serial_version == 1 && size == 8;
  if (single) return preamble_ints == 2 && serial_version == 2 && size == 16 && ascending(p + 8, 1);
  if (preamble_ints != 5 || serial_version != 1 || size < 20) return false;
  const std::uint64_t n = get_u64(p + 8);
  const unsigned min_k = p[16] | (p[17] << 8);
  const unsigned num_levels = p[18];
  if (min_k < kKllMinK || min_k > k || num_levels < 1 || num_levels > 60 || n < 2) return false;
  const std::size_t items_at = 20 + 4 * std::size_t{num_levels} + 16;
  if (size < items_at) return false;
  std::vector<std::uint32_t> levels(num_levels + 1);
  for (unsigned i = 0; i < num_levels; ++i) levels[i] = get_u32(p + 20 + 4 * i);
  std::uint32_t capacity = 0;
  try {
    capacity = datasketches::kll_helper::compute_total_capacity(static_cast<std::uint16_t>(k), 8,
                                                                static_cast<std::uint8_t>(num_levels));
  } catch (const std::exception&) {
    return false;
  }
  levels[num_levels] = capacity;
  std::uint64_t weighted = 0;
  for (unsigned i = 0; i < num_levels; ++i) {
    if (levels[i] > levels[i + 1]) return false;
    weighted += std::uint64_t{levels[i + 1] - levels[i]} << i;
  }
  const std::size_t num_items = capacity - levels[0];
  if (num_items == 0 || weighted != n || size != items_at + 8 * num_items) return false;
  // min, max, then the items level by level; every level above 0 is sorted,
  // and level 0 when the flag says so.
  const double min_item = get_f64(p + items_at - 16), max_item = get_f64(p + items_at - 8);
  if (std::isnan(min_item) || std::isnan(max_item) || min_item > max_item) return false;
  for (unsigned i = 0; i < num_levels; ++i) {
    const unsigned char* level = p + items_at + 8 * std::size_t{levels[i] - levels[0]};
    const std::size_t count = levels[i + 1] - levels[i];
    for (std::size_t j = 0; j < count; ++j) {
      const double v = get_f64(level + 8 * j);
      if (std::isnan(v) || v < min_item || v > max_item) return false;
    }
    if ((i > 0 || (flags & 2)) && !ascending(level, count)) return false;
  }
  return true;
}

// Whether a coupon (26-bit register address, 6-bit value) could come from a
// hash: its value is at least 1.
bool coupon_ok(std::uint32_t coupon) { return (coupon >> 26) != 0; }

// Whether image is a compact HLL_8 image that the library may load.
bool hll_image_ok(std::string_view image) {
  const auto* p = reinterpret_cast<const unsigned char*>(image.data());
  const std::size_t size = image.size();
  if (size < 8) return false;
  const unsigned preamble_ints = p[0], serial_version = p[1], family = p[2], lg_k = p[3];
  const unsigned lg_arr = p[4], flags = p[5], mode = p[7];
  if (serial_version != 1 || family != 7 || lg_k < kHllMinLgK || lg_k > kHllMaxLgK) return false;
  // The target type must be HLL_8, and the image compact.
  if ((mode >> 2) != 2 || !(flags & 8)) return false;
  const unsigned cur_mode = mode & 3;
  if (cur_mode == 0) {  // a list of coupons
    const unsigned count = p[6];
    if (preamble_ints != 2 || lg_arr > 3 || count > (1u << lg_arr) || size != 8 + 4 * std::size_t{count})
      return false;
    if (((flags & 4) != 0) != (count == 0)) return false;
    for (unsigned i = 0; i < count; ++i)
      if (!coupon_ok(get_u32(p + 8 + 4 * i))) return false;
    return true;
  }
  if (cur_mode == 1) {  // a hash set of coupons
    if (preamble_ints != 3 || size < 12 || lg_k < 8 || lg_arr < 5 || lg_arr > lg_k - 3) return false;
    const std::uint32_t count = get_u32(p + 8);
    // The set grows at three quarters full; a fuller one could loop forever.
    if (count == 0 || 4 * std::uint64_t{count} >= 3 * (std::uint64_t{1} << lg_arr) ||
        size != 12 + 4 * std::size_t{count})
      return false;
    std::uint32_t prev = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t coupon = get_u32(p + 12 + 4 * i);
      if (!coupon_ok(coupon) || coupon <= prev) return false;
      prev = coupon;
    }
    return true;
  }
  if (cur_mode != 2 || preamble_ints != 10) return false;
  const std::size_t registers = std::size_t{1} << lg_k;
  if (size != 40 + registers || p[6] != 0 || get_u32(p + 36) != 0) return false;
  for (const double d : {get_f64(p + 8), get_f64(p + 16), get_f64(p + 24)})
    if (!std::isfinite(d) || d < 0) return false;
  std::uint32_t zeros = 0;
  for (std::size_t i = 0; i < registers; ++i) {
    if (p[40 + i] > 63) return false;
    zeros += p[40 + i] == 0;
  }
  return zeros == get_u32(p + 32);
}

}  // namespace

// ---------------------------------------------------------------------------
// ExactQuantiles

void ExactQuantiles::add(double v) {
  if (std::isnan(v)) return;
  if (sorted_ && !values_.empty() && v < values_.back()) sorted_ = false;
  values_.push_back(v);
}

void ExactQuantiles::add_view(const CellView& v) {
  if (v.tag == kIntIndex) {
    add(static_cast<double>(v.i));
  } else if (v.tag == kDoubleIndex) {
    add(v.d);
  }
}

void ExactQuantiles::add_cell(const Cell& cell) { add_view(CellView::of(cell)); }

void ExactQuantiles::merge(const ExactQuantiles& other) {
  if (other.values_.empty()) return;
  const bool keep_sorted = sorted_ && other.sorted_ &&
                           (values_.empty() || !(other.values_.front() < values_.back()));
  values_.insert(values_.end(), other.values_.begin(), other.values_.end());
  sorted_ = keep_sorted;
}

void ExactQuantiles::sort() const {
  if (sorted_) return;
  std::sort(values_.begin(), values_.end());
  sorted_ = true;
}

std::optional<double> ExactQuantiles::quantile(double q) const {
  if (values_.empty()) return std::nullopt;
  sort();
  // NumPy's linear method: the virtual index (n - 1) * q, its floor and the
  // next index, both clamped to the last value, and its lerp, which counts
  // back from the upper neighbour when the weight is at least one half.
  const std::size_t n = values_.size();
  const double virtual_index = static_cast<double>(n - 1) * q;
  double below_index = std::floor(virtual_index);
  std::size_t lo = static_cast<std::size_t>(below_index), hi = lo + 1;
  if (virtual_index >= static_cast<double>(n - 1)) {
    lo = hi = n - 1;
    below_index = -1.0;  // NumPy indexes the last value as -1, and its weight follows
  }
  const double gamma = virtual_index - below_index;
  const double a = values_[lo], b = values_[hi];
  if (a == b || gamma == 0.0) return a;
  // Next to an infinity NumPy's lerp gives NaN (inf - inf); here the line
  // between a finite value and an infinity is that infinity, and only the
  // line from -inf to inf is NaN.
  if (std::isinf(a) || std::isinf(b)) {
    if (std::isinf(a) && std::isinf(b)) return std::numeric_limits<double>::quiet_NaN();
    return std::isinf(a) ? a : b;
  }
  const double diff = b - a;
  return gamma >= 0.5 ? b - diff * (1.0 - gamma) : a + diff * gamma;
}

std::string ExactQuantiles::serialize() const {
  sort();
  std::string out;
  out.reserve(1 + 8 * values_.size());
  out.push_back(static_cast<char>(kFormatVersion));
  for (const double v : values_) put_u64(out, std::bit_cast<std::uint64_t>(v));
  return out;
}

std::optional<ExactQuantiles> ExactQuantiles::deserialize(std::string_view bytes) {
  const auto image = image_of(bytes);
  if (!image || image->size() % 8 != 0) return std::nullopt;
  const auto* p = reinterpret_cast<const unsigned char*>(image->data());
  const std::size_t n = image->size() / 8;
  if (!ascending(p, n)) return std::nullopt;
  ExactQuantiles state;
  state.values_.resize(n);
  for (std::size_t i = 0; i < n; ++i) state.values_[i] = get_f64(p + 8 * i);
  return state;
}

// ---------------------------------------------------------------------------
// KllQuantiles

struct KllQuantiles::Impl {
  Kll sketch;
};

KllQuantiles::KllQuantiles(int k)
    : impl_(std::make_unique<Impl>(Impl{Kll(static_cast<std::uint16_t>(k))})) {}
KllQuantiles::KllQuantiles(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
KllQuantiles::KllQuantiles(const KllQuantiles& other)
    : impl_(std::make_unique<Impl>(*other.impl_)) {}
KllQuantiles::KllQuantiles(KllQuantiles&& other) noexcept = default;
KllQuantiles& KllQuantiles::operator=(const KllQuantiles& other) {
  if (this != &other) impl_ = std::make_unique<Impl>(*other.impl_);
  return *this;
}
KllQuantiles& KllQuantiles::operator=(KllQuantiles&& other) noexcept = default;
KllQuantiles::~KllQuantiles() = default;

void KllQuantiles::add(double v) {
  if (!std::isnan(v)) impl_->sketch.update(v);
}

void KllQuantiles::add_view(const CellView& v) {
  if (v.tag == kIntIndex) {
    add(static_cast<double>(v.i));
  } else if (v.tag == kDoubleIndex) {
    add(v.d);
  }
}

void KllQuantiles::add_cell(const Cell& cell) { add_view(CellView::of(cell)); }

void KllQuantiles::merge(const KllQuantiles& other) { impl_->sketch.merge(other.impl_->sketch); }

std::optional<double> KllQuantiles::quantile(double q) const {
  if (impl_->sketch.is_empty()) return std::nullopt;
  // The sketch keeps the least and greatest values exactly.
  if (q <= 0.0) return impl_->sketch.get_min_item();
  if (q >= 1.0) return impl_->sketch.get_max_item();
  return impl_->sketch.get_quantile(q, true);
}

int KllQuantiles::k() const { return impl_->sketch.get_k(); }
std::uint64_t KllQuantiles::count() const { return impl_->sketch.get_n(); }

double KllQuantiles::rank_error_for(int k) {
  return Kll::get_normalized_rank_error(static_cast<std::uint16_t>(k), false);
}

std::size_t KllQuantiles::memory_bytes() const {
  // The item buffer is sized to the levels' total capacity; the image holds
  // the retained items, which fill most of it once the sketch is in use.
  return sizeof(Impl) + impl_->sketch.get_serialized_size_bytes();
}

std::string KllQuantiles::serialize() const { return with_version(impl_->sketch.serialize()); }

std::optional<KllQuantiles> KllQuantiles::deserialize(std::string_view bytes) {
  const auto image = image_of(bytes);
  if (!image || !kll_image_ok(*image)) return std::nullopt;
  try {
    auto impl = std::make_unique<Impl>(Impl{Kll::deserialize(image->data(), image->size())});
    KllQuantiles state(std::move(impl));
    if (state.serialize() != bytes) return std::nullopt;
    return state;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// HllDistinct

struct HllDistinct::Impl {
  Hll sketch;
};

HllDistinct::HllDistinct(int lg_k)
    : impl_(std::make_unique<Impl>(Impl{Hll(static_cast<std::uint8_t>(lg_k), kHllType)})) {}
HllDistinct::HllDistinct(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HllDistinct::HllDistinct(const HllDistinct& other) : impl_(std::make_unique<Impl>(*other.impl_)) {}
HllDistinct::HllDistinct(HllDistinct&& other) noexcept = default;
HllDistinct& HllDistinct::operator=(const HllDistinct& other) {
  if (this != &other) impl_ = std::make_unique<Impl>(*other.impl_);
  return *this;
}
HllDistinct& HllDistinct::operator=(HllDistinct&& other) noexcept = default;
HllDistinct::~HllDistinct() = default;

void HllDistinct::add_int(std::int64_t v) { impl_->sketch.update(v); }

void HllDistinct::add_double(double v) {
  // An integral double in the int64 range is that integer (1.0 == 1).
  if (v >= -0x1p63 && v < 0x1p63 && v == std::trunc(v)) {
    add_int(static_cast<std::int64_t>(v));
  } else {
    impl_->sketch.update(v);  // the library makes every NaN one value
  }
}

void HllDistinct::add_string(std::string_view v) {
  // Through the byte form so that the empty string counts (its pointer must
  // not be null for that).
  static constexpr char kNone = 0;
  impl_->sketch.update(v.empty() ? &kNone : v.data(), v.size());
}

void HllDistinct::add_view(const CellView& v) {
  switch (v.tag) {
    case kBoolIndex: {
      const char byte = v.b ? 1 : 0;
      impl_->sketch.update(&byte, 1);
      break;
    }
    case kIntIndex:
      add_int(v.i);
      break;
    case kDoubleIndex:
      add_double(v.d);
      break;
    case kStringIndex:
      add_string(v.s);
      break;
    default:
      break;
  }
}

void HllDistinct::add_cell(const Cell& cell) { add_view(CellView::of(cell)); }

void HllDistinct::merge(const HllDistinct& other) {
  datasketches::hll_union u(impl_->sketch.get_lg_config_k());
  u.update(impl_->sketch);
  u.update(other.impl_->sketch);
  impl_->sketch = u.get_result(kHllType);
}

double HllDistinct::estimate() const { return impl_->sketch.get_estimate(); }
int HllDistinct::lg_k() const { return impl_->sketch.get_lg_config_k(); }

double HllDistinct::relative_standard_error_for(int lg_k) {
  return 1.04 / std::sqrt(static_cast<double>(std::uint64_t{1} << lg_k));
}

std::size_t HllDistinct::memory_bytes() const {
  return sizeof(Impl) + impl_->sketch.get_updatable_serialization_bytes();
}

std::string HllDistinct::serialize() const {
  auto image = impl_->sketch.serialize_compact();
  if (image.size() >= 12 && (image[7] & 3) == 1) {  // a hash set: its coupons in order
    const std::size_t count = (image.size() - 12) / 4;
    std::vector<std::uint32_t> coupons(count);
    for (std::size_t i = 0; i < count; ++i) coupons[i] = get_u32(image.data() + 12 + 4 * i);
    std::sort(coupons.begin(), coupons.end());
    for (std::size_t i = 0; i < count; ++i)
      for (int b = 0; b < 4; ++b) image[12 + 4 * i + b] = static_cast<std::uint8_t>(coupons[i] >> (8 * b));
  }
  return with_version(image);
}

std::optional<HllDistinct> HllDistinct::deserialize(std::string_view bytes) {
  const auto image = image_of(bytes);
  if (!image || !hll_image_ok(*image)) return std::nullopt;
  try {
    auto impl = std::make_unique<Impl>(Impl{Hll::deserialize(image->data(), image->size())});
    HllDistinct state(std::move(impl));
    if (state.serialize() != bytes) return std::nullopt;
    return state;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace movra
