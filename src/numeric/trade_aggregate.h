// The trade fast path: per tumbling window and symbol, the mean and count of
// the values of the rows marked as trades.
//
// Groups are keyed by the exact pair (window start, symbol id); the window
// start is (timestamp / window_ms) * window_ms with the quotient truncated
// toward zero.  Pure and lock-free: the caller may run it without the
// interpreter lock while it keeps the input arrays alive and unchanged.
#ifndef MOVRA_NUMERIC_TRADE_AGGREGATE_H_
#define MOVRA_NUMERIC_TRADE_AGGREGATE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace movra {

struct NumericAggregate {
  double sum = 0.0;
  std::int64_t count = 0;
};

// One (window start, symbol id) group with its running aggregate.
struct TradeGroup : NumericAggregate {
  std::int64_t window_start = 0;
  std::int64_t symbol_id = 0;
};

// One pass over n rows; values are added in row order.  The result is sorted
// by window start, then symbol id, both as signed integers.
// REQUIRES: window_ms > 0.
std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps,
                                         const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values,
                                         std::size_t n, std::int64_t window_ms);

}  // namespace movra

#endif  // MOVRA_NUMERIC_TRADE_AGGREGATE_H_
