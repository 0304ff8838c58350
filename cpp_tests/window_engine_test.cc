#include <limits>

#include "engine/filters.h"
#include "engine/window_engine.h"
#include "test.h"

using namespace movra;

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Row event(std::int64_t ts, double value, const char* group = "") {
  Row r;
  r.set(std::string_view("timestamp"), ts);
  r.set(std::string_view("v"), value);
  r.set(std::string_view("g"), std::string(group));
  return r;
}

PlanSpec windowed(std::int64_t seconds, bool by_group = false) {
  PlanSpec plan;
  plan.window = WindowSpec{seconds, by_group ? std::optional<std::string>("g") : std::nullopt,
                           "timestamp"};
  plan.mean = MeanSpec{"v", "avg"};
  return plan;
}

std::int64_t int_of(const Row& r, const char* name) { return std::get<std::int64_t>(*r.find(name)); }

}  // namespace

TEST(window_bucket_grids) {
  ProcessorState s;
  CHECK_EQ(window_bucket_for(s, 12345, 10000), 10000);
  CHECK_EQ(window_bucket_for(s, -5000, 10000), 0);
  CHECK_EQ(window_bucket_for(s, -15000, 10000), -10000);
  CHECK_EQ(window_bucket_for(s, 777, 0), 0);
  CHECK_EQ(window_bucket_for(s, kMin, -1), kMin);
  CHECK_EQ(window_bucket_for(s, 1000000000000, 60000), 999999960000);
  CHECK_EQ(s.window_origin, kMin);
  CHECK_EQ(window_bucket_for(s, 1700000000123, 60000), 1700000000123);
  CHECK_EQ(s.window_origin, 1700000000123);
  CHECK_EQ(window_bucket_for(s, 1700000060200, 60000), 1700000060123);
  CHECK_EQ(window_bucket_for(s, 1700000000100, 60000), 1700000000123);
  CHECK_EQ(window_bucket_for(s, 1700000099999, 0), 1700000000123);
  s.window_origin = kMin + 1;  // as a checkpoint may leave it
  CHECK_EQ(window_bucket_for(s, kMax, 3), kMax - ((static_cast<__int128>(kMax) - (kMin + 1)) % 3));
}

TEST(windows_close_in_key_order_at_threshold) {
  Stats stats;
  ProcessorState state;
  PlanSpec plan = windowed(1);
  Batch in;
  for (std::int64_t t : {9000, 9500, 10000, 10999, 11000}) in.push_back(event(t, 2.0));
  Batch out = process_rows(stats, state, std::move(in), plan);
  // Threshold 11000: windows ending at 10000 and 11000 close; 10000 first.
  CHECK_EQ(out.size(), 2u);
  CHECK_EQ(int_of(out[0], "window_start"), 10000);
  CHECK_EQ(int_of(out[0], "count"), 2);
  CHECK_EQ(int_of(out[1], "window_start"), 9000);
  CHECK_EQ(state.window_state.size(), 1u);
  Batch flushed = flush_all_windows(state, plan);
  CHECK_EQ(flushed.size(), 1u);
  CHECK(state.window_state.empty());
}

TEST(extreme_values_saturate) {
  Stats stats;
  ProcessorState state;
  PlanSpec plan = windowed(std::int64_t{1} << 62, true);
  plan.watermark_ms = kMin;
  plan.allowed_lateness_ms = kMax;
  Batch in;
  for (std::int64_t t : {kMax, kMin, std::int64_t{0}, kMax - 1}) in.push_back(event(t, 1.0, "x"));
  Batch out = process_rows(stats, state, std::move(in), plan);
  plan.watermark_ms = kMax;
  out = process_rows(stats, state, Batch{}, plan);
  out = flush_all_windows(state, plan);
  CHECK(!out.empty());
  // Restored windows with no event time yet and a huge watermark.
  ProcessorState restored;
  restored.window_state["5|"] = WindowAggregate{1.0, 1, 5, kMax, ""};
  plan.watermark_ms = kMax;
  out = process_rows(stats, restored, Batch{}, plan);
  CHECK(out.empty() || out.size() == 1);
}

TEST(projection_keeps_exactly_the_selected_names) {
  Row r;
  r.set(std::string_view("a"), std::int64_t{1});
  r.set(std::string_view("c"), std::int64_t{3});
  Batch b;
  b.push_back(r);
  Batch out = project_rows(std::move(b), std::vector<std::string>{"b", "a", "b"});
  CHECK_EQ(out.size(), 1u);
  CHECK_EQ(out[0].size(), 2u);
  CHECK_EQ(int_of(out[0], "a"), 1);
  CHECK(out[0].find("b")->index() == kNullIndex);
}
