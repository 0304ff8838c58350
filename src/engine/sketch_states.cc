#include "engine/sketch_states.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "engine/sketch_accumulators.h"

namespace movra {

namespace {

// One VarState over a state of sketch_accumulators.h.
template <typename State>
class SketchState final : public VarState {
 public:
  explicit SketchState(State state) : state_(std::move(state)) {}

  std::unique_ptr<VarState> clone() const override { return std::make_unique<SketchState>(*this); }
  void add(const CellView& value) override { state_.add_view(value); }
  void merge(const VarState& other) override {
    state_.merge(static_cast<const SketchState&>(other).state_);
  }
  // The outputs need the aggregate's q: see sketch_result.
  Cell result() const override { return Cell(Null{}); }
  void save(std::string& out) const override { append_escaped(out, state_.serialize()); }
  bool load(std::string_view text) override {
    std::string bytes;
    if (!unescape(text, bytes)) return false;
    auto loaded = State::deserialize(bytes);
    if (!loaded) return false;
    state_ = std::move(*loaded);
    return true;
  }
  std::size_t bytes() const override { return sizeof(*this) + state_.memory_bytes(); }

  const State& state() const { return state_; }

 private:
  State state_;
};

using ExactState = SketchState<ExactQuantiles>;
using KllState = SketchState<KllQuantiles>;
using HllState = SketchState<HllDistinct>;

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

std::string number_text(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

}  // namespace

bool is_sketch_op(AggOp op) {
  return op == AggOp::kQuantile || op == AggOp::kApproxQuantile ||
         op == AggOp::kApproxCountDistinct;
}

std::optional<std::string> sketch_spec_error(const AggSpec& agg_spec) {
  const std::string head = "plan key \"aggs\": aggregate " + quoted(agg_spec.name);
  const bool wants_q = agg_spec.op != AggOp::kApproxCountDistinct;
  if (wants_q && !agg_spec.q) return head + " needs a \"q\" between 0 and 1";
  if (wants_q && !(*agg_spec.q >= 0.0 && *agg_spec.q <= 1.0))
    return head + " has a \"q\" outside 0 to 1: " + number_text(*agg_spec.q);
  if (!wants_q && agg_spec.q) return head + " (op \"approx_count_distinct\") takes no \"q\"";
  if (!agg_spec.param) return std::nullopt;
  const std::int64_t p = *agg_spec.param;
  switch (agg_spec.op) {
    case AggOp::kQuantile:
      return head + " (op \"quantile\", exact) takes no \"param\"";
    case AggOp::kApproxQuantile:
      if (p < kKllMinK || p > kKllMaxK)
        return head + " has a \"param\" (KLL k) outside " + std::to_string(kKllMinK) + " to " +
               std::to_string(kKllMaxK) + ": " + std::to_string(p);
      return std::nullopt;
    default:
      if (p < kHllMinLgK || p > kHllMaxLgK)
        return head + " has a \"param\" (HLL lg_k) outside " + std::to_string(kHllMinLgK) +
               " to " + std::to_string(kHllMaxLgK) + ": " + std::to_string(p);
      return std::nullopt;
  }
}

int sketch_param(const AggSpec& agg_spec) {
  // A param out of range never gets here (the plan and the checkpoint reader
  // refuse it); were it to, the default stands in rather than a throw.
  const std::int64_t p = agg_spec.param.value_or(0);
  switch (agg_spec.op) {
    case AggOp::kApproxQuantile: return p >= kKllMinK && p <= kKllMaxK ? static_cast<int>(p) : kKllDefaultK;
    case AggOp::kApproxCountDistinct:
      return p >= kHllMinLgK && p <= kHllMaxLgK ? static_cast<int>(p) : kHllDefaultLgK;
    default: return 0;
  }
}

std::unique_ptr<VarState> make_sketch_state(const AggSpec& agg_spec) {
  switch (agg_spec.op) {
    case AggOp::kQuantile: return std::make_unique<ExactState>(ExactQuantiles());
    case AggOp::kApproxQuantile:
      return std::make_unique<KllState>(KllQuantiles(sketch_param(agg_spec)));
    case AggOp::kApproxCountDistinct:
      return std::make_unique<HllState>(HllDistinct(sketch_param(agg_spec)));
    default: return nullptr;
  }
}

Cell sketch_result(const VarState& state, const AggSpec& agg_spec) {
  std::optional<double> v;
  switch (agg_spec.op) {
    case AggOp::kQuantile:
      v = static_cast<const ExactState&>(state).state().quantile(agg_spec.q.value_or(0.5));
      break;
    case AggOp::kApproxQuantile:
      v = static_cast<const KllState&>(state).state().quantile(agg_spec.q.value_or(0.5));
      break;
    case AggOp::kApproxCountDistinct: {
      const double e = static_cast<const HllState&>(state).state().estimate();
      return Cell(static_cast<std::int64_t>(std::llround(e)));
    }
    default: break;
  }
  return v ? Cell(*v) : Cell(Null{});
}

std::size_t sketch_state_bytes(AggOp op) {
  AggSpec agg_spec;
  agg_spec.op = op;
  const auto state = make_sketch_state(agg_spec);
  return state ? state->bytes() : 0;
}

}  // namespace movra
