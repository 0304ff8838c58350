// A result as typed columns: the form a Batch takes on its way out when the
// caller asks for Arrow data.
//
// Each column gets one type over the whole Batch by the same rules as
// rows_to_columns: bool, int64, float64 where integers and doubles mix,
// text for any other mix or when its first Cell is Null, and null when it
// holds nothing but Nulls.  Text columns hold display() of each Cell.  The
// buffers are laid out as Arrow lays them out (values, 32- or 64-bit offsets
// plus bytes, a validity bitmap with bit i set when row i has a value), so
// they can be handed to an Arrow consumer as they are.
//
// Plain data; built once, then read only (and then safe to share between
// threads).
#ifndef MOVRA_MODEL_OUTPUT_COLUMNS_H_
#define MOVRA_MODEL_OUTPUT_COLUMNS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "model/cell.h"

namespace movra {

// The type of one output column.  The first four are rows_to_columns' types,
// in its order.
enum class OutputType : std::uint8_t { kBool = 0, kInt64 = 1, kFloat64 = 2, kString = 3, kNull = 4 };

// The type a single Cell asks for: Null counts as text, as for
// rows_to_columns.
OutputType classify_cell(const Cell& cell);

// The type of a column seen as `seen` so far, after one more Cell.
OutputType widen_type(OutputType seen, const Cell& cell);

struct OutputColumn {
  std::string name;
  OutputType type = OutputType::kNull;
  std::int64_t null_count = 0;
  // Bit i set when row i has a value; empty when null_count is 0.
  std::vector<std::uint8_t> validity;
  // kBool: one bit per row.
  std::vector<std::uint8_t> bits;
  // kInt64 and kFloat64: one value per row (0 where null).
  std::vector<std::int64_t> ints;
  std::vector<double> doubles;
  // kString: rows + 1 offsets into bytes; 32-bit while the bytes fit,
  // else 64-bit (large_offsets).
  bool large_offsets = false;
  std::vector<std::int32_t> offsets32;
  std::vector<std::int64_t> offsets64;
  std::string bytes;
};

struct OutputColumns {
  std::int64_t rows = 0;
  std::vector<OutputColumn> columns;  // in ascending byte order of the names
};

// The columns of `rows`, typed as above.
OutputColumns columns_from_rows(const Batch& rows);

}  // namespace movra

#endif  // MOVRA_MODEL_OUTPUT_COLUMNS_H_
