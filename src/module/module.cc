// The _movra extension module: binds NativeStream's thirteen operations and
// rejected_datagrams(), and the market-bar pass as the static method
// NativeStream.aggregate_bars.
// Only conversion lives here; the behaviour is in the stream and engine.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "numeric/bar_binding.h"
#include "stream/native_stream.h"

namespace py = pybind11;
using movra::NativeStream;

PYBIND11_MODULE(_movra, m, py::multiple_interpreters::not_supported()) {
  py::classh<NativeStream>(m, "NativeStream")
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
      .def("is_closed", &NativeStream::is_closed)
      .def("close", &NativeStream::close)
      .def_static("aggregate_bars", &movra::aggregate_bars, py::arg("timestamps"), py::arg("symbol_id"),
                  py::arg("prices"), py::arg("quantities"), py::arg("window_ms"), py::arg("is_trade"));
}
