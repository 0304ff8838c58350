#include "engine/filters.h"

#include <algorithm>

namespace movra {

bool passes_filters(const Row& row, const std::vector<FilterSpec>& filters) {
  if (filters.empty()) return true;
  if (row.empty()) return false;
  for (const FilterSpec& f : filters) {
    const Cell* cell = row.find(f.field);
    if (cell == nullptr || !compare_cells(*cell, f.op, f.value)) return false;
  }
  return true;
}

Batch project_rows(Batch rows, const std::optional<std::vector<std::string>>& select) {
  if (!select) return rows;
  // The distinct names, sorted once, so every output Row is built in order.
  std::vector<std::string> names = *select;
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());

  Batch out;
  out.reserve(rows.size());
  for (Row& row : rows) {
    std::vector<Row::Entry> entries;
    entries.reserve(names.size());
    for (const std::string& name : names) {
      // Names are distinct, so each Cell is taken at most once: move it.
      Cell* cell = row.find(name);
      entries.emplace_back(name, cell ? std::move(*cell) : Cell{});
    }
    out.push_back(Row::FromSorted(std::move(entries)));
  }
  return out;
}

}  // namespace movra
