// Batch retrieval: next_batch, the consumer side of a NativeStream.
#include <chrono>

#include "engine/filters.h"
#include "engine/plan_parse.h"
#include "engine/window_engine.h"
#include "model/columns.h"
#include "model/output_columns.h"
#include "model/picked_columns.h"
#include "model/saturating.h"
#include "module/arrow_capsules.h"
#include "stream/native_stream.h"

namespace py = pybind11;

namespace movra {

namespace {

// Now plus timeout on the wall clock, in nanoseconds, saturated.
std::chrono::system_clock::time_point deadline_after(std::int64_t timeout_ms) {
  using namespace std::chrono;
  const std::int64_t now_ns =
      duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
  const std::int64_t wait_ns = millis_to_nanos_saturated(static_cast<std::uint64_t>(timeout_ms));
  return system_clock::time_point(duration_cast<system_clock::duration>(
      nanoseconds(sat_add(now_ns, wait_ns))));
}

}  // namespace

NativeStream::TakenResult NativeStream::take_result(const PlanSpec& plan, std::uint64_t timeout_ms) {
  if (plan.is_aggregating()) {
    // A plan that cannot use the open windows is refused before anything
    // is taken.
    std::lock_guard<std::mutex> lock(state_mutex);
    state.aggs.check_signature(plan.aggs_signature);
  }
  std::deque<ReadyBatch> taken;
  bool spent;  // closed, and every accepted event is in taken or was taken before
  {
    std::unique_lock<std::mutex> lock(queue_mutex);
    const auto timeout = static_cast<std::int64_t>(timeout_ms);
    if (ready.empty() && !closed && timeout >= 1) {
      // One wait, no predicate: any notification (an event queued, a batch
      // cut, a stop) ends it, and so does the timeout.
      queue_cv.wait_until(lock, deadline_after(timeout));
    }
    if (closed) {
      // After a stop the worker cuts every pending event within one of its
      // iterations, then sets worker_done.  Wait for that whatever the
      // timeout: a flush before those last batches were processed would
      // close windows they then open again, and a None after close must
      // mean that nothing is left.  The worker never needs the interpreter
      // lock, so holding it here cannot stall the worker.
      queue_cv.wait(lock, [this] { return worker_done; });
      // In a forked child the worker never ran there: the events the parent
      // had accepted but not yet cut are cut here, as its last act would
      // have done.  Anywhere else nothing is pending by now.
      while (pending_events != 0) drain_queue_locked();
    }
    taken.swap(ready);
    // Events offered after close are dropped, so once the worker is done
    // nothing can be pending or ready any more.
    spent = closed;
  }

  // The chunks of the batches are no longer written by anyone: the engine
  // reads them outside the queue lock.
  EventSlices events;
  for (ReadyBatch& b : taken) {
    for (ChunkSlice& slice : b.slices) events.push_back(std::move(slice));
  }
  taken.clear();

  TakenResult result;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    result.rows = process_events(counters, state, events, plan, now_millis, &late_rows, &result.passed);
    if (result.rows.empty() && result.passed.empty() && spent) result.rows = flush_all_windows(state, plan);
  }

  if (result.passed.empty()) {
    result.rows = project_rows(std::move(result.rows), plan.select);
  } else {
    // The output is written from the chunks' columns: they go with it.
    result.events = std::move(events);
  }
  return result;
}

py::object NativeStream::next_batch(const py::dict& plan_dict, std::uint64_t timeout_ms) {
  const PlanSpec plan = parse_plan(plan_dict);
  const TakenResult taken = take_result(plan, timeout_ms);
  if (taken.size() == 0) return py::none();
  py::dict columns = taken.passed.empty() ? rows_to_columns(taken.rows)
                                          : events_to_columns(taken.events, taken.passed, plan.select);
  bump(counters.output_batches);
  bump(counters.output_rows, taken.size());
  return columns;
}

py::object NativeStream::next_batch_arrow(const py::dict& plan_dict, std::uint64_t timeout_ms) {
  const PlanSpec plan = parse_plan(plan_dict);
  const TakenResult taken = take_result(plan, timeout_ms);
  if (taken.size() == 0) return py::none();
  py::object result = arrow_result(taken.passed.empty()
                                       ? columns_from_rows(taken.rows)
                                       : columns_from_events(taken.events, taken.passed, plan.select));
  bump(counters.output_batches);
  bump(counters.output_rows, taken.size());
  return result;
}

template <typename Convert>
py::object NativeStream::take_late_rows_as(const Convert& convert) {
  Batch rows;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    rows = late_rows.take();
  }
  if (rows.empty()) return py::none();
  try {
    return convert(rows);
  } catch (...) {
    std::lock_guard<std::mutex> lock(state_mutex);
    late_rows.put_back(std::move(rows));
    throw;
  }
}

py::object NativeStream::take_late_rows() {
  return take_late_rows_as([](const Batch& rows) -> py::object { return rows_to_columns(rows); });
}

py::object NativeStream::take_late_rows_arrow() {
  return take_late_rows_as(
      [](const Batch& rows) { return arrow_result(columns_from_rows(rows)); });
}

}  // namespace movra
