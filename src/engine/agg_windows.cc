#include "engine/agg_windows.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <stdexcept>
#include <tuple>

#include "engine/filters.h"
#include "engine/keyed_hash.h"
#include "engine/sketch_states.h"
#include "engine/late_rows.h"
#include "engine/window_engine.h"
#include "model/saturating.h"
#include "model/utf8.h"

namespace movra {

namespace {

constexpr std::size_t kMinIndex = 16;
// Groups are forgotten when no window is open and more than this many were seen.
constexpr std::size_t kGroupsKeptIdle = 4096;
constexpr std::int64_t kLatenessGuard = -4611686018427387903;  // -(2^62 - 1), as today

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  x ^= x >> 33;
  return x;
}

std::int64_t lateness_of(const PlanSpec& plan) {
  if (plan.allowed_lateness_ms && *plan.allowed_lateness_ms > 0) return *plan.allowed_lateness_ms;
  return 0;
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
MissedWindow missed_window(std::int64_t origin, const WindowSpec& w, std::int64_t t) {
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

void append_i64(std::string& out, std::int64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

template <typename Int>
bool parse_int(std::string_view text, Int& out) {
  if (text.empty()) return false;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
  return res.ec == std::errc() && res.ptr == text.data() + text.size();
}

std::vector<std::string_view> split_tabs(std::string_view line) {
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (true) {
    const std::size_t tab = line.find('\t', at);
    parts.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
    if (tab == std::string_view::npos) return parts;
    at = tab + 1;
  }
}

}  // namespace

std::size_t aggregate_state_bytes(AggOp op) { return state_bytes(op); }

void AggWindows::check_signature(const std::string& signature) const {
  if (live_ == 0 || signature == signature_) return;
  throw std::invalid_argument(
      "the stream's open windows were built by a different window/aggregate plan (open: " +
      signature_ + "; this pull: " + signature +
      "); pull with the plan that opened them until they have closed, or close the stream");
}

void AggWindows::reset() {
  AggWindows fresh;
  fresh.clock_started_ = clock_started_;
  fresh.last_event_ = last_event_;
  fresh.advanced_to_ = advanced_to_;
  *this = std::move(fresh);
}

void AggWindows::adopt(const PlanSpec& plan) {
  if (plan.aggs_signature == signature_ && !signature_.empty()) return;
  reset();
  signature_ = plan.aggs_signature;
  layout_ = AggLayout::of(*plan.aggs);
  const WindowSpec& w = *plan.window;
  kind_ = w.kind();
  width_ = w.width_ms();
  slide_ = w.slide_ms.value_or(width_);
  gap_ = w.gap_ms.value_or(0);
  by_count_ = w.by_fields.size();
  by_names_ = w.by_fields;
  stride_ = layout_.words;
}

std::uint32_t AggWindows::new_slot(std::int64_t start, std::int64_t end, std::uint32_t group) {
  std::uint32_t id;
  if (!free_.empty()) {
    id = free_.back();
    free_.pop_back();
  } else {
    id = static_cast<std::uint32_t>(slots_.size());
    slots_.emplace_back();
    words_.resize(words_.size() + stride_);
  }
  Slot& s = slots_[id];
  s.start = start;
  s.end = end;
  s.group = group;
  s.merged_into = id;
  s.live = true;
  s.done = false;
  std::uint64_t* w = block(id);
  for (const AggLayout::Item& item : layout_.items) init_state(item, w, pools_);
  ++live_;
  if (end < min_end_) min_end_ = end;
  return id;
}

void AggWindows::release_states(std::uint32_t slot) {
  std::uint64_t* w = block(slot);
  for (const AggLayout::Item& item : layout_.items) release_state(item, w, pools_);
}

void AggWindows::free_slot(std::uint32_t slot) {
  release_states(slot);
  slots_[slot].live = false;
  free_.push_back(slot);
  --live_;
}

std::uint64_t AggWindows::hash_of(std::int64_t start, std::uint32_t group) const {
  const HashKey& key = process_hash_key();
  return mix(mix(static_cast<std::uint64_t>(start) ^ key.k0) ^ (group + key.k1));
}

std::size_t AggWindows::probe(std::int64_t start, std::uint32_t group) const {
  const std::size_t mask = index_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash_of(start, group)) & mask;; i = (i + 1) & mask) {
    const std::uint32_t s = index_[i];
    if (s == 0) return i;
    const Slot& slot = slots_[s - 1];
    if (slot.start == start && slot.group == group) return i;
  }
}

std::uint32_t AggWindows::find(std::int64_t start, std::uint32_t group) const {
  if (index_.empty()) return 0;
  return index_[probe(start, group)];
}

void AggWindows::rebuild_index() {
  std::size_t capacity = kMinIndex;
  while (capacity < 2 * (live_ + 1)) capacity *= 2;
  index_.assign(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t k = 0; k < slots_.size(); ++k) {
    if (!slots_[k].live) continue;
    std::size_t i = static_cast<std::size_t>(hash_of(slots_[k].start, slots_[k].group)) & mask;
    while (index_[i] != 0) i = (i + 1) & mask;
    index_[i] = static_cast<std::uint32_t>(k + 1);
  }
}

std::uint32_t AggWindows::find_or_add(std::int64_t start, std::uint32_t group, std::int64_t end) {
  if (index_.empty()) rebuild_index();
  std::size_t i = probe(start, group);
  if (index_[i] != 0) return index_[i] - 1;
  const std::uint32_t id = new_slot(start, end, group);
  if (2 * (live_ + 1) > index_.size()) {
    rebuild_index();  // places id too
  } else {
    index_[i] = id + 1;
  }
  return id;
}

std::uint32_t AggWindows::resolve(std::uint32_t slot) const {
  while (slots_[slot].merged_into != slot) slot = slots_[slot].merged_into;
  return slot;
}

std::uint32_t AggWindows::session_for(std::uint32_t group, std::int64_t t) {
  const std::int64_t hi = sat_add(t, gap_);
  // The sessions [t, hi) overlaps or touches (s.start <= hi, s.end >= t) are
  // the run of the group's sessions that ends at the last start at or below
  // hi: the sessions before it end too early.
  const auto last = sessions_.upper_bound({group, hi});
  auto first = last;
  while (first != sessions_.begin()) {
    const auto prev = std::prev(first);
    if (prev->first.first != group || slots_[prev->second].end < t) break;
    first = prev;
  }
  if (first == last) {
    const std::uint32_t id = new_slot(t, hi, group);
    sessions_.emplace(std::make_pair(group, t), id);
    return id;
  }
  const std::uint32_t found = first->second;
  Slot& f = slots_[found];
  f.start = std::min(f.start, t);
  f.end = std::max(f.end, hi);
  for (auto it = std::next(first); it != last; ++it) {
    // A second session that the event bridges: fold it into the first.  Its
    // state holds rows of earlier batches only (this batch's rows are added
    // after every slot is known), and rows of this batch that named it
    // follow merged_into.
    Slot& s = slots_[it->second];
    f.start = std::min(f.start, s.start);
    f.end = std::max(f.end, s.end);
    std::uint64_t* into = block(found);
    std::uint64_t* from = block(it->second);
    for (const AggLayout::Item& item : layout_.items) merge_state(item, into, from, true, pools_);
    s.merged_into = found;
  }
  if (std::next(first) != last || first->first.second != f.start) {
    sessions_.erase(first, last);
    sessions_.emplace(std::make_pair(group, f.start), found);
  }
  return found;
}

void AggWindows::emit(std::int64_t start, std::int64_t end, std::uint32_t group,
                      const std::uint64_t* w, const PlanSpec& plan, Batch& out) const {
  (void)plan;
  if (output_order_.empty()) {
    // The columns in name order, once: a Row is then built in that order
    // rather than by inserting each column in its place.
    for (std::size_t f = 0; f < by_count_; ++f) output_order_.push_back({by_names_[f], OutputColumn::kGroup, f});
    output_order_.push_back({"window_start", OutputColumn::kStart, 0});
    output_order_.push_back({"window_end", OutputColumn::kEnd, 0});
    for (std::size_t k = 0; k < layout_.items.size(); ++k) {
      output_order_.push_back({layout_.items[k].agg_spec.name, OutputColumn::kAggregate, k});
    }
    std::sort(output_order_.begin(), output_order_.end(),
              [](const OutputColumn& a, const OutputColumn& b) { return a.name < b.name; });
    for (std::size_t k = 1; k < output_order_.size(); ++k) {
      // Only a damaged checkpoint can name one column twice.
      if (output_order_[k - 1].name == output_order_[k].name) output_names_unique_ = false;
    }
  }
  std::vector<Row::Entry> entries;
  entries.reserve(output_order_.size());
  for (const OutputColumn& col : output_order_) {
    Cell c;
    switch (col.kind) {
      case OutputColumn::kGroup: c = group_values_[std::size_t{group} * by_count_ + col.index]; break;
      case OutputColumn::kStart: c = start; break;
      case OutputColumn::kEnd: c = end; break;
      case OutputColumn::kAggregate: c = result_of(layout_.items[col.index], w, pools_); break;
    }
    if (c.index() != kNullIndex) entries.emplace_back(col.name, std::move(c));
  }
  out.push_back(output_names_unique_ ? Row::FromSorted(std::move(entries))
                                     : Row::FromUnsorted(std::move(entries)));
}

// A column that no Row of the result holds is given as Null in each, so
// that it is still there (as None); Rows lacking it show None anyway.
static void fill_missing_columns(Batch& out, std::size_t from, const PlanSpec& plan) {
  if (out.size() == from) return;
  const auto fill = [&](const std::string& name) {
    for (std::size_t i = from; i < out.size(); ++i) {
      if (out[i].contains(name)) return;
    }
    for (std::size_t i = from; i < out.size(); ++i) out[i].set(std::string_view(name), Null{});
  };
  for (const std::string& f : plan.window->by_fields) fill(f);
  for (const AggSpec& a : *plan.aggs) fill(a.name);
}

void AggWindows::close(std::int64_t threshold, const PlanSpec& plan, Batch& out) {
  if (live_ == 0 || threshold < min_end_) return;
  if (kind_ == WindowKind::kHopping) {
    close_hopping(threshold, plan, out);
    return;
  }
  std::vector<std::uint32_t> closing;
  std::int64_t min_end = INT64_MAX;
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    const Slot& s = slots_[k];
    if (!s.live) continue;
    if (s.end <= threshold) {
      closing.push_back(k);
    } else {
      min_end = std::min(min_end, s.end);
    }
  }
  min_end_ = min_end;
  std::sort(closing.begin(), closing.end(), [this](std::uint32_t a, std::uint32_t b) {
    const Slot& x = slots_[a];
    const Slot& y = slots_[b];
    return std::tie(x.end, x.start, x.group) < std::tie(y.end, y.start, y.group);
  });
  const std::size_t first = out.size();
  out.reserve(out.size() + closing.size());
  for (const std::uint32_t k : closing) {
    const Slot& s = slots_[k];
    emit(s.start, s.end, s.group, block(k), plan, out);
    if (kind_ == WindowKind::kSession) {
      const auto it = sessions_.find({s.group, s.start});
      if (it != sessions_.end() && it->second == k) sessions_.erase(it);
    }
    free_slot(k);
  }
  fill_missing_columns(out, first, plan);
  if (live_ == 0 && groups_.size() > kGroupsKeptIdle) {
    // No window refers to a group: forget the groups seen so far.
    groups_.clear();
    group_values_.clear();
    sessions_.clear();
  }
  if (kind_ == WindowKind::kTumbling && !closing.empty()) rebuild_index();
}

void AggWindows::close_hopping(std::int64_t threshold, const PlanSpec& plan, Batch& out) {
  // Every window due: (end, start, group) for each window of a due pane
  // whose end is at or below threshold and not yet emitted for that pane.
  struct Due {
    std::int64_t end;
    std::int64_t start;
    std::uint32_t group;
    bool operator<(const Due& o) const {
      return std::tie(end, start, group) < std::tie(o.end, o.start, o.group);
    }
    bool operator==(const Due& o) const = default;
  };
  const std::int64_t panes = width_ / slide_;
  // The due panes by (group, start); the windows of neighbouring panes
  // overlap, so each pane adds only the starts not yet added for its group.
  std::vector<std::uint32_t> due_panes;
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    if (slots_[k].live && slots_[k].end <= threshold) due_panes.push_back(k);
  }
  std::sort(due_panes.begin(), due_panes.end(), [this](std::uint32_t a, std::uint32_t b) {
    return std::tie(slots_[a].group, slots_[a].start) < std::tie(slots_[b].group, slots_[b].start);
  });
  std::vector<Due> due;
  std::uint32_t group = UINT32_MAX;
  std::int64_t covered_lo = 0, covered_hi = 0;
  bool covered = false;
  for (const std::uint32_t k : due_panes) {
    const Slot& s = slots_[k];
    if (s.group != group) {
      group = s.group;
      covered = false;
    }
    // The windows holding the pane start at s.start - (panes - 1) * slide up
    // to s.start; s.end is the end of the first one not yet emitted.
    const std::int64_t lo = std::max(sat_sub(s.start, sat_mul(panes - 1, slide_)), sat_sub(s.end, width_));
    // A window whose end saturates at kInt64Max is due only when threshold is.
    const std::int64_t hi =
        threshold == kInt64Max ? s.start : std::min(s.start, sat_sub(threshold, width_));
    if (lo > hi) continue;
    std::int64_t from = lo;
    if (covered && lo >= covered_lo && lo <= sat_add(covered_hi, slide_)) {
      from = std::max(lo, sat_add(covered_hi, slide_));
      covered_hi = std::max(covered_hi, hi);
    } else {
      covered_lo = lo;
      covered_hi = hi;
      covered = true;
    }
    for (std::int64_t start = from; start <= hi; start = sat_add(start, slide_)) {
      due.push_back(Due{sat_add(start, width_), start, s.group});
      if (start == kInt64Max) break;
    }
  }
  std::sort(due.begin(), due.end());
  due.erase(std::unique(due.begin(), due.end()), due.end());

  // The open panes by (group, start): a window merges the run of them from
  // its start to its last pane, rather than probing each of its panes (up
  // to kMaxPanesPerWindow per window, most of them empty when events are few).
  std::vector<std::uint32_t> by_start;
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    if (slots_[k].live) by_start.push_back(k);
  }
  const auto pane_less = [this](std::uint32_t a, std::uint32_t b) {
    return std::tie(slots_[a].group, slots_[a].start) < std::tie(slots_[b].group, slots_[b].start);
  };
  std::sort(by_start.begin(), by_start.end(), pane_less);
  std::vector<std::uint64_t> merged(stride_);
  const std::size_t first = out.size();
  for (const Due& d : due) {
    for (const AggLayout::Item& item : layout_.items) init_state(item, merged.data(), pools_);
    bool any = false;
    const std::int64_t last_pane = sat_add(d.start, sat_mul(panes - 1, slide_));
    auto it = std::lower_bound(by_start.begin(), by_start.end(), d, [this](std::uint32_t k, const Due& due) {
      return std::tie(slots_[k].group, slots_[k].start) < std::tie(due.group, due.start);
    });
    for (; it != by_start.end() && slots_[*it].group == d.group && slots_[*it].start <= last_pane; ++it) {
      Slot& pane = slots_[*it];
      if (pane.end > d.end) continue;  // this window was emitted with it already
      for (const AggLayout::Item& item : layout_.items) {
        merge_state(item, merged.data(), block(*it), false, pools_);
      }
      pane.end = sat_add(d.end, slide_);
      // The window starting at the pane is its last (pane.end cannot tell
      // when it saturates).
      if (d.start == pane.start) pane.done = true;
      any = true;
    }
    if (any) emit(d.start, d.end, d.group, merged.data(), plan, out);
    for (const AggLayout::Item& item : layout_.items) drop_borrowed(item, merged.data(), pools_);
  }
  fill_missing_columns(out, first, plan);

  // A pane whose last window (the one starting at the pane) is out is freed.
  bool freed = false;
  std::int64_t min_end = INT64_MAX;
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    const Slot& s = slots_[k];
    if (!s.live) continue;
    if (s.done || s.end > sat_add(s.start, width_)) {
      free_slot(k);
      freed = true;
    } else {
      min_end = std::min(min_end, s.end);
    }
  }
  min_end_ = min_end;
  if (freed) rebuild_index();
}

// The engine's pass over one run of events, column by column: every name
// the plan reads is resolved once per chunk, the events that go on are
// kept as their indices in their chunks, and values are read from the
// chunk columns into one batch's scratch vectors.
class AggEngine {
 public:
  static Batch run(Stats& stats, ProcessorState& state, const EventSlices& events,
                   const PlanSpec& plan, std::int64_t (*clock)(), LateRows* kept) {
    AggWindows& a = state.aggs;
    a.check_signature(plan.aggs_signature);
    a.adopt(plan);
    const auto now = std::chrono::steady_clock::now();
    if (!a.clock_started_ || event_count(events) != 0) {
      a.clock_started_ = true;
      a.last_event_ = now;
      a.advanced_to_ = now;
    }

    select_events(stats, state, events, plan, clock, kept);
    const std::size_t n = a.picked_.size();
    if (n != 0) {
      intern_groups(a, events);
      assign_slots(state, a);
      extract_columns(a, events);
      const std::uint64_t first_seq = a.next_seq_;
      a.next_seq_ += n;
      for (const AggLayout::Item& item : a.layout_.items) {
        FieldColumn* column = item.field < 0 ? nullptr : &a.columns_[static_cast<std::size_t>(item.field)];
        update_states(item, a.words_.data(), a.stride_, a.slot_ids_.data(), n, column,
                      a.times_.data(), first_seq, a.pools_);
      }
      // The views point into the chunks, which the caller may free now.
      for (FieldColumn& c : a.columns_) c.views.clear();
    }

    advance_when_idle(state, a, plan, now);
    Batch out;
    const std::int64_t threshold = sat_sub(
        sat_sub(state.max_event_time, plan.watermark_ms.value_or(0)), lateness_of(plan));
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
  // The ops that take the value itself, not its number or presence.
  static bool needs_views(AggOp op) {
    return op == AggOp::kFirst || op == AggOp::kLast || has_var_state(op);
  }

  // The id text of a value: a view of its string, or its display text in
  // scratch.
  static std::string_view id_text(const CellView& id, std::string& scratch) {
    if (id.tag == kStringIndex) return id.s;
    scratch.clear();
    append_display(scratch, id);
    return scratch;
  }

  // Filters, de-duplication, event time and lateness, as in process_events:
  // the events that go on (picked_, by slice: picked_from_) and their event
  // times.
  static void select_events(Stats& stats, ProcessorState& state, const EventSlices& events,
                            const PlanSpec& plan, std::int64_t (*clock)(), LateRows* kept) {
    AggWindows& a = state.aggs;
    a.picked_.clear();
    a.picked_from_.assign(1, 0);
    a.times_.clear();
    const std::string_view time_field(plan.window->time_field);
    const std::int64_t lateness = lateness_of(plan);
    const std::int64_t watermark_ms = plan.watermark_ms.value_or(0);
    std::string id_scratch;
    std::uint64_t duplicates = 0;
    LateTally late;
    // The origin as assign_slots will have fixed it for the events that went
    // on so far: a late event after them misses a window on that grid, as in
    // the mean plans' path, which fixes the origin event by event.
    std::int64_t origin = state.window_origin;
    const bool gridded = plan.window->kind() != WindowKind::kSession;
    for (const ChunkSlice& slice : events) {
      const EventChunk& chunk = *slice.chunk;
      const PlanColumns cols(chunk, plan, time_field);
      for (std::size_t i = slice.begin; i < slice.end; ++i) {
        if (!cols.filters.empty() && !cols.passes(i)) continue;
        if (cols.id != nullptr && cols.id->present(i)) {
          const std::string_view text = id_text(cols.id->view(i), id_scratch);
          if (!text.empty() && !state.seen_event_ids.insert(text)) {
            ++duplicates;
            continue;
          }
        }
        const std::int64_t event_time =
            (cols.time != nullptr && cols.time->present(i) && cols.time->tag(i) == kIntIndex)
                ? cols.time->int_at(i)
                : clock();
        if (event_time > state.max_event_time) state.max_event_time = event_time;
        const std::int64_t watermark = sat_sub(state.max_event_time, watermark_ms);
        if (watermark >= kLatenessGuard && sat_add(event_time, lateness) < watermark) {
          // Only a late event that is kept becomes a Row.
          const auto missed = [&] { return missed_window(origin, *plan.window, event_time); };
          const auto make_row = [&] { return chunk.row(i); };
          if (!late_row_goes_on(plan, make_row, kept, late, missed)) continue;
        }
        if (gridded && origin == kInt64Min && event_time >= kAbsoluteGridLimit + 1) origin = event_time;
        a.picked_.push_back(i);
        a.times_.push_back(event_time);
      }
      a.picked_from_.push_back(a.picked_.size());
    }
    if (duplicates) bump(stats.duplicate_events, duplicates);
    late.publish(stats);
  }

  // The group id of each event: its by values' keys, interned; the values
  // are copied into Cells only for a group not seen before.
  static void intern_groups(AggWindows& a, const EventSlices& events) {
    a.group_ids_.resize(a.picked_.size());
    for (std::size_t k = 0; k < events.size(); ++k) {
      const EventChunk& chunk = *events[k].chunk;
      a.by_columns_.clear();
      for (const std::string& name : a.by_names_) a.by_columns_.push_back(chunk.find(name));
      for (std::size_t j = a.picked_from_[k]; j < a.picked_from_[k + 1]; ++j) {
        const std::size_t i = a.picked_[j];
        a.key_.clear();
        for (const EventChunk::Column* c : a.by_columns_) {
          append_value_key(a.key_, EventChunk::Column::view_of(c, i).value_or(CellView{}));
        }
        const std::size_t before = a.groups_.size();
        const std::uint32_t id = a.groups_.intern(a.key_);
        if (a.groups_.size() != before) {
          for (const EventChunk::Column* c : a.by_columns_) {
            a.group_values_.push_back(EventChunk::Column::view_of(c, i).value_or(CellView{}).to_cell());
          }
        }
        a.group_ids_[j] = id;
      }
    }
  }

  static void assign_slots(ProcessorState& state, AggWindows& a) {
    const std::size_t n = a.picked_.size();
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

  // Fills each aggregated field's FieldColumn from the chunk columns: its
  // presence always, its numbers when a numeric op reads the field, its
  // values (as views) when an op takes the value itself.
  static void extract_columns(AggWindows& a, const EventSlices& events) {
    const std::size_t n = a.picked_.size();
    const std::size_t fields = a.layout_.fields.size();
    a.columns_.resize(fields);
    for (std::size_t f = 0; f < fields; ++f) {
      bool numbers = false;
      bool views = false;
      for (const AggLayout::Item& item : a.layout_.items) {
        if (item.field != static_cast<std::int32_t>(f) || item.shared) continue;
        numbers = numbers || needs_numbers(item.agg_spec.op);
        views = views || needs_views(item.agg_spec.op);
      }
      FieldColumn& col = a.columns_[f];
      col.cells.clear();
      col.present.resize(n);
      col.numbers_done = numbers;
      if (numbers) {
        col.values.resize(n);
        col.numeric.resize(n);
      }
      col.views.resize(views ? n : 0);
      const std::string_view name(a.layout_.fields[f]);
      for (std::size_t k = 0; k < events.size(); ++k) {
        const EventChunk::Column* c = events[k].chunk->find(name);
        const std::size_t lo = a.picked_from_[k];
        const std::size_t hi = a.picked_from_[k + 1];
        if (c == nullptr) {
          std::fill(col.present.begin() + lo, col.present.begin() + hi, 0);
          if (numbers) std::fill(col.numeric.begin() + lo, col.numeric.begin() + hi, 0);
          continue;
        }
        for (std::size_t j = lo; j < hi; ++j) {
          const std::size_t i = a.picked_[j];
          if (!c->present(i)) {
            col.present[j] = 0;
            if (numbers) col.numeric[j] = 0;
            continue;
          }
          const CellView v = c->view(i);
          col.present[j] = v.tag != kNullIndex;
          if (numbers) {
            double x = 0.0;
            col.numeric[j] = number_of(v, x);
            col.values[j] = x;
          }
          if (views) col.views[j] = v;
        }
      }
    }
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

// The checkpoint extension:
//   aggs_state<TAB>1<TAB><n>          n = the lines that follow
//   signature<TAB><escaped signature>
//   window<TAB><kind 0|1|2><TAB><width><TAB><slide><TAB><gap>
//   by<TAB><escaped field>...          one field per tab
//   agg<TAB><op code><TAB><ddof><TAB><escaped field or -><TAB><escaped name>
//      <TAB><q or -><TAB><param or ->  one line per aggregate, in plan order
//   seq<TAB><next arrival seq>
//   group<TAB><typed value>...         one line per group, ids in line order
//   slot<TAB><start><TAB><end><TAB><group><TAB><state>...
//                                      one per open window, pane or session
// Doubles are written losslessly, strings escaped (aggregates.h).
void AggWindows::save(std::string& out) const {
  if (live_ == 0) return;
  std::vector<std::string> lines;
  std::string line = "signature\t";
  append_escaped(line, signature_);
  lines.push_back(std::move(line));
  line = "window\t" + std::to_string(static_cast<int>(kind_)) + "\t" + std::to_string(width_) +
         "\t" + std::to_string(slide_) + "\t" + std::to_string(gap_);
  lines.push_back(std::move(line));
  line = "by";
  for (const std::string& f : by_names_) {
    line.push_back('\t');
    append_escaped(line, f);
  }
  lines.push_back(std::move(line));
  for (const AggLayout::Item& item : layout_.items) {
    line = "agg\t" + std::to_string(static_cast<int>(item.agg_spec.op)) + "\t" +
           std::to_string(item.agg_spec.ddof) + "\t";
    if (item.agg_spec.field) {
      append_escaped(line, *item.agg_spec.field);
    } else {
      line.push_back('-');
    }
    line.push_back('\t');
    append_escaped(line, item.agg_spec.name);
    line.push_back('\t');
    if (item.agg_spec.q) {
      append_double(line, *item.agg_spec.q);
    } else {
      line.push_back('-');
    }
    line.push_back('\t');
    line += item.agg_spec.param ? std::to_string(*item.agg_spec.param) : std::string("-");
    lines.push_back(std::move(line));
  }
  lines.push_back("seq\t" + std::to_string(next_seq_));
  // Only the groups of open windows, renumbered in their first-seen order.
  std::vector<std::uint32_t> order;
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    if (slots_[k].live) order.push_back(k);
  }
  std::sort(order.begin(), order.end(), [this](std::uint32_t x, std::uint32_t y) {
    return std::tie(slots_[x].group, slots_[x].start, slots_[x].end) <
           std::tie(slots_[y].group, slots_[y].start, slots_[y].end);
  });
  std::vector<std::uint32_t> renumbered(groups_.size(), UINT32_MAX);
  std::uint32_t next_group = 0;
  for (const std::uint32_t k : order) {
    const std::uint32_t g = slots_[k].group;
    if (renumbered[g] != UINT32_MAX) continue;
    renumbered[g] = next_group++;
    line = "group";
    for (std::size_t f = 0; f < by_count_; ++f) {
      line.push_back('\t');
      append_typed_text(line, group_values_[std::size_t{g} * by_count_ + f]);
    }
    lines.push_back(std::move(line));
  }
  for (const std::uint32_t k : order) {
    const Slot& s = slots_[k];
    line = "slot\t";
    append_i64(line, s.start);
    line.push_back('\t');
    append_i64(line, s.end);
    line.push_back('\t');
    line += std::to_string(renumbered[s.group]);
    for (const AggLayout::Item& item : layout_.items) {
      line.push_back('\t');
      save_state(item, block(k), pools_, line);
    }
    lines.push_back(std::move(line));
  }
  out += "aggs_state\t1\t" + std::to_string(lines.size()) + "\n";
  for (const std::string& l : lines) {
    out += l;
    out.push_back('\n');
  }
}

void AggWindows::load(std::string_view text) {
  reset();
  // The header: the first line that is not empty.
  std::size_t at = 0;
  auto next_line = [&](std::string_view& line) {
    if (at >= text.size()) return false;
    const std::size_t nl = text.find('\n', at);
    const std::size_t end = nl == std::string_view::npos ? text.size() : nl;
    line = text.substr(at, end - at);
    at = nl == std::string_view::npos ? text.size() : nl + 1;
    return true;
  };
  std::string_view line;
  if (!next_line(line)) return;
  std::vector<std::string_view> head = split_tabs(line);
  std::uint64_t count = 0;
  if (head.size() != 3 || head[0] != "aggs_state" || head[1] != "1" || !parse_int(head[2], count)) {
    return;
  }
  std::string signature;
  std::vector<AggSpec> specs;
  bool have_window = false;
  bool ready = false;  // the plan part is whole and the slots can be read
  std::vector<std::uint32_t> group_ids;  // file group number -> id
  std::string scratch;
  for (std::uint64_t i = 0; i < count && next_line(line); ++i) {
    const std::vector<std::string_view> p = split_tabs(line);
    const std::string_view label = p[0];
    if (!ready && label == "signature" && p.size() == 2) {
      if (!unescape(p[1], signature)) signature.clear();
    } else if (!ready && label == "window" && p.size() == 5) {
      int kind = -1;
      have_window = parse_int(p[1], kind) && kind >= 0 && kind <= 2 && parse_int(p[2], width_) &&
                    parse_int(p[3], slide_) && parse_int(p[4], gap_);
      kind_ = static_cast<WindowKind>(kind < 0 || kind > 2 ? 0 : kind);
      if (kind_ == WindowKind::kHopping &&
          (slide_ <= 0 || width_ <= 0 || width_ % slide_ != 0 || width_ / slide_ > kMaxPanesPerWindow)) {
        have_window = false;
      }
    } else if (!ready && label == "by") {
      by_names_.clear();
      for (std::size_t f = 1; f < p.size(); ++f) {
        by_names_.emplace_back();
        if (!unescape(p[f], by_names_.back())) by_names_.back().clear();
      }
      by_count_ = by_names_.size();
    } else if (!ready && label == "agg" && p.size() == 7) {
      AggSpec agg_spec;
      int op = -1;
      if (!parse_int(p[1], op) || op < 0 || op > static_cast<int>(kLastAggOp) ||
          !parse_int(p[2], agg_spec.ddof) || agg_spec.ddof < 0) {
        continue;
      }
      agg_spec.op = static_cast<AggOp>(op);
      if (p[3] != "-") {
        if (!unescape(p[3], scratch)) continue;
        agg_spec.field = scratch;
      }
      if (!unescape(p[4], agg_spec.name)) continue;
      double q;
      std::int64_t param;
      if (p[5] != "-") {
        if (!parse_double(p[5], q)) continue;
        agg_spec.q = q;
      }
      if (p[6] != "-") {
        if (!parse_int(p[6], param)) continue;
        agg_spec.param = param;
      }
      // A sketch whose q or param a plan would refuse is not made.
      if (is_sketch_op(agg_spec.op) && sketch_spec_error(agg_spec)) continue;
      specs.push_back(std::move(agg_spec));
    } else if (!ready && label == "seq" && p.size() == 2) {
      parse_int(p[1], next_seq_);
    } else if (label == "group" || label == "slot") {
      if (!ready) {
        if (signature.empty() || !have_window || specs.empty()) break;  // reset below
        signature_ = signature;
        layout_ = AggLayout::of(specs);
        stride_ = layout_.words;
        ready = true;
      }
      if (label == "group") {
        if (p.size() != by_count_ + 1) continue;
        std::vector<Cell> values(by_count_);
        key_.clear();
        bool ok = true;
        for (std::size_t f = 0; f < by_count_ && ok; ++f) {
          ok = parse_typed_text(p[f + 1], values[f]);
          append_value_key(key_, values[f]);
        }
        if (!ok) continue;
        const std::size_t before = groups_.size();
        const std::uint32_t id = groups_.intern(key_);
        if (groups_.size() != before) {
          for (Cell& v : values) group_values_.push_back(std::move(v));
        }
        group_ids.push_back(id);
        continue;
      }
      std::int64_t start, end;
      std::uint32_t g;
      if (p.size() != 4 + layout_.items.size() || !parse_int(p[1], start) || !parse_int(p[2], end) ||
          !parse_int(p[3], g) || g >= group_ids.size()) {
        continue;
      }
      const std::uint32_t group = group_ids[g];
      std::uint32_t id;
      if (kind_ == WindowKind::kSession) {
        if (sessions_.contains({group, start})) continue;  // a repeated session: the first stays
        id = new_slot(start, end, group);
      } else {
        const std::size_t before = live_;
        id = find_or_add(start, group, end);
        if (live_ == before) continue;  // a repeated window: the first stays
      }
      bool ok = true;
      for (std::size_t k = 0; k < layout_.items.size() && ok; ++k) {
        ok = load_state(layout_.items[k], p[4 + k], block(id), pools_);
      }
      if (!ok) {
        free_slot(id);
        if (kind_ != WindowKind::kSession) rebuild_index();
        continue;
      }
      if (kind_ == WindowKind::kSession) sessions_.emplace(std::make_pair(group, start), id);
    }
  }
  if (live_ == 0) reset();
}

bool AggWindows::strings_are_utf8() const {
  // Only the groups of open windows can reach an output (or a saved file).
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    if (!slots_[k].live) continue;
    const std::size_t first = std::size_t{slots_[k].group} * by_count_;
    for (std::size_t f = first; f < first + by_count_ && f < group_values_.size(); ++f) {
      const auto* s = std::get_if<std::string>(&group_values_[f]);
      if (s != nullptr && !is_valid_utf8(*s)) return false;
    }
  }
  for (std::uint32_t k = 0; k < slots_.size(); ++k) {
    if (!slots_[k].live) continue;
    for (const AggLayout::Item& item : layout_.items) {
      if (!state_is_utf8(item, block(k), pools_)) return false;
    }
  }
  for (const std::string& f : by_names_) {
    if (!is_valid_utf8(f)) return false;
  }
  for (const AggLayout::Item& item : layout_.items) {
    if (!is_valid_utf8(item.agg_spec.name)) return false;
  }
  return true;
}

bool operator==(const AggWindows& a, const AggWindows& b) {
  std::string x, y;
  a.save(x);
  b.save(y);
  return x == y;
}

Batch process_aggregate_events(Stats& stats, ProcessorState& state, const EventSlices& events,
                               const PlanSpec& plan, std::int64_t (*clock)(), LateRows* kept) {
  return AggEngine::run(stats, state, events, plan, clock, kept);
}

Batch flush_aggregate_windows(ProcessorState& state, const PlanSpec& plan) {
  Batch out;
  AggWindows& a = state.aggs;
  if (a.empty()) return out;
  a.check_signature(plan.aggs_signature);
  a.close(kInt64Max, plan, out);
  return out;
}

}  // namespace movra
