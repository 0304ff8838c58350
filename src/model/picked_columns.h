// Pass-through results written straight from the column chunks.
//
// A pass-through result is a list of events picked from a run of chunks
// (EventRefs into an EventSlices), optionally projected onto a select list.
// The functions here give exactly what converting the events to Rows,
// projecting them and converting those would give (columns_from_rows here,
// rows_to_columns in columns.h), without making a Row: the output columns
// are laid out once (PickedLayout), then written column by column from the
// chunk columns.
//
// The output columns are the distinct names of select, each for every event
// (Null where one lacks it), or, without select, every name some picked
// event has; in byte order either way.  Their types follow the rules of
// output_columns.h, decided per chunk column: a column whose values are all
// of one kind in its chunk is typed from that kind, only a mixed column is
// looked at value by value.
//
// Plain functions, no locks: the chunks must not be written meanwhile (a
// ChunkSlice's chunk never is).  The layout points into the chunks and into
// `select`, so both must outlive it.
#ifndef MOVRA_MODEL_PICKED_COLUMNS_H_
#define MOVRA_MODEL_PICKED_COLUMNS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/event_chunk.h"
#include "model/output_columns.h"

namespace movra {

// The picks of one slice that follow each other in the list: picked[first,
// last) all have the same slice.
struct PickedRun {
  std::size_t slice;
  std::size_t first;
  std::size_t last;
};

struct PickedColumn {
  std::string_view name;
  // kNull when no picked event has a value in it (rows_to_columns writes
  // such a column as None throughout, whatever its type).
  OutputType type = OutputType::kNull;
  // Per run: the column of the run's chunk, or nullptr where it has none.
  std::vector<const EventChunk::Column*> sources;
};

struct PickedLayout {
  std::size_t rows = 0;
  std::vector<PickedRun> runs;
  std::vector<PickedColumn> columns;  // in byte order of the names
};

// REQUIRES: every pick lies in its slice, and within a run the events
// ascend strictly (process_events hands them out so).
PickedLayout layout_picked(const EventSlices& events, const std::vector<EventRef>& picked,
                           const std::optional<std::vector<std::string>>& select);

// columns_from_rows of the picked events as Rows, projected onto select.
// REQUIRES: as layout_picked.
OutputColumns columns_from_events(const EventSlices& events, const std::vector<EventRef>& picked,
                                  const std::optional<std::vector<std::string>>& select);

// Whether the picks p[0, n) of one run, ascending, all have a value in c
// that is not Null, all of c's one kind: a reader can skip the checks per
// value.
bool dense_run(const EventChunk::Column& c, const EventRef* p, std::size_t n);

// Whether the picks p[0, n) of one run are consecutive events.
bool contiguous(const EventRef* p, std::size_t n);

}  // namespace movra

#endif  // MOVRA_MODEL_PICKED_COLUMNS_H_
