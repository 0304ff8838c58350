// The quantile and distinct-count aggregates in the accumulator framework:
// one state shared by several q, results, checkpoint text, plan checks.
#include "engine/sketch_states.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "engine/aggregates.h"
#include "test.h"

using namespace movra;

namespace {

AggSpec spec_of(const char* name, AggOp op, const char* field, std::optional<double> q,
                std::optional<std::int64_t> param = std::nullopt) {
  AggSpec agg_spec;
  agg_spec.name = name;
  agg_spec.op = op;
  agg_spec.field = field;
  agg_spec.q = q;
  agg_spec.param = param;
  return agg_spec;
}

// Adds the values (of field "p") to block w through every item of layout
// over that field, as the window engine does.
void add_all(const AggLayout& layout, std::vector<std::uint64_t>& w, const std::vector<Cell>& values,
             AggPools& pools) {
  FieldColumn col;
  std::vector<std::int64_t> times(values.size(), 0);
  for (const Cell& v : values) {
    col.cells.push_back(&v);
    col.present.push_back(v.index() != kNullIndex);
  }
  extract_numbers(col);
  std::vector<std::uint32_t> slots(values.size(), 0);
  for (const auto& item : layout.items) {
    if (item.agg_spec.field == "p")
      update_states(item, w.data(), w.size(), slots.data(), values.size(), &col, times.data(), 0, pools);
  }
}

double as_double(const Cell& c) { return std::get<double>(c); }

}  // namespace

TEST(quantiles_of_one_field_share_one_state) {
  const AggLayout layout = AggLayout::of({
      spec_of("p25", AggOp::kQuantile, "p", 0.25),
      spec_of("p75", AggOp::kQuantile, "p", 0.75),
      spec_of("a50", AggOp::kApproxQuantile, "p", 0.5),
      spec_of("a90", AggOp::kApproxQuantile, "p", 0.9, 200),  // the default k: shared
      spec_of("a50k8", AggOp::kApproxQuantile, "p", 0.5, 8),  // another k: its own
      spec_of("q_other", AggOp::kQuantile, "r", 0.5),         // another field: its own
  });
  const bool shared[] = {false, true, false, true, false, false};
  for (std::size_t i = 0; i < layout.items.size(); ++i) CHECK_EQ(layout.items[i].shared, shared[i]);
  CHECK_EQ(layout.items[1].offset, layout.items[0].offset);
  CHECK_EQ(layout.items[3].offset, layout.items[2].offset);
  CHECK_EQ(layout.words, 4u);

  AggPools pools;
  std::vector<std::uint64_t> w(layout.words);
  for (const auto& item : layout.items) init_state(item, w.data(), pools);
  CHECK_EQ(pools.vars.live(), std::size_t{4});
  // Added once, not once per aggregate: of 0 and 10 the 0.25 quantile is
  // 2.5 (of 0, 0, 10, 10 it would be 0).
  add_all(layout, w, {Cell(0.0), Cell(std::int64_t{10}), Cell(std::string("x")), Cell(Null{})}, pools);
  CHECK_EQ(as_double(result_of(layout.items[0], w.data(), pools)), 2.5);
  CHECK_EQ(as_double(result_of(layout.items[1], w.data(), pools)), 7.5);
  CHECK_EQ(as_double(result_of(layout.items[2], w.data(), pools)), 0.0);
  CHECK_EQ(as_double(result_of(layout.items[3], w.data(), pools)), 10.0);
  CHECK(result_of(layout.items[5], w.data(), pools).index() == kNullIndex);

  // The checkpoint text: the shared items say "-", the rest load back.
  std::vector<std::uint64_t> back(layout.words);
  for (const auto& item : layout.items) init_state(item, back.data(), pools);
  for (const auto& item : layout.items) {
    std::string text;
    save_state(item, w.data(), pools, text);
    CHECK(text.find_first_of("\t\n") == std::string::npos);
    if (item.shared) CHECK_EQ(text, std::string("-"));
    CHECK(load_state(item, text, back.data(), pools));
  }
  for (const auto& item : layout.items)
    CHECK(result_of(item, back.data(), pools) == result_of(item, w.data(), pools));
  for (const auto& item : layout.items) {
    release_state(item, back.data(), pools);
    release_state(item, w.data(), pools);
  }
  CHECK_EQ(pools.vars.live(), std::size_t{0});
}

TEST(distinct_sketch_merges_and_survives_its_checkpoint_text) {
  const AggLayout layout = AggLayout::of({spec_of("d", AggOp::kApproxCountDistinct, "p", std::nullopt)});
  const auto& item = layout.items[0];
  AggPools pools;
  std::vector<std::uint64_t> a(1), b(1), merged(1);
  for (auto* w : {&a, &b, &merged}) init_state(item, w->data(), pools);
  std::vector<Cell> left, right;
  for (int i = 0; i < 3000; ++i) left.emplace_back(std::int64_t{i});
  for (int i = 2000; i < 5000; ++i) right.emplace_back(std::string("id") + std::to_string(i));
  add_all(layout, a, left, pools);
  add_all(layout, b, right, pools);
  merge_state(item, merged.data(), a.data(), false, pools);
  merge_state(item, merged.data(), b.data(), false, pools);
  const auto n = std::get<std::int64_t>(result_of(item, merged.data(), pools));
  CHECK(n > 6000 * 0.95 && n < 6000 * 1.05);
  std::string text;
  save_state(item, merged.data(), pools, text);
  CHECK(!load_state(item, text.substr(0, text.size() - 2), b.data(), pools));
  CHECK(load_state(item, text, a.data(), pools));
  CHECK(result_of(item, a.data(), pools) == result_of(item, merged.data(), pools));
}

TEST(sketch_plan_keys_are_checked) {
  CHECK(!sketch_spec_error(spec_of("x", AggOp::kQuantile, "p", 0.5)));
  CHECK(!sketch_spec_error(spec_of("x", AggOp::kApproxQuantile, "p", 1.0, 8)));
  CHECK(!sketch_spec_error(spec_of("x", AggOp::kApproxCountDistinct, "p", std::nullopt, 21)));
  CHECK_EQ(*sketch_spec_error(spec_of("x", AggOp::kQuantile, "p", std::nullopt)),
           std::string("plan key \"aggs\": aggregate \"x\" needs a \"q\" between 0 and 1"));
  CHECK_EQ(*sketch_spec_error(spec_of("x", AggOp::kApproxQuantile, "p", 2.5)),
           std::string("plan key \"aggs\": aggregate \"x\" has a \"q\" outside 0 to 1: 2.5"));
  CHECK(sketch_spec_error(spec_of("x", AggOp::kApproxQuantile, "p", std::nan(""))).has_value());
  CHECK(sketch_spec_error(spec_of("x", AggOp::kQuantile, "p", 0.5, 10)).has_value());
  CHECK(sketch_spec_error(spec_of("x", AggOp::kApproxQuantile, "p", 0.5, 7)).has_value());
  CHECK(sketch_spec_error(spec_of("x", AggOp::kApproxCountDistinct, "p", std::nullopt, 3)).has_value());
  CHECK(sketch_spec_error(spec_of("x", AggOp::kApproxCountDistinct, "p", 0.5)).has_value());
}
