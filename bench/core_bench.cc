// C++ micro-benchmarks of the core: the datagram parser, the trade pass and
// the window engine.  `movra_core_bench [parser|trades|engine]` runs one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/window_engine.h"
#include "model/json_datagram.h"
#include "numeric/trade_aggregate.h"

using namespace movra;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void bench_parser() {
  const std::string datagram =
      R"({"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123})";
  const int reps = 2000000;
  std::size_t columns = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) columns += parse_flat_json_object(datagram)->size();
  const double dt = seconds_since(t0);
  std::printf("parser: %zu-byte datagram, %.2f M datagrams/s (%.0f ns each, %zu columns)\n",
              datagram.size(), reps / dt / 1e6, dt / reps * 1e9, columns / reps);
}

// 10,000,000 rows, half of them trades, timestamps sorted over span_ms.
void bench_trades(std::int64_t symbols, std::int64_t span_ms) {
  const std::size_t n = 10000000;
  std::vector<std::int64_t> ts(n), sym(n);
  std::vector<std::uint8_t> trade(n);
  std::vector<double> val(n);
  std::mt19937_64 rng(7);
  for (std::size_t i = 0; i < n; ++i) {
    ts[i] = 1700000000000 + static_cast<std::int64_t>(i * static_cast<std::size_t>(span_ms) / n);
    sym[i] = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(symbols));
    trade[i] = rng() & 1;
    val[i] = static_cast<double>(rng() % 1000) / 10.0;
  }
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    auto groups = aggregate_trades(ts.data(), trade.data(), sym.data(), val.data(), n, 1000);
    std::printf("trade pass: %zu rows, %lld symbols, %zu groups, %.1f ms\n", n,
                static_cast<long long>(symbols), groups.size(),
                seconds_since(t0) * 1e3);
  }
}

void bench_engine() {
  const std::size_t rows = 1000000;
  Batch batch;
  batch.reserve(rows);
  std::mt19937_64 rng(5);
  std::vector<std::int64_t> times(rows);
  for (auto& t : times) t = static_cast<std::int64_t>(rng() % 3600000);
  std::sort(times.begin(), times.end());
  for (std::size_t i = 0; i < rows; ++i) {
    Row row;
    row.set(std::string_view("timestamp"), times[i]);
    char g[8];
    std::snprintf(g, sizeof g, "G%03d", static_cast<int>(rng() % 100));
    row.set(std::string_view("g"), std::string(g));
    row.set(std::string_view("v"), static_cast<double>(rng() % 1000));
    batch.push_back(std::move(row));
  }
  {
    Batch copy = batch;
    const auto t0 = std::chrono::steady_clock::now();
    copy = Batch();
    std::printf("freeing %zu rows alone: %.1f ms\n", rows, seconds_since(t0) * 1e3);
  }
  PlanSpec plan;
  plan.window = WindowSpec{10, std::string("g"), "timestamp"};
  plan.mean = MeanSpec{"v", "avg"};
  plan.drop_late = false;
  Stats stats;
  ProcessorState state;
  const auto t0 = std::chrono::steady_clock::now();
  Batch out = process_rows(stats, state, std::move(batch), plan);
  const double engine = seconds_since(t0);
  std::printf("window engine: %zu rows -> %zu closed windows in %.1f ms (%.0f ns/row)\n", rows,
              out.size(), engine * 1e3, engine / rows * 1e9);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string only = argc > 1 ? argv[1] : "";
  if (only.empty() || only == "parser") bench_parser();
  if (only.empty() || only == "trades") bench_trades(50, 3600000);
  if (only.empty() || only == "trades2") bench_trades(5000, 60000);
  if (only.empty() || only == "engine") bench_engine();
  return 0;
}
