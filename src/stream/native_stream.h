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
// socket.  The worker's last act is to cut every event still pending and set
// worker_done; next_batch on a closed stream waits for that, so the flush of
// the open windows comes only after every accepted event was processed.  A
// closed stream never reopens.
//
// Fork: every live stream is in a process-wide registry (fork_safety.cc).
// Around fork() each stream's worker_gate and queue_mutex are held, so the
// worker is parked between iterations and the child copies consistent
// queues; in the child, where the worker does not exist, every
// stream is made Closed at once: worker_done set, the thread handle
// forgotten, fresh condition variables, the child's copy of the socket
// closed (never shut down: that acts on the socket the parent still uses).
// The events the parent had accepted but not cut stay pending there until
// the child's first next_batch cuts them, as the worker's last act would.
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
#include <string_view>
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

  // Arrow routes, beside the operations above.  emit_arrow offers every row
  // of an object exporting Arrow data as emit_columns offers a dict's rows
  // (same Cells, same counting); next_batch_arrow and aggregate_arrow are
  // next_batch and aggregate_columns with the result as an object exporting
  // Arrow data (next_batch_arrow gives None where next_batch does).
  void emit_arrow(const pybind11::object& data);
  pybind11::object next_batch_arrow(const pybind11::dict& plan, std::uint64_t timeout_ms);
  pybind11::object aggregate_arrow(const pybind11::object& data, const pybind11::dict& plan);

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
  // Offers the rows in order under one lock hold, as emit_columns does.
  void offer_batch(Batch rows);
  // REQUIRES: queue_mutex is held.  Offers the rows in order; returns how
  // many were queued.
  std::size_t offer_rows_locked(Row* rows, std::size_t count);

  // next_batch up to its conversion: the projected rows, empty when
  // nothing came out.  Counts nothing.
  Batch take_result(const PlanSpec& plan, std::uint64_t timeout_ms);
  // aggregate_columns up to its conversion, with the output counters moved.
  Batch aggregate_rows(Batch rows, const PlanSpec& plan);

  void worker_loop();
  // REQUIRES: queue_mutex is held.  Moves up to batch_size pending rows into
  // one new ready batch.
  void drain_queue_locked();

  // Raises ValueError "embedded null byte" when text holds a NUL, which the
  // system call it is meant for would take as its end.
  static void refuse_embedded_nul(std::string_view text);

  // The fork registry (fork_safety.cc).  enter is called before the worker
  // starts, leave after it has been joined; neither holds a stream lock.
  void enter_fork_registry();
  void leave_fork_registry();
  // In the child of a fork: make this stream Closed without a worker.
  // REQUIRES: worker_gate and queue_mutex were locked by the forking thread
  // before the fork.
  void become_closed_in_fork_child();
  static void prepare_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();

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
  // Written only before the worker starts, and after it has been joined
  // with queue_mutex held (so a fork copies either the open descriptor or
  // -1, never a closed number).  Read by the worker without a lock.
  int sock = -1;
  // Touched by the worker thread only (made at its first receive), and freed
  // after it has been joined.
  std::unique_ptr<ReceiveBuffers, ReceiveBuffersDeleter> receive_buffers;

  // Held by the worker through each iteration but its pause, and by the
  // prepare handler of a fork, so a child never inherits a worker caught
  // halfway through a row or an allocation (not every allocator makes its
  // own locks safe across fork).  Taken before queue_mutex.
  std::mutex worker_gate;

  mutable std::mutex queue_mutex;
  std::condition_variable queue_cv;  // always notified to all
  // Guarded by queue_mutex.
  bool closed = false;
  bool worker_done = false;  // the worker has made its last cuts and ended
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
