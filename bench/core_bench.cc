// C++ micro-benchmarks of the core: the datagram parser, the trade pass and
// the window engine.  `movra_core_bench [parser|tradesA..D|engine|stream|aggs|checkpoint|receive|sketches]`
// runs one; `movra_core_bench flood PORT RATE SECONDS` is the UDP sender.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "engine/aggregates.h"
#include "engine/window_engine.h"
#include "model/event_chunk.h"
#include "model/json_datagram.h"
#include "model/utf8.h"
#include "numeric/trade_aggregate.h"
#include "state/checkpoint.h"

using namespace movra;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void bench_parser(int reps) {
  const std::string datagram =
      R"({"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123})";
  std::size_t columns = 0;
  std::vector<Row> rows;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) {
    rows.clear();
    parse_json_datagram(datagram, rows);
    columns += rows.front().size();
  }
  const double dt = seconds_since(t0);
  std::printf("parser into Rows: %zu-byte datagram, %.2f M datagrams/s (%.0f ns each, %zu columns)\n",
              datagram.size(), reps / dt / 1e6, dt / reps * 1e9, columns / reps);
  // The worker's route: into a column chunk, which is handed on and
  // started afresh every few thousand events.
  EventChunk chunk(std::make_shared<NameTable>());
  std::size_t events = 0;
  const auto t1 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) {
    if (chunk.size() == 4096) {
      events += chunk.size();
      chunk.clear();
    }
    parse_json_datagram(datagram, chunk);
  }
  events += chunk.size();
  const double dc = seconds_since(t1);
  std::printf("parser into column chunks: %.2f M datagrams/s (%.0f ns each, %zu events)\n",
              reps / dc / 1e6, dc / reps * 1e9, events);
}

// 10,000,000 rows, half of them trades, timestamps sorted over span_ms (or
// shuffled), in windows of window_ms.
void bench_trades(std::int64_t symbols, std::int64_t span_ms, std::int64_t window_ms, bool shuffled, int reps) {
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
  if (shuffled) std::shuffle(ts.begin(), ts.end(), rng);
  for (int rep = 0; rep < reps; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    auto groups = aggregate_trades(ts.data(), trade.data(), sym.data(), val.data(), n, window_ms);
    std::printf("trade pass: %zu rows, %lld symbols, %lld ms windows%s, %zu groups, %.1f ms\n", n,
                static_cast<long long>(symbols), static_cast<long long>(window_ms),
                shuffled ? " shuffled" : "", groups.size(), seconds_since(t0) * 1e3);
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

// The windowed stream of bench_engine.py's streaming(), engine part only:
// 1,000,000 events (string id, timestamp, sym, px) in 100 chunks, 1 s mean
// windows by sym, plain and with de-duplication, watermark and lateness.
void bench_stream() {
  const std::size_t n = 1000000;
  const std::size_t per_chunk = 10000;
  std::mt19937_64 rng(7);
  auto names = std::make_shared<NameTable>();
  std::vector<std::shared_ptr<const EventChunk>> chunks;
  for (std::size_t c = 0; c < n; c += per_chunk) {
    auto chunk = std::make_shared<EventChunk>(names);
    const std::size_t id_col = chunk->column_index("id");
    const std::size_t ts_col = chunk->column_index("timestamp");
    const std::size_t sym_col = chunk->column_index("sym");
    const std::size_t px_col = chunk->column_index("px");
    for (std::size_t i = c; i < c + per_chunk; ++i) {
      const std::size_t id = rng() % 50 == 0 ? rng() % (i + 1) : i;
      char text[16];
      std::snprintf(text, sizeof text, "ev-%08zu", id);
      chunk->begin_event();
      chunk->set_string(id_col, text);
      chunk->set_int(ts_col, std::max<std::int64_t>(0, static_cast<std::int64_t>(i / 4) - static_cast<std::int64_t>(rng() % 3050) + 50));
      std::snprintf(text, sizeof text, "S%03d", static_cast<int>(rng() % 100));
      chunk->set_string(sym_col, text);
      chunk->set_double(px_col, 100.0 + static_cast<double>(rng() % 1000) / 100.0);
      chunk->end_event();
    }
    chunks.push_back(std::move(chunk));
  }
  for (const bool dedup : {false, true}) {
    PlanSpec plan;
    plan.window = WindowSpec{1, std::string("sym"), "timestamp"};
    plan.mean = MeanSpec{"px", "avg"};
    if (dedup) {
      plan.event_id_field = "id";
      plan.watermark_ms = 2000;
      plan.allowed_lateness_ms = 500;
      plan.drop_late = true;
    } else {
      plan.drop_late = false;
    }
    double best = 1e9;
    for (int rep = 0; rep < 5; ++rep) {
      Stats stats;
      ProcessorState state;
      std::size_t closed = 0;
      const auto t0 = std::chrono::steady_clock::now();
      for (const auto& chunk : chunks) {
        const EventSlices events = {{chunk, 0, chunk->size()}};
        closed += process_events(stats, state, events, plan).size();
      }
      closed += flush_all_windows(state, plan).size();
      best = std::min(best, seconds_since(t0));
      if (rep == 0) std::printf("stream (%s): %zu windows\n", dedup ? "dedup" : "plain", closed);
    }
    std::printf("stream engine (%s): %.1f ms, %.0f ns/event\n", dedup ? "dedup" : "plain", best * 1e3,
                best / static_cast<double>(n) * 1e9);
  }
}

// An aggregate plan over 1,000,000 sorted rows of 100 symbols: OHLCV, count,
// mean and stddev per symbol in 1 s tumbling windows, 10 s windows every
// 1 s, and sessions with a 1 s gap; the rows go through in column chunks of
// 10,000 as a stream takes them.
void bench_aggs() {
  const std::size_t rows = 1000000;
  const std::size_t chunk = 10000;
  std::mt19937_64 rng(5);
  std::vector<std::int64_t> times(rows);
  for (auto& t : times) t = static_cast<std::int64_t>(rng() % 3600000);
  std::sort(times.begin(), times.end());
  std::vector<Batch> batches;
  for (std::size_t i = 0; i < rows; ++i) {
    if (i % chunk == 0) batches.emplace_back();
    Row row;
    row.set(std::string_view("timestamp"), times[i]);
    char g[8];
    std::snprintf(g, sizeof g, "S%03d", static_cast<int>(rng() % 100));
    row.set(std::string_view("sym"), std::string(g));
    row.set(std::string_view("price"), 100.0 + static_cast<double>(rng() % 1000) / 100.0);
    row.set(std::string_view("qty"), static_cast<std::int64_t>(rng() % 100));
    batches.back().push_back(std::move(row));
  }
  // As a stream holds them: one column chunk per batch.
  std::vector<EventSlices> chunks;
  for (const Batch& b : batches) chunks.push_back(slices_of_rows(b));
  const auto agg = [](const char* name, AggOp op, const char* field) {
    AggSpec a;
    a.name = name;
    a.op = op;
    if (field) a.field = field;
    return a;
  };
  const std::vector<AggSpec> aggs = {
      agg("open", AggOp::kFirst, "price"), agg("high", AggOp::kMax, "price"),
      agg("low", AggOp::kMin, "price"),    agg("close", AggOp::kLast, "price"),
      agg("volume", AggOp::kSum, "qty"),   agg("n", AggOp::kCount, nullptr),
      agg("avg", AggOp::kMean, "price"),   agg("sd", AggOp::kStddev, "price")};
  struct Kind {
    const char* name;
    std::optional<std::int64_t> size, slide, gap;
  };
  for (const Kind& kind : {Kind{"tumbling 1 s", 1000, {}, {}}, Kind{"hopping 10 s every 1 s", 10000, 1000, {}},
                           Kind{"sessions, 1 s gap", {}, {}, 1000}}) {
    PlanSpec plan;
    WindowSpec w;
    w.size_ms = kind.size;
    w.slide_ms = kind.slide;
    w.gap_ms = kind.gap;
    w.by_fields = {"sym"};
    plan.window = w;
    plan.aggs = aggs;
    plan.aggs_signature = kind.name;
    double best = 1e9;
    std::size_t windows = 0;
    for (int rep = 0; rep < 3; ++rep) {
      Stats stats;
      ProcessorState state;
      const auto t0 = std::chrono::steady_clock::now();
      windows = 0;
      for (const EventSlices& events : chunks) windows += process_events(stats, state, events, plan).size();
      windows += flush_all_windows(state, plan).size();
      best = std::min(best, seconds_since(t0));
    }
    std::printf("aggs engine, %s, 8 aggregates: %zu rows -> %zu windows in %.1f ms (%.0f ns/row, %.2f M rows/s)\n",
                kind.name, rows, windows, best * 1e3, best / rows * 1e9, rows / best / 1e6);
  }
  std::printf("bytes per open window and aggregate:");
  for (const auto& [name, op] : std::vector<std::pair<const char*, AggOp>>{
           {"count", AggOp::kCount}, {"sum", AggOp::kSum}, {"mean", AggOp::kMean}, {"min", AggOp::kMin},
           {"max", AggOp::kMax}, {"first", AggOp::kFirst}, {"last", AggOp::kLast}, {"var", AggOp::kVar},
           {"stddev", AggOp::kStddev}, {"count_distinct (empty)", AggOp::kCountDistinct}}) {
    std::printf(" %s %zu,", name, aggregate_state_bytes(op));
  }
  std::printf(" plus %zu per window (start, end, group, index slot)\n", std::size_t{40});
}

// How long the state lock is held by a save: the copy of the state to text.
void bench_checkpoint() {
  ProcessorState state;
  char id[32];
  for (int i = 0; i < 1000000; ++i) {
    std::snprintf(id, sizeof id, "order-%09d", i);
    state.seen_event_ids.insert(id);
  }
  for (std::int64_t w = 0; w < 100000; ++w) {
    std::string key;
    make_window_key(key, w * 1000, "G");
    state.window_state[key] = WindowAggregate{12345.678 + static_cast<double>(w), 97, w * 1000, w * 1000 + 1000, "G"};
  }
  double best = 1e9;
  std::size_t bytes = 0;
  for (int rep = 0; rep < 3; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    std::string text;
    if (!checkpoint_text_checked(state, text)) return;
    bytes = text.size();
    best = std::min(best, seconds_since(t0));
  }
  std::printf("state lock held by a save of 1,000,000 ids and 100,000 windows: %.1f ms (%zu bytes)\n",
              best * 1e3, bytes);
}

// The receive step alone, without a sender running beside it: a burst of
// trade datagrams waits in a socket, then is taken in either one recvfrom
// per datagram or 64 per recvmmsg call, each datagram checked and parsed as
// the stream's worker does.  Prints the nanoseconds per datagram of each,
// best of several bursts.
void bench_receive() {
  const int rx = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int tx = ::socket(AF_INET, SOCK_DGRAM, 0);
  const int buffer_bytes = 16 << 20;
  ::setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(rx, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(rx, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string datagram =
      R"({"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123})";
  constexpr int kBurst = 2000;
  constexpr unsigned kBatch = 64;
  std::vector<char> bytes(kBatch * 65536);
  std::vector<mmsghdr> headers(kBatch);
  std::vector<iovec> parts(kBatch);
  EventChunk rows(std::make_shared<NameTable>());
  double best[2] = {1e9, 1e9};
  for (int round = 0; round < 20; ++round) {
    for (int way = 0; way < 2; ++way) {
      for (int i = 0; i < kBurst; ++i) {
        ::sendto(tx, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
      }
      rows.clear();
      const auto t0 = std::chrono::steady_clock::now();
      if (way == 0) {
        while (true) {
          sockaddr_in sender;
          socklen_t sender_len = sizeof sender;
          const ssize_t n = ::recvfrom(rx, bytes.data(), 65536, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sender), &sender_len);
          if (n <= 0) break;
          const std::string_view text(bytes.data(), static_cast<std::size_t>(n));
          if (is_valid_utf8(text)) {
            parse_json_datagram(text, rows);
          }
        }
      } else {
        for (unsigned j = 0; j < kBatch; ++j) {
          parts[j] = iovec{bytes.data() + j * 65536, 65536};
          headers[j] = mmsghdr{};
          headers[j].msg_hdr.msg_iov = &parts[j];
          headers[j].msg_hdr.msg_iovlen = 1;
        }
        while (true) {
          const int got = ::recvmmsg(rx, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
          if (got <= 0) break;
          for (int j = 0; j < got; ++j) {
            const std::string_view text(bytes.data() + j * 65536, headers[static_cast<std::size_t>(j)].msg_len);
            if (is_valid_utf8(text)) {
              parse_json_datagram(text, rows);
            }
          }
        }
      }
      const double dt = seconds_since(t0);
      if (rows.size() == kBurst) best[way] = std::min(best[way], dt / kBurst);
    }
  }
  std::printf("receive: recvfrom %.0f ns per datagram, recvmmsg %.0f ns per datagram (parse into a chunk included)\n",
              best[0] * 1e9, best[1] * 1e9);
  ::close(rx);
  ::close(tx);
}

// Sends trade datagrams to 127.0.0.1:port at about rate per second for the
// given seconds, in groups of 64 per system call; prints the count sent and
// the seconds taken.  Every datagram differs: its own sequence number, one of
// 100 symbols, a price, size and side that vary, and the sender's wall clock
// as its timestamp, so a windowed plan sees the windows move.  The datagrams
// are made from 4,096 templates whose sequence number (from 1,000,000,000)
// and timestamp are written in place (fixed width), so that the sender keeps
// up.
int udp_flood(int port, long rate, double seconds) {
  const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  constexpr int kTemplates = 4096;
  constexpr int kSeqDigits = 10;
  constexpr int kTimeDigits = 13;
  struct Template {
    char text[160];
    int length, seq_at, time_at;
  };
  std::vector<Template> templates(kTemplates);
  for (int i = 0; i < kTemplates; ++i) {
    Template& t = templates[static_cast<std::size_t>(i)];
    t.length = std::snprintf(t.text, sizeof t.text,
                             R"({"symbol":"S%03d","price":%d.%02d,"size":%d,"side":"%s","venue":"XNAS","seq":%0*d,"timestamp":%0*d})",
                             i % 100, 100 + i % 97, i % 100, 100 * (1 + i % 9), (i & 1) ? "buy" : "sell",
                             kSeqDigits, 0, kTimeDigits, 0);
    t.time_at = t.length - 1 - kTimeDigits;
    t.seq_at = t.time_at - static_cast<int>(std::strlen(R"(,"timestamp":)")) - kSeqDigits;
  }
  constexpr int kGroup = 64;
  char text[kGroup][160];
  iovec iov[kGroup];
  mmsghdr msgs[kGroup];
  for (int i = 0; i < kGroup; ++i) {
    msgs[i] = mmsghdr{};
    msgs[i].msg_hdr.msg_name = &addr;
    msgs[i].msg_hdr.msg_namelen = sizeof addr;
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  // Writes v as exactly `digits` decimal digits, zero-padded, at out.
  const auto put = [](char* out, long long v, int digits) {
    for (int d = digits - 1; d >= 0; --d, v /= 10) out[d] = static_cast<char>('0' + v % 10);
  };
  long sent = 0;
  const auto t0 = std::chrono::steady_clock::now();
  while (true) {
    const double elapsed = seconds_since(t0);
    if (elapsed >= seconds) break;
    const long target = static_cast<long>(static_cast<double>(rate) * elapsed);
    while (sent < target) {
      const int group = static_cast<int>(std::min<long>(kGroup, target - sent));
      const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
      for (int i = 0; i < group; ++i) {
        const long seq = sent + i;
        const Template& t = templates[static_cast<std::size_t>(seq % kTemplates)];
        std::memcpy(text[i], t.text, static_cast<std::size_t>(t.length));
        put(text[i] + t.seq_at, 1000000000 + seq, kSeqDigits);  // 10 digits, no leading zero
        put(text[i] + t.time_at, now, kTimeDigits);
        iov[i] = iovec{text[i], static_cast<std::size_t>(t.length)};
      }
      const int n = ::sendmmsg(sock, msgs, static_cast<unsigned>(group), 0);
      if (n <= 0) break;
      sent += n;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::printf("%ld %.6f\n", sent, seconds_since(t0));
  ::close(sock);
  return 0;
}

// The bytes one window's state holds after 1,000,000 values, for each
// quantile and distinct-count aggregate: "<op> <bytes> <serialized bytes>".
void bench_sketch_memory() {
  constexpr int kValues = 1000000;
  for (const AggOp op : {AggOp::kQuantile, AggOp::kApproxQuantile, AggOp::kCountDistinct,
                         AggOp::kApproxCountDistinct}) {
    AggSpec agg_spec;
    agg_spec.op = op;
    agg_spec.field = "v";
    agg_spec.q = 0.99;
    auto state = make_var_state(agg_spec);
    std::mt19937_64 rng(1);
    for (int i = 0; i < kValues; ++i) {
      const bool ids = op == AggOp::kCountDistinct || op == AggOp::kApproxCountDistinct;
      const Cell value = ids ? Cell(std::int64_t{i}) : Cell(static_cast<double>(rng() >> 11));
      state->add(CellView::of(value));
    }
    std::string saved;
    state->save(saved);
    std::printf("%s %zu %zu\n",
                op == AggOp::kQuantile           ? "quantile"
                : op == AggOp::kApproxQuantile   ? "approx_quantile"
                : op == AggOp::kCountDistinct    ? "count_distinct"
                                                 : "approx_count_distinct",
                state->bytes(), saved.size());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "flood") {
    return udp_flood(std::atoi(argv[2]), std::atol(argv[3]), std::atof(argv[4]));
  }
  const std::string only = argc > 1 ? argv[1] : "";
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  if (only.empty() || only == "parser") bench_parser(argc > 2 ? reps : 2000000);
  // The four shapes of bench_numeric.py.
  if (only.empty() || only == "tradesA") bench_trades(50, 3600000, 1000, false, reps);
  if (only.empty() || only == "tradesB") bench_trades(5000, 60000, 1000, false, reps);
  if (only.empty() || only == "tradesC") bench_trades(100, 3600000, 60000, false, reps);
  if (only.empty() || only == "tradesD") bench_trades(50, 3600000, 1000, true, reps);
  if (only.empty() || only == "engine") bench_engine();
  if (only.empty() || only == "stream") bench_stream();
  if (only.empty() || only == "aggs") bench_aggs();
  if (only.empty() || only == "checkpoint") bench_checkpoint();
  if (only.empty() || only == "receive") bench_receive();
  if (only.empty() || only == "sketches") bench_sketch_memory();
  return 0;
}
