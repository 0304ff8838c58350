// Rows out to Python: a dict from column name to a list with one element per
// Row, columns in byte-wise name order.  Each column gets one type for the
// whole Batch: bool, int, float (ints and doubles mixed), or str (any other
// mix, or a first Cell that is Null).  Runs with the interpreter lock held.
#ifndef MOVRA_MODEL_COLUMNS_H_
#define MOVRA_MODEL_COLUMNS_H_

#include <pybind11/pybind11.h>

#include "model/cell.h"

namespace movra {

// Raises UnicodeDecodeError for a name or string that is not valid UTF-8.
pybind11::dict rows_to_columns(const Batch& rows);

}  // namespace movra

#endif  // MOVRA_MODEL_COLUMNS_H_
