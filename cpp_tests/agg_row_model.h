// The aggregate engine as it was over Rows, before it read chunk columns:
// each row's fields found by name, the group key made from Cells, the
// values handed to the accumulators as Cells.  The differential test holds
// the chunk route to it: results, counters, kept late rows and checkpoint
// bytes.  It builds the same AggWindows (a friend of it) and shares the
// accumulators, window slots and closing, which the chunk route does not
// change; the way rows are selected and read, group keys made and numbers
// taken is the model's own.
#ifndef MOVRA_CPP_TESTS_AGG_ROW_MODEL_H_
#define MOVRA_CPP_TESTS_AGG_ROW_MODEL_H_

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/agg_windows.h"
#include "engine/filters.h"
#include "engine/late_rows.h"
#include "engine/window_engine.h"
#include "model/saturating.h"

namespace movra {

inline constexpr std::int64_t kModelLatenessGuard = -4611686018427387903;

inline std::int64_t model_lateness_of(const PlanSpec& plan) {
  if (plan.allowed_lateness_ms && *plan.allowed_lateness_ms > 0) return *plan.allowed_lateness_ms;
  return 0;
}

// The group key of a Cell, as the Row engine wrote it.
inline bool model_integral(double d, std::int64_t& out) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  const auto i = static_cast<std::int64_t>(d);
  if (static_cast<double>(i) != d) return false;
  out = i;
  return true;
}

inline void model_value_key(std::string& out, const Cell& cell) {
  switch (cell.index()) {
    case kNullIndex: out.push_back('n'); return;
    case kBoolIndex: out.push_back(std::get<bool>(cell) ? 'T' : 'F'); return;
    case kIntIndex: {
      out.push_back('i');
      const std::int64_t v = std::get<std::int64_t>(cell);
      out.append(reinterpret_cast<const char*>(&v), 8);
      return;
    }
    case kDoubleIndex: {
      const double d = std::get<double>(cell);
      std::int64_t i;
      if (model_integral(d, i)) {
        out.push_back('i');
        out.append(reinterpret_cast<const char*>(&i), 8);
      } else if (std::isnan(d)) {
        out.push_back('N');
      } else {
        out.push_back('d');
        out.append(reinterpret_cast<const char*>(&d), 8);
      }
      return;
    }
    default: {
      const std::string& s = std::get<std::string>(cell);
      out.push_back('s');
      const auto n = static_cast<std::uint32_t>(s.size());
      out.append(reinterpret_cast<const char*>(&n), 4);
      out.append(s);
      return;
    }
  }
}

// The window a late row at t missed, for a plan with keep_late
// (late_rows.h), on the grid the rows that go on use but without fixing the
// window origin (not known when t needs an origin not yet fixed):
// - tumbling: the window holding t;
// - hopping: the earliest window holding t, the first one it missed:
//   [p - (size/slide - 1) * slide, p + slide) for t's pane p (the same
//   windows a pane's rows close in, see close_hopping);
// - session: the session t would have opened, [t, t + gap).
// `origin` is the window origin the rows before it fix (kInt64Min: none).
inline MissedWindow model_missed_window(std::int64_t origin, const WindowSpec& w, std::int64_t t) {
  MissedWindow m;
  m.windowed = true;
  switch (w.kind()) {
    case WindowKind::kSession:
      m.start = t;
      m.end = sat_add(t, *w.gap_ms);
      break;
    case WindowKind::kTumbling:
      m.start = known_window_start(origin, t, w.width_ms());
      if (m.start) m.end = sat_add(*m.start, w.width_ms());
      break;
    case WindowKind::kHopping: {
      const std::int64_t slide = *w.slide_ms;
      const std::optional<std::int64_t> pane = known_window_start(origin, t, slide);
      if (!pane) break;
      m.start = sat_sub(*pane, sat_mul(w.width_ms() / slide - 1, slide));
      m.end = sat_add(*pane, slide);
      break;
    }
  }
  return m;
}

class AggRowModel {
 public:
  static Batch run(Stats& stats, ProcessorState& state, Batch rows, const PlanSpec& plan,
                   std::int64_t (*clock)(), LateRows* kept) {
    AggWindows& a = state.aggs;
    a.check_signature(plan.aggs_signature);
    a.adopt(plan);
    const auto now = std::chrono::steady_clock::now();
    if (!a.clock_started_ || !rows.empty()) {
      a.clock_started_ = true;
      a.last_event_ = now;
      a.advanced_to_ = now;
    }

    std::vector<const Row*> picked;
    select_rows(stats, state, rows, plan, clock, kept, picked);
    const std::size_t n = picked.size();
    if (n != 0) {
      intern_groups(a, picked);
      assign_slots(state, a, n);
      extract_columns(a, picked);
      const std::uint64_t first_seq = a.next_seq_;
      a.next_seq_ += n;
      for (const AggLayout::Item& item : a.layout_.items) {
        FieldColumn* column = item.field < 0 ? nullptr : &a.columns_[static_cast<std::size_t>(item.field)];
        if (column != nullptr && needs_numbers(item.agg_spec.op)) model_numbers(*column);
        update_states(item, a.words_.data(), a.stride_, a.slot_ids_.data(), n, column,
                      a.times_.data(), first_seq, a.pools_);
      }
    }
    // The Cell pointers go with the rows.
    for (FieldColumn& c : a.columns_) c.cells.clear();

    advance_when_idle(state, a, plan, now);
    Batch out;
    const std::int64_t threshold = sat_sub(
        sat_sub(state.max_event_time, plan.watermark_ms.value_or(0)), model_lateness_of(plan));
    a.close(threshold, plan, out);
    return out;
  }

 private:
  static bool needs_numbers(AggOp op) {
    switch (op) {
      case AggOp::kSum:
      case AggOp::kMean:
      case AggOp::kMin:
      case AggOp::kMax:
      case AggOp::kVar:
      case AggOp::kStddev: return true;
      default: return false;
    }
  }

  // Filters, de-duplication, event time and lateness, as in process_rows:
  // the rows that go on and their event times.
  static void select_rows(Stats& stats, ProcessorState& state, Batch& rows,
                          const PlanSpec& plan, std::int64_t (*clock)(), LateRows* kept,
                          std::vector<const Row*>& picked) {
    AggWindows& a = state.aggs;
    a.times_.clear();
    const std::string_view time_field(plan.window->time_field);
    const std::int64_t lateness = model_lateness_of(plan);
    const std::int64_t watermark_ms = plan.watermark_ms.value_or(0);
    std::string id_text;
    std::uint64_t duplicates = 0;
    LateTally late;
    // The origin as assign_slots will have fixed it for the rows that went
    // on so far: a late row after them misses a window on that grid, as in
    // the mean plans' path, which fixes the origin row by row.
    std::int64_t origin = state.window_origin;
    const bool gridded = plan.window->kind() != WindowKind::kSession;
    for (Row& row : rows) {
      if (!passes_filters(row, plan.filters)) continue;
      if (plan.event_id_field) {
        if (const Cell* id = row.find(*plan.event_id_field)) {
          id_text.clear();
          append_display(id_text, *id);
          if (!id_text.empty() && !state.seen_event_ids.insert(id_text)) {
            ++duplicates;
            continue;
          }
        }
      }
      const Cell* time_cell = row.find(time_field);
      const std::int64_t event_time = (time_cell != nullptr && time_cell->index() == kIntIndex)
                                          ? std::get<std::int64_t>(*time_cell)
                                          : clock();
      if (event_time > state.max_event_time) state.max_event_time = event_time;
      const std::int64_t watermark = sat_sub(state.max_event_time, watermark_ms);
      if (watermark >= kModelLatenessGuard && sat_add(event_time, lateness) < watermark) {
        // A row kept is moved out of the batch; nothing reads it after this.
        const auto missed = [&] { return model_missed_window(origin, *plan.window, event_time); };
        if (!late_row_goes_on(plan, [&] { return std::move(row); }, kept, late, missed)) continue;
      }
      if (gridded && origin == kInt64Min && event_time >= kAbsoluteGridLimit + 1) origin = event_time;
      picked.push_back(&row);
      a.times_.push_back(event_time);
    }
    if (duplicates) bump(stats.duplicate_events, duplicates);
    late.publish(stats);
  }

  // The group id of each row: its by values' keys, interned.
  static void intern_groups(AggWindows& a, const std::vector<const Row*>& picked) {
    const std::size_t n = picked.size();
    a.group_ids_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      a.key_.clear();
      const Row& row = *picked[i];
      for (std::size_t f = 0; f < a.by_count_; ++f) {
        const Cell* c = row.find(a.by_names_[f]);
        model_value_key(a.key_, c == nullptr ? Cell(Null{}) : *c);
      }
      const std::size_t before = a.groups_.size();
      const std::uint32_t id = a.groups_.intern(a.key_);
      if (a.groups_.size() != before) {
        for (std::size_t f = 0; f < a.by_count_; ++f) {
          const Cell* c = row.find(a.by_names_[f]);
          a.group_values_.push_back(c == nullptr ? Cell(Null{}) : *c);
        }
      }
      a.group_ids_[i] = id;
    }
  }

  static void assign_slots(ProcessorState& state, AggWindows& a, std::size_t n) {
    a.slot_ids_.resize(n);
    switch (a.kind_) {
      case WindowKind::kTumbling:
      case WindowKind::kHopping: {
        const std::int64_t step = a.kind_ == WindowKind::kTumbling ? a.width_ : a.slide_;
        for (std::size_t i = 0; i < n; ++i) {
          const std::int64_t start = window_bucket_for(state, a.times_[i], step);
          a.slot_ids_[i] = a.find_or_add(start, a.group_ids_[i], sat_add(start, step));
        }
        return;
      }
      case WindowKind::kSession: {
        std::vector<std::uint32_t> merged;
        for (std::size_t i = 0; i < n; ++i) a.slot_ids_[i] = a.session_for(a.group_ids_[i], a.times_[i]);
        // Rows whose session merged into another follow it; the merged
        // slots are freed once no row names them.
        for (std::size_t i = 0; i < n; ++i) a.slot_ids_[i] = a.resolve(a.slot_ids_[i]);
        for (std::uint32_t k = 0; k < a.slots_.size(); ++k) {
          AggWindows::Slot& s = a.slots_[k];
          if (s.live && s.merged_into != k) merged.push_back(k);
        }
        for (const std::uint32_t k : merged) {
          a.slots_[k].merged_into = k;
          a.free_slot(k);
        }
        // Sessions only grow: min_end_ stays a lower bound.
        return;
      }
    }
  }

  static void extract_columns(AggWindows& a, const std::vector<const Row*>& picked) {
    const std::size_t n = picked.size();
    a.columns_.resize(a.layout_.fields.size());
    for (std::size_t f = 0; f < a.layout_.fields.size(); ++f) {
      FieldColumn& col = a.columns_[f];
      col.numbers_done = false;
      col.views.clear();
      col.cells.resize(n);
      col.present.resize(n);
      const std::string_view name(a.layout_.fields[f]);
      for (std::size_t i = 0; i < n; ++i) {
        const Cell* c = picked[i]->find(name);
        col.cells[i] = c;
        col.present[i] = c != nullptr && c->index() != kNullIndex;
      }
    }
  }

  // The numbers of a column's Cells, as the Row engine read them.
  static void model_numbers(FieldColumn& column) {
    if (column.numbers_done) return;
    const std::size_t n = column.cells.size();
    column.values.resize(n);
    column.numeric.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const Cell* c = column.cells[i];
      double v = 0.0;
      std::uint8_t ok = 0;
      if (c != nullptr) {
        if (c->index() == kDoubleIndex) {
          v = std::get<double>(*c);
          if (std::isnan(v)) v = std::numeric_limits<double>::quiet_NaN();
          ok = 1;
        } else if (c->index() == kIntIndex) {
          v = static_cast<double>(std::get<std::int64_t>(*c));
          ok = 1;
        }
      }
      column.values[i] = v;
      column.numeric[i] = ok;
    }
    column.numbers_done = true;
  }

  // close_idle_after_ms: after a quiet spell of at least the bound, the
  // event time moves on by the wall time that passed.
  static void advance_when_idle(ProcessorState& state, AggWindows& a, const PlanSpec& plan,
                                std::chrono::steady_clock::time_point now) {
    if (!plan.close_idle_after_ms || state.max_event_time == kInt64Min) return;
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const std::int64_t quiet = duration_cast<milliseconds>(now - a.last_event_).count();
    if (quiet < *plan.close_idle_after_ms) return;
    const auto from = std::max(a.last_event_, a.advanced_to_);
    const std::int64_t step = duration_cast<milliseconds>(now - from).count();
    if (step <= 0) return;
    state.max_event_time = sat_add(state.max_event_time, step);
    a.advanced_to_ = from + milliseconds(step);
  }
};


// The Row route: process_events of an aggregate plan over Rows.
inline Batch process_aggregate_rows_model(Stats& stats, ProcessorState& state, Batch rows,
                                          const PlanSpec& plan, std::int64_t (*clock)(),
                                          LateRows* kept = nullptr) {
  return AggRowModel::run(stats, state, std::move(rows), plan, clock, kept);
}

}  // namespace movra

#endif  // MOVRA_CPP_TESTS_AGG_ROW_MODEL_H_
