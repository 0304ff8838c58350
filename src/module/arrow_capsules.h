// Arrow data across the Python boundary, through the PyCapsule protocol
// (`__arrow_c_array__`, `__arrow_c_stream__`, `__arrow_c_schema__`).
//
// rows_from_arrow reads any object that exports Arrow data (a pyarrow Table
// or RecordBatch, a Polars DataFrame, a DuckDB result, nanoarrow) into
// Rows, arrow_to_chunk into an EventChunk; arrow_result wraps OutputColumns in a small object that exports
// them.  Both run with the interpreter lock held (rows_from_arrow releases it
// while it converts buffers).  No Python object is cached.
#ifndef MOVRA_MODULE_ARROW_CAPSULES_H_
#define MOVRA_MODULE_ARROW_CAPSULES_H_

#include <pybind11/pybind11.h>

#include "model/cell.h"
#include "model/event_chunk.h"
#include "model/output_columns.h"

namespace movra {

// Every row of `data`, as ArrowIntake makes them.  Refuses an object that
// exports no Arrow data (TypeError), a type with no Cell form or a value
// beyond the Cells' range (ValueError) before any row is returned.
Batch rows_from_arrow(pybind11::handle data);

// The same rows appended to `out` as events, column by column, without
// Rows (ArrowIntake::append_to_chunk).  On a refusal or a failing producer
// out keeps only the events it had.  REQUIRES: no event of out is open;
// out is not touched by another thread while the interpreter lock is
// released.
void arrow_to_chunk(pybind11::handle data, EventChunk& out);

// An object exporting `columns` as one Arrow record batch.  A column name or
// text that is not valid UTF-8 raises UnicodeDecodeError, as rows_to_columns
// does; a name holding a NUL byte, which Arrow names cannot hold, raises
// ValueError naming the column.
pybind11::object arrow_result(OutputColumns columns);

// Defines the class of arrow_result's objects as the attribute
// "ArrowResult" of `scope`.
void define_arrow_result(pybind11::handle scope);

}  // namespace movra

#endif  // MOVRA_MODULE_ARROW_CAPSULES_H_
