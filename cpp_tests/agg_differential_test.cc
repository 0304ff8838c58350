// Random streams through an aggregate plan twice, side by side: through the
// engine, which reads the events from chunk columns, and through the Row
// model of the engine it replaced (agg_row_model.h).  Every pull's result,
// the duplicate, late and over-cap counters, the late rows kept, the number
// of open windows and every checkpoint's bytes must agree, through plan
// changes, flushes, and checkpoints saved and loaded between pulls.  The
// events of a pull lie in several chunks, between events of the same chunks
// that the pull does not take.
//
// The default run takes a few seconds.  MOVRA_AGG_DIFF_EVENTS=<n> runs
// about n events instead; MOVRA_AGG_DIFF_SEED=<s> picks the seed, which a
// failure prints.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "agg_row_model.h"
#include "engine/window_engine.h"
#include "model/event_chunk.h"
#include "state/checkpoint.h"
#include "test.h"

using namespace movra;

namespace {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : s_(seed ? seed : 1) {}
  std::uint64_t next() {
    s_ ^= s_ << 13, s_ ^= s_ >> 7, s_ ^= s_ << 17;
    return s_;
  }
  unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <typename T>
  const T& pick(const std::vector<T>& v) {
    return v[below(static_cast<unsigned>(v.size()))];
  }

 private:
  std::uint64_t s_;
};

std::int64_t g_now = 0;
std::int64_t fixed_clock() { return g_now; }

// Field names, as bytes: plain, non-ASCII, with a NUL.
const std::vector<std::string>& names() {
  static const std::vector<std::string> n = {"timestamp", "ts", "v", "w", "g", "h", "id",
                                             "\xc3\xa9t\xc3\xa9", std::string("n\0ul", 4),
                                             "window_start", "x"};
  return n;
}

std::string random_text(Rng& rng) {
  static const std::vector<std::string> pool = {
      "", "a", "b", "AAPL", "1", "x|y", "\xe2\x82\xac", std::string("z\0z", 3), std::string(1, '\0'),
      "caf\xc3\xa9", " ", "NaN"};
  if (rng.below(200) != 0) return rng.pick(pool);
  // Rarely bytes that a checkpoint cannot carry as text: alike in both.
  static const std::vector<std::string> odd = {"t\tb", "l\nf", "\xff", "\xc3"};
  return rng.pick(odd);
}

Cell random_cell(Rng& rng) {
  switch (rng.below(14)) {
    case 0: return Null{};
    case 1: return rng.chance(50);
    case 2:
    case 3: return static_cast<std::int64_t>(rng.below(20)) - 5;
    case 4: {
      static const std::vector<std::int64_t> odd = {kInt64Max, kInt64Min, 1, 1LL << 53, -(1LL << 60)};
      return rng.pick(odd);
    }
    case 5: {
      static const std::vector<double> odd = {std::nan(""), -std::nan(""), INFINITY, -INFINITY,
                                              -0.0, 0.0, 1.0, 1e300, 0.1, 9.3e18};
      return rng.pick(odd);
    }
    case 6:
    case 7:
    case 8: return static_cast<double>(rng.below(2000)) / 8.0 - 50.0;
    default: return random_text(rng);
  }
}

// A time that mostly advances slowly, with jumps back (late rows) and away.
std::int64_t stream_time(Rng& rng, std::int64_t& clock_base) {
  clock_base += rng.below(300);
  if (rng.chance(10)) return clock_base - rng.below(8000);
  if (rng.below(20000) == 0) return clock_base + 100000 * rng.below(3);
  return clock_base;
}

Row random_row(Rng& rng, const PlanSpec& plan, std::int64_t& clock_base) {
  Row row;
  if (rng.chance(93)) {
    const std::string_view time_field(plan.window->time_field);
    Cell t = stream_time(rng, clock_base);
    // Sometimes a time of another type (the clock stamps the event) or one
    // at an end of the int64 range (every later event is then late).
    if (rng.chance(4)) t = random_cell(rng);
    if (t.index() == kIntIndex && std::get<std::int64_t>(t) > 10000000000000 && rng.below(400) != 0) {
      t = clock_base;
    }
    row.set(time_field, std::move(t));
  }
  for (const std::string& by : plan.window->by_fields) {
    if (!rng.chance(90)) continue;
    // Few groups, some of them the same value in two types (1 and 1.0 are
    // one group, 1 and "1" two).
    static const std::vector<Cell> groups = {Cell(std::string("a")), Cell(std::string("b")),
                                             Cell(std::string("\xc3\xa9")), Cell(std::string("1")),
                                             Cell(std::string("z\0z", 3)), Cell(std::int64_t{1}),
                                             Cell(1.0), Cell(2.5), Cell(true), Cell(Null{})};
    row.set(std::string_view(by), rng.chance(90) ? rng.pick(groups) : random_cell(rng));
  }
  for (const AggSpec& agg : *plan.aggs) {
    if (!agg.field || row.contains(*agg.field) || !rng.chance(85)) continue;
    Cell v = rng.chance(75) ? Cell(static_cast<double>(rng.below(4000)) / 4.0) : random_cell(rng);
    row.set(std::string_view(*agg.field), std::move(v));
  }
  if (plan.event_id_field && rng.chance(90)) {
    Cell id;
    switch (rng.below(5)) {
      case 0: id = static_cast<std::int64_t>(rng.below(2000)); break;
      case 1: id = random_cell(rng); break;
      default: id = "e" + std::to_string(rng.below(4000)); break;
    }
    row.set(std::string_view(*plan.event_id_field), std::move(id));
  }
  for (unsigned k = 0, n = rng.below(3); k < n; ++k) {
    const std::string& name = rng.pick(names());
    if (!row.contains(name) && name != plan.window->time_field) row.set(std::string_view(name), random_cell(rng));
  }
  return row;
}

// The plan signature: any text that differs when the window state differs.
std::string signature_of(const PlanSpec& plan) {
  std::ostringstream s;
  const WindowSpec& w = *plan.window;
  s << static_cast<int>(w.kind()) << " " << w.width_ms() << " " << w.slide_ms.value_or(0) << " "
    << w.gap_ms.value_or(0) << " on " << w.time_field << " by";
  for (const std::string& f : w.by_fields) s << " [" << f << "]";
  for (const AggSpec& a : *plan.aggs) {
    s << " " << a.name << "=" << static_cast<int>(a.op) << "(" << a.field.value_or("*") << "," << a.ddof
      << "," << a.q.value_or(-1) << "," << a.param.value_or(-1) << ")";
  }
  return s.str();
}

PlanSpec random_plan(Rng& rng) {
  PlanSpec plan;
  if (rng.chance(20)) {
    static const std::vector<std::string> ops = {"==", "!=", "<", ">", "<=", ">="};
    plan.filters.push_back(FilterSpec{rng.pick(names()), rng.pick(ops), random_cell(rng)});
  }
  WindowSpec w;
  switch (rng.below(3)) {
    case 0: {
      static const std::vector<std::int64_t> sizes = {1, 7, 1000, 1000, 5000, 60000};
      w.size_ms = rng.pick(sizes);
      break;
    }
    case 1: {
      static const std::vector<std::int64_t> slides = {1, 250, 500, 1000};
      const std::int64_t slide = rng.pick(slides);
      w.slide_ms = slide;
      w.size_ms = slide * (1 + rng.below(4));
      break;
    }
    default: {
      static const std::vector<std::int64_t> gaps = {1, 300, 1000, 4000};
      w.gap_ms = rng.pick(gaps);
      break;
    }
  }
  w.time_field = rng.chance(85) ? std::string("timestamp") : std::string("ts");
  static const std::vector<std::string> by_pool = {"g", "h", "\xc3\xa9t\xc3\xa9", std::string("n\0ul", 4)};
  for (unsigned k = 0, n = rng.below(3); k < n; ++k) {
    const std::string& f = rng.pick(by_pool);
    if (std::find(w.by_fields.begin(), w.by_fields.end(), f) == w.by_fields.end()) w.by_fields.push_back(f);
  }
  plan.window = std::move(w);
  // Not approx_quantile: its sketch compacts at random (a generator seeded
  // from the clock), so two runs of one stream differ.  It takes values
  // through the same path as quantile.
  static const std::vector<AggOp> ops = {
      AggOp::kCount, AggOp::kSum, AggOp::kMean, AggOp::kMin, AggOp::kMax, AggOp::kFirst, AggOp::kLast,
      AggOp::kVar, AggOp::kStddev, AggOp::kCountDistinct, AggOp::kQuantile, AggOp::kApproxCountDistinct};
  static const std::vector<std::string> fields = {"v", "v", "w", "g", std::string("n\0ul", 4), "x"};
  std::vector<AggSpec> aggs;
  for (unsigned k = 0, n = 1 + rng.below(6); k < n; ++k) {
    AggSpec a;
    a.name = "a" + std::to_string(k);
    a.op = rng.pick(ops);
    if (a.op != AggOp::kCount || rng.chance(50)) a.field = rng.pick(fields);
    if (a.op == AggOp::kVar || a.op == AggOp::kStddev) a.ddof = rng.below(2);
    if (a.op == AggOp::kQuantile) {
      static const std::vector<double> qs = {0.0, 0.5, 0.99, 1.0};
      a.q = rng.pick(qs);
    }
    if (a.op == AggOp::kApproxCountDistinct && rng.chance(50)) a.param = 4;
    aggs.push_back(std::move(a));
  }
  plan.aggs = std::move(aggs);
  static const std::vector<std::int64_t> marks = {0, 500, 2000, 3000};
  if (rng.chance(60)) plan.watermark_ms = rng.pick(marks);
  if (rng.chance(40)) plan.allowed_lateness_ms = rng.chance(90) ? rng.pick(marks) : -1000;
  if (rng.chance(50)) plan.event_id_field = rng.chance(80) ? std::string("id") : rng.pick(names());
  plan.drop_late = rng.chance(75);
  plan.keep_late = rng.chance(50);
  if (rng.chance(50)) plan.max_late_rows = rng.below(20);
  plan.aggs_signature = signature_of(plan);
  return plan;
}

// The rows as slices of a few chunks, each slice between events it does not
// take; the chunks share a name table or have their own.
EventSlices slices_of(Rng& rng, const Batch& rows, const PlanSpec& plan, std::int64_t clock_base) {
  EventSlices slices;
  auto shared_names = std::make_shared<NameTable>();
  std::size_t at = 0;
  while (at < rows.size() || (slices.empty() && rng.chance(30))) {
    const std::size_t take =
        std::min(rows.size() - at, std::size_t{rng.below(3) == 0 ? 5u : 1u + rng.below(400)});
    auto chunk = std::make_shared<EventChunk>(rng.chance(50) ? shared_names : std::make_shared<NameTable>());
    std::int64_t filler_clock = clock_base;
    for (unsigned k = 0, n = rng.below(3); k < n; ++k) chunk->append_row_as_is(random_row(rng, plan, filler_clock));
    const std::size_t begin = chunk->size();
    for (std::size_t i = at; i < at + take; ++i) chunk->append_row_as_is(rows[i]);
    const std::size_t end = chunk->size();
    for (unsigned k = 0, n = rng.below(3); k < n; ++k) chunk->append_row_as_is(random_row(rng, plan, filler_clock));
    slices.push_back({std::move(chunk), begin, end});
    at += take;
  }
  return slices;
}

bool same_cell(const Cell& a, const Cell& b) {
  if (a.index() != b.index()) return false;
  if (a.index() == kDoubleIndex) {
    const double x = std::get<double>(a), y = std::get<double>(b);
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  return a == b;
}

bool same_batch(const Batch& a, const Batch& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size()) return false;
    for (auto ia = a[i].begin(), ib = b[i].begin(); ia != a[i].end(); ++ia, ++ib) {
      if (ia->first != ib->first || !same_cell(ia->second, ib->second)) return false;
    }
  }
  return true;
}

std::string describe(const Batch& batch) {
  std::string out;
  for (const Row& row : batch) {
    out += "  {";
    for (const auto& [name, cell] : row) out += name + "=" + display(cell) + "(" + std::to_string(cell.index()) + ") ";
    out += "}\n";
  }
  return out;
}

struct Coverage {
  std::uint64_t events = 0, results = 0, refused_plans = 0, duplicates = 0, late = 0, kept = 0;
  std::uint64_t over_cap = 0, saves = 0, loads = 0;
};
Coverage g_coverage;

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

// One side of the comparison.
struct Side {
  Stats stats;
  ProcessorState state;
  LateRows kept;
};

// Runs one stream of about `events` events; false at the first disagreement.
bool run_stream(std::uint64_t seed, std::uint64_t events, std::string& where) {
  Rng rng(seed);
  Side chunks, rows_side;
  std::int64_t clock_base = rng.chance(50) ? 1700000000000 : 0;
  PlanSpec plan = random_plan(rng);
  std::uint64_t done = 0;
  for (std::uint64_t pull = 0; done < events; ++pull) {
    const PlanSpec previous = plan;
    if (rng.chance(6)) plan = random_plan(rng);
    std::ostringstream at;
    at << "seed " << seed << " pull " << pull << " (plan " << plan.aggs_signature << ")";
    where = at.str();
    // The clock stamps events without a time a little behind the ones with.
    g_now = clock_base;

    Batch rows;
    for (unsigned k = 0, n = rng.chance(5) ? 0 : rng.below(rng.chance(5) ? 3000 : 80); k < n; ++k) {
      rows.push_back(random_row(rng, plan, clock_base));
    }
    done += rows.size() + 1;
    g_coverage.events += rows.size();
    const EventSlices slices = slices_of(rng, rows, plan, clock_base);

    Batch got, want;
    bool got_refused = false, want_refused = false;
    try {
      got = process_events(chunks.stats, chunks.state, slices, plan, fixed_clock, &chunks.kept);
    } catch (const std::invalid_argument&) {
      got_refused = true;
    }
    try {
      want = process_aggregate_rows_model(rows_side.stats, rows_side.state, rows, plan, fixed_clock,
                                          &rows_side.kept);
    } catch (const std::invalid_argument&) {
      want_refused = true;
    }
    if (got_refused != want_refused) return (where += ": one side refused the plan"), false;
    if (got_refused) {
      ++g_coverage.refused_plans;
      plan = previous;
      continue;
    }
    if (rng.chance(3)) {
      Batch more = flush_all_windows(chunks.state, plan);
      got.insert(got.end(), more.begin(), more.end());
      more = flush_all_windows(rows_side.state, plan);
      want.insert(want.end(), more.begin(), more.end());
    }
    if (!same_batch(got, want)) {
      where += ": results differ; the chunk route gave\n" + describe(got) + "the Row route\n" + describe(want);
      return false;
    }
    g_coverage.results += got.size();
    const Batch kept_got = chunks.kept.take();
    const Batch kept_want = rows_side.kept.take();
    if (!same_batch(kept_got, kept_want)) {
      where += ": kept late rows differ\n" + describe(kept_got) + "vs\n" + describe(kept_want);
      return false;
    }
    g_coverage.kept += kept_got.size();
    if (read(chunks.stats.duplicate_events) != read(rows_side.stats.duplicate_events) ||
        read(chunks.stats.late_events) != read(rows_side.stats.late_events) ||
        read(chunks.stats.late_rows_over_cap) != read(rows_side.stats.late_rows_over_cap)) {
      return (where += ": counters differ"), false;
    }
    if (chunks.state.aggs.size() != rows_side.state.aggs.size() ||
        chunks.state.max_event_time != rows_side.state.max_event_time ||
        chunks.state.window_origin != rows_side.state.window_origin) {
      return (where += ": states differ"), false;
    }

    if (rng.chance(15)) {
      std::string text, model_text;
      const bool written = checkpoint_text_checked(chunks.state, text);
      const bool model_written = checkpoint_text_checked(rows_side.state, model_text);
      if (written != model_written || (written && text != model_text)) {
        return (where += ": checkpoint bytes differ:\n" + text + "\nvs\n" + model_text), false;
      }
      ++g_coverage.saves;
      if (written && rng.chance(50)) {
        // Both go on from the state the text holds, as after a restart.
        ProcessorState loaded = parse_checkpoint_text(text);
        if (checkpoint_windows_are_utf8(loaded)) {
          ++g_coverage.loads;
          chunks.state = loaded;
          rows_side.state = std::move(loaded);
        }
      }
    }
  }
  g_coverage.duplicates += read(chunks.stats.duplicate_events);
  g_coverage.late += read(chunks.stats.late_events);
  g_coverage.over_cap += read(chunks.stats.late_rows_over_cap);
  return true;
}

}  // namespace

TEST(aggregate_chunk_route_agrees_with_the_row_route_on_random_streams) {
  const std::uint64_t events = env_number("MOVRA_AGG_DIFF_EVENTS", 400000);
  const std::uint64_t first_seed = env_number("MOVRA_AGG_DIFF_SEED", 1);
  const std::uint64_t streams = 40;
  for (std::uint64_t s = 0; s < streams; ++s) {
    std::string where;
    const std::uint64_t length = s % 10 == 9 ? events / 8 : events / 64;
    if (!run_stream(first_seed + s, length, where)) {
      CHECK(false);
      std::cerr << "  chunk and Row routes disagree at " << where << "\n";
      return;
    }
  }
  const Coverage& c = g_coverage;
  // A run that covers nothing proves nothing.
  CHECK(c.results > 0 && c.late > 0 && c.kept > 0 && c.duplicates > 0 && c.loads > 0);
  if (std::getenv("MOVRA_AGG_DIFF_EVENTS") != nullptr) {
    std::cerr << "aggregate differential: " << c.events << " events, " << c.results << " windows, "
              << c.refused_plans << " plans refused, " << c.duplicates << " duplicates, " << c.late
              << " late (" << c.kept << " kept, " << c.over_cap << " over the cap), " << c.saves
              << " checkpoints, " << c.loads << " loads\n";
  }
}
