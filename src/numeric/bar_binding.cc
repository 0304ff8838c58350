// aggregate_bars: NumPy arrays in, ten NumPy arrays out.  The arguments keep
// the input arrays (or their converted copies) alive for the whole call; the
// pass and the writing of the result arrays run without the interpreter lock.
#include "numeric/bar_binding.h"

#include <cmath>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "model/messages.h"
#include "model/saturating.h"
#include "numeric/trade_aggregate.h"

namespace py = pybind11;

namespace movra {

namespace {

using Int64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using ByteArray = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

}  // namespace

py::dict aggregate_bars(Int64Array timestamps, Int64Array symbol_id, DoubleArray prices,
                        DoubleArray quantities, std::int64_t window_ms, std::optional<ByteArray> mask) {
  if (timestamps.ndim() != 1 || symbol_id.ndim() != 1 || prices.ndim() != 1 || quantities.ndim() != 1 ||
      (mask && mask->ndim() != 1)) {
    throw py::value_error(messages::kNumericOneDimensional);
  }
  const auto n = static_cast<std::size_t>(timestamps.shape(0));
  if (static_cast<std::size_t>(symbol_id.shape(0)) != n || static_cast<std::size_t>(prices.shape(0)) != n ||
      static_cast<std::size_t>(quantities.shape(0)) != n ||
      (mask && static_cast<std::size_t>(mask->shape(0)) != n)) {
    throw py::value_error(messages::kNumericEqualLength);
  }
  if (window_ms <= 0) throw py::value_error(messages::kWindowMsPositive);

  const std::int64_t* ts = timestamps.data();
  const std::uint8_t* trade = mask ? mask->data() : nullptr;
  const std::int64_t* sym = symbol_id.data();
  const double* price = prices.data();
  const double* qty = quantities.data();
  std::unique_ptr<BarGroupReader> reader;
  {
    py::gil_scoped_release release;
    reader = read_bar_groups(ts, trade, sym, price, qty, n, window_ms);
  }

  const auto g = static_cast<py::ssize_t>(reader->size());
  Int64Array starts(g), ends(g), symbols(g), counts(g);
  DoubleArray open(g), high(g), low(g), close(g), volume(g), vwap(g);
  {
    std::int64_t* start_out = starts.mutable_data();
    std::int64_t* end_out = ends.mutable_data();
    std::int64_t* symbol_out = symbols.mutable_data();
    std::int64_t* count_out = counts.mutable_data();
    double* open_out = open.mutable_data();
    double* high_out = high.mutable_data();
    double* low_out = low.mutable_data();
    double* close_out = close.mutable_data();
    double* volume_out = volume.mutable_data();
    double* vwap_out = vwap.mutable_data();
    py::gil_scoped_release release;
    BarGroup block[256];
    std::size_t i = 0;
    while (const std::size_t got = reader->read(block, std::size(block))) {
      for (std::size_t k = 0; k < got; ++k, ++i) {
        const BarGroup& bar = block[k];
        start_out[i] = bar.window_start;
        end_out[i] = sat_add(bar.window_start, window_ms);
        symbol_out[i] = bar.symbol_id;
        open_out[i] = bar.open;
        high_out[i] = bar.high;
        low_out[i] = bar.low;
        close_out[i] = bar.close;
        volume_out[i] = bar.volume;
        vwap_out[i] = bar.volume != 0.0 ? bar.notional / bar.volume : std::numeric_limits<double>::quiet_NaN();
        count_out[i] = bar.count;
      }
    }
    reader.reset();  // frees the pass's tables without the lock
  }

  py::dict result;
  result["window_start"] = std::move(starts);
  result["window_end"] = std::move(ends);
  result["symbol_id"] = std::move(symbols);
  result["open"] = std::move(open);
  result["high"] = std::move(high);
  result["low"] = std::move(low);
  result["close"] = std::move(close);
  result["volume"] = std::move(volume);
  result["vwap"] = std::move(vwap);
  result["count"] = std::move(counts);
  return result;
}

}  // namespace movra
