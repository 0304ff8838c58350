// The trade fast path: per tumbling window and symbol, the mean and count of
// the values of the rows marked as trades; and market bars over the same
// pass: open, high, low, close, summed volume, price x quantity and count.
//
// Groups are keyed by the exact pair (window start, symbol id); the window
// start is (timestamp / window_ms) * window_ms with the quotient truncated
// toward zero.  Each group's values are added in row order, so the sums do
// not depend on how the pass is carried out (one thread or two, a dense
// table or a hash table).
//
// Pure: the caller may run it without the interpreter lock while it keeps the
// input arrays alive and unchanged.  It may start one helper thread of its
// own, which has ended when the call returns.
#ifndef MOVRA_NUMERIC_TRADE_AGGREGATE_H_
#define MOVRA_NUMERIC_TRADE_AGGREGATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
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

// The running bar of one group.  Open is the price of the row with the
// least timestamp, the first of them in row order when several share it;
// close the price of the row with the greatest timestamp, the last of them
// in row order.  High and low are the greatest and least price; volume the
// sum of the quantities and notional that of price x quantity, each added
// in row order.  All zero while count is 0.
struct BarAggregate {
  double open = 0.0;
  double high = 0.0;
  double low = 0.0;
  double close = 0.0;
  double volume = 0.0;
  double notional = 0.0;
  std::int64_t open_time = 0;
  std::int64_t close_time = 0;
  std::int64_t count = 0;
};

struct BarGroup : BarAggregate {
  std::int64_t window_start = 0;
  std::int64_t symbol_id = 0;
};

// How the pass may be carried out.  The result never depends on these; the
// defaults suit large inputs, and tests set them to reach every way.
struct TradePassOptions {
  // A second thread takes half the work only when each has this many rows.
  std::size_t min_rows_per_thread = std::size_t{1} << 19;
  // Whether groups may live in a dense window x symbol table when a sample
  // of the rows shows that one fits.
  bool dense = true;
};

// The groups of one pass, handed out in order a block at a time, so that no
// copy of them all is made.  It holds the pass's tables until destroyed.
// Not thread-safe: one reader at a time.
template <typename Group>
class GroupReader {
 public:
  virtual ~GroupReader() = default;
  // How many groups there are in all.
  virtual std::size_t size() const = 0;
  // Writes the next groups, at most room of them, to out; returns how many,
  // 0 once every group has been read.
  virtual std::size_t read(Group* out, std::size_t room) = 0;
};

using TradeGroupReader = GroupReader<TradeGroup>;
using BarGroupReader = GroupReader<BarGroup>;

// One pass over n rows.  The groups come sorted by window start, then
// symbol id, both as signed integers.
// REQUIRES: window_ms > 0.
std::unique_ptr<TradeGroupReader> read_trade_groups(const std::int64_t* timestamps,
                                                    const std::uint8_t* is_trade,
                                                    const std::int64_t* symbol_id, const double* values,
                                                    std::size_t n, std::int64_t window_ms,
                                                    const TradePassOptions& options = {});

// The same pass, every group in one vector.
std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps,
                                         const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values,
                                         std::size_t n, std::int64_t window_ms,
                                         const TradePassOptions& options = {});

// The bars of n rows: the rows whose is_trade byte is nonzero (every row
// when is_trade is nullptr) and whose price and quantity are both numbers
// (a row with a NaN price or quantity is left out, as if not a trade).
// Windows as for the trades.  Groups come sorted as read_trade_groups's.
// REQUIRES: window_ms > 0.
std::unique_ptr<BarGroupReader> read_bar_groups(const std::int64_t* timestamps,
                                                const std::uint8_t* is_trade,
                                                const std::int64_t* symbol_id, const double* prices,
                                                const double* quantities, std::size_t n,
                                                std::int64_t window_ms,
                                                const TradePassOptions& options = {});

// The same pass, every bar in one vector.
std::vector<BarGroup> aggregate_bars(const std::int64_t* timestamps, const std::uint8_t* is_trade,
                                     const std::int64_t* symbol_id, const double* prices,
                                     const double* quantities, std::size_t n, std::int64_t window_ms,
                                     const TradePassOptions& options = {});

// Floor of n / d for a divisor fixed in advance: a multiplication and a
// shift instead of a division.  Exact for every n from 0 to 2^63 - 1.
class UnsignedDivider {
 public:
  // REQUIRES: d > 0.
  explicit UnsignedDivider(std::uint64_t d);
  std::uint64_t quotient(std::uint64_t n) const {
    if (shift_ < 0) return n;  // d == 1
    const auto high = static_cast<std::uint64_t>((static_cast<unsigned __int128>(n) * magic_) >> 64);
    return high >> shift_;
  }

 private:
  std::uint64_t magic_ = 0;
  int shift_ = -1;
};

}  // namespace movra

#endif  // MOVRA_NUMERIC_TRADE_AGGREGATE_H_
