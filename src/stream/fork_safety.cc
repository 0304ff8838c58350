// NativeStream across fork(): the registry of live streams and the handlers
// that run around every fork of the process.
//
// Only the forking thread exists in the child.  A stream's worker may have
// held its queue_mutex at the moment of the fork, and its thread handle names
// a thread the child does not have, so without these handlers a child could
// block for ever on the first call and never deliver what it is given.
//
// Lock order: the registry mutex, then for each stream in registry order its
// worker_gate and its queue_mutex.  The worker takes its queue_mutex inside
// its gate, or in its sleep without the gate (never the gate after it), no
// other code holds two of these at once, and nobody who holds one waits for
// the interpreter lock, so prepare cannot deadlock: it waits at most for one
// worker iteration per stream.  With both held the worker is parked in its
// sleep, where it allocates nothing, which matters for allocators that do
// not lock themselves around fork.  state_mutex is
// left alone; it is only ever held together with the interpreter lock, which
// the forking thread holds itself.
#include <fcntl.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "stream/native_stream.h"

namespace movra {

namespace {

struct ForkRegistry {
  std::mutex mutex;
  // Guarded by mutex.
  std::set<NativeStream*> streams;
};

// Made on first use and never destroyed: a stream may outlive static
// destruction, and fork handlers may run at any time after registration.
ForkRegistry& fork_registry() {
  static ForkRegistry* registry = new ForkRegistry;
  return *registry;
}

}  // namespace

void NativeStream::enter_fork_registry() {
  static std::once_flag handlers_installed;
  std::call_once(handlers_installed, [] {
    ::pthread_atfork(&NativeStream::prepare_fork, &NativeStream::after_fork_in_parent,
                     &NativeStream::after_fork_in_child);
  });
  ForkRegistry& registry = fork_registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.streams.insert(this);
}

void NativeStream::leave_fork_registry() {
  ForkRegistry& registry = fork_registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  registry.streams.erase(this);
}

void NativeStream::prepare_fork() {
  ForkRegistry& registry = fork_registry();
  registry.mutex.lock();
  for (NativeStream* s : registry.streams) {
    s->worker_gate.lock();
    s->queue_mutex.lock();
  }
}

void NativeStream::after_fork_in_parent() {
  ForkRegistry& registry = fork_registry();
  for (NativeStream* s : registry.streams) {
    s->queue_mutex.unlock();
    s->worker_gate.unlock();
  }
  registry.mutex.unlock();
}

void NativeStream::after_fork_in_child() {
  ForkRegistry& registry = fork_registry();
  for (NativeStream* s : registry.streams) s->become_closed_in_fork_child();
  registry.mutex.unlock();
}

void NativeStream::become_closed_in_fork_child() {
  // The handle names a thread of the parent: it must be neither joined nor
  // destroyed while joinable (which would end the process), so a fresh,
  // empty handle is made in its place.
  new (&worker) std::thread();
  // Threads of the parent may have been waiting on these; they do not exist
  // here, and a condition variable that counts them could block a notify.
  new (&queue_cv) std::condition_variable();
  new (&joined_cv) std::condition_variable();
  new (&worker_cv) std::condition_variable();
  closed = true;
  worker_done = true;
  join_state = JoinState::kJoined;
  // The socket is shared with the parent: only this process's descriptor is
  // closed.  A shutdown would act on the socket itself, under the parent's
  // running stream.
  if (sock != -1) {
    ::close(sock);
    sock = -1;
  }
  // The child has no worker to wake.
  if (worker_event != -1) {
    ::close(worker_event);
    worker_event = -1;
  }
  // The readiness descriptor is shared with the parent, whose cuts and
  // clears would show here.  A fresh one, readable for good as a closed
  // stream's is, takes its number, so a selector or event loop that knew the
  // number before the fork still waits on this stream's own.  Should no
  // descriptor be left to make one, the shared one stays: the stream is
  // closed, so nothing waits on it before taking what is left.
  const int fresh = ::eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fresh != -1) {
    ::dup3(fresh, ready_event, O_CLOEXEC);
    ::close(fresh);
  }
  ready_signalled = true;
  worker_idle = false;
  queue_mutex.unlock();
  worker_gate.unlock();
}

}  // namespace movra
