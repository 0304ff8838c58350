#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>

#include "numeric/trade_aggregate.h"
#include "test.h"

using namespace movra;

namespace {
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
}  // namespace

TEST(trades_group_by_exact_window_and_symbol) {
  const std::int64_t ts[] = {1500, 1999, 2000, 1500, 1200, 1500, 1500, -1, -1000, -1001};
  const std::uint8_t trade[] = {1, 1, 1, 0, 1, 2, 1, 1, 1, 1};
  const std::int64_t sym[] = {7, 7, 7, 7, 3, 1048581, 5, -1, -1, -1};
  const double val[] = {10, 20, 30, 99, 5, 1, 2, 4, 6, 8};
  auto g = aggregate_trades(ts, trade, sym, val, 10, 1000);
  // (-1000,-1): -1000 and -1001; (0,-1): -1; (1000,3); (1000,5); (1000,7);
  // (1000,1048581); (2000,7)
  CHECK_EQ(g.size(), 7u);
  CHECK_EQ(g[0].window_start, -1000);
  CHECK_EQ(g[0].count, 2);
  CHECK_EQ(g[1].window_start, 0);
  CHECK_EQ(g[1].symbol_id, -1);
  CHECK_EQ(g[2].symbol_id, 3);
  CHECK_EQ(g[3].symbol_id, 5);
  CHECK_EQ(g[4].symbol_id, 7);
  CHECK_EQ(g[4].sum, 30.0);
  CHECK_EQ(g[5].symbol_id, 1048581);
  CHECK_EQ(g[6].window_start, 2000);
}

TEST(trade_table_grows_past_its_first_size) {
  std::vector<std::int64_t> ts, sym;
  std::vector<std::uint8_t> trade;
  std::vector<double> val;
  for (int i = 0; i < 100000; ++i) {
    ts.push_back(i * 7);
    sym.push_back(i % 97);
    trade.push_back(1);
    val.push_back(1.0);
  }
  auto g = aggregate_trades(ts.data(), trade.data(), sym.data(), val.data(), ts.size(), 1000);
  std::int64_t total = 0;
  for (const auto& x : g) total += x.count;
  CHECK_EQ(total, 100000);
  for (std::size_t i = 1; i < g.size(); ++i) {
    CHECK(g[i - 1].window_start < g[i].window_start ||
          (g[i - 1].window_start == g[i].window_start && g[i - 1].symbol_id < g[i].symbol_id));
  }
}

namespace {

struct Trades {
  std::vector<std::int64_t> ts, sym;
  std::vector<std::uint8_t> trade;
  std::vector<double> val;
  void add(std::int64_t t, std::uint8_t is_trade, std::int64_t s, double v) {
    ts.push_back(t);
    trade.push_back(is_trade);
    sym.push_back(s);
    val.push_back(v);
  }
};

// The plain definition: an ordered map of groups, values added in row order.
std::vector<TradeGroup> model(const Trades& d, std::int64_t w) {
  std::map<std::pair<std::int64_t, std::int64_t>, NumericAggregate> groups;
  for (std::size_t i = 0; i < d.ts.size(); ++i) {
    if (d.trade[i] == 0) continue;
    NumericAggregate& g = groups[{d.ts[i] / w * w, d.sym[i]}];
    g.sum += d.val[i];
    g.count += 1;
  }
  std::vector<TradeGroup> out;
  for (const auto& [key, g] : groups) {
    TradeGroup x;
    static_cast<NumericAggregate&>(x) = g;
    x.window_start = key.first;
    x.symbol_id = key.second;
    out.push_back(x);
  }
  return out;
}

// Every way of running the pass (one thread or two, with or without the
// dense table) gives the model's groups, sums equal to the bit.
void check_every_way(const std::string& name, const Trades& d, std::int64_t w) {
  const std::vector<TradeGroup> want = model(d, w);
  for (const std::size_t per_thread : {std::size_t{1} << 30, std::size_t{500}}) {
    for (const bool dense : {true, false}) {
      // Read in blocks of 7: every block boundary falls somewhere new.
      auto reader = read_trade_groups(d.ts.data(), d.trade.data(), d.sym.data(), d.val.data(),
                                      d.ts.size(), w, TradePassOptions{per_thread, dense});
      std::vector<TradeGroup> got(reader->size() + 7);
      std::size_t read = 0;
      while (const std::size_t k = reader->read(got.data() + read, std::min<std::size_t>(7, got.size() - read))) read += k;
      got.resize(read);
      bool same = reader->size() == want.size() && read == want.size();
      for (std::size_t i = 0; same && i < got.size(); ++i) {
        same = got[i].window_start == want[i].window_start && got[i].symbol_id == want[i].symbol_id &&
               got[i].count == want[i].count &&
               std::memcmp(&got[i].sum, &want[i].sum, sizeof(double)) == 0;
      }
      if (!same) {
        CHECK_EQ(name + (dense ? " dense" : " sparse") + (per_thread < 1000 ? " two threads" : ""),
                 std::string("matches the model"));
      }
    }
  }
}

}  // namespace

TEST(trade_pass_matches_the_model_every_way) {
  std::mt19937_64 rng(17);
  const auto value = [&] { return static_cast<double>(static_cast<std::int64_t>(rng() % 2001) - 1000) * 0.37 + 1e15 * (rng() % 7 == 0); };
  const std::size_t n = 20000;
  Trades sorted, shuffled, late, outliers, tiny, negative, all_other;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t t = 1700000000000 + static_cast<std::int64_t>(i * 37);
    const std::uint8_t trade = (rng() % 3) != 0 ? static_cast<std::uint8_t>(1 + rng() % 3) : 0;
    sorted.add(t, trade, static_cast<std::int64_t>(rng() % 40), value());
    tiny.add(static_cast<std::int64_t>(i), trade, static_cast<std::int64_t>(rng() % 3), value());
    negative.add(static_cast<std::int64_t>(rng() % 200001) - 100000, trade,
                 static_cast<std::int64_t>(rng() % 21) - 10, value());
    all_other.add(t, 0, 1, value());
  }
  shuffled = sorted;
  std::shuffle(shuffled.ts.begin(), shuffled.ts.end(), rng);
  late = sorted;
  for (int k = 0; k < 30; ++k) late.ts[n / 2 + rng() % (n / 2)] -= 50000;  // in both halves' time
  outliers = sorted;
  for (int k = 0; k < 50; ++k) {
    outliers.sym[rng() % n] = static_cast<std::int64_t>(rng());     // far outside the table
    outliers.ts[rng() % n] = static_cast<std::int64_t>(rng() >> 1);  // far away windows
  }
  // One row a millisecond: with 3000 ms windows the first half's last
  // window is the second half's first.  With 30000 ms windows all rows share
  // one window, but for a row far away in the second half, after which the
  // rows come back to the shared window.
  Trades away_and_back = tiny;
  away_and_back.ts[n / 2 + 100] = 1000000000000;
  away_and_back.trade[n / 2 + 100] = 1;
  Trades extremes;
  for (std::int64_t t : std::initializer_list<std::int64_t>{kMin, kMin + 1, -1001, -1000, -999, -1, 0, 1, 999, 1000, kMax - 1, kMax}) {
    for (int k = 0; k < 3; ++k) extremes.add(t, 1, k - 1, value());
  }
  // In time order, no trade in the first half, the second starting at the
  // smallest time (a window start of the smallest value with 1 ms windows).
  Trades late_start;
  for (int i = 0; i < 3000; ++i) late_start.add(i < 1600 ? kMin : kMin + 1, i >= 1500, i % 3, value());
  check_every_way("sorted", sorted, 1000);
  check_every_way("sorted, 1 ms windows", sorted, 1);
  check_every_way("shuffled", shuffled, 1000);
  check_every_way("late rows", late, 1000);
  check_every_way("outliers", outliers, 1000);
  check_every_way("a window per row", tiny, 1);
  check_every_way("halves sharing a window", tiny, 3000);
  check_every_way("halves sharing a window, a row far away", away_and_back, 30000);
  check_every_way("negative times and symbols", negative, 7000);
  check_every_way("no trades", all_other, 1000);
  check_every_way("extreme times", extremes, 1000);
  check_every_way("extreme times, 1 ms windows", extremes, 1);
  check_every_way("no trade in the first half", late_start, 1);
  check_every_way("extreme times, widest window", extremes, kMax);
}

TEST(trade_pass_is_exact_when_denormals_read_as_zero) {
  // With DAZ set, adding +0.0 to a denormal sum would make it 0: the pass
  // must then add only the trade rows' values, as the model does.
  Trades d;
  for (int i = 0; i < 20000; ++i) d.add(i, static_cast<std::uint8_t>(i % 2), i % 3, i % 5 == 0 ? 1e-310 : 0.0);
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x0040u);
  check_every_way("denormals as zero", d, 100000);
  _mm_setcsr(saved);
}

TEST(unsigned_divider_matches_division) {
  std::mt19937_64 rng(5);
  std::vector<std::uint64_t> divisors = {1, 2, 3, 7, 10, 1000, 60000, 86400000, (std::uint64_t{1} << 32) + 1,
                                         (std::uint64_t{1} << 62) + 3, (std::uint64_t{1} << 63) - 1};
  for (int k = 0; k < 200; ++k) divisors.push_back(1 + (rng() >> (rng() % 63)));
  for (const std::uint64_t d : divisors) {
    const UnsignedDivider divider(d);
    const std::uint64_t top = std::uint64_t{1} << 63;
    for (std::uint64_t n : std::initializer_list<std::uint64_t>{0, 1, d - 1, d, d + 1, top - 1, top - d}) {
      if (n >= top) continue;
      CHECK_EQ(divider.quotient(n), n / d);
    }
    for (int k = 0; k < 2000; ++k) {
      const std::uint64_t n = rng() >> 1;
      if (divider.quotient(n) != n / d) CHECK_EQ(divider.quotient(n), n / d);
    }
  }
}

namespace {

struct Prints {
  std::vector<std::int64_t> ts, sym;
  std::vector<std::uint8_t> trade;
  std::vector<double> price, qty;
  void add(std::int64_t t, std::uint8_t is_trade, std::int64_t s, double p, double q) {
    ts.push_back(t);
    trade.push_back(is_trade);
    sym.push_back(s);
    price.push_back(p);
    qty.push_back(q);
  }
};

// The plain definition of a bar: rows taken in row order into an ordered
// map; open is the first row of the least time, close the last row of the
// greatest.
std::vector<BarGroup> bar_model(const Prints& d, std::int64_t w, bool masked) {
  std::map<std::pair<std::int64_t, std::int64_t>, BarAggregate> groups;
  for (std::size_t i = 0; i < d.ts.size(); ++i) {
    if ((masked && d.trade[i] == 0) || std::isnan(d.price[i]) || std::isnan(d.qty[i])) continue;
    BarAggregate& g = groups[{d.ts[i] / w * w, d.sym[i]}];
    const double p = d.price[i];
    const std::int64_t t = d.ts[i];
    if (g.count == 0 || t < g.open_time) g.open = p, g.open_time = t;
    if (g.count == 0 || t >= g.close_time) g.close = p, g.close_time = t;
    if (g.count == 0 || p > g.high) g.high = p;
    if (g.count == 0 || p < g.low) g.low = p;
    g.volume += d.qty[i];
    g.notional += p * d.qty[i];
    g.count += 1;
  }
  std::vector<BarGroup> out;
  for (const auto& [key, g] : groups) {
    BarGroup x;
    static_cast<BarAggregate&>(x) = g;
    x.window_start = key.first;
    x.symbol_id = key.second;
    out.push_back(x);
  }
  return out;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof(double)) == 0; }

bool same_bar(const BarGroup& a, const BarGroup& b) {
  return a.window_start == b.window_start && a.symbol_id == b.symbol_id && a.count == b.count &&
         a.open_time == b.open_time && a.close_time == b.close_time && same_bits(a.open, b.open) &&
         same_bits(a.high, b.high) && same_bits(a.low, b.low) && same_bits(a.close, b.close) &&
         same_bits(a.volume, b.volume) && same_bits(a.notional, b.notional);
}

// Every way of running the pass gives the model's bars, to the bit, with
// and without the trade mask.
void check_bars_every_way(const std::string& name, const Prints& d, std::int64_t w) {
  for (const bool masked : {true, false}) {
    const std::vector<BarGroup> want = bar_model(d, w, masked);
    for (const std::size_t per_thread : {std::size_t{1} << 30, std::size_t{500}}) {
      for (const bool dense : {true, false}) {
        auto reader = read_bar_groups(d.ts.data(), masked ? d.trade.data() : nullptr, d.sym.data(),
                                      d.price.data(), d.qty.data(), d.ts.size(), w,
                                      TradePassOptions{per_thread, dense});
        std::vector<BarGroup> got(reader->size() + 7);
        std::size_t read = 0;
        while (const std::size_t k = reader->read(got.data() + read, std::min<std::size_t>(7, got.size() - read))) read += k;
        got.resize(read);
        bool same = reader->size() == want.size() && read == want.size();
        for (std::size_t i = 0; same && i < got.size(); ++i) same = same_bar(got[i], want[i]);
        if (!same) {
          CHECK_EQ(name + (masked ? " masked" : " unmasked") + (dense ? " dense" : " sparse") +
                       (per_thread < 1000 ? " two threads" : ""),
                   std::string("matches the model"));
        }
      }
    }
  }
}

}  // namespace

TEST(bars_follow_first_and_last_rows_of_a_window) {
  // Window [1000, 2000) of symbol 7: times 1500, 1200, 1200, 1900, 1900.
  const std::int64_t ts[] = {1500, 1200, 1200, 1900, 1900, -1, 2000};
  const std::int64_t sym[] = {7, 7, 7, 7, 7, 7, 7};
  const double price[] = {10, 11, 12, 9, 13, 5, 1};
  const double qty[] = {1, 2, 0, 3, 4, 1, 0};
  auto g = aggregate_bars(ts, nullptr, sym, price, qty, 7, 1000);
  CHECK_EQ(g.size(), 3u);
  CHECK_EQ(g[0].window_start, 0);  // -1 falls in the window that starts at 0
  CHECK_EQ(g[1].window_start, 1000);
  CHECK_EQ(g[1].open, 11.0);   // the first of the two rows at 1200
  CHECK_EQ(g[1].close, 13.0);  // the last of the two rows at 1900
  CHECK_EQ(g[1].high, 13.0);
  CHECK_EQ(g[1].low, 9.0);
  CHECK_EQ(g[1].volume, 10.0);
  CHECK_EQ(g[1].notional, 10.0 + 22.0 + 27.0 + 52.0);
  CHECK_EQ(g[1].count, 5);
  CHECK_EQ(g[2].volume, 0.0);
}

TEST(bar_pass_matches_the_model_every_way) {
  std::mt19937_64 rng(23);
  const auto price = [&] {
    if (rng() % 500 == 0) return std::numeric_limits<double>::quiet_NaN();
    return 100.0 + static_cast<double>(static_cast<std::int64_t>(rng() % 2001) - 1000) * 0.01;
  };
  const auto qty = [&] {
    if (rng() % 700 == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(rng() % 50) * 0.5;
  };
  const std::size_t n = 20000;
  Prints sorted, ties, negative;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t trade = (rng() % 3) != 0 ? 1 : 0;
    sorted.add(1700000000000 + static_cast<std::int64_t>(i * 37), trade, static_cast<std::int64_t>(rng() % 40),
               price(), qty());
    ties.add(static_cast<std::int64_t>(i / 16), trade, static_cast<std::int64_t>(rng() % 3), price(), qty());
    negative.add(static_cast<std::int64_t>(rng() % 200001) - 100000, trade, static_cast<std::int64_t>(rng() % 21) - 10,
                 price(), qty());
  }
  Prints shuffled = sorted;
  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (std::size_t i = 0; i < n; ++i) shuffled.ts[i] = sorted.ts[order[i]];
  Prints ties_shuffled = ties;
  std::shuffle(ties_shuffled.ts.begin(), ties_shuffled.ts.end(), rng);
  Prints sparse = sorted;
  for (int k = 0; k < 50; ++k) sparse.sym[rng() % n] = static_cast<std::int64_t>(rng());
  Prints extremes;
  for (std::int64_t t : std::initializer_list<std::int64_t>{kMin, kMin + 1, -1001, -1000, -999, -1, 0, 1, 999, 1000, kMax - 1, kMax}) {
    for (int k = 0; k < 3; ++k) extremes.add(t, 1, k - 1, price(), qty());
  }
  check_bars_every_way("sorted", sorted, 1000);
  check_bars_every_way("sorted, 1 ms windows", sorted, 1);
  check_bars_every_way("shuffled", shuffled, 1000);
  check_bars_every_way("ties in time", ties, 100);
  check_bars_every_way("ties in time, shuffled", ties_shuffled, 100);
  check_bars_every_way("ties in time, 1 ms windows", ties, 1);
  check_bars_every_way("negative times and symbols", negative, 7000);
  check_bars_every_way("sparse symbols", sparse, 1000);
  check_bars_every_way("extreme times", extremes, 1000);
  check_bars_every_way("extreme times, widest window", extremes, kMax);
}

// The four shapes of the bars benchmark, scaled down, over many seeds: each
// input has runs of sorted rows broken by shuffled blocks (so that a pass
// goes back and forth between its ordered and scattered ways), rows far
// outside the sampled range of times and symbols, NaN prices and
// quantities, and repeated timestamps.
TEST(bar_pass_matches_the_model_on_random_shapes) {
  struct Shape {
    const char* name;
    std::int64_t symbols, windows, w;
    bool shuffled;
  };
  const Shape shapes[] = {{"A", 50, 40, 1000, false},
                          {"B", 2000, 4, 1000, false},
                          {"C", 100, 6, 60000, false},
                          {"D", 50, 40, 1000, true}};
  for (std::uint64_t seed = 0; seed < 24; ++seed) {
    for (const Shape& shape : shapes) {
      std::mt19937_64 rng(seed * 131 + static_cast<std::uint64_t>(shape.symbols));
      const std::size_t n = 6000 + rng() % 6000;
      const std::int64_t t0 = 1700000000000 - (seed % 3 == 0 ? 1700000000000 + shape.w * 3 : 0);
      const std::int64_t span = shape.windows * shape.w;
      std::vector<std::int64_t> times(n);
      for (auto& t : times) t = t0 + static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(span));
      std::sort(times.begin(), times.end());
      if (shape.shuffled) {
        std::shuffle(times.begin(), times.end(), rng);
      } else if (seed % 2 == 1) {
        for (std::size_t block = 0; block + 3000 < n; block += 5000) {
          std::shuffle(times.begin() + static_cast<std::ptrdiff_t>(block),
                       times.begin() + static_cast<std::ptrdiff_t>(block + 3000), rng);
        }
      }
      Prints d;
      for (std::size_t i = 0; i < n; ++i) {
        std::int64_t s = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(shape.symbols));
        std::int64_t t = times[i];
        if (rng() % 997 == 0) t += (rng() % 2 ? 1 : -1) * span * 5;  // outside the table's windows
        if (rng() % 991 == 0) s += shape.symbols * 3;                // outside its symbols
        if (seed % 4 == 2 && i > 0 && rng() % 4 == 0) t = d.ts.back();  // ties in time
        double price = 100.0 + static_cast<double>(static_cast<std::int64_t>(rng() % 4001) - 2000) * 0.01;
        double qty = static_cast<double>(rng() % 100) * 0.25;
        if (rng() % 613 == 0) price = std::numeric_limits<double>::quiet_NaN();
        if (rng() % 617 == 0) qty = std::numeric_limits<double>::quiet_NaN();
        d.add(t, static_cast<std::uint8_t>(rng() % 2), s, price, qty);
      }
      check_bars_every_way(std::string("shape ") + shape.name + " seed " + std::to_string(seed), d, shape.w);
    }
  }
}
