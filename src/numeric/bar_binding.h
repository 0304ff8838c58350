// aggregate_bars: market bars per window and symbol from NumPy arrays, bound
// as the static method NativeStream.aggregate_bars.  It touches no stream.
#ifndef MOVRA_NUMERIC_BAR_BINDING_H_
#define MOVRA_NUMERIC_BAR_BINDING_H_

#include <cstdint>
#include <optional>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace movra {

// Validates the arrays as aggregate_trade_numeric does (dimensions, then
// lengths, then window_ms > 0; is_trade, when not None, takes part in both
// checks), runs the bar pass with the interpreter lock released, and returns
// a dict of ten NumPy arrays, one element per (window, symbol) group,
// ordered by window start, then symbol id: "window_start", "window_end",
// "symbol_id", "open", "high", "low", "close", "volume", "vwap" (volume-
// weighted price: the sum of price x quantity over the volume, NaN when the
// volume is 0) and "count".  The arrays are written without the lock too.
// REQUIRES: the interpreter lock is held.
pybind11::dict aggregate_bars(
    pybind11::array_t<std::int64_t, pybind11::array::c_style | pybind11::array::forcecast> timestamps,
    pybind11::array_t<std::int64_t, pybind11::array::c_style | pybind11::array::forcecast> symbol_id,
    pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast> prices,
    pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast> quantities,
    std::int64_t window_ms,
    std::optional<pybind11::array_t<std::uint8_t, pybind11::array::c_style | pybind11::array::forcecast>>
        is_trade);

}  // namespace movra

#endif  // MOVRA_NUMERIC_BAR_BINDING_H_
