// Rows out to Python: a dict from column name to a list with one element per
// Row, columns in byte-wise name order.  Each column gets one type for the
// whole Batch: bool, int, float (ints and doubles mixed), or str (any other
// mix, or a first Cell that is Null).  Runs with the interpreter lock held.
#ifndef MOVRA_MODEL_COLUMNS_H_
#define MOVRA_MODEL_COLUMNS_H_

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "model/cell.h"
#include "model/event_chunk.h"

namespace movra {

// Raises UnicodeDecodeError for a name or string that is not valid UTF-8.
pybind11::dict rows_to_columns(const Batch& rows);

// rows_to_columns of the picked events as Rows projected onto select,
// written from the chunk columns without making a Row (picked_columns.h).
// Of several strings that are not UTF-8 the one raised is the one
// rows_to_columns would raise: the first by row, then by column; a name only
// when every value decodes.
pybind11::dict events_to_columns(const EventSlices& events, const std::vector<EventRef>& picked,
                                 const std::optional<std::vector<std::string>>& select);

}  // namespace movra

#endif  // MOVRA_MODEL_COLUMNS_H_
