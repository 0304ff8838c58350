// A parsed query plan: a plain, immutable value built once per call by
// parse_plan and only read by the filter, projection and window stages.
#ifndef MOVRA_ENGINE_PLAN_H_
#define MOVRA_ENGINE_PLAN_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/cell.h"
#include "model/saturating.h"

namespace movra {

struct FilterSpec {
  std::string field;
  std::string op;
  Cell value;
};

// The kind of window an aggregate plan keeps.  A legacy (mean) plan is
// always tumbling by whole seconds.
enum class WindowKind : std::uint8_t { kTumbling = 0, kHopping = 1, kSession = 2 };

struct WindowSpec {
  std::int64_t seconds = 0;
  std::optional<std::string> by;
  std::string time_field = "timestamp";

  // The keys only an aggregate plan may use; absent (or None) otherwise.
  std::optional<std::int64_t> size_ms = std::nullopt;
  std::optional<std::int64_t> slide_ms = std::nullopt;
  std::optional<std::int64_t> gap_ms = std::nullopt;
  // The group fields of an aggregate plan, in plan order: "by" as a list,
  // or a one-element list for a single str.  Empty without "by".
  std::vector<std::string> by_fields = {};

  WindowKind kind() const {
    if (gap_ms) return WindowKind::kSession;
    if (slide_ms) return WindowKind::kHopping;
    return WindowKind::kTumbling;
  }
  // The window width in milliseconds (tumbling and hopping): size_ms when
  // given, else seconds * 1000.  0 for sessions.
  std::int64_t width_ms() const {
    if (gap_ms) return 0;
    if (size_ms) return *size_ms;
    return sat_mul(seconds, 1000);
  }
};

struct MeanSpec {
  std::string field;
  std::string alias;
};

// The cap on kept late rows when a plan does not give "max_late_rows".
inline constexpr std::uint64_t kDefaultMaxLateRows = 100000;

// One named aggregate of an aggregate plan.  The ops are those of
// aggregates.h; the parser refuses any other.
enum class AggOp : std::uint8_t {
  kCount = 0,  // rows (no field) or a field's non-null values
  kSum = 1,
  kMean = 2,
  kMin = 3,
  kMax = 4,
  kFirst = 5,
  kLast = 6,
  kVar = 7,
  kStddev = 8,
  kCountDistinct = 9,
  kQuantile = 10,             // exact (sketch_states.h)
  kApproxQuantile = 11,       // KLL
  kApproxCountDistinct = 12,  // HLL
};
// A hopping window is the merge of size/slide panes; at most this many.
inline constexpr std::int64_t kMaxPanesPerWindow = 100000;
// The greatest AggOp; a checkpoint naming a greater one is not read.
inline constexpr AggOp kLastAggOp = AggOp::kApproxCountDistinct;

struct AggSpec {
  std::string name;
  AggOp op = AggOp::kCount;
  std::optional<std::string> field;
  std::int64_t ddof = 1;               // var and stddev
  std::optional<double> q;             // quantile ops
  std::optional<std::int64_t> param;   // sketch precision: KLL k, HLL lg_k
};

struct PlanSpec {
  std::vector<FilterSpec> filters;
  std::optional<std::vector<std::string>> select;
  std::optional<WindowSpec> window;
  std::optional<MeanSpec> mean;
  std::optional<std::int64_t> watermark_ms;
  std::optional<std::int64_t> allowed_lateness_ms;
  std::optional<std::string> event_id_field;
  bool drop_late = true;
  // Optional keys: a plan without them is parsed exactly as before.
  // keep_late: the rows the late step would drop (late, and drop_late true)
  // are kept for take_late_rows() instead of being thrown away.
  bool keep_late = false;
  // At most this many kept rows wait to be taken; later ones are counted in
  // late_rows_over_cap instead.  Absent: kDefaultMaxLateRows.
  std::optional<std::uint64_t> max_late_rows;

  std::uint64_t late_row_cap() const { return max_late_rows.value_or(kDefaultMaxLateRows); }

  // The aggregate plan: named aggregates over the window (never together
  // with mean), and the idle bound of its windows.
  std::optional<std::vector<AggSpec>> aggs = std::nullopt;
  std::optional<std::int64_t> close_idle_after_ms = std::nullopt;
  // The text that names the window state an aggregate plan builds: window
  // kind and sizes, group fields, time field and aggregates.  Empty for
  // other plans.  Two plans share open windows only when theirs are equal.
  std::string aggs_signature = {};

  // Windowed aggregation runs only when both a window and a mean are given.
  bool is_windowed() const { return window.has_value() && mean.has_value(); }
  // The aggregate plan's path (parse_plan guarantees a window with aggs).
  bool is_aggregating() const { return aggs.has_value() && window.has_value(); }
};

}  // namespace movra

#endif  // MOVRA_ENGINE_PLAN_H_
