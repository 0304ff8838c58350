// The late step with "keep_late": kept rows, their missed windows, the cap.
#include <limits>

#include "engine/late_rows.h"
#include "engine/window_engine.h"
#include "test.h"

using namespace movra;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

Row event(std::int64_t ts, double value, const char* id = "") {
  Row r;
  r.set(std::string_view("timestamp"), ts);
  r.set(std::string_view("v"), value);
  r.set(std::string_view("id"), std::string(id));
  return r;
}

PlanSpec keeping(std::optional<std::int64_t> seconds) {
  PlanSpec plan;
  if (seconds) {
    plan.window = WindowSpec{*seconds, std::nullopt, "timestamp"};
    plan.mean = MeanSpec{"v", "avg"};
  }
  plan.keep_late = true;
  return plan;
}

Batch rows_at(std::initializer_list<std::int64_t> times) {
  Batch in;
  for (std::int64_t t : times) in.push_back(event(t, 1.0, std::to_string(t).c_str()));
  return in;
}

std::int64_t int_of(const Row& r, const char* name) { return std::get<std::int64_t>(*r.find(name)); }

bool lacks(const Row& r, const char* name) { return r.find(name) == nullptr; }

}  // namespace

TEST(kept_late_rows_carry_the_window_they_missed) {
  Stats stats;
  ProcessorState state;
  LateRows kept;
  const PlanSpec plan = keeping(10);
  process_rows(stats, state, rows_at({1000, 25000, 3000, 12000, 26000}), plan, now_millis, &kept);
  // Watermark 25000: 3000 and 12000 are late, 26000 is not.
  CHECK_EQ(read(stats.late_events), 2u);
  CHECK_EQ(read(stats.late_rows_over_cap), 0u);
  Batch taken = kept.take();
  CHECK_EQ(taken.size(), 2u);
  CHECK_EQ(int_of(taken[0], "timestamp"), 3000);
  CHECK_EQ(int_of(taken[0], "window_start"), 0);
  CHECK_EQ(int_of(taken[0], "window_end"), 10000);
  CHECK_EQ(int_of(taken[1], "window_start"), 10000);
  CHECK_EQ(int_of(taken[1], "window_end"), 20000);
  CHECK(std::get<std::string>(*taken[1].find("id")) == "12000");
  CHECK_EQ(kept.size(), 0u);
}

TEST(kept_late_rows_beyond_the_cap_are_counted) {
  Stats stats;
  ProcessorState state;
  LateRows kept;
  PlanSpec plan = keeping(std::nullopt);
  plan.max_late_rows = 2;
  process_rows(stats, state, rows_at({100, 10, 20, 30, 40}), plan, now_millis, &kept);
  CHECK_EQ(read(stats.late_events), 4u);
  CHECK_EQ(read(stats.late_rows_over_cap), 2u);
  Batch taken = kept.take();
  CHECK_EQ(taken.size(), 2u);
  // Without a window the row is kept as it came.
  CHECK_EQ(taken[0].size(), 3u);
  CHECK(taken[0] == event(10, 1.0, "10"));
  CHECK(taken[1] == event(20, 1.0, "20"));
  // Taking makes room again.
  process_rows(stats, state, rows_at({50}), plan, now_millis, &kept);
  CHECK_EQ(kept.size(), 1u);
  CHECK_EQ(read(stats.late_rows_over_cap), 2u);
  // Without a queue every row the plan would keep is over the cap.
  process_rows(stats, state, rows_at({60}), plan);
  CHECK_EQ(read(stats.late_rows_over_cap), 3u);
  CHECK_EQ(read(stats.late_events), 6u);
}

TEST(missed_window_unknown_until_the_origin_is_fixed) {
  Stats stats;
  ProcessorState state;
  LateRows kept;
  state.max_event_time = 1700000100000;  // as a pass-through plan or a checkpoint leaves it
  const PlanSpec plan = keeping(60);
  Batch in = rows_at({1700000000000, 5000});
  in[0].set(std::string_view("window_start"), std::int64_t{7});  // the event's own column
  process_rows(stats, state, std::move(in), plan, now_millis, &kept);
  CHECK_EQ(state.window_origin, kMin);  // finding the missed window fixed nothing
  Batch taken = kept.take();
  CHECK_EQ(taken.size(), 2u);
  CHECK(lacks(taken[0], "window_start"));
  CHECK(lacks(taken[0], "window_end"));
  CHECK_EQ(int_of(taken[1], "window_start"), 0);  // the absolute grid needs no origin
  CHECK_EQ(int_of(taken[1], "window_end"), 60000);
  state.window_origin = 1700000000123;
  process_rows(stats, state, rows_at({1700000000100}), plan, now_millis, &kept);
  taken = kept.take();
  CHECK_EQ(int_of(taken[0], "window_start"), 1700000000123);  // before the origin: its window
}

TEST(late_rows_without_keep_late_are_handled_as_before) {
  for (bool drop_late : {true, false}) {
    Stats stats;
    ProcessorState state;
    LateRows kept;
    PlanSpec plan = keeping(std::nullopt);
    plan.keep_late = !drop_late;  // keep_late without drop_late keeps nothing
    plan.drop_late = drop_late;
    Batch out = process_rows(stats, state, rows_at({100, 10}), plan, now_millis, &kept);
    CHECK_EQ(out.size(), drop_late ? 1u : 2u);
    CHECK_EQ(kept.size(), 0u);
    CHECK_EQ(read(stats.late_events), 1u);
    CHECK_EQ(read(stats.late_rows_over_cap), 0u);
  }
}

TEST(late_rows_put_back_go_before_later_ones) {
  LateRows kept;
  kept.keep(event(1, 1.0));
  kept.keep(event(2, 1.0));
  Batch taken = kept.take();
  kept.keep(event(3, 1.0));
  kept.put_back(std::move(taken));
  Batch all = kept.take();
  CHECK_EQ(all.size(), 3u);
  for (std::size_t i = 0; i < all.size(); ++i) {
    CHECK_EQ(int_of(all[i], "timestamp"), static_cast<std::int64_t>(i + 1));
  }
}
