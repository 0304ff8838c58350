// aggregate_trade_numeric: NumPy arrays in, five Python lists out.  The pass
// over the rows runs without the interpreter lock; the arrays stay referenced
// by the arguments for the whole call.
#include <algorithm>
#include <bit>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <vector>

#include "model/messages.h"
#include "numeric/trade_aggregate.h"
#include "stream/native_stream.h"

namespace py = pybind11;

namespace movra {

namespace {

py::list new_list(std::size_t n) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(n));
  if (l == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

void set_item(py::list& list, std::size_t i, PyObject* value) {
  if (value == nullptr) throw py::error_already_set();
  PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), value);
}

// The int objects of the symbol ids.  Ids repeat from window to window, so
// each id's object is kept in a slot chosen by its low bits and shared
// while no other id takes that slot.  REQUIRES: the GIL is held for the
// object's whole life.
class SymbolObjects {
 public:
  // Room for up to 8,192 ids at once, and no more slots than groups.
  explicit SymbolObjects(std::size_t groups)
      : slots_(std::bit_ceil(std::clamp<std::size_t>(groups, 1, 8192))) {}
  ~SymbolObjects() {
    for (const Slot& s : slots_) Py_XDECREF(s.object);
  }
  SymbolObjects(const SymbolObjects&) = delete;
  SymbolObjects& operator=(const SymbolObjects&) = delete;

  // A new reference to the int of id; nullptr with a Python error set when
  // it cannot be made.
  PyObject* get(std::int64_t id) {
    Slot& s = slots_[static_cast<std::size_t>(static_cast<std::uint64_t>(id) & (slots_.size() - 1))];
    if (s.object == nullptr || s.id != id) {
      PyObject* made = PyLong_FromLongLong(id);
      if (made == nullptr) return nullptr;
      Py_XDECREF(s.object);
      s = Slot{id, made};
    }
    Py_INCREF(s.object);
    return s.object;
  }

 private:
  struct Slot {
    std::int64_t id = 0;
    PyObject* object = nullptr;
  };
  std::vector<Slot> slots_;
};

}  // namespace

py::dict NativeStream::aggregate_trade_numeric(NumericArray<std::int64_t> timestamps,
                                               NumericArray<std::uint8_t> is_trade,
                                               NumericArray<std::int64_t> symbol_id,
                                               NumericArray<double> values,
                                               std::int64_t window_ms) {
  if (timestamps.ndim() != 1 || is_trade.ndim() != 1 || symbol_id.ndim() != 1 ||
      values.ndim() != 1) {
    throw py::value_error(messages::kNumericOneDimensional);
  }
  const auto n = static_cast<std::size_t>(timestamps.shape(0));
  if (static_cast<std::size_t>(is_trade.shape(0)) != n ||
      static_cast<std::size_t>(symbol_id.shape(0)) != n ||
      static_cast<std::size_t>(values.shape(0)) != n) {
    throw py::value_error(messages::kNumericEqualLength);
  }
  if (window_ms <= 0) throw py::value_error(messages::kWindowMsPositive);

  const std::int64_t* ts = timestamps.data();
  const std::uint8_t* trade = is_trade.data();
  const std::int64_t* sym = symbol_id.data();
  const double* val = values.data();
  std::unique_ptr<TradeGroupReader> reader;
  {
    py::gil_scoped_release release;
    reader = read_trade_groups(ts, trade, sym, val, n, window_ms);
  }

  const std::size_t g = reader->size();
  py::list starts = new_list(g), ends = new_list(g), symbols = new_list(g), means = new_list(g),
           counts = new_list(g);
  // Groups of one window share their start and end objects.
  py::object start_obj, end_obj;
  std::int64_t window = 0;
  SymbolObjects symbol_objects(g);
  TradeGroup block[256];
  std::size_t i = 0;
  while (const std::size_t got = reader->read(block, std::size(block))) {
    for (std::size_t k = 0; k < got; ++k, ++i) {
      const TradeGroup& grp = block[k];
      if (i == 0 || grp.window_start != window) {
        window = grp.window_start;
        start_obj = py::reinterpret_steal<py::object>(PyLong_FromLongLong(grp.window_start));
        end_obj = py::reinterpret_steal<py::object>(
            PyLong_FromLongLong(sat_add(grp.window_start, window_ms)));
        if (!start_obj || !end_obj) throw py::error_already_set();
      }
      set_item(starts, i, start_obj.inc_ref().ptr());
      set_item(ends, i, end_obj.inc_ref().ptr());
      set_item(symbols, i, symbol_objects.get(grp.symbol_id));
      set_item(means, i, PyFloat_FromDouble(grp.sum / static_cast<double>(grp.count)));
      set_item(counts, i, PyLong_FromLongLong(grp.count));
    }
  }
  bump(counters.ingested, n);
  bump(counters.output_batches);
  bump(counters.output_rows, g);

  py::dict result;
  result["window_start"] = std::move(starts);
  result["window_end"] = std::move(ends);
  result["symbol_id"] = std::move(symbols);
  result["avg_value"] = std::move(means);
  result["count"] = std::move(counts);
  return result;
}

}  // namespace movra
