// The accumulators of aggregate plans, and their windows through a
// checkpoint.
#include <cmath>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "engine/aggregates.h"
#include "engine/window_engine.h"
#include "state/checkpoint.h"
#include "test.h"

using namespace movra;

namespace {

AggLayout::Item item_of(AggOp op, std::int64_t ddof = 1) {
  AggSpec agg_spec;
  agg_spec.name = "x";
  agg_spec.op = op;
  agg_spec.field = "p";
  agg_spec.ddof = ddof;
  return AggLayout::of({agg_spec}).items[0];
}

// Adds values[i] (time i, seq first_seq + i) to the single block w.
void add_all(const AggLayout::Item& item, std::vector<std::uint64_t>& w, const std::vector<Cell>& values,
             AggPools& pools, std::int64_t first_time = 0, std::uint64_t first_seq = 0) {
  FieldColumn col;
  std::vector<std::int64_t> times;
  for (std::size_t i = 0; i < values.size(); ++i) {
    col.cells.push_back(&values[i]);
    col.present.push_back(values[i].index() != kNullIndex);
    times.push_back(first_time + static_cast<std::int64_t>(i));
  }
  extract_numbers(col);
  std::vector<std::uint32_t> slots(values.size(), 0);
  update_states(item, w.data(), w.size(), slots.data(), values.size(), &col, times.data(), first_seq, pools);
}

double two_pass_variance(const std::vector<double>& v, int ddof) {
  double mean = 0;
  for (double x : v) mean += x;
  mean /= static_cast<double>(v.size());
  double m2 = 0;
  for (double x : v) m2 += (x - mean) * (x - mean);
  return m2 / static_cast<double>(static_cast<int>(v.size()) - ddof);
}

}  // namespace

TEST(welford_merge_matches_one_pass_and_two_pass) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> dist(1e9, 3.0);  // a large mean: sums of squares would lose it
  for (int ddof : {0, 1}) {
    for (std::size_t split : {0u, 1u, 17u, 500u, 999u}) {
      std::vector<double> xs(1000);
      for (double& x : xs) x = dist(rng);
      std::vector<Cell> a(xs.begin(), xs.begin() + static_cast<std::ptrdiff_t>(split));
      std::vector<Cell> b(xs.begin() + static_cast<std::ptrdiff_t>(split), xs.end());
      const auto item = item_of(AggOp::kVar, ddof);
      AggPools pools;
      std::vector<std::uint64_t> wa(item.words), wb(item.words);
      init_state(item, wa.data(), pools);
      init_state(item, wb.data(), pools);
      add_all(item, wa, a, pools);
      add_all(item, wb, b, pools);
      merge_state(item, wa.data(), wb.data(), true, pools);
      const double got = std::get<double>(result_of(item, wa.data(), pools));
      const double want = two_pass_variance(xs, ddof);
      if (!(std::fabs(got - want) <= 1e-6 * want)) std::cerr << "split " << split << ": " << got << " vs " << want << "\n";
      CHECK(std::fabs(got - want) <= 1e-6 * want);
    }
  }
}

TEST(var_of_too_few_values_is_null) {
  const auto item = item_of(AggOp::kStddev, 1);
  AggPools pools;
  std::vector<std::uint64_t> w(item.words);
  init_state(item, w.data(), pools);
  CHECK(result_of(item, w.data(), pools).index() == kNullIndex);
  add_all(item, w, {Cell(2.0)}, pools);
  CHECK(result_of(item, w.data(), pools).index() == kNullIndex);
  const auto pop = item_of(AggOp::kStddev, 0);
  std::vector<std::uint64_t> p(pop.words);
  init_state(pop, p.data(), pools);
  add_all(pop, p, {Cell(2.0)}, pools);
  CHECK_EQ(std::get<double>(result_of(pop, p.data(), pools)), 0.0);
}

TEST(min_max_skip_non_numbers_and_take_nan) {
  for (AggOp op : {AggOp::kMin, AggOp::kMax}) {
    const auto item = item_of(op);
    AggPools pools;
    std::vector<std::uint64_t> w(item.words);
    init_state(item, w.data(), pools);
    add_all(item, w, {Cell(true), Cell(std::string("9")), Cell(Null{})}, pools);
    CHECK(result_of(item, w.data(), pools).index() == kNullIndex);
    add_all(item, w, {Cell(std::int64_t{3}), Cell(-1.5), Cell(7.0)}, pools);
    CHECK_EQ(std::get<double>(result_of(item, w.data(), pools)), op == AggOp::kMin ? -1.5 : 7.0);
    add_all(item, w, {Cell(std::nan("")), Cell(100.0)}, pools);
    CHECK(std::isnan(std::get<double>(result_of(item, w.data(), pools))));
  }
}

TEST(first_last_merge_by_time_then_arrival) {
  for (bool owning : {true, false}) {
    const auto first = item_of(AggOp::kFirst);
    const auto last = item_of(AggOp::kLast);
    AggPools pools;
    std::vector<std::uint64_t> fa(4), fb(4), la(4), lb(4);
    for (auto* w : {&fa, &fb}) init_state(first, w->data(), pools);
    for (auto* w : {&la, &lb}) init_state(last, w->data(), pools);
    // a: times 10, 11 with seqs 5, 6; b: times 10, 11 with seqs 2, 9.
    add_all(first, fa, {Cell(std::string("a10")), Cell(std::string("a11"))}, pools, 10, 5);
    add_all(first, fb, {Cell(std::string("b10")), Cell(std::string("b11"))}, pools, 10, 2);
    add_all(last, la, {Cell(std::string("a10")), Cell(std::string("a11"))}, pools, 10, 5);
    add_all(last, lb, {Cell(std::string("b10")), Cell(std::string("b11"))}, pools, 10, 8);
    merge_state(first, fa.data(), fb.data(), owning, pools);
    merge_state(last, la.data(), lb.data(), owning, pools);
    CHECK_EQ(std::get<std::string>(result_of(first, fa.data(), pools)), std::string("b10"));
    CHECK_EQ(std::get<std::string>(result_of(last, la.data(), pools)), std::string("b11"));
    if (owning) {
      for (auto* w : {&fb}) release_state(first, w->data(), pools);
      for (auto* w : {&lb}) release_state(last, w->data(), pools);
      // The merged states own their strings still.
      CHECK_EQ(std::get<std::string>(result_of(first, fa.data(), pools)), std::string("b10"));
      release_state(first, fa.data(), pools);
      release_state(last, la.data(), pools);
      CHECK_EQ(pools.strings.live(), std::size_t{0});
    }
  }
}

TEST(count_distinct_counts_typed_values) {
  const auto item = item_of(AggOp::kCountDistinct);
  AggPools pools;
  std::vector<std::uint64_t> a(1), b(1);
  init_state(item, a.data(), pools);
  init_state(item, b.data(), pools);
  add_all(item, a, {Cell(std::int64_t{1}), Cell(1.0), Cell(std::string("1")), Cell(true), Cell(Null{})}, pools);
  CHECK_EQ(std::get<std::int64_t>(result_of(item, a.data(), pools)), std::int64_t{3});
  add_all(item, b, {Cell(std::nan("")), Cell(std::nan("")), Cell(std::string("1")), Cell(2.5)}, pools);
  merge_state(item, a.data(), b.data(), true, pools);
  CHECK_EQ(std::get<std::int64_t>(result_of(item, a.data(), pools)), std::int64_t{5});
}

TEST(states_save_and_load_losslessly) {
  const std::vector<Cell> values = {Cell(0.1), Cell(std::int64_t{-7}), Cell(std::string("a b\tc\\")),
                                    Cell(1e300), Cell(Null{}), Cell(-0.0)};
  for (AggOp op : {AggOp::kCount, AggOp::kSum, AggOp::kMean, AggOp::kMin, AggOp::kMax, AggOp::kFirst,
                   AggOp::kLast, AggOp::kVar, AggOp::kStddev, AggOp::kCountDistinct}) {
    const auto item = item_of(op);
    AggPools pools;
    std::vector<std::uint64_t> w(item.words), back(item.words);
    init_state(item, w.data(), pools);
    add_all(item, w, values, pools);
    std::string text;
    save_state(item, w.data(), pools, text);
    CHECK(text.find_first_of("\t\n") == std::string::npos);
    init_state(item, back.data(), pools);
    CHECK(load_state(item, text, back.data(), pools));
    std::string again;
    save_state(item, back.data(), pools, again);
    CHECK_EQ(again, text);
    CHECK(!load_state(item, text + " junk", back.data(), pools) || op == AggOp::kCountDistinct);
  }
}

TEST(aggregate_windows_survive_a_checkpoint) {
  PlanSpec plan;
  WindowSpec w;
  w.size_ms = 1000;
  w.by_fields = {"sym"};
  w.time_field = "ts";
  plan.window = w;
  AggSpec n;
  n.name = "n";
  AggSpec last;
  last.name = "last";
  last.op = AggOp::kLast;
  last.field = "p";
  plan.aggs = std::vector<AggSpec>{n, last};
  plan.aggs_signature = "test plan";
  plan.watermark_ms = 10000;
  Stats stats;
  ProcessorState state;
  Batch rows;
  for (std::int64_t t : {10, 20, 1500}) {
    Row r;
    r.set(std::string_view("ts"), Cell(t));
    r.set(std::string_view("sym"), Cell(std::string("a\nb")));
    r.set(std::string_view("p"), Cell(static_cast<double>(t) / 3));
    rows.push_back(std::move(r));
  }
  CHECK(process_rows(stats, state, rows, plan).empty());
  CHECK_EQ(state.aggs.size(), std::size_t{2});
  const std::string text = checkpoint_text(state);
  const ProcessorState loaded = parse_checkpoint_text(text);
  CHECK(loaded == state);
  CHECK_EQ(checkpoint_text(loaded), text);
  ProcessorState a = loaded;
  ProcessorState b = state;
  const Batch out_a = flush_all_windows(a, plan);
  const Batch out_b = flush_all_windows(b, plan);
  CHECK(out_a == out_b);
  CHECK_EQ(out_a.size(), std::size_t{2});
  // Without open aggregate windows the file is today's.
  CHECK(checkpoint_text(a).find("aggs_state") == std::string::npos);
}

TEST(a_damaged_extension_without_windows_loads_as_no_state) {
  // The plan part stops before any aggregate, so no window can be read; what
  // the reader took in before (here a group field that is not UTF-8) must
  // not stay behind.
  const std::string text =
      "max_event_time\t950\nwindow_origin\t-9223372036854775808\nseen_event_ids\t0\n"
      "window_state\t0\naggs_state\t1\t4\nsignature\tx\nwindow\t1\t1000\t250\t0\n"
      "by\tsym\tv\xff\nslot\t0\t250\t1\t1\n";
  const ProcessorState loaded = parse_checkpoint_text(text);
  CHECK(loaded.aggs.empty());
  CHECK(loaded.aggs.strings_are_utf8());
  CHECK(loaded == parse_checkpoint_text(checkpoint_text(loaded)));
}

TEST(groups_without_open_windows_do_not_decide_whether_a_state_reads_back) {
  // A group whose windows have all closed stays in the dictionary but is
  // never saved; whether the state's texts are UTF-8 must be judged by the
  // open windows alone, or a save and load would change the answer.
  PlanSpec plan;
  WindowSpec w;
  w.size_ms = 1000;
  w.by_fields = {"sym"};
  w.time_field = "ts";
  plan.window = w;
  AggSpec n;
  n.name = "n";
  plan.aggs = std::vector<AggSpec>{n};
  plan.aggs_signature = "test plan";
  Stats stats;
  ProcessorState state;
  Batch rows;
  for (const auto& [t, sym] : {std::pair<std::int64_t, std::string>{10, "s\xd8"},
                               std::pair<std::int64_t, std::string>{1500, "sa"}}) {
    Row r;
    r.set(std::string_view("ts"), Cell(t));
    r.set(std::string_view("sym"), Cell(sym));
    rows.push_back(std::move(r));
  }
  CHECK_EQ(process_rows(stats, state, rows, plan).size(), std::size_t{1});  // the "s\xd8" window
  CHECK_EQ(state.aggs.size(), std::size_t{1});
  const ProcessorState loaded = parse_checkpoint_text(checkpoint_text(state));
  CHECK(state.aggs.strings_are_utf8());
  CHECK(loaded.aggs.strings_are_utf8());
}
