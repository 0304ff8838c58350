#include "engine/plan_parse.h"

#include <string>

#include "model/messages.h"
#include "model/py_values.h"
#include "model/utf8.h"

namespace py = pybind11;

namespace movra {

namespace {

// Subscript lookup: any mapping's own error (KeyError for a dict) propagates.
py::object item(py::handle mapping, const char* key) {
  py::object k = py::str(key);
  PyObject* v = PyObject_GetItem(mapping.ptr(), k.ptr());
  if (v == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

// A lookup that gives None for a missing key, for the optional keys.
py::object optional_item(const py::dict& mapping, const char* key) {
  PyObject* v = nullptr;
  if (PyDict_GetItemStringRef(mapping.ptr(), key, &v) < 0) throw py::error_already_set();
  if (v == nullptr) return py::none();
  return py::reinterpret_steal<py::object>(v);
}

// A list as it is, anything else through Python's list constructor.
py::list as_list(py::handle obj) {
  if (PyList_Check(obj.ptr())) return py::reinterpret_borrow<py::list>(obj);
  PyObject* l = PySequence_List(obj.ptr());
  if (l == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

// A dict as it is, anything else through Python's dict constructor.
py::dict as_dict(py::handle obj) {
  if (PyDict_Check(obj.ptr())) return py::reinterpret_borrow<py::dict>(obj);
  PyObject* d = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), obj.ptr());
  if (d == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(d);
}

// Calls f with an owned reference to each item; the size is read afresh each
// step, since a conversion may run code that edits the list.
template <typename F>
void for_each_item(const py::list& list, F&& f) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
    f(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i)));
  }
}

std::string as_string(py::handle obj) { return py::cast<std::string>(obj); }

// A name the result will carry as a column name.  Bytes that are not UTF-8
// are refused here with the UnicodeDecodeError that building the result
// would raise, before the call has taken any batch or closed any window.
std::string as_output_name(py::handle obj) {
  std::string name = as_string(obj);
  if (!is_valid_utf8(name)) {
    PyObject* text =
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
    if (text == nullptr) throw py::error_already_set();
    Py_DECREF(text);  // not reached: the two checks agree
  }
  return name;
}

std::int64_t as_int64(py::handle obj) { return py::cast<std::int64_t>(obj); }

}  // namespace

PlanSpec parse_plan(const py::dict& plan) {
  PlanSpec parsed;

  py::list filters = as_list(item(plan, "filters"));
  for_each_item(filters, [&](py::object element) {
    py::dict f = as_dict(element);
    FilterSpec filter;
    filter.field = as_string(item(f, "field"));
    filter.op = as_string(item(f, "op"));
    filter.value = cell_from_py(item(f, "value"));
    parsed.filters.push_back(std::move(filter));
  });

  py::object select = item(plan, "select");
  if (!is_none(select)) {
    std::vector<std::string> names;
    for_each_item(as_list(select), [&](py::object name) { names.push_back(as_output_name(name)); });
    parsed.select = std::move(names);
  }

  py::object window = item(plan, "window");
  if (!is_none(window)) {
    py::dict w = as_dict(window);
    WindowSpec ws;
    ws.seconds = as_int64(item(w, "seconds"));
    py::object by = item(w, "by");
    if (!is_none(by)) ws.by = as_output_name(by);
    ws.time_field = as_string(item(w, "time_field"));
    parsed.window = std::move(ws);
  }

  py::object mean = item(plan, "mean");
  if (!is_none(mean)) {
    py::dict m = as_dict(mean);
    MeanSpec ms;
    ms.field = as_string(item(m, "field"));
    ms.alias = as_output_name(item(m, "alias"));
    parsed.mean = std::move(ms);
  }

  py::object watermark = item(plan, "watermark_ms");
  if (!is_none(watermark)) parsed.watermark_ms = as_int64(watermark);

  py::object lateness = item(plan, "allowed_lateness_ms");
  if (!is_none(lateness)) parsed.allowed_lateness_ms = as_int64(lateness);

  py::object event_id = item(plan, "event_id_field");
  if (!is_none(event_id)) parsed.event_id_field = as_string(event_id);

  py::object drop_late = item(plan, "drop_late");
  if (!is_none(drop_late)) parsed.drop_late = py::cast<bool>(drop_late);

  // The optional keys, after the eight, so that they never change which
  // error a plan with a fault in the eight reports.
  py::object keep_late = optional_item(plan, "keep_late");
  if (!is_none(keep_late)) parsed.keep_late = py::cast<bool>(keep_late);

  py::object max_late_rows = optional_item(plan, "max_late_rows");
  if (!is_none(max_late_rows)) {
    const std::int64_t cap = as_int64(max_late_rows);
    if (cap < 0) {
      throw py::value_error(messages::kMaxLateRowsNegativeHead + std::to_string(cap));
    }
    parsed.max_late_rows = static_cast<std::uint64_t>(cap);
  }

  return parsed;
}

}  // namespace movra
