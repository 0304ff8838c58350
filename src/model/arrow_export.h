// OutputColumns handed to Arrow consumers through the C Data Interface.
//
// The exported record batch is an Arrow struct with one child per column:
// bool, int64, double, string (or large_string past 2 GiB of text) and null.
// No buffer is copied: each exported ArrowArray holds a shared reference to
// the OutputColumns, and its release callback drops it, so the columns live
// for as long as any consumer holds any part of the export.  Children are
// released on their own when a consumer has moved them out, as the interface
// allows.
//
// The exports own nothing but that reference and their own small structs;
// they may be released on any thread.
#ifndef MOVRA_MODEL_ARROW_EXPORT_H_
#define MOVRA_MODEL_ARROW_EXPORT_H_

#include <memory>

#include "model/arrow_c_abi.h"
#include "model/output_columns.h"

namespace movra {

// REQUIRES: out is not live (its old contents are overwritten, not released).
void export_schema(const OutputColumns& columns, ArrowSchema* out);

// REQUIRES: columns is non-null; out is not live.
void export_array(std::shared_ptr<const OutputColumns> columns, ArrowArray* out);

// A stream that yields the record batch once, then ends.
// REQUIRES: columns is non-null; out is not live.
void export_stream(std::shared_ptr<const OutputColumns> columns, ArrowArrayStream* out);

}  // namespace movra

#endif  // MOVRA_MODEL_ARROW_EXPORT_H_
