// NativeStream: the one object of the module.
//
// A stream owns its configuration, its UDP socket (UDP streams only), the
// bounded `pending` queue of accepted events, the unbounded `ready` queue of
// cut micro-batches, one worker thread that cuts batches on a fixed tick (and
// receives datagrams), the event-time ProcessorState and the counters.
//
// Waking.  The worker sleeps until there is work: an event queued while
// nothing was pending, the next tick while events are pending, a readable
// datagram, or the stop.  A manual stream's worker waits on worker_cv; a UDP
// stream's worker polls its socket and worker_event, an eventfd the producers
// and stop write to.  With nothing pending and nothing arriving it does not
// wake at all.  The ticks keep their grid while the worker sleeps: ticks that
// fall due while nothing is pending are empty, and the first event after a
// quiet spell is cut at the next point of the grid.
//
// Readiness.  ready_event, an eventfd that the stream owns for its whole
// life, is readable from the moment a batch is cut until clear_ready(), and
// for good from the moment the stream is closed.  A consumer clears it, then
// takes with next_batch(plan, 0), and waits on the descriptor (select, poll,
// an event loop's reader) only when that brought nothing: a cut after the
// clear leaves it readable, so no batch is missed.  The descriptor is closed
// by the destructor, never by close(), so a waiter in another thread never
// finds its number closed or reused under it.
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
// closed (never shut down: that acts on the socket the parent still uses),
// and a fresh readiness descriptor, readable for good, put in place of the
// one shared with the parent under the same number.
// The events the parent had accepted but not cut stay pending there until
// the child's first next_batch cuts them, as the worker's last act would.
#ifndef MOVRA_STREAM_NATIVE_STREAM_H_
#define MOVRA_STREAM_NATIVE_STREAM_H_

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
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
#include "model/event_chunk.h"
#include "state/stats.h"

namespace movra {

template <typename T>
using NumericArray = pybind11::array_t<T, pybind11::array::c_style | pybind11::array::forcecast>;

// The worker's buffers for batched receives (defined in udp_receiver.cc).
struct ReceiveBuffers;
struct ReceiveBuffersDeleter {
  void operator()(ReceiveBuffers* buffers) const;
};

// Events [begin, end) of a chunk.  A chunk is shared by the queue and the
// batches cut from it; once shared it is never written again.
struct PendingSlice {
  std::shared_ptr<EventChunk> chunk;
  std::size_t begin;
  std::size_t end;
};
// One cut: between 1 and batch_size events in arrival order.
struct ReadyBatch {
  EventSlices slices;
  std::size_t events = 0;
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

  // Beside the thirteen: the late rows that plans with "keep_late" kept
  // (engine/late_rows.h), oldest first, as next_batch gives a result (a dict
  // of columns, or None when none are kept); the queue is empty afterwards.
  // Takes state_mutex only to move the queue out; a conversion that fails
  // puts the rows back in front.  The output counters do not move: these
  // rows are in late_events already.  take_late_rows_arrow is the same with
  // the result as next_batch_arrow gives it.
  pybind11::object take_late_rows();
  pybind11::object take_late_rows_arrow();

  void save_checkpoint(const std::string& path);
  void load_checkpoint(const std::string& path);

  // The nine counters, the late rows over the cap, and the sizes of the
  // open windows and seen ids.
  std::map<std::string, std::uint64_t> stats() const;

  // Datagrams received but rejected (not UTF-8, not one or more flat JSON
  // objects, or empty); none of their events was offered.  0 for a manual
  // stream.  Reads one relaxed counter; takes no lock.
  std::uint64_t rejected_datagrams() const;

  // Why the last save_checkpoint that failed did: the errno of the system
  // call that failed, or 0 when the state held text a checkpoint cannot hold
  // (and before any save failed).  The save's message stays "write
  // checkpoint failed"; this lets a caller name the operating system's
  // reason (a full disk, a quota).  Reads one relaxed atomic; takes no lock.
  int save_errno() const;

  // UDP streams: from the next receive on, a datagram with an object whose
  // string in `column` holds any byte of `characters` is rejected whole and
  // counted in rejected_datagrams().  A checkpoint cannot hold an event id
  // with a line feed, nor a group text with a line feed or a tab; a stream
  // that is to be saved refuses them where they enter, so that its state
  // stays saveable.  Empty characters lift the rule for the column.  Raises
  // ValueError "embedded null byte" for a column with a NUL.  Waits (without
  // the interpreter lock) for the worker's current iteration.
  void refuse_text(const std::string& column, const std::string& characters);

  bool is_closed() const;
  void close();

  // Not one of the thirteen operations: a helper for producers that wait
  // instead of dropping.  Waits, without the interpreter lock (which the
  // caller must hold), until the pending queue has room for min(rows,
  // capacity) events (at least one), the stream is closed, or timeout_ms
  // (at most 60 s) has passed; returns the free places then, 0 once the
  // stream is closed.  Another producer may take the room before the caller
  // offers its rows, so the caller still looks at the dropped counter.
  std::size_t wait_for_room(std::size_t rows, std::uint64_t timeout_ms);

  // Not one of the thirteen operations either: (rows, rows without an
  // integer in `field`) over the batches cut and not yet taken.  Reads the
  // ready queue under queue_mutex and changes nothing, so a caller that
  // scans right before next_batch sees (nearly) every row once; a batch cut
  // between the two goes unscanned.
  std::pair<std::size_t, std::size_t> scan_ready_times(const std::string& field) const;

  // The readiness descriptor (see above).  Owned by the stream: callers wait
  // on it and never close it.
  int ready_fd() const { return ready_event; }
  // Makes the readiness descriptor unreadable until the next cut; does
  // nothing once the stream is closed.
  void clear_ready();
  // How often the worker has come back from a wait: a stream with nothing
  // pending and nothing arriving leaves this unchanged.
  std::uint64_t worker_wakeups() const { return wakeups.load(std::memory_order_relaxed); }
  // For tests: the column names held by this stream's name tables that are
  // still alive.  Reads one relaxed counter; takes no lock.
  std::size_t live_names() const { return names.live_names(); }

 private:
  enum class JoinState { kNotJoined, kJoining, kJoined };

  // Sets closed and, when join is true, joins the worker exactly once; a
  // second concurrent caller waits until the first has finished.
  void stop(bool join);

  // The events of a chunk, queued or dropped as one emit_columns call's rows
  // are: with k free places the first k are queued.  REQUIRES: queue_mutex is
  // held and no event of `events` is open.  Afterwards `events` is empty (its
  // storage kept for reuse where it was copied).  Returns how many were
  // queued.
  std::size_t offer_chunk_locked(EventChunk& events);
  // Converts with `convert` into the stream's intake chunk (or a chunk of its
  // own when another call is using that one), then offers the events under
  // one lock hold.
  template <typename Convert>
  void offer_converted(Convert&& convert);

  // What next_batch hands out, before its conversion.  A pass-through plan
  // gives the events that passed, as picks into the slices taken (kept alive
  // here until the output is written from them); a windowed or aggregate
  // plan gives Rows, projected already.
  struct TakenResult {
    Batch rows;
    EventSlices events;
    std::vector<EventRef> passed;
    std::size_t size() const { return passed.empty() ? rows.size() : passed.size(); }
  };
  // next_batch up to its conversion; size() is 0 when nothing came out.
  // Counts nothing.
  TakenResult take_result(const PlanSpec& plan, std::uint64_t timeout_ms);
  // aggregate_columns up to its conversion, with the output counters moved.
  Batch aggregate_rows(Batch rows, const PlanSpec& plan);
  // The kept late rows converted by `convert`, or None when none are kept.
  template <typename Convert>
  pybind11::object take_late_rows_as(const Convert& convert);

  void worker_loop();
  // REQUIRES: queue_mutex is held.  Moves up to batch_size pending rows into
  // one new ready batch.
  void drain_queue_locked();
  // The worker's sleep until its next piece of work.  `last_tick` is the
  // tick grid's last point; after a sleep that began with nothing pending it
  // is moved on to the grid's last point before the wake.  No lock held on
  // entry.
  void wait_for_work(std::chrono::steady_clock::time_point& last_tick);
  // REQUIRES: queue_mutex is held.  Wakes the worker if it sleeps with
  // nothing pending.
  void wake_idle_worker_locked();
  // REQUIRES: queue_mutex is held.  Makes ready_event readable.
  void signal_ready_locked();

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
  // The UDP worker's sleep: until a datagram is readable, worker_event is
  // written, or `timeout_ns` has passed (negative: no limit).
  void poll_socket_and_wake_event(std::int64_t timeout_ns);
  // Receives every datagram waiting (up to a bound), many per system call,
  // and offers the parsed rows under one lock hold.  Worker thread only, no
  // lock held on entry.
  void receive_udp_once(EventChunk& scratch);
  // REQUIRES: worker_gate is held.  Whether an event from index `from` on
  // holds a string that refused_text refuses.
  bool holds_refused_text(const EventChunk& events, std::size_t from) const;

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
  // Made by the constructor, closed by the destructor (ready_event in a fork
  // child is replaced under the same number).  worker_event is -1 for a
  // manual stream.
  int ready_event = -1;
  int worker_event = -1;
  // Touched by the worker thread only (made at its first receive), and freed
  // after it has been joined.
  std::unique_ptr<ReceiveBuffers, ReceiveBuffersDeleter> receive_buffers;

  // The name tables of this stream's chunks, a fresh generation once the
  // current one has grown large, so that ever new names (a hostile sender)
  // cost memory only while chunks that hold them are alive.  Thread-safe.
  NameTables names;
  // The intake chunk of emit_json and emit_columns, reused from call to call
  // so that an event costs no allocation; guarded by intake_mutex, which a
  // call only tries to take (a call made from Python code that a conversion
  // runs, or racing another thread, converts into a chunk of its own).
  std::mutex intake_mutex;
  EventChunk intake{names.current()};

  // Guarded by worker_gate: the (column, bytes) rules of refuse_text, read
  // by the worker as it parses datagrams.
  std::vector<std::pair<std::string, std::string>> refused_text;

  // Held by the worker through each iteration but its sleep, by
  // refuse_text while it changes refused_text, and by the
  // prepare handler of a fork, so a child never inherits a worker caught
  // halfway through a row or an allocation (not every allocator makes its
  // own locks safe across fork).  Taken before queue_mutex.
  std::mutex worker_gate;

  mutable std::mutex queue_mutex;
  std::condition_variable queue_cv;  // always notified to all
  // The manual worker's sleep; notified by a producer that finds it idle,
  // and by stop.
  std::condition_variable worker_cv;
  // Guarded by queue_mutex.
  bool closed = false;
  bool worker_done = false;  // the worker has made its last cuts and ended
  bool worker_idle = false;  // the worker sleeps with nothing pending
  bool ready_signalled = false;  // ready_event is readable
  // Pending events as slices of chunks, in arrival order; only the back
  // chunk may still grow, and only while tail_open (no ready batch shares it).
  std::deque<PendingSlice> pending;
  std::size_t pending_events = 0;
  bool tail_open = false;
  std::deque<ReadyBatch> ready;
  JoinState join_state = JoinState::kNotJoined;
  std::condition_variable joined_cv;  // signalled when join_state is kJoined

  std::thread worker;

  mutable std::mutex state_mutex;
  // Guarded by state_mutex.
  ProcessorState state;
  // The kept late rows: output waiting to be taken, kept apart from the
  // event-time state so that a checkpoint load, which replaces the state
  // whole, leaves them in place.
  LateRows late_rows;

  Stats counters;
  std::atomic<std::uint64_t> wakeups{0};
  std::atomic<int> last_save_errno{0};
};

}  // namespace movra

#endif  // MOVRA_STREAM_NATIVE_STREAM_H_
