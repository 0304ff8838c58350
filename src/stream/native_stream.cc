#include "stream/native_stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "model/messages.h"
#include "model/py_values.h"
#include "model/saturating.h"
#include "module/arrow_capsules.h"

namespace py = pybind11;

namespace movra {

namespace {

std::size_t at_least_one(std::size_t v) { return v < 2 ? 1 : v; }

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
  enter_fork_registry();
  try {
    worker = std::thread([this] { worker_loop(); });
  } catch (const std::system_error& e) {
    leave_fork_registry();
    if (sock != -1) {
      ::close(sock);
      sock = -1;
    }
    throw std::system_error(e.code(), messages::kThreadConstructorFailed);
  }
}

NativeStream::~NativeStream() {
  stop(true);
  leave_fork_registry();
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
    if (sock != -1) {
      ::close(sock);
      sock = -1;
    }
    join_state = JoinState::kJoined;
  }
  joined_cv.notify_all();
}

std::size_t NativeStream::offer_rows_locked(Row* rows, std::size_t count) {
  std::size_t queued = 0;
  if (!closed) {
    const std::size_t room = capacity > pending.size() ? capacity - pending.size() : 0;
    queued = std::min(room, count);
    for (std::size_t i = 0; i < queued; ++i) pending.push_back(std::move(rows[i]));
  }
  // Events offered after close are counted as dropped: nothing would ever
  // cut them into a batch.
  bump(counters.ingested, count);
  if (queued < count) bump(counters.dropped, count - queued);
  return queued;
}

void NativeStream::push_event(Row row) {
  std::lock_guard<std::mutex> lock(queue_mutex);
  if (offer_rows_locked(&row, 1) != 0) queue_cv.notify_all();
}

void NativeStream::emit_json(const py::dict& event) { push_event(dict_to_row(event)); }

void NativeStream::emit_columns(const py::dict& columns) { offer_batch(rows_from_columns(columns)); }

void NativeStream::emit_arrow(const py::object& data) { offer_batch(rows_from_arrow(data)); }

void NativeStream::offer_batch(Batch rows) {
  std::lock_guard<std::mutex> lock(queue_mutex);
  offer_rows_locked(rows.data(), rows.size());
  queue_cv.notify_all();
}

void NativeStream::drain_queue_locked() {
  if (pending.empty()) return;
  const std::size_t take = std::min(batch_size, pending.size());
  Batch batch;
  batch.reserve(take);
  for (std::size_t i = 0; i < take; ++i) {
    batch.push_back(std::move(pending.front()));
    pending.pop_front();
  }
  ready.push_back(std::move(batch));
  bump(counters.microbatches_emitted);
  queue_cv.notify_all();
}

void NativeStream::worker_loop() {
  using Clock = std::chrono::steady_clock;
  const std::int64_t linger_ns = millis_to_nanos_saturated(linger_ms);
  auto last_tick = Clock::now();
  std::vector<Row> received;
  while (true) {
    {
      // Everything but the pause happens behind the gate, so that a fork
      // never catches this thread halfway through a row or an allocation.
      std::lock_guard<std::mutex> gate(worker_gate);
      {
        std::unique_lock<std::mutex> lock(queue_mutex);
        if (closed) {
          // Last cuts: every event still pending is delivered, in batches
          // of at most batch_size rows.
          while (!pending.empty()) drain_queue_locked();
          worker_done = true;
          queue_cv.notify_all();
          return;
        }
      }
      if (udp_mode) receive_udp_once(received);
      const auto now = Clock::now();
      const std::int64_t elapsed =
          std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_tick).count();
      if (elapsed >= linger_ns) {
        std::lock_guard<std::mutex> lock(queue_mutex);
        drain_queue_locked();
        last_tick = now;
      }
    }
    wait_for_datagrams_or_1ms();
  }
}

}  // namespace movra
