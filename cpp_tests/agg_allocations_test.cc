// The aggregate engine allocates nothing per event once its windows, groups
// and scratch vectors exist: a run of events that lands in open windows
// costs a handful of heap allocations, however many events it holds.
//
// Counts the test binary's calls of operator new (test.h).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/window_engine.h"
#include "model/event_chunk.h"
#include "test.h"

using namespace movra;

namespace {

PlanSpec ohlc_plan(std::optional<std::string> id_field) {
  PlanSpec plan;
  WindowSpec w;
  w.size_ms = 1000;
  w.by_fields = {"sym"};
  plan.window = w;
  std::vector<AggSpec> aggs;
  const auto add = [&](const char* name, AggOp op, std::optional<std::string> field) {
    AggSpec a;
    a.name = name;
    a.op = op;
    a.field = std::move(field);
    aggs.push_back(std::move(a));
  };
  add("open", AggOp::kFirst, "px");
  add("high", AggOp::kMax, "px");
  add("low", AggOp::kMin, "px");
  add("close", AggOp::kLast, "px");
  add("volume", AggOp::kSum, "qty");
  add("n", AggOp::kCount, std::nullopt);
  add("avg", AggOp::kMean, "px");
  add("sd", AggOp::kStddev, "px");
  add("venue", AggOp::kLast, "venue");
  add("venues", AggOp::kCountDistinct, "venue");
  plan.aggs = std::move(aggs);
  plan.aggs_signature = "ohlc";
  plan.watermark_ms = 100000;  // nothing closes
  plan.event_id_field = std::move(id_field);
  return plan;
}

// n events in [0, 500) ms over 10 symbols, as one slice of a chunk.
EventSlices events(std::size_t n, std::uint64_t round) {
  auto chunk = std::make_shared<EventChunk>(std::make_shared<NameTable>());
  const std::size_t ts = chunk->column_index("timestamp");
  const std::size_t sym = chunk->column_index("sym");
  const std::size_t px = chunk->column_index("px");
  const std::size_t qty = chunk->column_index("qty");
  const std::size_t venue = chunk->column_index("venue");
  const std::size_t id = chunk->column_index("id");
  const std::string syms[] = {"S0", "S1", "S2", "S3", "S4", "S5", "S6", "S7", "S8", "S9"};
  for (std::size_t i = 0; i < n; ++i) {
    chunk->begin_event();
    chunk->set_int(ts, static_cast<std::int64_t>(i % 500));
    chunk->set_string(sym, syms[i % 10]);
    chunk->set_double(px, 100.0 + static_cast<double>((i * 7) % 13));
    chunk->set_int(qty, static_cast<std::int64_t>(i % 5));
    chunk->set_string(venue, i % 3 == 0 ? "XNAS" : "XNYS");
    chunk->set_string(id, "r" + std::to_string(round) + "-" + std::to_string(i));
    chunk->end_event();
  }
  return {ChunkSlice{std::move(chunk), 0, n}};
}

}  // namespace

TEST(aggregate_events_into_open_windows_allocate_nothing_per_event) {
  for (const bool with_ids : {false, true}) {
    // Without ids; with ids the id set grows by the events' ids, which it
    // stores in blocks, not one allocation each.
    const PlanSpec plan = ohlc_plan(with_ids ? std::optional<std::string>("id") : std::nullopt);
    Stats stats;
    ProcessorState state;
    CHECK(process_events(stats, state, events(20000, 0), plan).empty());  // windows, groups, scratch
    constexpr std::size_t kEvents = 20000;
    const EventSlices run = events(kEvents, 1);
    const std::uint64_t before = movra_test::allocations();
    const Batch out = process_events(stats, state, run, plan);
    const std::uint64_t made = movra_test::allocations() - before;
    CHECK(out.empty());
    CHECK_EQ(state.aggs.size(), std::size_t{10});
    if (!(made < (with_ids ? kEvents / 20 : 16))) {
      std::cerr << "  " << made << " allocations for " << kEvents << " events"
                << (with_ids ? " with ids" : "") << "\n";
      CHECK(false);
    }
  }
}
