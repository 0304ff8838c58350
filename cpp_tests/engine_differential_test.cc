// Random streams through the engine and through the plain model of the row
// engine (engine_model.h), side by side: every pull's result, the duplicate
// and late counters, the number of open windows and every checkpoint's bytes
// must agree, through plan changes, flushes, and checkpoints saved and loaded
// (and foreign checkpoint texts loaded) between pulls.
//
// The default run takes a few seconds.  MOVRA_DIFF_EVENTS=<n> runs about n
// events instead (millions for a long run); MOVRA_DIFF_SEED=<s> picks the
// seed, which a failure prints.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/filters.h"
#include "engine/window_engine.h"
#include "engine_model.h"
#include "model/event_chunk.h"
#include "model/utf8.h"
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

// Field names, as bytes: plain, non-ASCII, with a NUL, with the key separator.
const std::vector<std::string>& names() {
  static const std::vector<std::string> n = {
      "timestamp", "ts", "v", "value", "g", "sym", "id", "x", "\xc3\xa9t\xc3\xa9",
      std::string("n\0ul", 4), "a|b", "count", "window_start"};
  return n;
}

std::string random_text(Rng& rng) {
  static const std::vector<std::string> pool = {
      "", "a", "b", "AAPL", "MSFT", "x|y", "|", "10", "\xe2\x82\xac", std::string("z\0z", 3),
      "inf", "-5", "caf\xc3\xa9", " ", "0|"};
  if (rng.below(1000) != 0) return rng.pick(pool);
  // Rarely a tab, a line feed or bytes that are not UTF-8: such groups make
  // a checkpoint unwritable or a load refused, alike in both engines.
  static const std::vector<std::string> odd = {"t\tb", "l\nf", "\xff", "\xc3"};
  return rng.pick(odd);
}

std::int64_t random_int(Rng& rng) {
  switch (rng.below(40)) {
    case 0: return kInt64Max - rng.below(3);
    case 1: return kInt64Min + rng.below(3);
    case 2: return 1000000000000 + static_cast<std::int64_t>(rng.below(5000)) - 2500;
    case 3: return 1700000000000 + static_cast<std::int64_t>(rng.below(100000));
    case 4:
    case 5:
    case 6: return -static_cast<std::int64_t>(rng.below(20000));
    default: return static_cast<std::int64_t>(rng.below(20000));
  }
}

Cell random_cell(Rng& rng) {
  switch (rng.below(12)) {
    case 0: return Null{};
    case 1: return rng.chance(50);
    case 2:
    case 3:
    case 4: return random_int(rng);
    case 5: {
      static const std::vector<double> odd = {std::nan(""), INFINITY, -INFINITY, -0.0, 1e300, 0.1};
      return rng.pick(odd);
    }
    case 6:
    case 7: return static_cast<double>(rng.below(2000)) / 8.0 - 50.0;
    default: return random_text(rng);
  }
}

// A time that mostly advances slowly, with jumps back (late rows) and away.
std::int64_t stream_time(Rng& rng, std::int64_t& clock_base) {
  clock_base += rng.below(400);
  if (rng.chance(10)) return clock_base - rng.below(10000);
  if (rng.below(1000) < 3) return random_int(rng);
  return clock_base;
}

Row random_row(Rng& rng, const PlanSpec& plan, std::int64_t& clock_base) {
  Row row;
  const std::string time_field = plan.window ? plan.window->time_field : "timestamp";
  if (rng.chance(90)) {
    if (rng.chance(95)) {
      row.set(std::string_view(time_field), stream_time(rng, clock_base));
    } else {
      row.set(std::string_view(time_field), random_cell(rng));
    }
  }
  if (plan.mean && rng.chance(90)) {
    row.set(std::string_view(plan.mean->field),
            rng.chance(80) ? Cell(static_cast<double>(rng.below(1000)) / 4.0) : random_cell(rng));
  }
  if (plan.window && plan.window->by && rng.chance(90)) {
    row.set(std::string_view(*plan.window->by),
            rng.chance(85) ? Cell(random_text(rng)) : random_cell(rng));
  }
  if (plan.event_id_field && rng.chance(90)) {
    // A small pool of ids, so that duplicates are common; some are numbers
    // (deduplicated by their text) and some are empty (never deduplicated).
    Cell id;
    switch (rng.below(6)) {
      case 0: id = static_cast<std::int64_t>(rng.below(3000)); break;
      case 1: id = static_cast<double>(rng.below(300)) / 2.0; break;
      case 2: id = random_cell(rng); break;
      default: id = "e" + std::to_string(rng.below(5000)); break;
    }
    row.set(std::string_view(*plan.event_id_field), std::move(id));
  }
  // Other fields, never over the ones above, which stay missing as drawn.
  for (unsigned k = 0, n = rng.below(4); k < n; ++k) {
    const std::string& name = rng.pick(names());
    if (!row.contains(name)) row.set(std::string_view(name), random_cell(rng));
  }
  return row;
}

PlanSpec random_plan(Rng& rng) {
  PlanSpec plan;
  for (unsigned k = 0, n = rng.chance(70) ? 0 : 1 + rng.below(2); k < n; ++k) {
    static const std::vector<std::string> ops = {"==", "!=", "<", ">", "<=", ">=", "~"};
    plan.filters.push_back(FilterSpec{rng.pick(names()), rng.pick(ops), random_cell(rng)});
  }
  if (rng.chance(25)) {
    std::vector<std::string> select;
    for (unsigned k = 0, n = rng.below(4); k < n; ++k) select.push_back(rng.pick(names()));
    plan.select = std::move(select);
  }
  if (rng.chance(85)) {
    static const std::vector<std::int64_t> widths = {1, 1, 2, 10, 60, 0, -1, -3, std::int64_t{1} << 62};
    WindowSpec w;
    w.seconds = rng.pick(widths);
    if (rng.chance(70)) w.by = rng.chance(80) ? std::string("g") : rng.pick(names());
    w.time_field = rng.chance(80) ? std::string("timestamp") : rng.pick(names());
    plan.window = std::move(w);
  }
  if (rng.chance(85)) {
    static const std::vector<std::string> aliases = {"avg", "avg", "count", "g", "window_end"};
    plan.mean = MeanSpec{rng.chance(80) ? std::string("v") : rng.pick(names()), rng.pick(aliases)};
  }
  static const std::vector<std::int64_t> marks = {0, 500, 2000, 3000, 500, -1000, kInt64Max, kInt64Min};
  if (rng.chance(50)) plan.watermark_ms = rng.pick(marks);
  if (rng.chance(40)) plan.allowed_lateness_ms = rng.pick(marks);
  if (rng.chance(50)) plan.event_id_field = rng.chance(80) ? std::string("id") : rng.pick(names());
  plan.drop_late = rng.chance(70);
  return plan;
}

// Doubles must match bit for bit, but for the sign of a NaN: the compiler
// may swap the operands of an addition, and which NaN survives then
// differs between two builds of the same code.
bool same_cell(const Cell& a, const Cell& b) {
  if (a.index() != b.index()) return false;
  if (a.index() == kDoubleIndex) {
    const double x = std::get<double>(a), y = std::get<double>(b);
    if (std::isnan(x) && std::isnan(y)) return true;
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  return a == b;
}

// A checkpoint text with every NaN sum written unsigned, for the same reason.
std::string unsigned_nans(std::string text) {
  for (std::size_t at = 0; (at = text.find("\t-nan\t", at)) != std::string::npos;) text.erase(at + 1, 1);
  return text;
}

bool same_checkpoint(bool written, const std::string& text, const std::optional<std::string>& model) {
  return written == model.has_value() && (!written || unsigned_nans(text) == unsigned_nans(*model));
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
    for (const auto& [name, cell] : row) {
      out += name + "=" + display(cell) + "(" + std::to_string(cell.index()) + ") ";
    }
    out += "}\n";
  }
  return out;
}

// A checkpoint text that the writer would not produce: keys that are not
// "start|group", fields that disagree with the key, repeated keys, short
// lines and counts that lie.
std::string foreign_checkpoint(Rng& rng, std::int64_t clock_base) {
  std::ostringstream t;
  const std::int64_t max_time = clock_base - rng.below(5000);
  t << "max_event_time\t" << max_time << "\nwindow_origin\t"
    << (rng.chance(50) ? kInt64Min : clock_base) << "\nseen_event_ids\t" << 3 << "\ne1\ne2\n7\n";
  const unsigned n = rng.below(6);
  t << "window_state\t" << n + rng.below(2) << "\n";
  for (unsigned k = 0; k < n; ++k) {
    const std::int64_t start = (clock_base / 1000 - rng.below(8)) * 1000;
    const std::string group = rng.chance(50) ? "a" : "";
    switch (rng.below(6)) {
      case 0: t << "k" << k; break;
      case 1: t << "0" << start << "|" << group; break;  // not the canonical decimal
      case 2: t << "+" << start << "|" << group; break;
      case 3: t << start + 1000 << "|" << group; break;  // fields below disagree
      default: t << start << "|" << group; break;
    }
    // Ends at, around and past the time the first pull's threshold may be.
    const std::int64_t end = rng.chance(30) ? max_time + rng.below(3) - 1
                                            : start + 1000 * static_cast<std::int64_t>(rng.below(3));
    t << "\t" << rng.below(100) << "\t" << rng.below(3) << "\t" << start << "\t" << end << "\t"
      << (rng.chance(70) ? group : std::string("other")) << "\n";
    if (rng.chance(10)) t << "short\t1\n";
  }
  return t.str();
}

bool model_windows_are_utf8(const movra_model::State& s) {
  for (const auto& [key, w] : s.window_state) {
    if (!is_valid_utf8(key) || !is_valid_utf8(w.group)) return false;
  }
  return true;
}

// What the streams went through, to show that a run covers what it should.
struct Coverage {
  std::uint64_t events = 0, results = 0, windows_closed = 0, duplicates = 0, late = 0;
  std::uint64_t saves = 0, unwritable = 0, loads = 0, foreign_loads = 0, refused_loads = 0;
};
Coverage g_coverage;

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 10) : fallback;
}

// The rows as the engine meets them in a stream: slices of chunks, cut at
// random points, some chunks sharing a name table, some slices starting or
// ending inside their chunk (the events outside the slice are other rows).
EventSlices random_slices(Rng& rng, const Batch& rows) {
  EventSlices out;
  auto names = std::make_shared<NameTable>();
  std::size_t i = 0;
  while (i < rows.size()) {
    if (rng.chance(30)) names = std::make_shared<NameTable>();
    auto chunk = std::make_shared<EventChunk>(names);
    const std::size_t before = rng.chance(20) ? rng.below(3) : 0;
    for (std::size_t k = 0; k < before; ++k) chunk->append_row_as_is(rows[rng.below(static_cast<unsigned>(rows.size()))]);
    const std::size_t n = std::min<std::size_t>(rows.size() - i, 1 + rng.below(rng.chance(10) ? 400 : 20));
    for (std::size_t k = 0; k < n; ++k) chunk->append_row_as_is(rows[i + k]);
    if (rng.chance(20)) chunk->append_row_as_is(rows[rng.below(static_cast<unsigned>(rows.size()))]);
    out.push_back({std::move(chunk), before, before + n});
    i += n;
  }
  return out;
}

// The engine over random slices of rows; pass-through events handed back as
// references or as Rows, at random.
Batch run_engine(Rng& rng, Stats& stats, ProcessorState& state, const Batch& rows, const PlanSpec& plan) {
  if (rng.chance(10)) return process_rows(stats, state, rows, plan, fixed_clock);
  const EventSlices events = random_slices(rng, rows);
  if (rng.chance(50)) return process_events(stats, state, events, plan, fixed_clock);
  std::vector<EventRef> passed;
  Batch out = process_events(stats, state, events, plan, fixed_clock, nullptr, &passed);
  if (!passed.empty() && !out.empty()) return Batch{};  // never both: the comparison fails
  for (const EventRef& r : passed) out.push_back(row_of(events, r));
  return out;
}

// Runs one stream of about `events` events; false at the first disagreement.
bool run_stream(std::uint64_t seed, std::uint64_t events, std::string& where) {
  Rng rng(seed);
  Stats stats;
  ProcessorState state;
  movra_model::Counters model_counters;
  movra_model::State model;
  std::int64_t clock_base = rng.chance(50) ? 1700000000000 : 0;
  PlanSpec plan = random_plan(rng);
  std::uint64_t done = 0;
  bool after_load = false;
  for (std::uint64_t pull = 0; done < events; ++pull) {
    std::ostringstream at;
    at << "seed " << seed << " pull " << pull;
    where = at.str();
    if (rng.chance(8)) plan = random_plan(rng);
    g_now = clock_base + rng.below(1000);

    Batch rows;
    // A pull without events right after a load closes the loaded windows
    // against the loaded time alone.
    const bool no_events = rng.chance(after_load ? 40 : 5);
    after_load = false;
    for (unsigned k = 0, n = no_events ? 0 : rng.below(rng.chance(5) ? 2000 : 60); k < n; ++k) {
      rows.push_back(random_row(rng, plan, clock_base));
    }
    done += rows.size() + 1;
    g_coverage.events += rows.size();
    const Batch copy = rows;
    Batch got = run_engine(rng, stats, state, rows, plan);
    Batch want = movra_model::process_rows(model_counters, model, copy, plan, fixed_clock);
    const bool spent = rng.chance(3);
    if (got.empty() && spent) got = flush_all_windows(state, plan);
    if (want.empty() && spent) want = movra_model::flush_all_windows(model, plan);
    got = project_rows(std::move(got), plan.select);
    want = movra_model::project_rows(std::move(want), plan.select);
    if (!same_batch(got, want)) {
      where += ": results differ; the engine gave\n" + describe(got) + "the model\n" + describe(want);
      return false;
    }
    g_coverage.results += got.size();
    if (plan.is_windowed()) g_coverage.windows_closed += got.size();
    if (read(stats.duplicate_events) != model_counters.duplicate_events ||
        read(stats.late_events) != model_counters.late_events) {
      return (where += ": counters differ"), false;
    }
    if (state.window_state.size() != model.window_state.size() ||
        state.seen_event_ids.size() != model.seen_event_ids.size()) {
      return (where += ": state sizes differ"), false;
    }

    if (rng.chance(10)) {
      std::string text;
      const bool written = checkpoint_text_checked(state, text);
      const std::optional<std::string> model_text = movra_model::checkpoint_text(model);
      if (!same_checkpoint(written, text, model_text)) {
        return (where += ": checkpoint bytes differ"), false;
      }
      ++(written ? g_coverage.saves : g_coverage.unwritable);
      if (written && rng.chance(50)) {
        // A load, as load_checkpoint does it: refused when a window is not
        // UTF-8 text, else the parsed state replaces the old one.
        ++g_coverage.loads;
        if (rng.chance(25)) {
          text = foreign_checkpoint(rng, clock_base);
          ++g_coverage.foreign_loads;
        }
        ProcessorState loaded = parse_checkpoint_text(text);
        movra_model::State model_loaded = movra_model::parse_checkpoint_text(text);
        const bool utf8 = checkpoint_windows_are_utf8(loaded);
        if (utf8 != model_windows_are_utf8(model_loaded)) return (where += ": load check differs"), false;
        if (!utf8) ++g_coverage.refused_loads;
        if (utf8) {
          after_load = true;
          state = std::move(loaded);
          model = std::move(model_loaded);
        }
        std::string again;
        const bool rewritten = checkpoint_text_checked(state, again);
        const std::optional<std::string> model_again = movra_model::checkpoint_text(model);
        if (!same_checkpoint(rewritten, again, model_again)) {
          return (where += ": checkpoint bytes differ after a load"), false;
        }
      }
    }
  }
  g_coverage.duplicates += read(stats.duplicate_events);
  g_coverage.late += read(stats.late_events);
  return true;
}

}  // namespace

TEST(engine_agrees_with_the_row_model_on_random_streams) {
  const std::uint64_t events = env_number("MOVRA_DIFF_EVENTS", 1000000);
  const std::uint64_t first_seed = env_number("MOVRA_DIFF_SEED", 1);
  // Many short streams (fresh states, early plan changes) and a few long
  // ones (large states, many windows open at once).
  const std::uint64_t streams = 40;
  for (std::uint64_t s = 0; s < streams; ++s) {
    std::string where;
    const std::uint64_t length = s % 10 == 9 ? events / 8 : events / 64;
    if (!run_stream(first_seed + s, length, where)) {
      CHECK(false);
      std::cerr << "  engine and model disagree at " << where << "\n";
      return;
    }
  }
  if (std::getenv("MOVRA_DIFF_EVENTS") != nullptr) {
    const Coverage& c = g_coverage;
    std::cerr << "differential: " << c.events << " events, " << c.results << " result rows ("
              << c.windows_closed << " from windowed plans), " << c.duplicates << " duplicates, "
              << c.late << " late, " << c.saves << " checkpoints (" << c.unwritable
              << " refused), " << c.loads << " loads (" << c.foreign_loads << " foreign, "
              << c.refused_loads << " refused)\n";
  }
}
