// Arrow record batches in as Rows.
//
// An ArrowIntake is made from the schema of a record batch (an Arrow struct
// whose children are the columns).  The constructor checks every column's
// type and refuses the first one that has no Cell form, naming the column and
// its type, so a refusal comes before any row is taken.  append_rows then
// turns each record batch of that schema into one Row per row, exactly as the
// package's frame conversion and rows_from_columns make them:
//
// - integers of every width become integer Cells; an unsigned 64-bit value
//   beyond the signed range is refused, naming the column, row and value;
// - half, single and double floats become doubles (NaN stays NaN);
// - booleans become bools; strings, large strings and string views become
//   strings; dictionary-encoded columns become their values;
// - timestamps of every unit and zone, dates and durations become integer
//   epoch milliseconds, floored; a value beyond the 64-bit range of
//   milliseconds is refused;
// - nulls (and every value of a null column) become Null;
// - a name given by several columns keeps the last column's values, and a
//   Row without a "timestamp" gets now_millis() as rows_from_columns does.
//
// The conversion is a column at a time: the Rows are laid out first, then
// one function per column type hands each Cell to a sink that puts it in
// its Row.  append_to_chunk makes no Rows: each column goes into an
// EventChunk whole, numbers and strings straight from their buffers, after
// every refusal has been looked for.  Refusals throw std::invalid_argument
// with the text that reaches Python as ValueError.
//
// Pure apart from the clock; no Python, no locks (but the name table of the
// chunk append_to_chunk writes, which locks its own).  An ArrowIntake is
// immutable after construction and keeps no pointer into the schema.
#ifndef MOVRA_MODEL_ARROW_INTAKE_H_
#define MOVRA_MODEL_ARROW_INTAKE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/arrow_c_abi.h"
#include "model/cell.h"
#include "model/event_chunk.h"

namespace movra {

// The type of an Arrow schema node as Arrow's own libraries print it
// ("int64", "timestamp[us, tz=UTC]", "dictionary<values=string, ...>").
std::string arrow_type_text(const ArrowSchema& schema);

// A name quoted as Python's repr() quotes a str, for messages.
std::string quoted_name(std::string_view name);

class ArrowIntake {
 public:
  // REQUIRES: schema is live (not released).  Throws std::invalid_argument
  // when it is not a struct, or when a column's type has no Cell form.
  explicit ArrowIntake(const ArrowSchema& schema);
  ~ArrowIntake();
  ArrowIntake(const ArrowIntake&) = delete;
  ArrowIntake& operator=(const ArrowIntake&) = delete;

  // Appends one Row per row of `array`, a live struct array of the schema
  // this intake was made from.  Throws std::invalid_argument for a value that
  // has no Cell; `out` is then unchanged.
  void append_rows(const ArrowArray& array, Batch& out) const;

  // Appends the rows of `array` to `out` as events, each column written
  // whole (EventChunk::put_*), with the very values and refusals of
  // append_rows: read back, out's new events are the Rows append_rows makes.
  // first_row is the number of rows the call took before this array, for
  // messages.  On a refusal out is unchanged.  REQUIRES: no event of out is
  // open.
  void append_to_chunk(const ArrowArray& array, std::int64_t first_row, EventChunk& out) const;

  std::size_t column_count() const;

  // How a column's values become Cells (defined in arrow_intake.cc).
  struct ColumnReader;

 private:
  std::vector<std::unique_ptr<ColumnReader>> columns_;
};

}  // namespace movra

#endif  // MOVRA_MODEL_ARROW_INTAKE_H_
