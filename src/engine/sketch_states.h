// The quantile and distinct-count aggregates as states of the aggregate
// framework (aggregates.h): "quantile" (exact), "approx_quantile" (KLL) and
// "approx_count_distinct" (HLL), each a VarState around a state of
// sketch_accumulators.h.
//
// Plan keys: "q" (0 <= q <= 1) is required by the two quantile ops and
// refused by the others; "param" is the KLL k of approx_quantile (8 to
// 65535, default 200) or the HLL lg_k of approx_count_distinct (4 to 21,
// default 12), and is refused by quantile.  Aggregates of one op, field and
// param share one state (AggLayout marks the later ones shared), so p50 and
// p99 of a field cost one sketch.
//
// Results: a quantile is a float (null when the window took no number); a
// distinct count is an int, the estimate rounded (0 when the window took no
// value, as count_distinct).  A checkpoint holds the serialized state,
// escaped (append_escaped), so any bytes round-trip.
//
// Plain data, no locks, like every VarState.
#ifndef MOVRA_ENGINE_SKETCH_STATES_H_
#define MOVRA_ENGINE_SKETCH_STATES_H_

#include <memory>
#include <optional>
#include <string>

#include "engine/aggregates.h"
#include "engine/plan.h"
#include "model/cell.h"

namespace movra {

// Whether op is one of the three.
bool is_sketch_op(AggOp op);

// The message that refuses agg_spec's "q" or "param" (naming the aggregate and
// the value), or nothing when they are right for its op.
// REQUIRES: is_sketch_op(agg_spec.op).
std::optional<std::string> sketch_spec_error(const AggSpec& agg_spec);

// The param in force: agg_spec.param or the op's default (0 for quantile).
int sketch_param(const AggSpec& agg_spec);

// A fresh state for agg_spec.  REQUIRES: is_sketch_op(agg_spec.op).
std::unique_ptr<VarState> make_sketch_state(const AggSpec& agg_spec);

// The output of agg_spec from state (made by make_sketch_state for an aggregate
// with the same op and param).
Cell sketch_result(const VarState& state, const AggSpec& agg_spec);

// The bytes a fresh state holds.
std::size_t sketch_state_bytes(AggOp op);

}  // namespace movra

#endif  // MOVRA_ENGINE_SKETCH_STATES_H_
