// The open windows of an aggregate plan ("aggs"), beside the legacy
// WindowTable of the mean plans.
//
// Three kinds, all in event time with the watermark and lateness of today:
// - tumbling: one slot per (window start, group);
// - hopping: one slot per (pane start, group), panes of width slide; the
//   window [s, s + size) is the merge of its size/slide panes, made when it
//   closes (an event is added to its one pane, never copied);
// - session: one slot per session; a group's sessions never overlap or
//   touch: an event at t opens [t, t + gap) and merges every session it
//   overlaps or touches (a late event may bridge two).
// A slot is a fixed-size block of accumulator words (aggregates.h) plus its
// start, end and group.  Tumbling and hopping slots are found through an
// open-addressing table keyed by (start, group id); a session through an
// ordered map of the open sessions by (group id, start).  Groups are the tuples of the
// by fields' typed values (the int 1 and the string "1" are two groups; a
// missing field and null are one null value), interned in first-seen order
// by a GroupDictionary, which hashes with the process's secret key.
//
// One AggWindows holds the windows of one plan signature at a time
// (PlanSpec::aggs_signature).  While windows are open a plan with another
// signature is refused; once none is open any signature may start.
//
// Closed windows come out ordered by (window_end, window_start, group in
// first-seen order), as Rows with the group fields, "window_start",
// "window_end" and each aggregate by name; an aggregate that is null and a
// null group value are left out of the Row (the column conversion shows
// None), except that a column no Row of the result has is given as Null in
// every Row.
//
// Plain data, no locks: a field of ProcessorState, guarded by the stream's
// state_mutex.  Copyable (a copy copies every state).
#ifndef MOVRA_ENGINE_AGG_WINDOWS_H_
#define MOVRA_ENGINE_AGG_WINDOWS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/aggregates.h"
#include "engine/plan.h"
#include "engine/window_table.h"
#include "model/cell.h"
#include "model/event_chunk.h"
#include "state/stats.h"

namespace movra {

struct ProcessorState;
class LateRows;

class AggWindows {
 public:
  AggWindows() = default;

  // Open windows (tumbling windows, hopping panes, sessions).
  std::size_t size() const { return live_; }
  bool empty() const { return live_ == 0; }
  const std::string& signature() const { return signature_; }

  // Throws std::invalid_argument naming both plans when windows are open
  // under a signature other than signature.
  void check_signature(const std::string& signature) const;

  // The extension the checkpoint appends after today's sections: nothing
  // when no window is open, else "aggs_state\t1\t<n>" and n lines.
  void save(std::string& out) const;
  // Reads an extension from text (what follows today's sections); anything
  // it cannot read is skipped, never trusted.  Replaces this state.
  void load(std::string_view text);
  // Whether every text an output can show (group values, first/last
  // strings) is UTF-8.
  bool strings_are_utf8() const;

  // Equal when they save to the same text.
  friend bool operator==(const AggWindows& a, const AggWindows& b);

 private:
  friend Batch flush_aggregate_windows(ProcessorState&, const PlanSpec&);
  friend class AggEngine;
  // The engine as it was over Rows, kept in the C++ tests as a model.
  friend class AggRowModel;

  struct Slot {
    std::int64_t start = 0;
    // Tumbling: start + width; session: last event time + gap; hopping: the
    // end of the next window of this pane still to be emitted.
    std::int64_t end = 0;
    std::uint32_t group = 0;
    std::uint32_t merged_into = 0;  // itself, or the session it merged into
    bool live = false;
    bool done = false;  // hopping: every window of the pane is out
  };

  // Adopts plan's signature and layout; REQUIRES: empty() or the same
  // signature.
  void adopt(const PlanSpec& plan);
  void reset();
  std::uint32_t new_slot(std::int64_t start, std::int64_t end, std::uint32_t group);
  void free_slot(std::uint32_t slot);
  std::uint64_t* block(std::uint32_t slot) { return words_.data() + std::size_t{slot} * stride_; }
  const std::uint64_t* block(std::uint32_t slot) const {
    return words_.data() + std::size_t{slot} * stride_;
  }
  // The table of (start, group) -> slot; sessions do not use it.
  std::uint64_t hash_of(std::int64_t start, std::uint32_t group) const;
  std::size_t probe(std::int64_t start, std::uint32_t group) const;
  std::uint32_t find(std::int64_t start, std::uint32_t group) const;  // slot + 1, 0 absent
  std::uint32_t find_or_add(std::int64_t start, std::uint32_t group, std::int64_t end);
  void rebuild_index();
  // A session slot for an event of group at t, merging what it bridges.
  std::uint32_t session_for(std::uint32_t group, std::int64_t t);
  std::uint32_t resolve(std::uint32_t slot) const;

  // Closes every window ending at or below threshold into out.
  void close(std::int64_t threshold, const PlanSpec& plan, Batch& out);
  void close_hopping(std::int64_t threshold, const PlanSpec& plan, Batch& out);
  void emit(std::int64_t start, std::int64_t end, std::uint32_t group, const std::uint64_t* w,
            const PlanSpec& plan, Batch& out) const;
  void release_states(std::uint32_t slot);

  // The plan whose windows these are.
  std::string signature_;
  AggLayout layout_;
  WindowKind kind_ = WindowKind::kTumbling;
  std::int64_t width_ = 0;
  std::int64_t slide_ = 0;
  std::int64_t gap_ = 0;
  std::size_t by_count_ = 0;
  std::vector<std::string> by_names_;

  GroupDictionary groups_;
  std::vector<Cell> group_values_;  // by_count_ per group, by id

  std::vector<Slot> slots_;
  std::size_t stride_ = 0;  // words per slot
  std::vector<std::uint64_t> words_;
  std::vector<std::uint32_t> free_;
  std::vector<std::uint32_t> index_;  // slot + 1; 0 empty; a power of two
  // The open sessions by (group, start).  A group's sessions never overlap
  // or touch, so in start order their ends ascend too.
  std::map<std::pair<std::uint32_t, std::int64_t>, std::uint32_t> sessions_;
  AggPools pools_;
  std::uint64_t next_seq_ = 0;  // arrival order, for first/last ties
  std::int64_t min_end_ = INT64_MAX;  // at or below every live slot's end
  std::size_t live_ = 0;

  // close_idle_after_ms: the steady time of the last event that reached the
  // engine, and up to when max_event_time was advanced for idleness.
  bool clock_started_ = false;
  std::chrono::steady_clock::time_point last_event_;
  std::chrono::steady_clock::time_point advanced_to_;

  // The output columns in name order, made at the first emit.
  struct OutputColumn {
    enum Kind { kGroup, kStart, kEnd, kAggregate };
    std::string name;
    Kind kind;
    std::size_t index;
  };
  mutable std::vector<OutputColumn> output_order_;
  mutable bool output_names_unique_ = true;

  // One batch's scratch vectors, kept for their capacity.  The events that
  // go on, by their index in their chunk; those of slice k are
  // picked_[picked_from_[k] .. picked_from_[k + 1]).
  std::vector<std::size_t> picked_;
  std::vector<std::size_t> picked_from_;
  std::vector<const EventChunk::Column*> by_columns_;
  std::vector<std::int64_t> times_;
  std::vector<std::uint32_t> group_ids_;
  std::vector<std::uint32_t> slot_ids_;
  std::vector<FieldColumn> columns_;
  std::string key_;
};

// The aggregate plan's path of process_events and flush_all_windows (see
// window_engine.h): the same filters, de-duplication, event time and
// lateness, then the events go to their windows.  The events are read from
// their chunk columns, each name resolved once per chunk; only a late event
// that is kept is made a Row, and a group's values are copied only when the
// group is new.  Throws std::invalid_argument when windows of another plan
// signature are open.  A late row that a plan with keep_late keeps goes to
// `kept` with the window it missed (for hopping windows the earliest window
// holding it, for sessions the session it would have opened); a null `kept`
// counts it over the cap (late_rows.h).
Batch process_aggregate_events(Stats& stats, ProcessorState& state, const EventSlices& events,
                               const PlanSpec& plan, std::int64_t (*clock)(),
                               LateRows* kept = nullptr);
Batch flush_aggregate_windows(ProcessorState& state, const PlanSpec& plan);

// The bytes one open window takes per aggregate of op, its share of the
// slot's bookkeeping aside.
std::size_t aggregate_state_bytes(AggOp op);

}  // namespace movra

#endif  // MOVRA_ENGINE_AGG_WINDOWS_H_
