// The _movra extension module: binds NativeStream's thirteen operations and,
// beside them, rejected_datagrams(), save_errno(), refuse_text(), the wait
// for room of the package's blocking emits, the scan of the ready batches
// for events without an integer time, the readiness descriptor, the
// worker's wakeup count, the take of the kept late rows, the Arrow routes with their result class, and the
// market-bar pass as the static method NativeStream.aggregate_bars, and the
// package's scan of a list's value types, value_types.
// Only conversion lives here; the behaviour is in the stream and engine.
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "module/arrow_capsules.h"
#include "numeric/bar_binding.h"
#include "stream/native_stream.h"

namespace py = pybind11;
using movra::NativeStream;

namespace {

// The distinct types of the items of a list or tuple, as a set:
// set(map(type, values)) without an interpreter step per item.  A
// list has few types, so they are kept in a short vector; a list of many
// types falls back to the set itself.
py::typing::Set<py::type> value_types(const py::handle& values) {
  PyObject* seq = values.ptr();
  if (!PyList_Check(seq) && !PyTuple_Check(seq)) {
    throw py::type_error("value_types takes a list or tuple, got " +
                         std::string(Py_TYPE(seq)->tp_name));
  }
  // Adding to the set hashes a type, which a metaclass may do in Python
  // code that changes the list: once the set is in use the size and items
  // are read afresh for each item, as a list iterator does, and each type
  // is held while it is added.
  constexpr std::size_t kFew = 8;
  PyTypeObject* few[kFew];
  std::size_t count = 0;
  py::typing::Set<py::type> many;
  // Adds the short vector's types and `extra` (when not null), each held
  // before the first is hashed.
  const auto add_few = [&](PyTypeObject* extra) {
    std::vector<py::object> held;
    held.reserve(count + 1);
    for (std::size_t j = 0; j < count; ++j) {
      held.push_back(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(few[j])));
    }
    if (extra != nullptr) held.push_back(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(extra)));
    for (const py::object& type : held) many.add(type);
  };
  // The short vector first: no Python code runs, so the borrowed items
  // are read in place.
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  Py_ssize_t i = 0;
  bool overflow = false;
  for (; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(items[i]);
    std::size_t k = 0;
    while (k < count && few[k] != t) ++k;
    if (k < count) continue;
    if (count == kFew) {
      add_few(t);
      overflow = true;
      ++i;
      break;
    }
    few[count++] = t;
  }
  // Then the set, which may have run code: the list is read afresh.
  for (; overflow && i < PySequence_Fast_GET_SIZE(seq); ++i) {
    many.add(py::reinterpret_borrow<py::object>(
        reinterpret_cast<PyObject*>(Py_TYPE(PySequence_Fast_GET_ITEM(seq, i)))));
  }
  if (!overflow) add_few(nullptr);
  return many;
}

}  // namespace

PYBIND11_MODULE(_movra, m, py::multiple_interpreters::not_supported()) {
  py::classh<NativeStream> cls(m, "NativeStream");
  cls
      .def_static("udp", &NativeStream::udp, py::arg("host"), py::arg("port"),
                  py::arg("batch_size"), py::arg("linger_ms"), py::arg("capacity"))
      .def_static("manual", &NativeStream::manual, py::arg("batch_size"), py::arg("linger_ms"),
                  py::arg("capacity"))
      .def("address", &NativeStream::address)
      .def("emit_json", &NativeStream::emit_json)
      .def("emit_columns", &NativeStream::emit_columns)
      .def("next_batch", &NativeStream::next_batch, py::arg("plan"), py::arg("timeout_ms"))
      .def("aggregate_columns", &NativeStream::aggregate_columns, py::arg("columns"),
           py::arg("plan"))
      .def("aggregate_trade_numeric", &NativeStream::aggregate_trade_numeric,
           py::arg("timestamps"), py::arg("is_trade"), py::arg("symbol_id"), py::arg("values"),
           py::arg("window_ms"))
      .def("save_checkpoint", &NativeStream::save_checkpoint)
      .def("load_checkpoint", &NativeStream::load_checkpoint)
      .def("stats", &NativeStream::stats)
      .def("rejected_datagrams", &NativeStream::rejected_datagrams)
      .def("save_errno", &NativeStream::save_errno)
      .def("refuse_text", &NativeStream::refuse_text, py::arg("column"), py::arg("characters"))
      .def("is_closed", &NativeStream::is_closed)
      .def("close", &NativeStream::close)
      // Beside the thirteen: the wait of the Python package's blocking emits.
      .def("wait_for_room", &NativeStream::wait_for_room, py::arg("rows"), py::arg("timeout_ms"))
      // And the count behind the package's report of events without a time.
      .def("scan_ready_times", &NativeStream::scan_ready_times, py::arg("field"))
      .def("ready_fd", &NativeStream::ready_fd)
      .def("clear_ready", &NativeStream::clear_ready)
      // The late rows kept by plans with "keep_late".
      .def("take_late_rows", &NativeStream::take_late_rows)
      .def("take_late_rows_arrow", &NativeStream::take_late_rows_arrow)
      .def("worker_wakeups", &NativeStream::worker_wakeups)
      // For tests: the column names the stream's name tables hold.
      .def("live_names", &NativeStream::live_names)
      // The Arrow routes, beside the thirteen.
      .def("emit_arrow", &NativeStream::emit_arrow)
      .def("next_batch_arrow", &NativeStream::next_batch_arrow, py::arg("plan"), py::arg("timeout_ms"))
      .def("aggregate_arrow", &NativeStream::aggregate_arrow, py::arg("data"), py::arg("plan"))
      // Market bars, beside the thirteen; touches no stream.
      .def_static("aggregate_bars", &movra::aggregate_bars, py::arg("timestamps"), py::arg("symbol_id"),
                  py::arg("prices"), py::arg("quantities"), py::arg("window_ms"), py::arg("is_trade"))
      // For the package's checks of list columns; touches no stream.
      .def_static("value_types", &value_types, py::arg("values"));

  movra::define_arrow_result(cls);
}
