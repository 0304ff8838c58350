// A parsed query plan: a plain, immutable value built once per call by
// parse_plan and only read by the filter, projection and window stages.
#ifndef MOVRA_ENGINE_PLAN_H_
#define MOVRA_ENGINE_PLAN_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/cell.h"

namespace movra {

struct FilterSpec {
  std::string field;
  std::string op;
  Cell value;
};

struct WindowSpec {
  std::int64_t seconds = 0;
  std::optional<std::string> by;
  std::string time_field = "timestamp";
};

struct MeanSpec {
  std::string field;
  std::string alias;
};

// The cap on kept late rows when a plan does not give "max_late_rows".
inline constexpr std::uint64_t kDefaultMaxLateRows = 100000;

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

  // Windowed aggregation runs only when both a window and a mean are given.
  bool is_windowed() const { return window.has_value() && mean.has_value(); }
};

}  // namespace movra

#endif  // MOVRA_ENGINE_PLAN_H_
