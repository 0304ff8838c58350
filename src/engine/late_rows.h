// Late rows kept: what the late step does with a row judged late.
//
// A row is late when its event time plus the allowed lateness is below the
// watermark.  It is always counted in late_events.  With drop_late false it
// goes on like an on-time row; with drop_late true it is dropped, unless the
// plan says "keep_late": then it is kept in a LateRows queue, with the
// window it missed, until the caller takes it (NativeStream::take_late_rows).
// At most the plan's late_row_cap() rows wait there; a late row that finds
// the queue full is counted in late_rows_over_cap and dropped.  So every
// late row is counted exactly once in late_events, and a dropped one in
// late_rows_over_cap as well: none goes unaccounted.
//
// The missed window of a windowed plan is set on the kept row as the
// columns "window_start" and "window_end" (replacing columns of those names
// the event had).  It is the window the row would have landed in, found
// without fixing the stream's window origin: when the row's time needs the
// origin-anchored grid and no origin is fixed yet, the window is not known
// and the row goes without both columns (a result then shows None there, and
// the columns keep their integer type, which Null cells would turn to text).
// An aggregate plan ("aggs") gives the window on its own grid: for tumbling
// windows the one holding the row, for hopping windows the earliest of the
// windows holding it (the first it missed), for sessions the session the
// row would have opened, [t, t + gap) (agg_windows.cc, missed_window).
// A plan that does not window its rows adds no columns: the row is kept as
// it came, as it would have passed through.
//
// Kept rows are output waiting to be taken, not event-time state: they are
// not in checkpoints, and loading a checkpoint leaves them where they are.
//
// Plain data, no locks: the stream guards its LateRows with state_mutex,
// like its ProcessorState.
#ifndef MOVRA_ENGINE_LATE_ROWS_H_
#define MOVRA_ENGINE_LATE_ROWS_H_

#include <cstdint>
#include <optional>

#include "engine/plan.h"
#include "model/cell.h"
#include "state/stats.h"

namespace movra {

// The window a late row missed.  `windowed` false: the plan windows nothing,
// so the row gets no window columns.  Otherwise start and end, both absent
// when not known (then the row's own columns of those names are removed).
struct MissedWindow {
  bool windowed = false;
  std::optional<std::int64_t> start;
  std::optional<std::int64_t> end;
};

// The queue of kept late rows, oldest first.
class LateRows {
 public:
  void keep(Row row) { rows_.push_back(std::move(row)); }
  // Every kept row, oldest first; the queue is empty afterwards.
  Batch take();
  // Puts rows taken by take() back in front of any kept since, for a caller
  // whose hand-over failed.
  void put_back(Batch rows);
  std::size_t size() const { return rows_.size(); }

 private:
  Batch rows_;
};

// What one call counted of the late rows, published to Stats once at the end.
struct LateTally {
  std::uint64_t late = 0;
  std::uint64_t over_cap = 0;
  void publish(Stats& stats) const;
};

// The late step for one row judged late.  Counts it in tally.late; returns
// true when the row goes on (drop_late false).  Otherwise the row is kept in
// `kept` (as the Row `make_row()` gives) with the window that `missed()`
// names, when the plan has keep_late and the queue has room, else dropped
// (and counted in tally.over_cap when the plan has keep_late).  `make_row`
// and `missed` are called only for a row that is kept.  A null `kept` holds
// no rows: every row the plan would keep is counted over the cap.
template <typename MakeRowFn, typename MissedFn>
bool late_row_goes_on(const PlanSpec& plan, const MakeRowFn& make_row, LateRows* kept,
                      LateTally& tally, const MissedFn& missed) {
  ++tally.late;
  if (!plan.drop_late) return true;
  if (!plan.keep_late) return false;
  if (kept == nullptr || kept->size() >= plan.late_row_cap()) {
    ++tally.over_cap;
    return false;
  }
  Row row = make_row();
  const MissedWindow window = missed();
  if (window.windowed && window.start && window.end) {
    row.set(std::string_view("window_start"), *window.start);
    row.set(std::string_view("window_end"), *window.end);
  } else if (window.windowed) {
    row.erase("window_start");
    row.erase("window_end");
  }
  kept->keep(std::move(row));
  return false;
}

}  // namespace movra

#endif  // MOVRA_ENGINE_LATE_ROWS_H_
