#include "numeric/trade_aggregate.h"
#include "test.h"

using namespace movra;

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
