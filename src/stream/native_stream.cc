#include "stream/native_stream.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <optional>
#include <system_error>

#include "model/messages.h"
#include "model/py_values.h"
#include "model/saturating.h"
#include "module/arrow_capsules.h"

namespace py = pybind11;

namespace movra {

namespace {

using Clock = std::chrono::steady_clock;

std::size_t at_least_one(std::size_t v) { return v < 2 ? 1 : v; }

// The longest single sleep of the worker: a tick further away than this
// (a linger of days) is reached in several sleeps.
constexpr std::int64_t kLongestSleepNs = 3600LL * 1000 * 1000 * 1000;

void close_if_open(int& fd) {
  if (fd != -1) {
    ::close(fd);
    fd = -1;
  }
}

// Adds one to an eventfd's count; a full count is readable all the same.
void write_event(int fd) {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// Empties an eventfd (non-blocking), so that it is no longer readable.
void drain_event(int fd) {
  std::uint64_t count;
  while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

// Releases the interpreter lock for its lifetime when the calling thread
// holds it, and does nothing otherwise.
class ReleaseGilIfHeld {
 public:
  ReleaseGilIfHeld() : saved_(PyGILState_Check() ? PyEval_SaveThread() : nullptr) {}
  ~ReleaseGilIfHeld() {
    if (saved_ != nullptr) PyEval_RestoreThread(saved_);
  }
  ReleaseGilIfHeld(const ReleaseGilIfHeld&) = delete;
  ReleaseGilIfHeld& operator=(const ReleaseGilIfHeld&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace

std::unique_ptr<NativeStream> NativeStream::udp(std::string host, std::uint16_t port,
                                                std::size_t batch_size, std::uint64_t linger_ms,
                                                std::size_t capacity) {
  refuse_embedded_nul(host);
  return std::make_unique<NativeStream>(std::move(host), port, batch_size, linger_ms, capacity,
                                        true);
}

std::unique_ptr<NativeStream> NativeStream::manual(std::size_t batch_size,
                                                   std::uint64_t linger_ms,
                                                   std::size_t capacity) {
  return std::make_unique<NativeStream>("manual", 0, batch_size, linger_ms, capacity, false);
}

NativeStream::NativeStream(std::string host_arg, std::uint16_t port_arg, std::size_t batch_size_arg,
                           std::uint64_t linger_ms_arg, std::size_t capacity_arg,
                           bool udp_mode_arg)
    : host(std::move(host_arg)),
      port(port_arg),
      batch_size(at_least_one(batch_size_arg)),
      linger_ms(linger_ms_arg),
      capacity(at_least_one(capacity_arg)),
      udp_mode(udp_mode_arg) {
  if (udp_mode) bind_udp();
  ready_event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (udp_mode && ready_event != -1) worker_event = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (ready_event == -1 || (udp_mode && worker_event == -1)) {
    close_if_open(ready_event);
    close_if_open(sock);
    throw std::runtime_error(messages::kEventFdCreateFailed);
  }
  enter_fork_registry();
  try {
    worker = std::thread([this] { worker_loop(); });
  } catch (const std::system_error& e) {
    leave_fork_registry();
    close_if_open(sock);
    close_if_open(worker_event);
    close_if_open(ready_event);
    throw std::system_error(e.code(), messages::kThreadConstructorFailed);
  }
}

NativeStream::~NativeStream() {
  stop(true);
  leave_fork_registry();
  // No fork can copy these any more, and no waiter can still be using them:
  // the object is going away.
  close_if_open(worker_event);
  close_if_open(ready_event);
}

void NativeStream::refuse_embedded_nul(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    throw std::invalid_argument(messages::kEmbeddedNullByte);
  }
}

std::pair<std::string, std::uint16_t> NativeStream::address() const { return {host, port}; }

bool NativeStream::is_closed() const {
  std::lock_guard<std::mutex> lock(queue_mutex);
  return closed;
}

void NativeStream::close() { stop(true); }

void NativeStream::stop(bool join) {
  bool i_join = false;
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    if (closed && (!join || join_state == JoinState::kJoined)) return;
    if (!closed) {
      closed = true;
      queue_cv.notify_all();
      worker_cv.notify_all();
      if (worker_event != -1) write_event(worker_event);
      signal_ready_locked();
    }
    if (!join) return;
    if (join_state == JoinState::kNotJoined) {
      join_state = JoinState::kJoining;
      i_join = true;
    }
  }

  ReleaseGilIfHeld release;
  if (!i_join) {
    // Another caller is joining: wait until it is done, so that this call too
    // returns only once the stream is Closed.
    std::unique_lock<std::mutex> lock(queue_mutex);
    joined_cv.wait(lock, [this] { return join_state == JoinState::kJoined; });
    return;
  }
  if (sock != -1) ::shutdown(sock, SHUT_RDWR);
  if (worker.joinable()) worker.join();
  {
    std::lock_guard<std::mutex> lock(queue_mutex);
    close_if_open(sock);
    join_state = JoinState::kJoined;
  }
  joined_cv.notify_all();
}

namespace {

// Small offers (an emit_json event, a few datagrams) are copied into the
// open tail chunk, so that the caller's chunk is reused; larger or wider ones
// are moved into the queue as chunks of their own.  The tail stops growing at
// kTailEvents events or kTailColumns columns, which bounds the padding that
// a column new to it can cost.
constexpr std::size_t kCopyEvents = 256;
constexpr std::size_t kTailEvents = 8192;
constexpr std::size_t kTailColumns = 256;
// An intake chunk that has gathered this many columns (one very wide event)
// is given up rather than kept for reuse.
constexpr std::size_t kReusableColumns = 64;

}  // namespace

std::size_t NativeStream::offer_chunk_locked(EventChunk& events) {
  const std::size_t count = events.size();
  std::size_t queued = 0;
  if (!closed && count != 0) {
    const std::size_t room = capacity > pending_events ? capacity - pending_events : 0;
    queued = std::min(room, count);
  }
  if (queued != 0) {
    if (queued < count) events.truncate(queued);
    const std::size_t columns = events.used_columns();
    if (queued <= kCopyEvents && columns <= kTailColumns) {
      EventChunk* tail = tail_open ? pending.back().chunk.get() : nullptr;
      if (tail == nullptr || tail->size() + queued > kTailEvents ||
          tail->column_count() + columns > kTailColumns ||
          names.spent(*tail->names())) {
        pending.push_back({std::make_shared<EventChunk>(names.current()), 0, 0});
        tail_open = true;
        tail = pending.back().chunk.get();
      }
      const std::size_t before = tail->size();
      try {
        tail->append_from(events, 0, queued);
      } catch (...) {
        tail->truncate(before);
        throw;
      }
      pending.back().end = tail->size();
      events.clear();
    } else {
      pending.push_back({std::make_shared<EventChunk>(std::move(events)), 0, queued});
      tail_open = true;
      events = EventChunk(names.current());
    }
    pending_events += queued;
    wake_idle_worker_locked();
  } else {
    events.clear();
  }
  // Events offered after close are counted as dropped: nothing would ever
  // cut them into a batch.
  bump(counters.ingested, count);
  if (queued < count) bump(counters.dropped, count - queued);
  return queued;
}

template <typename Convert>
void NativeStream::offer_converted(Convert&& convert) {
  std::unique_lock<std::mutex> mine(intake_mutex, std::try_to_lock);
  std::optional<EventChunk> own;
  EventChunk* events = &intake;
  if (!mine.owns_lock()) events = &own.emplace(names.current());
  if (events->column_count() > kReusableColumns || names.spent(*events->names())) {
    events->reset(names.current());
  }
  convert(*events);
  std::lock_guard<std::mutex> lock(queue_mutex);
  try {
    offer_chunk_locked(*events);
  } catch (...) {
    events->clear();  // the next call starts from an empty chunk
    throw;
  }
  queue_cv.notify_all();
}

void NativeStream::emit_json(const py::dict& event) {
  offer_converted([&](EventChunk& events) { dict_to_chunk(event, events); });
}

void NativeStream::emit_columns(const py::dict& columns) {
  offer_converted([&](EventChunk& events) { columns_to_chunk(columns, events); });
}

void NativeStream::emit_arrow(const py::object& data) {
  // The columns go into the intake chunk whole; the export runs under the
  // intake lock, which only this stream's emitting threads take (one that
  // finds it taken builds a chunk of its own).
  offer_converted([&](EventChunk& events) { arrow_to_chunk(data, events); });
}

void NativeStream::drain_queue_locked() {
  if (pending_events == 0) return;
  std::size_t take = std::min(batch_size, pending_events);
  ReadyBatch batch;
  batch.events = take;
  while (take != 0) {
    PendingSlice& front = pending.front();
    // From now on a ready batch shares the chunk: it must not grow.
    if (pending.size() == 1) tail_open = false;
    const std::size_t n = front.end - front.begin;
    if (n <= take) {
      batch.slices.push_back({std::move(front.chunk), front.begin, front.end});
      pending.pop_front();
      take -= n;
    } else {
      batch.slices.push_back({front.chunk, front.begin, front.begin + take});
      front.begin += take;
      take = 0;
    }
  }
  pending_events -= batch.events;
  ready.push_back(std::move(batch));
  bump(counters.microbatches_emitted);
  queue_cv.notify_all();
  signal_ready_locked();
}

void NativeStream::wake_idle_worker_locked() {
  if (!worker_idle) return;
  worker_idle = false;
  if (udp_mode) {
    write_event(worker_event);
  } else {
    worker_cv.notify_one();
  }
}

void NativeStream::signal_ready_locked() {
  if (ready_signalled) return;
  ready_signalled = true;
  write_event(ready_event);
}

void NativeStream::clear_ready() {
  std::lock_guard<std::mutex> lock(queue_mutex);
  if (closed || !ready_signalled) return;
  ready_signalled = false;
  drain_event(ready_event);
}

void NativeStream::worker_loop() {
  // Signals are for the threads that run Python; this one never handles one,
  // so its sleeps are never cut short by them either.
  sigset_t all;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  const std::int64_t linger_ns = millis_to_nanos_saturated(linger_ms);
  auto last_tick = Clock::now();
  // The receive chunk, made at the first receive, so that a manual stream
  // never holds a name table here.
  std::optional<EventChunk> received;
  while (true) {
    {
      // Everything but the sleep happens behind the gate, so that a fork
      // never catches this thread halfway through a row or an allocation.
      std::lock_guard<std::mutex> gate(worker_gate);
      {
        std::unique_lock<std::mutex> lock(queue_mutex);
        if (closed) {
          // Last cuts: every event still pending is delivered, in batches
          // of at most batch_size rows.
          while (pending_events != 0) drain_queue_locked();
          worker_done = true;
          signal_ready_locked();
          queue_cv.notify_all();
          return;
        }
      }
      if (udp_mode) {
        if (!received) received.emplace(names.current());
        receive_udp_once(*received);
      }
      const auto now = Clock::now();
      const std::int64_t elapsed =
          std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_tick).count();
      if (elapsed >= linger_ns) {
        std::lock_guard<std::mutex> lock(queue_mutex);
        drain_queue_locked();
        last_tick = now;
      }
    }
    wait_for_work(last_tick);
  }
}

void NativeStream::wait_for_work(Clock::time_point& last_tick) {
  const std::int64_t linger_ns = millis_to_nanos_saturated(linger_ms);
  bool idle;
  std::int64_t sleep_ns = -1;  // no limit
  {
    std::unique_lock<std::mutex> lock(queue_mutex);
    if (closed) return;
    idle = pending_events == 0;
    if (!idle) {
      const std::int64_t elapsed =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - last_tick).count();
      if (elapsed >= linger_ns) return;  // a tick is due now
      sleep_ns = std::min(linger_ns - elapsed, kLongestSleepNs);
    }
    worker_idle = idle;
    if (!udp_mode) {
      if (idle) {
        worker_cv.wait(lock);
      } else {
        worker_cv.wait_for(lock, std::chrono::nanoseconds(sleep_ns));
      }
      worker_idle = false;
    }
  }
  if (udp_mode) {
    poll_socket_and_wake_event(sleep_ns);
    std::lock_guard<std::mutex> lock(queue_mutex);
    worker_idle = false;
  }
  bump(wakeups);
  if (idle && linger_ns > 0) {
    // The ticks that fell due during the sleep found nothing pending: the
    // grid moves on to its last point before now.
    const std::int64_t elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - last_tick).count();
    if (elapsed >= linger_ns) last_tick += std::chrono::nanoseconds(elapsed / linger_ns * linger_ns);
  }
}

}  // namespace movra
