#include "engine/window_engine.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "engine/filters.h"
#include "model/event_chunk.h"

namespace movra {

namespace {

// A watermark below this makes every Row on time.
constexpr std::int64_t kLatenessGuard = -4611686018427387903;  // -(2^62 - 1)

std::int64_t allowed_lateness(const PlanSpec& plan) {
  if (plan.allowed_lateness_ms && *plan.allowed_lateness_ms > 0) return *plan.allowed_lateness_ms;
  return 0;
}

std::int64_t window_width_ms(const PlanSpec& plan) { return sat_mul(plan.window->seconds, 1000); }

Row closed_window_row(const WindowAggregate& agg, const PlanSpec& plan) {
  Row row;
  row.reserve(5);
  row.set(std::string_view("window_start"), agg.window_start);
  row.set(std::string_view("window_end"), agg.window_end);
  if (plan.window->by) row.set(std::string_view(*plan.window->by), agg.group);
  row.set(std::string_view(plan.mean->alias), agg.sum / static_cast<double>(agg.count));
  const std::uint64_t limit = static_cast<std::uint64_t>(kInt64Max);
  row.set(std::string_view("count"),
          static_cast<std::int64_t>(agg.count > limit ? limit : agg.count));
  return row;
}

// Removes every window ending at or before threshold and appends the
// non-empty ones to out, in byte-wise order of their keys.
void close_windows(ProcessorState& state, const PlanSpec& plan, std::int64_t threshold,
                   Batch& out) {
  std::vector<WindowAggregate> closed;
  state.window_state.close(threshold, closed);
  out.reserve(out.size() + closed.size());
  for (const WindowAggregate& agg : closed) out.push_back(closed_window_row(agg, plan));
}

// The group text of a value: a view of its string, or its display text in
// scratch; empty for a missing value.
std::string_view group_text(const std::optional<CellView>& by, std::string& scratch) {
  if (!by) return {};
  if (by->tag == kStringIndex) return by->s;
  scratch.clear();
  append_display(scratch, *by);
  return scratch;
}

// The id text of a value: a view of its string, or its display text in
// scratch.
std::string_view id_text(const CellView& id, std::string& scratch) {
  if (id.tag == kStringIndex) return id.s;
  scratch.clear();
  append_display(scratch, id);
  return scratch;
}

// The group ids of one call, remembered in a small direct-mapped cache in
// front of the table's dictionary: a stream has few groups, and a hit costs
// an unkeyed hash and one compare instead of the keyed hash.  Text from
// outside can make the cache miss, never make it slow: a miss is one
// dictionary lookup.  Valid for one process_rows call, in which no window
// closes before the last row.
class GroupIds {
 public:
  explicit GroupIds(WindowTable& table) : table_(table) {}
  std::uint32_t of(std::string_view group) {
    if (entries_.empty()) entries_.resize(kEntries);  // made at the first windowed row
    Entry& e = entries_[quick_hash(group) & (kEntries - 1)];
    if (!e.valid || e.text != group) {
      e.id = table_.group_id(group);
      e.text.assign(group);
      e.valid = true;
    }
    return e.id;
  }

 private:
  // Unkeyed and cheap: a group's first eight bytes and its length mixed.
  static std::size_t quick_hash(std::string_view s) {
    std::uint64_t x = 0;
    if (!s.empty()) std::memcpy(&x, s.data(), std::min<std::size_t>(s.size(), 8));  // an empty view may be null
    x ^= s.size() * 0x9E3779B97F4A7C15ull;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<std::size_t>(x ^ (x >> 31));
  }
  static constexpr std::size_t kEntries = 256;
  struct Entry {
    std::string text;
    std::uint32_t id = 0;
    bool valid = false;
  };
  WindowTable& table_;
  std::vector<Entry> entries_;
};

// The last few windows each group's values went to, so that values of a
// group in its recent windows (events a little out of order) find them
// without a probe.  Valid for one process_events call, in which windows are
// only added.
class LastWindows {
 public:
  explicit LastWindows(WindowTable& table) : table_(table) {}
  WindowTable::Window& of(std::int64_t start, std::uint32_t group) {
    if (group >= last_.size()) last_.resize(std::max<std::size_t>(group + 1, 2 * last_.size()));
    Recent& r = last_[group];
    for (std::size_t k = 0; k < kWays; ++k) {
      if (r.window[k] != nullptr && r.start[k] == start) return *r.window[k];
    }
    const std::size_t k = r.next++ % kWays;
    r.window[k] = &table_.window_for(start, group);
    r.start[k] = start;
    return *r.window[k];
  }

 private:
  static constexpr std::size_t kWays = 4;
  struct Recent {
    std::int64_t start[kWays] = {};
    WindowTable::Window* window[kWays] = {};
    std::uint8_t next = 0;
  };
  WindowTable& table_;
  std::vector<Recent> last_;
};

// Start of the window of width w holding t on the grid of `origin` (read
// only above kAbsoluteGridLimit).
std::int64_t bucket_on_grid(std::int64_t t, std::int64_t w, std::int64_t origin) {
  if (t < kAbsoluteGridLimit + 1) {
    // Truncating division; a zero width gives quotient 0.  Widths of +-1
    // leave t as it is (and avoid INT64_MIN % -1).
    if (w == 0) return 0;
    if (w == 1 || w == -1) return t;
    return t - t % w;
  }
  const __int128 d = static_cast<__int128>(t) - origin;
  const __int128 rem = (w == 0) ? d : d % w;
  return clamp_to_i64(static_cast<__int128>(t) - rem);
}

}  // namespace

std::int64_t plan_watermark(const PlanSpec& plan, const ProcessorState& state) {
  return sat_sub(state.max_event_time, plan.watermark_ms.value_or(0));
}

std::int64_t window_bucket_for(ProcessorState& state, std::int64_t t, std::int64_t w) {
  if (t >= kAbsoluteGridLimit + 1 && state.window_origin == kInt64Min) state.window_origin = t;
  return bucket_on_grid(t, w, state.window_origin);
}

std::optional<std::int64_t> known_window_start(std::int64_t origin, std::int64_t t,
                                               std::int64_t w) {
  if (t >= kAbsoluteGridLimit + 1 && origin == kInt64Min) return std::nullopt;
  return bucket_on_grid(t, w, origin);
}

void make_window_key(std::string& out, std::int64_t start, std::string_view group) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, start);
  out.assign(buf, res.ptr);
  out.push_back('|');
  out.append(group);
}

PlanColumns::PlanColumns(const EventChunk& chunk, const PlanSpec& plan,
                         std::string_view time_field) {
  filters.reserve(plan.filters.size());
  for (const FilterSpec& f : plan.filters) {
    filters.push_back({chunk.find(f.field), parse_compare_op(f.op), CellView::of(f.value)});
  }
  if (plan.event_id_field) id = chunk.find(*plan.event_id_field);
  time = chunk.find(time_field);
}

bool PlanColumns::passes(std::size_t i) const {
  for (const Filter& f : filters) {
    if (f.column == nullptr || !f.column->present(i)) return false;
    if (!compare_cells(f.column->view(i), f.op, f.value)) return false;
  }
  return true;
}

Batch process_events(Stats& stats, ProcessorState& state, const EventSlices& events,
                     const PlanSpec& plan, EventClock clock, LateRows* kept,
                     std::vector<EventRef>* passed) {
  if (plan.is_aggregating()) return process_aggregate_events(stats, state, events, plan, clock, kept);
  Batch out;
  const std::int64_t lateness = allowed_lateness(plan);
  const bool windowed = plan.is_windowed();
  const std::string_view time_field =
      plan.window ? std::string_view(plan.window->time_field) : std::string_view("timestamp");
  const std::int64_t width = windowed ? window_width_ms(plan) : 0;
  const std::int64_t watermark_ms = plan.watermark_ms.value_or(0);
  if (!windowed) {
    if (passed != nullptr) {
      passed->reserve(passed->size() + event_count(events));
    } else {
      out.reserve(event_count(events));
    }
  }

  // Scratch buffers reused for every event, so a window hit allocates nothing.
  std::string id_scratch;
  std::string group_scratch;
  std::vector<std::uint64_t> id_hashes;
  GroupIds group_ids(state.window_state);
  LastWindows last_windows(state.window_state);
  std::uint64_t duplicates = 0;
  LateTally late;

  for (std::size_t k = 0; k < events.size(); ++k) {
    const ChunkSlice& slice = events[k];
    const EventChunk& chunk = *slice.chunk;
    // Every name the plan reads, resolved once for the chunk.
    const PlanColumns cols(chunk, plan, time_field);
    const EventChunk::Column* value_col = windowed ? chunk.find(plan.mean->field) : nullptr;
    const EventChunk::Column* by_col =
        windowed && plan.window->by ? chunk.find(*plan.window->by) : nullptr;

    // The id set is far larger than the cache and ids hash to random slots:
    // the ids of the slice are hashed first, then each event starts loading
    // the slot of an id some events ahead, so the loads overlap instead of
    // stalling one after another.
    constexpr std::size_t kPrefetchDistance = 8;
    if (cols.id != nullptr) {
      id_hashes.resize(slice.end - slice.begin);
      for (std::size_t i = slice.begin; i < slice.end; ++i) {
        std::uint64_t& h = id_hashes[i - slice.begin];
        h = 0;
        if (!cols.id->present(i)) continue;
        const std::string_view text = id_text(cols.id->view(i), id_scratch);
        if (!text.empty()) h = EventIdSet::hash(text);
      }
      for (std::size_t k = 0; k < kPrefetchDistance && k < id_hashes.size(); ++k) {
        state.seen_event_ids.prefetch_hashed(id_hashes[k]);
      }
    }

    for (std::size_t i = slice.begin; i < slice.end; ++i) {
      if (cols.id != nullptr && i + kPrefetchDistance < slice.end) {
        state.seen_event_ids.prefetch_hashed(id_hashes[i + kPrefetchDistance - slice.begin]);
      }
      if (!cols.filters.empty() && !cols.passes(i)) continue;

      if (cols.id != nullptr && cols.id->present(i)) {
        const std::string_view text = id_text(cols.id->view(i), id_scratch);
        if (!text.empty() &&
            !state.seen_event_ids.insert_hashed(text, id_hashes[i - slice.begin])) {
          ++duplicates;
          continue;
        }
      }

      std::int64_t event_time;
      if (cols.time != nullptr && cols.time->present(i) && cols.time->tag(i) == kIntIndex) {
        event_time = cols.time->int_at(i);
      } else {
        event_time = clock();
      }
      if (event_time > state.max_event_time) state.max_event_time = event_time;

      const std::int64_t watermark = sat_sub(state.max_event_time, watermark_ms);
      if (watermark >= kLatenessGuard && sat_add(event_time, lateness) < watermark) {
        const auto missed = [&] {
          MissedWindow window;
          if (!windowed) return window;
          window.windowed = true;
          window.start = known_window_start(state.window_origin, event_time, width);
          if (window.start) window.end = sat_add(*window.start, width);
          return window;
        };
        const auto make_row = [&] { return chunk.row(i); };
        if (!late_row_goes_on(plan, make_row, kept, late, missed)) continue;
      }

      if (!windowed) {
        if (passed != nullptr) {
          passed->push_back({k, i});
        } else {
          out.push_back(chunk.row(i));
        }
        continue;
      }

      const std::int64_t start = window_bucket_for(state, event_time, width);
      const auto value_cell = EventChunk::Column::view_of(value_col, i);
      if (!value_cell) continue;
      const auto value = to_f64(*value_cell);
      if (!value) continue;

      const std::uint32_t group =
          group_ids.of(group_text(EventChunk::Column::view_of(by_col, i), group_scratch));
      state.window_state.add_to(last_windows.of(start, group), sat_add(start, width), *value);
    }
  }

  if (duplicates) bump(stats.duplicate_events, duplicates);
  late.publish(stats);

  if (windowed) {
    const std::int64_t threshold =
        sat_sub(sat_sub(state.max_event_time, watermark_ms), lateness);
    close_windows(state, plan, threshold, out);
  }
  return out;
}

Batch process_rows(Stats& stats, ProcessorState& state, Batch rows, const PlanSpec& plan,
                   EventClock clock, LateRows* kept) {
  return process_events(stats, state, slices_of_rows(rows), plan, clock, kept);
}

Batch flush_all_windows(ProcessorState& state, const PlanSpec& plan) {
  if (plan.is_aggregating()) return flush_aggregate_windows(state, plan);
  Batch out;
  if (!plan.is_windowed()) return out;
  close_windows(state, plan, kInt64Max, out);  // every end is at or below it
  return out;
}

}  // namespace movra
