#include "model/py_values.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/messages.h"

namespace py = pybind11;

namespace movra {

namespace {

// The UTF-8 bytes of a str.  A str that cannot be encoded (a lone surrogate)
// raises the binding layer's cast error, as its own string conversion does.
std::string utf8_of_str(py::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return py::cast<std::string>(str);  // throws the cast error
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// The UTF-8 text of str(obj).
std::string str_text(py::handle obj) {
  if (PyUnicode_Check(obj.ptr())) return utf8_of_str(obj);
  py::object s = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
  if (!s) throw py::error_already_set();
  return utf8_of_str(s);
}

struct Column {
  std::string name;
  py::object values;  // owned: str() of an item may run code that edits the dict
  bool fast;          // an exact list or tuple: items read without a call
};

// Item i of an exact list or tuple, or null when a list has shrunk since its
// length was taken (the caller then falls back to item access, which raises).
py::object fast_item(const Column& col, Py_ssize_t i) {
  PyObject* seq = col.values.ptr();
  if (PyTuple_CheckExact(seq)) return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(seq, i));
  if (i < PyList_GET_SIZE(seq)) return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, i));
  return py::object();
}

}  // namespace

bool is_none(py::handle obj) { return obj.ptr() == Py_None; }

Cell cell_from_py(py::handle obj) {
  PyObject* o = obj.ptr();
  if (o == Py_None) return Null{};
  if (Py_IS_TYPE(o, &PyBool_Type)) return o == Py_True;
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return py::cast<std::int64_t>(obj);  // throws the cast error
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return static_cast<std::int64_t>(v);
  }
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
  return str_text(obj);
}

Row dict_to_row(const py::dict& event) {
  // Entries are collected in iteration order and sorted once, so a dict with
  // many keys in any order costs n log n, not a sorted insertion per key.
  std::vector<Row::Entry> entries;
  entries.reserve(static_cast<std::size_t>(PyDict_Size(event.ptr())) + 1);
  for (auto [key_ref, value_ref] : event) {
    // Own both: str() may run code that edits the dict.
    auto key = py::reinterpret_borrow<py::object>(key_ref);
    auto value = py::reinterpret_borrow<py::object>(value_ref);
    Cell cell = cell_from_py(value);
    entries.emplace_back(str_text(key), std::move(cell));
  }
  Row row = Row::FromUnsorted(std::move(entries));
  if (!row.contains("timestamp")) row.set(std::string_view("timestamp"), now_millis());
  return row;
}

Batch rows_from_columns(const py::dict& columns) {
  std::vector<Column> cols;
  cols.reserve(static_cast<std::size_t>(PyDict_Size(columns.ptr())));
  Py_ssize_t n = 0;
  for (auto [key_ref, value_ref] : columns) {
    // Own both before anything can run Python code: str(key) and len(value)
    // may edit the dict and drop its references to them.
    auto key = py::reinterpret_borrow<py::object>(key_ref);
    auto value = py::reinterpret_borrow<py::object>(value_ref);
    std::string name = str_text(key);
    const Py_ssize_t len = PyObject_Length(value.ptr());
    if (len < 0) throw py::error_already_set();
    if (cols.empty()) {
      n = len;
    } else if (len != n) {
      throw py::value_error(messages::kColumnsSameLength);
    }
    const bool fast = PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr());
    cols.push_back({std::move(name), std::move(value), fast});
  }
  Batch batch;
  if (cols.empty() || n == 0) return batch;

  // Each Row is built already sorted: the distinct names in byte order, the
  // last column of a repeated name winning, "timestamp" added in its place
  // when no column supplies it.
  std::vector<std::size_t> order(cols.size());
  for (std::size_t j = 0; j < cols.size(); ++j) order[j] = j;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return cols[a].name < cols[b].name; });
  std::vector<std::size_t> winners;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 1 < order.size() && cols[order[k + 1]].name == cols[order[k]].name) continue;
    winners.push_back(order[k]);
  }
  const auto ts_pos = std::lower_bound(
      winners.begin(), winners.end(), std::string_view("timestamp"),
      [&](std::size_t j, std::string_view name) { return std::string_view(cols[j].name) < name; });
  const bool needs_stamp = ts_pos == winners.end() || cols[*ts_pos].name != "timestamp";
  const std::size_t stamp_index = static_cast<std::size_t>(ts_pos - winners.begin());

  std::vector<Cell> cells(cols.size());
  batch.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    py::object index;  // created once per row, shared by the slow columns
    for (std::size_t j = 0; j < cols.size(); ++j) {
      const Column& col = cols[j];
      if (col.fast) {
        if (py::object item = fast_item(col, i)) {
          cells[j] = cell_from_py(item);
          continue;
        }
      }
      if (!index) index = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(i));
      if (!index) throw py::error_already_set();
      py::object item = py::reinterpret_steal<py::object>(PyObject_GetItem(col.values.ptr(), index.ptr()));
      if (!item) throw py::error_already_set();
      cells[j] = cell_from_py(item);
    }
    std::vector<Row::Entry> entries;
    entries.reserve(winners.size() + (needs_stamp ? 1 : 0));
    for (std::size_t k = 0; k < winners.size(); ++k) {
      if (needs_stamp && k == stamp_index) entries.emplace_back("timestamp", now_millis());
      entries.emplace_back(cols[winners[k]].name, std::move(cells[winners[k]]));
    }
    if (needs_stamp && stamp_index == winners.size()) entries.emplace_back("timestamp", now_millis());
    batch.push_back(Row::FromSorted(std::move(entries)));
  }
  return batch;
}

namespace {

// One Python value read as cell_from_py reads it, without building a Cell: a
// string stays a view of the UTF-8 bytes that `owner` keeps alive.
struct PyScalar {
  std::uint8_t tag;
  bool flag;
  std::int64_t integer;
  double number;
  py::object owner;
  std::string_view text;
};

// The UTF-8 bytes of a str, as a view into the str itself.  A str that
// cannot be encoded raises the binding layer's cast error.
std::string_view utf8_view(py::handle str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    (void)py::cast<std::string>(str);  // throws the cast error
    throw py::error_already_set();
  }
  return std::string_view(data, static_cast<std::size_t>(size));
}

// The UTF-8 text of str(obj), kept alive by owner.
std::string_view str_view(py::handle obj, py::object& owner) {
  if (PyUnicode_Check(obj.ptr())) {
    owner = py::reinterpret_borrow<py::object>(obj);
  } else {
    owner = py::reinterpret_steal<py::object>(PyObject_Str(obj.ptr()));
    if (!owner) throw py::error_already_set();
  }
  return utf8_view(owner);
}

void read_scalar(py::handle obj, PyScalar& out) {
  PyObject* o = obj.ptr();
  if (o == Py_None) {
    out.tag = kNullIndex;
  } else if (Py_IS_TYPE(o, &PyBool_Type)) {
    out.tag = kBoolIndex;
    out.flag = o == Py_True;
  } else if (PyLong_Check(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) (void)py::cast<std::int64_t>(obj);  // throws the cast error
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    out.tag = kIntIndex;
    out.integer = v;
  } else if (PyFloat_Check(o)) {
    out.tag = kDoubleIndex;
    out.number = PyFloat_AS_DOUBLE(o);
  } else {
    out.tag = kStringIndex;
    out.text = str_view(obj, out.owner);
  }
}

void set_scalar(EventChunk& chunk, std::size_t col, const PyScalar& v) {
  switch (v.tag) {
    case kBoolIndex:
      return chunk.set_bool(col, v.flag);
    case kIntIndex:
      return chunk.set_int(col, v.integer);
    case kDoubleIndex:
      return chunk.set_double(col, v.number);
    case kStringIndex:
      return chunk.set_string(col, v.text);
    default:
      return chunk.set_null(col);
  }
}

}  // namespace

void dict_to_chunk(const py::dict& event, EventChunk& out) {
  const std::size_t before = out.size();
  try {
    out.begin_event();
    out.expect_columns(event.size());
    PyScalar value;
    py::object key_text;
    for (auto [key_ref, value_ref] : event) {
      // Own both: str() may run code that edits the dict.  The value is
      // converted before the key, as dict_to_row does.
      auto key = py::reinterpret_borrow<py::object>(key_ref);
      auto item = py::reinterpret_borrow<py::object>(value_ref);
      read_scalar(item, value);
      const std::string_view name = str_view(key, key_text);
      set_scalar(out, out.column_index(name), value);
    }
    out.end_event();
  } catch (...) {
    out.truncate(before);
    throw;
  }
}

namespace {

// Reused storage for one column's values on their way into a chunk.
struct ColumnScratch {
  std::vector<double> doubles;
  std::vector<std::uint8_t> bits;      // bools, an Arrow bitmap
  std::vector<std::uint8_t> validity;  // an Arrow bitmap, made at the first None
  std::vector<std::int64_t> offsets;
  std::string bytes;
};

// Reads the items of a list or tuple as cell_from_py reads them, a column at
// a time, into the open bulk events of `out`: one tight loop while the items
// are of the kind of the first that is not None (None between them is
// Null), value by value once another kind turns up.  Runs no Python code.
// Returns false, having written part of the column, when an item needs
// Python code (str() of another type) or has no Cell (an int beyond 64
// bits, a str that cannot be UTF-8 encoded): the caller then converts the
// call event by event, which meets the item in its place and raises what
// cell_from_py raises.
class ListColumn {
 public:
  ListColumn(PyObject* const* items, std::size_t n, ColumnScratch& scratch)
      : items_(items), n_(n), s_(scratch) {}

  bool put(EventChunk& out, std::size_t col) {
    std::size_t first = 0;
    while (first < n_ && items_[first] == Py_None) ++first;
    if (first == n_) {
      out.put_nulls(col);
      return true;
    }
    any_null_ = false;
    PyObject* o = items_[first];
    bool whole;
    if (Py_IS_TYPE(o, &PyBool_Type)) {
      whole = bools(out, col);
    } else if (PyLong_Check(o)) {
      whole = ints(out, col);
    } else if (PyFloat_Check(o)) {
      whole = doubles(out, col);
    } else if (PyUnicode_Check(o)) {
      whole = strings(out, col);
    } else {
      return false;
    }
    // After an item with no Cell nothing more is read: the error made on
    // the way may have run code (a collection) that changed the list.
    return whole || (!slow_ && mixed(out, col));
  }

 private:
  void null_at(std::size_t i) {
    if (!any_null_) {
      s_.validity.assign((n_ + 7) / 8, 0xff);
      any_null_ = true;
    }
    s_.validity[i >> 3] &= static_cast<std::uint8_t>(~(1u << (i & 7)));
  }
  const std::uint8_t* validity() const { return any_null_ ? s_.validity.data() : nullptr; }

  // Whether o, known to be an int but not a bool, fits 64 bits; v is then its value.
  static bool int_value(PyObject* o, std::int64_t& v) {
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
      v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
      return true;
    }
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || (x == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return false;
    }
    v = x;
    return true;
  }

  // The loops of one kind return false at the first item of another.
  bool bools(EventChunk& out, std::size_t col) {
    s_.bits.assign((n_ + 7) / 8, 0);
    for (std::size_t i = 0; i < n_; ++i) {
      PyObject* o = items_[i];
      if (o == Py_True) {
        s_.bits[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
      } else if (o == Py_None) {
        null_at(i);
      } else if (o != Py_False) {
        return false;
      }
    }
    out.put_bools(col, s_.bits.data(), 0, validity());
    return true;
  }

  // Integers and doubles go straight into the chunk's storage; the first
  // item is not None, so the column's kind is the one noted.
  bool ints(EventChunk& out, std::size_t col) {
    std::uint64_t* v = out.fill_words(col, kIntIndex);
    for (std::size_t i = 0; i < n_; ++i) {
      PyObject* o = items_[i];
      std::int64_t x = 0;
      if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        x = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
      } else if (o == Py_None) {
        null_at(i);
      } else if (!PyLong_Check(o) || Py_IS_TYPE(o, &PyBool_Type)) {
        return false;
      } else if (!int_value(o, x)) {
        slow_ = true;
        return false;
      }
      v[i] = static_cast<std::uint64_t>(x);
    }
    if (any_null_) out.mark_nulls(col, s_.validity.data());
    return true;
  }

  bool doubles(EventChunk& out, std::size_t col) {
    std::uint64_t* v = out.fill_words(col, kDoubleIndex);
    for (std::size_t i = 0; i < n_; ++i) {
      PyObject* o = items_[i];
      double x = 0;
      if (PyFloat_Check(o)) {
        x = PyFloat_AS_DOUBLE(o);
      } else if (o == Py_None) {
        null_at(i);
      } else {
        return false;
      }
      v[i] = std::bit_cast<std::uint64_t>(x);
    }
    if (any_null_) out.mark_nulls(col, s_.validity.data());
    return true;
  }

  bool strings(EventChunk& out, std::size_t col) {
    s_.offsets.resize(n_ + 1);
    s_.offsets[0] = 0;
    s_.bytes.clear();
    for (std::size_t i = 0; i < n_; ++i) {
      PyObject* o = items_[i];
      if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(o, &size);
        if (data == nullptr) {
          PyErr_Clear();
          slow_ = true;
          return false;
        }
        s_.bytes.append(data, static_cast<std::size_t>(size));
      } else if (o == Py_None) {
        null_at(i);
      } else {
        return false;
      }
      s_.offsets[i + 1] = static_cast<std::int64_t>(s_.bytes.size());
    }
    out.put_strings(col, s_.offsets.data(), s_.bytes.data(), validity());
    return true;
  }

  // Kinds mixed: each item's type is checked once, and its value set.
  bool mixed(EventChunk& out, std::size_t col) {
    out.begin_column(col);
    for (std::size_t i = 0; i < n_; ++i) {
      PyObject* o = items_[i];
      if (o == Py_None) {
        out.set_null(col);
      } else if (Py_IS_TYPE(o, &PyBool_Type)) {
        out.set_bool(col, o == Py_True);
      } else if (PyLong_Check(o)) {
        std::int64_t v;
        if (!int_value(o, v)) return false;
        out.set_int(col, v);
      } else if (PyFloat_Check(o)) {
        out.set_double(col, PyFloat_AS_DOUBLE(o));
      } else if (PyUnicode_Check(o)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(o, &size);
        if (data == nullptr) {
          PyErr_Clear();
          return false;
        }
        out.set_string(col, std::string_view(data, static_cast<std::size_t>(size)));
      } else {
        return false;
      }
    }
    return true;
  }

  PyObject* const* items_;
  const std::size_t n_;
  ColumnScratch& s_;
  bool any_null_ = false;
  bool slow_ = false;  // an item was met that has no Cell
};

// The buffer of a one-dimensional NumPy array whose items convert without
// running Python code: native float64 (items are float subclasses: doubles),
// integers of any width (items derive from no Python int: the decimal text of
// str()) and bools (the text True or False).  Items are read straight from
// the buffer; each gives the Cell that item access and cell_from_py give.
class ArrayItems {
 public:
  // Holds obj's buffer when it is such an array with n items.
  bool take(py::handle obj, Py_ssize_t n) {
    if (std::string_view(Py_TYPE(obj.ptr())->tp_name) != "numpy.ndarray") return false;
    if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    const std::string_view format = view_.format != nullptr ? view_.format : "B";
    if (view_.ndim != 1 || view_.shape[0] != n || format.size() != 1) return false;
    kind_ = format[0];
    switch (kind_) {
      case 'd':
        return view_.itemsize == 8;
      case '?':
        return view_.itemsize == 1;
      case 'b': case 'h': case 'i': case 'l': case 'q':
      case 'B': case 'H': case 'I': case 'L': case 'Q':
        return view_.itemsize <= 8;
      default:
        return false;
    }
  }
  ~ArrayItems() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Writes every item as set() writes each, a column at a time.  REQUIRES:
  // out has n bulk events open (see EventChunk::begin_events).
  void put(EventChunk& out, std::size_t col, Py_ssize_t n, ColumnScratch& scratch) const {
    const char* base = static_cast<const char*>(view_.buf);
    const Py_ssize_t stride = view_.strides[0];
    if (kind_ == 'd') {
      if (stride == 8 || n <= 1) return out.put_doubles(col, reinterpret_cast<const double*>(base));
      scratch.doubles.resize(static_cast<std::size_t>(n));
      for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(&scratch.doubles[i], base + i * stride, 8);
      return out.put_doubles(col, scratch.doubles.data());
    }
    // Bools and integers are sent as their str() text.
    scratch.offsets.resize(static_cast<std::size_t>(n) + 1);
    scratch.bytes.clear();
    scratch.offsets[0] = 0;
    char text[24];
    for (Py_ssize_t i = 0; i < n; ++i) {
      const char* at = base + i * stride;
      if (kind_ == '?') {
        scratch.bytes.append(*at != 0 ? std::string_view("True") : std::string_view("False"));
      } else {
        const bool is_unsigned = kind_ == 'B' || kind_ == 'H' || kind_ == 'I' || kind_ == 'L' || kind_ == 'Q';
        const std::to_chars_result r = is_unsigned ? std::to_chars(text, text + sizeof text, read_unsigned(at))
                                                   : std::to_chars(text, text + sizeof text, read_signed(at));
        scratch.bytes.append(text, static_cast<std::size_t>(r.ptr - text));
      }
      scratch.offsets[static_cast<std::size_t>(i) + 1] = static_cast<std::int64_t>(scratch.bytes.size());
    }
    out.put_strings(col, scratch.offsets.data(), scratch.bytes.data());
  }

  void set(EventChunk& out, std::size_t col, Py_ssize_t i) const {
    const char* at = static_cast<const char*>(view_.buf) + i * view_.strides[0];
    char text[24];
    std::to_chars_result r;
    switch (kind_) {
      case 'd': {
        double v;
        std::memcpy(&v, at, 8);
        return out.set_double(col, v);
      }
      case '?':
        return out.set_string(col, *at != 0 ? std::string_view("True") : std::string_view("False"));
      case 'B': case 'H': case 'I': case 'L': case 'Q':
        r = std::to_chars(text, text + sizeof text, read_unsigned(at));
        break;
      default:
        r = std::to_chars(text, text + sizeof text, read_signed(at));
        break;
    }
    out.set_string(col, std::string_view(text, static_cast<std::size_t>(r.ptr - text)));
  }

 private:
  std::uint64_t read_unsigned(const char* at) const {
    switch (view_.itemsize) {
      case 1: { std::uint8_t v; std::memcpy(&v, at, 1); return v; }
      case 2: { std::uint16_t v; std::memcpy(&v, at, 2); return v; }
      case 4: { std::uint32_t v; std::memcpy(&v, at, 4); return v; }
      default: { std::uint64_t v; std::memcpy(&v, at, 8); return v; }
    }
  }
  std::int64_t read_signed(const char* at) const {
    switch (view_.itemsize) {
      case 1: { std::int8_t v; std::memcpy(&v, at, 1); return v; }
      case 2: { std::int16_t v; std::memcpy(&v, at, 2); return v; }
      case 4: { std::int32_t v; std::memcpy(&v, at, 4); return v; }
      default: { std::int64_t v; std::memcpy(&v, at, 8); return v; }
    }
  }

  Py_buffer view_{};
  bool held_ = false;
  char kind_ = 0;
};

}  // namespace

void columns_to_chunk(const py::dict& columns, EventChunk& out) {
  struct Source {
    py::object name_owner;
    std::string_view name;
    py::object values;
    bool fast;
    std::size_t col;
    std::unique_ptr<ArrayItems> array;  // set when the items come from a buffer
  };
  std::vector<Source> cols;
  cols.reserve(static_cast<std::size_t>(PyDict_Size(columns.ptr())));
  Py_ssize_t n = 0;
  for (auto [key_ref, value_ref] : columns) {
    auto key = py::reinterpret_borrow<py::object>(key_ref);
    auto value = py::reinterpret_borrow<py::object>(value_ref);
    Source src;
    src.name = str_view(key, src.name_owner);
    const Py_ssize_t len = PyObject_Length(value.ptr());
    if (len < 0) throw py::error_already_set();
    if (cols.empty()) {
      n = len;
    } else if (len != n) {
      throw py::value_error(messages::kColumnsSameLength);
    }
    src.fast = PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr());
    if (!src.fast) {
      auto array = std::make_unique<ArrayItems>();
      if (array->take(value, len)) src.array = std::move(array);
    }
    src.values = std::move(value);
    cols.push_back(std::move(src));
  }
  if (cols.empty() || n == 0) return;

  const std::size_t before = out.size();
  bool bulk = false;
  try {
    // A repeated name is one column: the later source's value replaces the
    // earlier one in each event, as in rows_from_columns.
    for (Source& src : cols) src.col = out.column_index(src.name);

    // A column at a time when every source is a list, a tuple or an array
    // read from its buffer; the values then convert without Python code, so
    // their order does not show.  An item that needs Python code or has no
    // Cell sends the whole call the event-by-event way below, which meets
    // the items, and raises, in the order rows_from_columns does.
    // A list shorter than the length taken (str() of a later key may have
    // emptied it) is left to item access, which raises as it should.
    const auto bulk_source = [n](const Source& src) {
      if (src.array) return true;
      return src.fast && (PyTuple_CheckExact(src.values.ptr()) || PyList_GET_SIZE(src.values.ptr()) == n);
    };
    if (std::all_of(cols.begin(), cols.end(), bulk_source)) {
      ColumnScratch scratch;
      out.begin_events(static_cast<std::size_t>(n));
      bulk = true;
      bool whole = true;
      for (const Source& src : cols) {
        if (src.array) {
          src.array->put(out, src.col, n, scratch);
          continue;
        }
        ListColumn list(PySequence_Fast_ITEMS(src.values.ptr()), static_cast<std::size_t>(n), scratch);
        if (!list.put(out, src.col)) {
          whole = false;
          break;
        }
      }
      bulk = false;
      if (whole) {
        out.end_events();
        return;
      }
      out.abort_events();
    }

    out.expect(static_cast<std::size_t>(n));
    PyScalar value;
    for (Py_ssize_t i = 0; i < n; ++i) {
      out.begin_event();
      py::object index;  // created once per row, shared by the slow columns
      for (const Source& src : cols) {
        if (src.array) {
          src.array->set(out, src.col, i);
          continue;
        }
        PyObject* seq = src.values.ptr();
        py::object item;
        if (src.fast) {
          if (PyTuple_CheckExact(seq)) {
            item = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(seq, i));
          } else if (i < PyList_GET_SIZE(seq)) {
            item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, i));
          }
        }
        if (!item) {
          if (!index) index = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(i));
          if (!index) throw py::error_already_set();
          item = py::reinterpret_steal<py::object>(PyObject_GetItem(seq, index.ptr()));
          if (!item) throw py::error_already_set();
        }
        read_scalar(item, value);
        set_scalar(out, src.col, value);
      }
      out.end_event();
    }
  } catch (...) {
    if (bulk) out.abort_events();
    out.truncate(before);
    throw;
  }
}

}  // namespace movra
