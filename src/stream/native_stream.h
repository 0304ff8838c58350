// NativeStream: the one object of the module.
//
// A stream owns its configuration, its UDP socket (UDP streams only), the
// bounded `pending` queue of accepted events, the unbounded `ready` queue of
// cut micro-batches, one worker thread that cuts batches on a fixed tick (and
// receives datagrams), the event-time ProcessorState and the counters.
//
// Thread safety: the Python-facing methods are called with the interpreter
// lock held, so Python callers are serialised; the worker never touches a
// Python object or the interpreter lock.  Two mutexes, never held together:
// queue_mutex guards closed, pending, ready and the join state; state_mutex
// guards state.  Counters are relaxed atomics and need no lock.
//
// Lifecycle: Running after construction; close() or the destructor sets
// closed, wakes waiters, shuts the socket down, joins the worker exactly once
// (releasing the interpreter lock while it waits, if held) and closes the
// socket.  A closed stream never reopens.
#ifndef MOVRA_STREAM_NATIVE_STREAM_H_
#define MOVRA_STREAM_NATIVE_STREAM_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/window_engine.h"
#include "model/cell.h"
#include "state/stats.h"

namespace movra {

template <typename T>
using NumericArray = pybind11::array_t<T, pybind11::array::c_style | pybind11::array::forcecast>;

// The worker's buffers for batched receives (defined in udp_receiver.cc).
struct ReceiveBuffers;
struct ReceiveBuffersDeleter {
  void operator()(ReceiveBuffers* buffers) const;
};

class NativeStream {
 public:
  static std::unique_ptr<NativeStream> udp(std::string host, std::uint16_t port,
                                           std::size_t batch_size, std::uint64_t linger_ms,
                                           std::size_t capacity);
  static std::unique_ptr<NativeStream> manual(std::size_t batch_size, std::uint64_t linger_ms,
                                              std::size_t capacity);

  // Binds the socket (UDP mode) and starts the worker.  Throws on a failed
  // bind or thread start; nothing of the stream survives then.
  NativeStream(std::string host, std::uint16_t port, std::size_t batch_size,
               std::uint64_t linger_ms, std::size_t capacity, bool udp_mode);
  ~NativeStream();
  NativeStream(const NativeStream&) = delete;
  NativeStream& operator=(const NativeStream&) = delete;

  // (host, port); after a bind, the bound address.
  std::pair<std::string, std::uint16_t> address() const;

  // Producers: convert outside the lock, then offer under one lock hold.
  void emit_json(const pybind11::dict& event);
  void emit_columns(const pybind11::dict& columns);

  // Waits at most once for the worker, takes every ready batch, runs the
  // plan; a dict of columns, or None when nothing came out.
  pybind11::object next_batch(const pybind11::dict& plan, std::uint64_t timeout_ms);

  // Runs the plan once over the given columns on the shared state, then
  // flushes every open window.
  pybind11::dict aggregate_columns(const pybind11::dict& columns, const pybind11::dict& plan);

  // Mean and count per window and symbol of the trade rows; the pass runs
  // without the interpreter lock.
  pybind11::dict aggregate_trade_numeric(NumericArray<std::int64_t> timestamps,
                                         NumericArray<std::uint8_t> is_trade,
                                         NumericArray<std::int64_t> symbol_id,
                                         NumericArray<double> values, std::int64_t window_ms);

  void save_checkpoint(const std::string& path);
  void load_checkpoint(const std::string& path);

  // The nine counters and the sizes of the open windows and seen ids.
  std::map<std::string, std::uint64_t> stats() const;

  bool is_closed() const;
  void close();

 private:
  enum class JoinState { kNotJoined, kJoining, kJoined };

  // Sets closed and, when join is true, joins the worker exactly once; a
  // second concurrent caller waits until the first has finished.
  void stop(bool join);

  // Offers one event: counted in ingested, then queued or dropped.
  void push_event(Row row);
  // REQUIRES: queue_mutex is held.  Offers the rows in order; returns how
  // many were queued.
  std::size_t offer_rows_locked(Row* rows, std::size_t count);

  void worker_loop();
  // REQUIRES: queue_mutex is held.  Moves up to batch_size pending rows into
  // one new ready batch.
  void drain_queue_locked();

  void bind_udp();
  // The worker's pause between iterations: 1 ms, cut short when a datagram
  // arrives on the socket, so a burst is taken in while it still fits in the
  // socket's buffer.
  void wait_for_datagrams_or_1ms();
  // Receives every datagram waiting (up to a bound), many per system call,
  // and offers the parsed rows under one lock hold.  Worker thread only, no
  // lock held on entry.
  void receive_udp_once(std::vector<Row>& scratch);

  // Constant after construction (host and port are set by the bind, before
  // the worker starts).
  std::string host;
  std::uint16_t port;
  const std::size_t batch_size;
  const std::uint64_t linger_ms;
  const std::size_t capacity;
  const bool udp_mode;
  // Written only before the worker starts and after it has been joined.
  int sock = -1;
  // Touched by the worker thread only (made at its first receive), and freed
  // after it has been joined.
  std::unique_ptr<ReceiveBuffers, ReceiveBuffersDeleter> receive_buffers;

  mutable std::mutex queue_mutex;
  std::condition_variable queue_cv;  // always notified to all
  // Guarded by queue_mutex.
  bool closed = false;
  std::deque<Row> pending;
  std::deque<Batch> ready;
  JoinState join_state = JoinState::kNotJoined;
  std::condition_variable joined_cv;  // signalled when join_state is kJoined

  std::thread worker;

  mutable std::mutex state_mutex;
  // Guarded by state_mutex.
  ProcessorState state;

  Stats counters;
};

}  // namespace movra

#endif  // MOVRA_STREAM_NATIVE_STREAM_H_
