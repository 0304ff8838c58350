#include "model/columns.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "model/output_columns.h"
#include "model/picked_columns.h"
#include "model/utf8.h"

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

namespace {

// New references, or nullptr with a Python error set.
//
// An ASCII string is made as the UTF-8 decoder makes it (a compact string of
// one byte per character), only without looking at each byte again; the
// empty and one-character strings go to the decoder, which hands out the
// interpreter's shared ones.
PyObject* ascii_str(std::string_view s) {
  if (s.size() <= 1) return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
  PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
  if (o != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(o), s.data(), s.size());
  return o;
}

// The str objects made last for short ASCII strings, so that a column of a
// few distinct values (symbols, sides, venues) shares one object per value
// instead of making one per row.  Direct-mapped: a new string evicts the one
// in its slot.  Holds a reference to each object it keeps.
class StrCache {
 public:
  static constexpr std::size_t kMaxLength = 16;

  StrCache() = default;
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;
  ~StrCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.object);
  }

  // A new reference to str(s), or nullptr with a Python error set.
  // REQUIRES: s is ASCII.
  PyObject* get(std::string_view s) {
    if (s.size() > kMaxLength || s.size() <= 1) return ascii_str(s);
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (const char ch : s) h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
    Slot& slot = slots_[h % kSlots];
    if (slot.object != nullptr && slot.length == s.size() && std::memcmp(slot.bytes, s.data(), s.size()) == 0) {
      return Py_NewRef(slot.object);
    }
    PyObject* o = ascii_str(s);
    if (o == nullptr) return nullptr;
    Py_XSETREF(slot.object, Py_NewRef(o));
    slot.length = s.size();
    std::memcpy(slot.bytes, s.data(), s.size());
    return o;
  }

 private:
  static constexpr std::size_t kSlots = 61;
  struct Slot {
    PyObject* object = nullptr;
    std::size_t length = 0;
    char bytes[kMaxLength];
  };
  Slot slots_[kSlots] = {};
};

PyObject* utf8_str(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

// A non-Null value in a column of `type`.  The text of a bool or a number is
// always ASCII.
PyObject* value_object(OutputType type, const CellView& v, std::string& scratch) {
  switch (type) {
    case OutputType::kBool: return Py_NewRef(v.b ? Py_True : Py_False);
    case OutputType::kInt64: return PyLong_FromLongLong(v.i);
    case OutputType::kFloat64: return PyFloat_FromDouble(v.tag == kIntIndex ? static_cast<double>(v.i) : v.d);
    default:
      if (v.tag == kStringIndex) return utf8_str(v.s);
      scratch.clear();
      append_display(scratch, v);
      return ascii_str(scratch);
  }
}

// Fills `list` (rows long, every item unset) with the column's values.
// Returns false with a Python error set; the items set so far stay.
bool fill_list(PyObject* list, const PickedLayout& layout, const std::vector<EventRef>& picked,
               const PickedColumn& pc, std::string& scratch) {
  StrCache cache;
  for (std::size_t r = 0; r < layout.runs.size(); ++r) {
    const PickedRun& run = layout.runs[r];
    const EventChunk::Column* c = pc.sources[r];
    const EventRef* p = picked.data() + run.first;
    const std::size_t m = run.last - run.first;
    const auto set = [&](std::size_t k, PyObject* o) {
      if (o == nullptr) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(run.first + k), o);
      return true;
    };
    if (pc.type == OutputType::kNull || c == nullptr) {
      for (std::size_t k = 0; k < m; ++k) set(k, Py_NewRef(Py_None));
      continue;
    }
    if (dense_run(*c, p, m)) {
      // Every value there, none Null, all of one kind: no checks per value.
      bool ok = true;
      switch (pc.type) {
        case OutputType::kInt64:
          for (std::size_t k = 0; ok && k < m; ++k) ok = set(k, PyLong_FromLongLong(c->int_at(p[k].event)));
          break;
        case OutputType::kFloat64:
          if (c->kind() == kDoubleIndex) {
            for (std::size_t k = 0; ok && k < m; ++k) ok = set(k, PyFloat_FromDouble(c->double_at(p[k].event)));
          } else {
            for (std::size_t k = 0; ok && k < m; ++k) {
              ok = set(k, PyFloat_FromDouble(static_cast<double>(c->int_at(p[k].event))));
            }
          }
          break;
        case OutputType::kBool:
          for (std::size_t k = 0; k < m; ++k) set(k, Py_NewRef(c->bool_at(p[k].event) ? Py_True : Py_False));
          break;
        default:
          if (c->kind() == kStringIndex && contiguous(p, m) &&
              is_ascii(c->string_run(p[0].event, p[m - 1].event + 1))) {
            for (std::size_t k = 0; ok && k < m; ++k) ok = set(k, cache.get(c->string_at(p[k].event)));
          } else {
            for (std::size_t k = 0; ok && k < m; ++k) ok = set(k, value_object(pc.type, c->view(p[k].event), scratch));
          }
          break;
      }
      if (!ok) return false;
      continue;
    }
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t i = p[k].event;
      PyObject* o = !c->present(i) || c->tag(i) == kNullIndex ? Py_NewRef(Py_None)
                                                               : value_object(pc.type, c->view(i), scratch);
      if (!set(k, o)) return false;
    }
  }
  return true;
}

// Raises the UnicodeDecodeError rows_to_columns would raise: that of the
// first string, by row and then by column, that is not UTF-8.  `pending`
// is raised if there is none.
[[noreturn]] void raise_first_bad_string(const PickedLayout& layout, const std::vector<EventRef>& picked,
                                         py::error_already_set pending) {
  for (std::size_t r = 0; r < layout.runs.size(); ++r) {
    const PickedRun& run = layout.runs[r];
    for (std::size_t p = run.first; p < run.last; ++p) {
      const std::size_t i = picked[p].event;
      for (const PickedColumn& pc : layout.columns) {
        const EventChunk::Column* c = pc.sources[r];
        if (pc.type != OutputType::kString || c == nullptr || !c->present(i) || c->tag(i) != kStringIndex) {
          continue;
        }
        const std::string_view s = c->string_at(i);
        if (is_valid_utf8(s)) continue;
        PyObject* o = utf8_str(s);
        if (o == nullptr) throw py::error_already_set();
        Py_DECREF(o);
      }
    }
  }
  throw pending;
}

}  // namespace

py::dict events_to_columns(const EventSlices& events, const std::vector<EventRef>& picked,
                           const std::optional<std::vector<std::string>>& select) {
  const PickedLayout layout = layout_picked(events, picked, select);
  std::vector<py::list> lists;
  lists.reserve(layout.columns.size());
  std::string scratch;
  for (const PickedColumn& pc : layout.columns) {
    lists.push_back(py::reinterpret_steal<py::list>(PyList_New(static_cast<Py_ssize_t>(layout.rows))));
    if (!lists.back()) throw py::error_already_set();
    if (!fill_list(lists.back().ptr(), layout, picked, pc, scratch)) {
      py::error_already_set failed;
      lists.clear();
      raise_first_bad_string(layout, picked, std::move(failed));
    }
  }
  py::dict result;
  for (std::size_t k = 0; k < lists.size(); ++k) {
    result[decode_utf8(layout.columns[k].name)] = std::move(lists[k]);
  }
  return result;
}

}  // namespace movra
