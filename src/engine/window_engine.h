// The event-time window engine.
//
// process_events runs a run of events, slices of column chunks, through a
// plan: filter, de-duplicate by event id, stamp an event time, judge lateness
// against the watermark (a late event is dropped, kept for the caller as a
// Row, or goes on: late_rows.h), then pass the event through or fold it into
// a tumbling window (running sum and count per window and group, in a
// WindowTable).  Windows the watermark has passed
// are closed and returned as Rows, in byte-wise order of their keys.
//
// ProcessorState is the event-time state kept between calls.  The engine does
// no locking: callers hold the stream's state_mutex around every call that
// touches a ProcessorState.  Arithmetic on times saturates at the int64
// bounds, so no input can overflow.
#ifndef MOVRA_ENGINE_WINDOW_ENGINE_H_
#define MOVRA_ENGINE_WINDOW_ENGINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/agg_windows.h"
#include "engine/event_id_set.h"
#include "engine/late_rows.h"
#include "engine/plan.h"
#include "engine/window_table.h"
#include "model/cell.h"
#include "model/event_chunk.h"
#include "model/saturating.h"
#include "state/stats.h"

namespace movra {

struct ProcessorState {
  // kInt64Min means "no event time yet" and "no origin fixed yet".
  std::int64_t max_event_time = kInt64Min;
  std::int64_t window_origin = kInt64Min;
  EventIdSet seen_event_ids;
  // The open windows, each named by its key: decimal window start, "|",
  // group text.
  WindowTable window_state;
  // The open windows of aggregate plans ("aggs"), beside the mean plans'.
  AggWindows aggs;

  friend bool operator==(const ProcessorState&, const ProcessorState&) = default;
};

// Times up to this value use the absolute grid; later ones the grid anchored
// at window_origin.
inline constexpr std::int64_t kAbsoluteGridLimit = 1000000000000;

// max_event_time minus the plan's watermark (0 when absent), saturated.
std::int64_t plan_watermark(const PlanSpec& plan, const ProcessorState& state);

// Start of the window of width w holding event time t; may fix window_origin.
std::int64_t window_bucket_for(ProcessorState& state, std::int64_t t, std::int64_t w);

// The same start on the grid of `origin` (kInt64Min: none fixed yet),
// fixing nothing: absent when t needs the origin-anchored grid and there is
// no origin.
std::optional<std::int64_t> known_window_start(std::int64_t origin, std::int64_t t,
                                               std::int64_t w);

// The window key: decimal start, "|", group text.
void make_window_key(std::string& out, std::int64_t start, std::string_view group);

// The clock that stamps an event without an integer time: now_millis, or a
// fixed one in tests that run two engines side by side.
using EventClock = std::int64_t (*)();

// The columns of one chunk that a plan reads, each resolved once: the filter
// columns (with their operators and values), the event id and the event
// time.  A column the chunk lacks is null.  Views into chunk and plan.
struct PlanColumns {
  struct Filter {
    const EventChunk::Column* column;
    CompareOp op;
    CellView value;
  };
  std::vector<Filter> filters;
  const EventChunk::Column* id = nullptr;
  const EventChunk::Column* time = nullptr;

  PlanColumns(const EventChunk& chunk, const PlanSpec& plan, std::string_view time_field);
  // Whether event i satisfies every filter (AND); one lacking a filtered
  // field fails.
  bool passes(std::size_t i) const;
};

// Runs events through plan, updating state and the duplicate/late counters.
// Returns the pass-through events as Rows, or for a windowed plan the closed
// windows.  With `passed` given, a plan without windows returns nothing and
// the events that pass are appended to *passed instead, in order.
// An aggregate plan goes to process_aggregate_events (agg_windows.h), which
// throws std::invalid_argument when windows of another plan are open.
// The late rows a plan with keep_late keeps go to `kept` (see late_rows.h);
// without a queue they are counted over the cap.
Batch process_events(Stats& stats, ProcessorState& state, const EventSlices& events,
                     const PlanSpec& plan, EventClock clock = now_millis,
                     LateRows* kept = nullptr, std::vector<EventRef>* passed = nullptr);

// process_events over Rows, taken exactly as they are.
// Runs rows through plan, updating state and the duplicate/late counters.
// Returns the pass-through Rows, or for a windowed plan the closed windows.
// An aggregate plan goes to process_aggregate_events (agg_windows.h), which
// throws std::invalid_argument when windows of another plan are open.
// The late rows a plan with keep_late keeps go to `kept` (see late_rows.h);
// without a queue they are counted over the cap.
Batch process_rows(Stats& stats, ProcessorState& state, Batch rows, const PlanSpec& plan,
                   EventClock clock = now_millis, LateRows* kept = nullptr);

// Closes every open window (windowed plans only) and returns them in key
// order; a plan without window and mean leaves the windows open.
Batch flush_all_windows(ProcessorState& state, const PlanSpec& plan);

}  // namespace movra

#endif  // MOVRA_ENGINE_WINDOW_ENGINE_H_
