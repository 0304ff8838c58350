// Signed 64-bit arithmetic that clamps at the type's bounds instead of
// overflowing.  Used wherever times, widths and lateness meet at the extremes.
#ifndef MOVRA_MODEL_SATURATING_H_
#define MOVRA_MODEL_SATURATING_H_

#include <cstdint>
#include <limits>

namespace movra {

inline constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

inline std::int64_t clamp_to_i64(__int128 v) {
  if (v > kInt64Max) return kInt64Max;
  if (v < kInt64Min) return kInt64Min;
  return static_cast<std::int64_t>(v);
}

inline std::int64_t sat_add(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kInt64Max : kInt64Min;
  return r;
}

inline std::int64_t sat_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kInt64Max : kInt64Min;
  return r;
}

inline std::int64_t sat_mul(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? kInt64Min : kInt64Max;
  return r;
}

// An unsigned count of milliseconds as signed nanoseconds, clamped at the
// largest signed value.
inline std::int64_t millis_to_nanos_saturated(std::uint64_t ms) {
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(kInt64Max) / 1000000u;
  if (ms > kLimit) return kInt64Max;
  return static_cast<std::int64_t>(ms) * 1000000;
}

}  // namespace movra

#endif  // MOVRA_MODEL_SATURATING_H_
