#include "model/columns.h"

#include <string>
#include <string_view>
#include <vector>

#include "model/output_columns.h"

namespace py = pybind11;

namespace movra {

namespace {

// The column types are those of the Arrow route's OutputColumns (less its
// null type, which a dict result has no use for): one set of typing rules.
using ColumnType = OutputType;

struct PyColumn {
  std::string_view name;  // points into a Row of the Batch
  ColumnType type;
  py::list values;
};

py::object decode_utf8(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

py::object to_python(const Cell& cell, ColumnType type, std::string& scratch) {
  switch (cell.index()) {
    case kNullIndex:
      return py::none();
    case kBoolIndex:
      if (type == ColumnType::kBool) return py::bool_(std::get<bool>(cell));
      break;
    case kIntIndex:
      if (type == ColumnType::kInt64) return py::int_(std::get<std::int64_t>(cell));
      if (type == ColumnType::kFloat64) {
        return py::float_(static_cast<double>(std::get<std::int64_t>(cell)));
      }
      break;
    case kDoubleIndex:
      if (type == ColumnType::kFloat64) return py::float_(std::get<double>(cell));
      break;
    default:
      return decode_utf8(std::get<std::string>(cell));
  }
  scratch.clear();
  append_display(scratch, cell);
  return decode_utf8(scratch);
}

// The columns of the Batch in name order, each with its inferred type.  Rows
// are sorted by name too, so each Row is merged into the list in one walk.
std::vector<PyColumn> infer_columns(const Batch& rows) {
  std::vector<PyColumn> cols;
  for (const Row& row : rows) {
    std::size_t k = 0;
    for (const auto& [name, cell] : row) {
      while (k < cols.size() && cols[k].name < name) ++k;
      if (k < cols.size() && cols[k].name == name) {
        cols[k].type = widen_type(cols[k].type, cell);
      } else {
        cols.insert(cols.begin() + static_cast<std::ptrdiff_t>(k),
                    PyColumn{name, classify_cell(cell), py::list()});
      }
      ++k;
    }
  }
  return cols;
}

}  // namespace

py::dict rows_to_columns(const Batch& rows) {
  py::dict result;
  std::vector<PyColumn> cols = infer_columns(rows);
  const auto n = static_cast<Py_ssize_t>(rows.size());
  for (PyColumn& col : cols) {
    col.values = py::reinterpret_steal<py::list>(PyList_New(n));
    if (!col.values) throw py::error_already_set();
  }
  std::string scratch;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Row& row = rows[static_cast<std::size_t>(i)];
    auto it = row.begin();
    for (PyColumn& col : cols) {
      py::object value;
      if (it != row.end() && it->first == col.name) {
        value = to_python(it->second, col.type, scratch);
        ++it;
      } else {
        value = py::none();
      }
      PyList_SET_ITEM(col.values.ptr(), i, value.release().ptr());
    }
  }
  for (PyColumn& col : cols) {
    result[decode_utf8(col.name)] = std::move(col.values);
  }
  return result;
}

}  // namespace movra
