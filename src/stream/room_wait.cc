// NativeStream::wait_for_room: lets a producer that must not lose events
// wait until the pending queue can take them.
#include <algorithm>
#include <chrono>

#include "stream/native_stream.h"

namespace movra {

std::size_t NativeStream::wait_for_room(std::size_t rows, std::uint64_t timeout_ms) {
  const std::size_t wanted = std::clamp<std::size_t>(rows, 1, capacity);
  auto room_locked = [this] {
    return closed || pending_events >= capacity ? std::size_t{0} : capacity - pending_events;
  };
  // The interpreter lock is released for the wait only: the lambda and the
  // queue touch no Python object.
  pybind11::gil_scoped_release release;
  std::unique_lock<std::mutex> lock(queue_mutex);
  // A cut, an offer and a close all notify queue_cv; a cut is the only one
  // that makes room.
  const auto limit = std::chrono::milliseconds(std::min<std::uint64_t>(timeout_ms, 60'000));
  queue_cv.wait_for(lock, limit, [&] { return closed || room_locked() >= wanted; });
  return room_locked();
}

}  // namespace movra
