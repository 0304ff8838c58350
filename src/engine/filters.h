// Filtering and projection: two stateless stages over Rows.
#ifndef MOVRA_ENGINE_FILTERS_H_
#define MOVRA_ENGINE_FILTERS_H_

#include <optional>
#include <string>
#include <vector>

#include "engine/plan.h"
#include "model/cell.h"

namespace movra {

// True when row satisfies every filter (AND).  No filters pass everything; a
// Row lacking a filtered column fails.
bool passes_filters(const Row& row, const std::vector<FilterSpec>& filters);

// Each Row reduced to exactly the distinct names of select, Null where a Row
// lacks one.  Without select the Batch is returned as it came, uncopied.
Batch project_rows(Batch rows, const std::optional<std::vector<std::string>>& select);

}  // namespace movra

#endif  // MOVRA_ENGINE_FILTERS_H_
