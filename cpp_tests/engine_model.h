// A plain model of the row engine, as it was before the engine moved to
// columns: filters and projection over Rows, an ordered std::map of windows
// keyed by their text "decimal start|group", a std::set of seen ids, and the
// checkpoint writer and lenient reader over those.  Written for clarity, not
// speed.  The differential tests hold the engine, its state and its
// checkpoints to it, byte for byte.
//
// Uses the library's Cell, Row, display and comparison functions and its
// saturating arithmetic, which the engine shares and does not change.
#ifndef MOVRA_CPP_TESTS_ENGINE_MODEL_H_
#define MOVRA_CPP_TESTS_ENGINE_MODEL_H_

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/plan.h"
#include "model/cell.h"
#include "model/saturating.h"

namespace movra_model {

using movra::Batch;
using movra::Cell;
using movra::PlanSpec;
using movra::Row;

struct Window {
  double sum = 0.0;
  std::uint64_t count = 0;
  std::int64_t window_start = 0;
  std::int64_t window_end = 0;
  std::string group;
};

struct State {
  std::int64_t max_event_time = movra::kInt64Min;
  std::int64_t window_origin = movra::kInt64Min;
  std::set<std::string> seen_event_ids;
  std::map<std::string, Window> window_state;
};

struct Counters {
  std::uint64_t duplicate_events = 0;
  std::uint64_t late_events = 0;
};

inline constexpr std::int64_t kAbsoluteGridLimit = 1000000000000;
inline constexpr std::int64_t kLatenessGuard = -4611686018427387903;

inline bool passes_filters(const Row& row, const std::vector<movra::FilterSpec>& filters) {
  if (filters.empty()) return true;
  if (row.empty()) return false;
  for (const movra::FilterSpec& f : filters) {
    const Cell* cell = row.find(f.field);
    if (cell == nullptr || !movra::compare_cells(*cell, f.op, f.value)) return false;
  }
  return true;
}

inline Batch project_rows(Batch rows, const std::optional<std::vector<std::string>>& select) {
  if (!select) return rows;
  std::set<std::string> names(select->begin(), select->end());
  Batch out;
  for (Row& row : rows) {
    Row r;
    for (const std::string& name : names) {
      const Cell* cell = row.find(name);
      r.set(std::string_view(name), cell ? *cell : Cell{});
    }
    out.push_back(std::move(r));
  }
  return out;
}

inline std::int64_t window_bucket_for(State& state, std::int64_t t, std::int64_t w) {
  if (t < kAbsoluteGridLimit + 1) {
    if (w == 0) return 0;
    if (w == 1 || w == -1) return t;
    return t - t % w;
  }
  if (state.window_origin == movra::kInt64Min) state.window_origin = t;
  const __int128 d = static_cast<__int128>(t) - state.window_origin;
  const __int128 rem = (w == 0) ? d : d % w;
  return movra::clamp_to_i64(static_cast<__int128>(t) - rem);
}

inline std::string window_key(std::int64_t start, const std::string& group) {
  return std::to_string(start) + "|" + group;
}

inline Row closed_window_row(const Window& agg, const PlanSpec& plan) {
  Row row;
  row.set(std::string_view("window_start"), agg.window_start);
  row.set(std::string_view("window_end"), agg.window_end);
  if (plan.window->by) row.set(std::string_view(*plan.window->by), agg.group);
  row.set(std::string_view(plan.mean->alias), agg.sum / static_cast<double>(agg.count));
  const std::uint64_t limit = static_cast<std::uint64_t>(movra::kInt64Max);
  row.set(std::string_view("count"), static_cast<std::int64_t>(std::min(agg.count, limit)));
  return row;
}

inline void close_windows(State& state, const PlanSpec& plan, std::int64_t threshold, Batch& out) {
  for (auto it = state.window_state.begin(); it != state.window_state.end();) {
    if (it->second.window_end <= threshold) {
      if (it->second.count != 0) out.push_back(closed_window_row(it->second, plan));
      it = state.window_state.erase(it);
    } else {
      ++it;
    }
  }
}

inline Batch process_rows(Counters& counters, State& state, Batch rows, const PlanSpec& plan,
                          std::int64_t (*clock)()) {
  Batch out;
  const std::int64_t lateness =
      plan.allowed_lateness_ms && *plan.allowed_lateness_ms > 0 ? *plan.allowed_lateness_ms : 0;
  const bool windowed = plan.is_windowed();
  const std::string time_field = plan.window ? plan.window->time_field : "timestamp";
  const std::int64_t width = windowed ? movra::sat_mul(plan.window->seconds, 1000) : 0;
  const std::int64_t watermark_ms = plan.watermark_ms.value_or(0);

  for (Row& row : rows) {
    if (!movra_model::passes_filters(row, plan.filters)) continue;
    if (plan.event_id_field) {
      if (const Cell* id = row.find(*plan.event_id_field)) {
        const std::string text = movra::display(*id);
        if (!text.empty() && !state.seen_event_ids.insert(text).second) {
          ++counters.duplicate_events;
          continue;
        }
      }
    }
    const Cell* time_cell = row.find(time_field);
    const std::int64_t event_time = time_cell != nullptr && time_cell->index() == movra::kIntIndex
                                        ? std::get<std::int64_t>(*time_cell)
                                        : clock();
    state.max_event_time = std::max(state.max_event_time, event_time);
    const std::int64_t watermark = movra::sat_sub(state.max_event_time, watermark_ms);
    if (watermark >= kLatenessGuard && movra::sat_add(event_time, lateness) < watermark) {
      ++counters.late_events;
      if (plan.drop_late) continue;
    }
    if (!windowed) {
      out.push_back(std::move(row));
      continue;
    }
    const std::int64_t start = window_bucket_for(state, event_time, width);
    const Cell* value_cell = row.find(plan.mean->field);
    if (value_cell == nullptr) continue;
    const std::optional<double> value = movra::to_f64(*value_cell);
    if (!value) continue;
    std::string group;
    if (plan.window->by) {
      if (const Cell* by = row.find(*plan.window->by)) group = movra::display(*by);
    }
    Window& agg = state.window_state[window_key(start, group)];
    agg.window_start = start;
    agg.window_end = movra::sat_add(start, width);
    agg.group = group;
    agg.sum += *value;
    agg.count += 1;
  }
  if (windowed) {
    const std::int64_t threshold =
        movra::sat_sub(movra::sat_sub(state.max_event_time, watermark_ms), lateness);
    close_windows(state, plan, threshold, out);
  }
  return out;
}

inline Batch flush_all_windows(State& state, const PlanSpec& plan) {
  Batch out;
  if (plan.is_windowed()) close_windows(state, plan, movra::kInt64Max, out);
  return out;
}

// The checkpoint text, or nothing when an id or group holds a line feed or a
// key a line feed or tab.
inline std::optional<std::string> checkpoint_text(const State& state) {
  std::string out = "max_event_time\t" + std::to_string(state.max_event_time) +
                    "\nwindow_origin\t" + std::to_string(state.window_origin) +
                    "\nseen_event_ids\t" + std::to_string(state.seen_event_ids.size()) + "\n";
  for (const std::string& id : state.seen_event_ids) {
    if (id.find('\n') != std::string::npos) return std::nullopt;
    out += id + "\n";
  }
  out += "window_state\t" + std::to_string(state.window_state.size()) + "\n";
  for (const auto& [key, agg] : state.window_state) {
    if (key.find_first_of("\n\t") != std::string::npos || agg.group.find('\n') != std::string::npos) {
      return std::nullopt;
    }
    char sum[64];
    const auto res = std::to_chars(sum, sum + sizeof sum, agg.sum);
    out += key + "\t" + std::string(sum, res.ptr) + "\t" + std::to_string(agg.count) + "\t" +
           std::to_string(agg.window_start) + "\t" + std::to_string(agg.window_end) + "\t" +
           agg.group + "\n";
  }
  return out;
}

// The reader: positional, with the extraction rules of a C++ input stream.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool ok() const { return !failed_; }
  bool at_end() const { return pos_ >= text_.size(); }

  static bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  }
  void skip_space() {
    while (!at_end() && space(text_[pos_])) ++pos_;
  }
  void skip_word() {
    if (failed_) return;
    skip_space();
    if (at_end()) {
      failed_ = true;
      return;
    }
    while (!at_end() && !space(text_[pos_])) ++pos_;
  }
  bool begin_number(bool& negative) {
    if (failed_) return false;
    skip_space();
    if (at_end()) {
      failed_ = true;
      return false;
    }
    if (text_[pos_] == '+' || text_[pos_] == '-') negative = text_[pos_++] == '-';
    return true;
  }
  template <typename Int>
  void read_integer(Int& out) {
    bool negative = false;
    if (!begin_number(negative)) return;
    const std::size_t digits = pos_;
    while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    if (pos_ == digits || (negative && std::is_unsigned_v<Int>)) {
      failed_ = true;
      out = 0;
      return;
    }
    const char* first = text_.data() + (negative ? digits - 1 : digits);
    Int value = 0;
    if (std::from_chars(first, text_.data() + pos_, value).ec != std::errc()) {
      failed_ = true;
      out = negative ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
      return;
    }
    out = value;
  }
  void read_double(double& out) {
    bool negative = false;
    if (!begin_number(negative)) return;
    const std::size_t body = pos_;
    for (std::string_view word : {"inf", "nan"}) {
      if (text_.substr(body, 3) == word) {
        pos_ = body + 3;
        const double v = word == "inf" ? std::numeric_limits<double>::infinity()
                                       : std::numeric_limits<double>::quiet_NaN();
        out = negative ? -v : v;
        return;
      }
    }
    const auto digits = [&](std::size_t& i) {
      std::size_t n = 0;
      while (i < text_.size() && text_[i] >= '0' && text_[i] <= '9') ++i, ++n;
      return n;
    };
    std::size_t mantissa = digits(pos_);
    if (!at_end() && text_[pos_] == '.') {
      ++pos_;
      mantissa += digits(pos_);
    }
    bool bad = mantissa == 0;
    if (!bad && !at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      std::size_t exp = pos_ + 1;
      if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
      bad = digits(exp) == 0;
      pos_ = exp;
    }
    double value = 0.0;
    if (!bad) bad = std::from_chars(text_.data() + body, text_.data() + pos_, value).ec != std::errc();
    if (bad) {
      failed_ = true;
      out = 0.0;
      return;
    }
    out = negative ? -value : value;
  }
  void skip_char() {
    if (failed_) return;
    if (at_end()) {
      failed_ = true;
      return;
    }
    ++pos_;
  }
  void skip_line() {
    if (failed_) return;
    const std::size_t nl = text_.find('\n', pos_);
    pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
  }
  bool read_line(std::string_view& line) {
    if (failed_ || at_end()) {
      failed_ = true;
      return false;
    }
    const std::size_t nl = text_.find('\n', pos_);
    const std::size_t end = nl == std::string_view::npos ? text_.size() : nl;
    line = text_.substr(pos_, end - pos_);
    pos_ = nl == std::string_view::npos ? text_.size() : nl + 1;
    return true;
  }
  std::string_view rest() {
    if (failed_) return {};
    std::string_view r = text_.substr(pos_);
    pos_ = text_.size();
    return r;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  bool failed_ = false;
};

inline State parse_checkpoint_text(std::string_view text) {
  State state;
  Reader r(text);
  r.skip_word();
  r.read_integer(state.max_event_time);
  r.skip_word();
  r.read_integer(state.window_origin);
  r.skip_word();
  std::uint64_t ids = 0;
  r.read_integer(ids);
  r.skip_line();
  std::string_view line;
  for (std::uint64_t i = 0; i < ids && r.read_line(line); ++i) state.seen_event_ids.emplace(line);
  r.skip_word();
  std::uint64_t windows = 0;
  r.read_integer(windows);
  r.skip_line();
  for (std::uint64_t i = 0; i < windows && r.read_line(line); ++i) {
    const std::size_t tab = line.find('\t');
    Window agg;
    if (tab != std::string_view::npos) {
      Reader f(line.substr(tab + 1));
      f.read_double(agg.sum);
      f.skip_char();
      f.read_integer(agg.count);
      f.skip_char();
      f.read_integer(agg.window_start);
      f.skip_char();
      f.read_integer(agg.window_end);
      f.skip_char();
      if (f.ok()) agg.group = std::string(f.rest());
    }
    state.window_state[std::string(line.substr(0, tab))] = agg;
  }
  return state;
}

}  // namespace movra_model

#endif  // MOVRA_CPP_TESTS_ENGINE_MODEL_H_
