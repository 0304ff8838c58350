// C++ micro-benchmarks of the core: the datagram parser and the trade pass.
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "model/json_datagram.h"
#include "numeric/trade_aggregate.h"

using namespace movra;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main() {
  const std::string datagram =
      R"({"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123})";
  const int reps = 2000000;
  std::size_t columns = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) columns += parse_flat_json_object(datagram)->size();
  const double dt = seconds_since(t0);
  std::printf("parser: %zu-byte datagram, %.2f M datagrams/s (%.0f ns each, %zu columns)\n",
              datagram.size(), reps / dt / 1e6, dt / reps * 1e9, columns / reps);

  const std::size_t n = 10000000;
  std::vector<std::int64_t> ts(n), sym(n);
  std::vector<std::uint8_t> trade(n);
  std::vector<double> val(n);
  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < n; ++i) {
    ts[i] = 1700000000000 + static_cast<std::int64_t>(i * 3600000 / n);
    sym[i] = static_cast<std::int64_t>(rng() % 50);
    trade[i] = rng() & 1;
    val[i] = static_cast<double>(rng() % 1000) / 10.0;
  }
  t0 = std::chrono::steady_clock::now();
  auto groups = aggregate_trades(ts.data(), trade.data(), sym.data(), val.data(), n, 1000);
  std::printf("trade pass: %zu rows, %zu groups, %.1f ms\n", n, groups.size(),
              seconds_since(t0) * 1e3);
  return 0;
}
