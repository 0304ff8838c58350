// The UDP receiver of a NativeStream: binding the socket, the worker's sleep
// until a datagram is readable, and its receive of the datagrams waiting.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "model/json_datagram.h"
#include "model/messages.h"
#include "model/utf8.h"
#include "stream/native_stream.h"

namespace movra {

namespace {

// Datagrams taken per worker iteration at most, so that ticks stay on time
// under a flood.
constexpr int kMaxDatagramsPerIteration = 1024;
constexpr std::size_t kReceiveBufferBytes = 65536;
// Room for bursts in the kernel; the system caps it at its own maximum.
constexpr int kSocketBufferBytes = 4 << 20;

}  // namespace

// Room for one recvmmsg call: each datagram gets a whole 65,536-byte buffer,
// so that a datagram is cut exactly as a single receive would cut it.  Only
// the pages that datagrams reach are ever touched.
struct ReceiveBuffers {
  static constexpr unsigned kDatagrams = 64;
  mmsghdr headers[kDatagrams];
  iovec parts[kDatagrams];
  char bytes[kDatagrams][kReceiveBufferBytes];
};

void ReceiveBuffersDeleter::operator()(ReceiveBuffers* buffers) const { delete buffers; }

void NativeStream::bind_udp() {
  sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    sock = -1;
    throw std::runtime_error(messages::kUdpSocketCreateFailed);
  }
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
    ::close(sock);
    sock = -1;
    throw std::invalid_argument(messages::kInvalidIpv4Address);
  }
  if (::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(sock);
    sock = -1;
    throw std::runtime_error(messages::kUdpBindFailed);
  }
  sockaddr_in bound;
  socklen_t len = sizeof bound;
  if (::getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &len) == 0 &&
      bound.sin_family == AF_INET) {
    char text[16];
    if (::inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text) != nullptr) {
      host = text;
      port = ntohs(bound.sin_port);
    }
  }
  const int flags = ::fcntl(sock, F_GETFL, 0);
  if (flags >= 0) ::fcntl(sock, F_SETFL, flags | O_NONBLOCK);
  ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
}

void NativeStream::poll_socket_and_wake_event(std::int64_t timeout_ns) {
  pollfd fds[2] = {{sock, POLLIN, 0}, {worker_event, POLLIN, 0}};
  timespec limit{static_cast<time_t>(timeout_ns / 1000000000), static_cast<long>(timeout_ns % 1000000000)};
  // A signal cannot reach this thread (its mask blocks them all), so EINTR
  // needs no retry: the caller's loop simply looks again.
  ::ppoll(fds, 2, timeout_ns < 0 ? nullptr : &limit, nullptr);
  if (fds[1].revents & POLLIN) {
    std::uint64_t count;
    (void)!::read(worker_event, &count, sizeof count);
  }
}

bool NativeStream::holds_refused_text(const EventChunk& events, std::size_t from) const {
  for (const auto& [name, characters] : refused_text) {
    const EventChunk::Column* column = events.find(name);
    if (column == nullptr) continue;
    for (std::size_t i = from; i < events.size(); ++i) {
      if (!column->present(i) || column->tag(i) != kStringIndex) continue;
      if (column->string_at(i).find_first_of(characters) != std::string_view::npos) return true;
    }
  }
  return false;
}

void NativeStream::refuse_text(const std::string& column, const std::string& characters) {
  refuse_embedded_nul(column);
  pybind11::gil_scoped_release unlocked;
  std::lock_guard<std::mutex> gate(worker_gate);
  std::erase_if(refused_text, [&](const auto& rule) { return rule.first == column; });
  if (!characters.empty()) refused_text.emplace_back(column, characters);
}

void NativeStream::receive_udp_once(EventChunk& scratch) {
  if (sock == -1) return;
  if (!receive_buffers) receive_buffers.reset(new (std::nothrow) ReceiveBuffers);
  // Without the buffers (no memory for them), one datagram per call into
  // a buffer on the stack.
  struct {
    mmsghdr header;
    iovec part;
    char bytes[1][kReceiveBufferBytes];
  } single;
  mmsghdr* headers;
  iovec* parts;
  char(*bytes)[kReceiveBufferBytes];
  unsigned batch;
  if (receive_buffers) {
    headers = receive_buffers->headers;
    parts = receive_buffers->parts;
    bytes = receive_buffers->bytes;
    batch = ReceiveBuffers::kDatagrams;
  } else {
    headers = &single.header;
    parts = &single.part;
    bytes = single.bytes;
    batch = 1;
  }
  for (unsigned j = 0; j < batch; ++j) {
    parts[j] = iovec{bytes[j], kReceiveBufferBytes};
    headers[j] = mmsghdr{};
    headers[j].msg_hdr.msg_iov = &parts[j];
    headers[j].msg_hdr.msg_iovlen = 1;
  }
  // A chunk that one odd datagram made very wide is not kept for reuse, nor
  // one whose name table has grown past its bound.
  if (scratch.column_count() > 64 || names.spent(*scratch.names())) scratch.reset(names.current());
  scratch.clear();
  for (int taken = 0; taken < kMaxDatagramsPerIteration;) {
    const int got = ::recvmmsg(sock, headers, batch, MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;  // nothing waiting, or the socket was shut down
    }
    for (int j = 0; j < got; ++j) {
      const std::string_view text(bytes[j], headers[j].msg_len);
      // Text that is not UTF-8 could never be handed to Python: it is
      // rejected like a datagram that does not parse (an empty one too).
      const std::size_t before = scratch.size();
      if (!is_valid_utf8(text) || !parse_json_datagram(text, scratch)) {
        bump(counters.rejected_datagrams);
      } else if (!refused_text.empty() && holds_refused_text(scratch, before)) {
        scratch.truncate(before);  // taken whole or not at all
        bump(counters.rejected_datagrams);
      }
    }
    taken += got;
    if (got < static_cast<int>(batch)) break;  // the socket is drained
  }
  if (scratch.empty()) return;
  std::lock_guard<std::mutex> lock(queue_mutex);
  try {
    if (offer_chunk_locked(scratch) != 0) queue_cv.notify_all();
  } catch (...) {
    // No memory for the events: they are lost, as datagrams the socket
    // buffer cannot hold are.
    scratch.clear();
  }
}

}  // namespace movra
