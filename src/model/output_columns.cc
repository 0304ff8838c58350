#include "model/output_columns.h"

#include <sys/mman.h>

#include <limits>
#include <new>
#include <string_view>

namespace movra {

void* allocate_output_buffer(std::size_t bytes) {
  if (bytes < kHugeBuffer) return ::operator new(bytes);
  const std::size_t rounded = (bytes + kHugeBuffer - 1) / kHugeBuffer * kHugeBuffer;
  void* p = ::operator new(rounded, std::align_val_t(kHugeBuffer));
#ifdef MADV_HUGEPAGE
  madvise(p, rounded, MADV_HUGEPAGE);  // advice only: no huge pages is fine
#endif
  return p;
}

void free_output_buffer(void* p, std::size_t bytes) {
  if (bytes < kHugeBuffer) {
    ::operator delete(p);
  } else {
    ::operator delete(p, std::align_val_t(kHugeBuffer));
  }
}

OutputType classify_cell(const Cell& cell) {
  switch (cell.index()) {
    case kBoolIndex: return OutputType::kBool;
    case kIntIndex: return OutputType::kInt64;
    case kDoubleIndex: return OutputType::kFloat64;
    default: return OutputType::kString;
  }
}

OutputType widen_type(OutputType seen, const Cell& cell) {
  const OutputType c = classify_cell(cell);
  if (seen == c) return seen;
  if ((seen == OutputType::kInt64 && c == OutputType::kFloat64) ||
      (seen == OutputType::kFloat64 && c == OutputType::kInt64)) {
    return OutputType::kFloat64;
  }
  if (cell.index() == kNullIndex) return seen;
  return OutputType::kString;
}

namespace {

struct Builder {
  std::string_view name;  // points into a Row of the Batch
  OutputType type;
  bool any_value;
};

// The columns of the Batch in name order with their types; Rows are sorted
// by name too, so each Row is merged in one walk.
std::vector<Builder> infer(const Batch& rows) {
  std::vector<Builder> cols;
  for (const Row& row : rows) {
    std::size_t k = 0;
    for (const auto& [name, cell] : row) {
      while (k < cols.size() && cols[k].name < name) ++k;
      const bool value = cell.index() != kNullIndex;
      if (k < cols.size() && cols[k].name == name) {
        cols[k].type = widen_type(cols[k].type, cell);
        cols[k].any_value |= value;
      } else {
        cols.insert(cols.begin() + static_cast<std::ptrdiff_t>(k), Builder{name, classify_cell(cell), value});
      }
      ++k;
    }
  }
  return cols;
}

inline void set_bit(OutputBuffer<std::uint8_t>& bits, std::size_t i) {
  bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] | (1u << (i & 7)));
}

// Appends row i's value of a column; cell is null when the row lacks it.
void append_value(OutputColumn& col, std::size_t i, const Cell* cell) {
  const bool present = cell != nullptr && cell->index() != kNullIndex;
  if (present) {
    set_bit(col.validity, i);
  } else {
    ++col.null_count;
  }
  switch (col.type) {
    case OutputType::kBool:
      if (present && std::get<bool>(*cell)) set_bit(col.bits, i);
      break;
    case OutputType::kInt64:
      col.ints.push_back(present ? std::get<std::int64_t>(*cell) : 0);
      break;
    case OutputType::kFloat64:
      col.doubles.push_back(!present ? 0.0 : *to_f64(*cell));
      break;
    case OutputType::kString:
      if (present) append_display(col.bytes, *cell);
      col.offsets64.push_back(static_cast<std::int64_t>(col.bytes.size()));
      break;
    case OutputType::kNull:
      break;
  }
}

}  // namespace

OutputColumns columns_from_rows(const Batch& rows) {
  OutputColumns out;
  out.rows = static_cast<std::int64_t>(rows.size());
  const std::vector<Builder> builders = infer(rows);
  const std::size_t n = rows.size();
  const std::size_t bitmap_bytes = (n + 7) / 8;
  out.columns.resize(builders.size());
  for (std::size_t k = 0; k < builders.size(); ++k) {
    OutputColumn& col = out.columns[k];
    col.name = std::string(builders[k].name);
    col.type = builders[k].any_value ? builders[k].type : OutputType::kNull;
    col.validity.assign(bitmap_bytes, 0);
    switch (col.type) {
      case OutputType::kBool: col.bits.assign(bitmap_bytes, 0); break;
      case OutputType::kInt64: col.ints.reserve(n); break;
      case OutputType::kFloat64: col.doubles.reserve(n); break;
      case OutputType::kString: col.offsets64.reserve(n + 1); col.offsets64.push_back(0); break;
      case OutputType::kNull: break;
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    auto it = rows[i].begin();
    const auto end = rows[i].end();
    for (OutputColumn& col : out.columns) {
      if (it != end && it->first == col.name) {
        append_value(col, i, &it->second);
        ++it;
      } else {
        append_value(col, i, nullptr);
      }
    }
  }
  for (OutputColumn& col : out.columns) {
    if (col.type == OutputType::kNull) col.null_count = out.rows;
    if (col.null_count == 0 || col.type == OutputType::kNull) col.validity.clear();
    if (col.type == OutputType::kString &&
        col.bytes.size() <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
      col.offsets32.assign(col.offsets64.begin(), col.offsets64.end());
      col.offsets64.clear();
      col.offsets64.shrink_to_fit();
    } else if (col.type == OutputType::kString) {
      col.large_offsets = true;
    }
  }
  return out;
}

}  // namespace movra
