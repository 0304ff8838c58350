// Reading a query plan dict into a PlanSpec.  Runs with the interpreter lock
// held and before any stream lock is taken, so a plan that fails to parse
// changes nothing.  Errors are the Python errors of the failing lookup or
// conversion: KeyError for a missing key, TypeError from list() or dict(),
// the binding layer's cast error for a scalar of the wrong type.  The names
// the result carries as columns (select, by, alias) must be UTF-8: bytes
// that are not raise UnicodeDecodeError here rather than after the batches
// were taken.  The optional keys "keep_late" and "max_late_rows" are read
// after the eight (absent counts as None); a negative "max_late_rows" raises
// ValueError naming the value.
#ifndef MOVRA_ENGINE_PLAN_PARSE_H_
#define MOVRA_ENGINE_PLAN_PARSE_H_

#include <pybind11/pybind11.h>

#include "engine/plan.h"

namespace movra {

PlanSpec parse_plan(const pybind11::dict& plan);

}  // namespace movra

#endif  // MOVRA_ENGINE_PLAN_PARSE_H_
