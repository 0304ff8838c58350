// Python values into Cells, Rows and Batches.
//
// All functions run on the calling Python thread with the interpreter lock
// held.  Python errors raised on the way (from str(), len(), item access)
// propagate unchanged; whatever was built so far is discarded.
#ifndef MOVRA_MODEL_PY_VALUES_H_
#define MOVRA_MODEL_PY_VALUES_H_

#include <pybind11/pybind11.h>

#include "model/cell.h"
#include "model/event_chunk.h"

namespace movra {

// True exactly for the None singleton.
bool is_none(pybind11::handle obj);

// None, bool, int (64-bit), float, str, else str(obj).  Ints outside 64 bits
// and text that cannot be UTF-8 encoded raise the binding layer's cast error.
Cell cell_from_py(pybind11::handle obj);

// One event; "timestamp" is stamped with now_millis() when absent.
Row dict_to_row(const pybind11::dict& event);

// A dict of equal-length columns as one Row per index.  All lengths are
// checked before any value is converted.
Batch rows_from_columns(const pybind11::dict& columns);

// The same two conversions into a chunk: dict_to_chunk appends the event
// dict_to_row makes, columns_to_chunk the events of rows_from_columns (read
// back, the very same Rows).  On an error the chunk keeps only the events it
// had.  columns_to_chunk goes a column at a time when every column is a
// list, a tuple or a NumPy array it reads from the buffer and no item needs
// Python code to convert; otherwise, and for an item that has no Cell, it
// goes event by event, so that errors come in the order rows_from_columns
// meets them.  REQUIRES: no event of out is open.
void dict_to_chunk(const pybind11::dict& event, EventChunk& out);
void columns_to_chunk(const pybind11::dict& columns, EventChunk& out);

}  // namespace movra

#endif  // MOVRA_MODEL_PY_VALUES_H_
