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

struct PlanSpec {
  std::vector<FilterSpec> filters;
  std::optional<std::vector<std::string>> select;
  std::optional<WindowSpec> window;
  std::optional<MeanSpec> mean;
  std::optional<std::int64_t> watermark_ms;
  std::optional<std::int64_t> allowed_lateness_ms;
  std::optional<std::string> event_id_field;
  bool drop_late = true;

  // Windowed aggregation runs only when both a window and a mean are given.
  bool is_windowed() const { return window.has_value() && mean.has_value(); }
};

}  // namespace movra

#endif  // MOVRA_ENGINE_PLAN_H_
