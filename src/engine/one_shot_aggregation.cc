// aggregate_columns: one run of a plan over caller-supplied columns, on the
// stream's shared event-time state, always ending with a flush.
// aggregate_arrow is the same run over Arrow data, with an Arrow result.
#include "engine/filters.h"
#include "engine/plan_parse.h"
#include "engine/window_engine.h"
#include "model/columns.h"
#include "model/output_columns.h"
#include "model/py_values.h"
#include "module/arrow_capsules.h"
#include "stream/native_stream.h"

namespace py = pybind11;

namespace movra {

Batch NativeStream::aggregate_rows(Batch rows, const PlanSpec& plan) {
  Batch result;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    if (plan.is_aggregating()) state.aggs.check_signature(plan.aggs_signature);
    result = process_rows(counters, state, std::move(rows), plan, now_millis, &late_rows);
    Batch flushed = flush_all_windows(state, plan);
    result.insert(result.end(), std::make_move_iterator(flushed.begin()),
                  std::make_move_iterator(flushed.end()));
  }

  Batch projected = project_rows(std::move(result), plan.select);
  bump(counters.output_batches);
  bump(counters.output_rows, projected.size());
  return projected;
}

py::dict NativeStream::aggregate_columns(const py::dict& columns, const py::dict& plan_dict) {
  const PlanSpec plan = parse_plan(plan_dict);
  Batch rows = rows_from_columns(columns);
  return rows_to_columns(aggregate_rows(std::move(rows), plan));
}

py::object NativeStream::aggregate_arrow(const py::object& data, const py::dict& plan_dict) {
  const PlanSpec plan = parse_plan(plan_dict);
  Batch rows = rows_from_arrow(data);
  return arrow_result(columns_from_rows(aggregate_rows(std::move(rows), plan)));
}

}  // namespace movra
