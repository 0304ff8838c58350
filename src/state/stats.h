// The stream's running counters: the nine of the original report, the kept
// late rows beyond the cap (also in stats()), and the rejected datagrams.
//
// Every counter starts at zero, only grows, and is updated with a relaxed
// atomic add by whichever thread did the counted work, under whatever lock
// that thread already holds.  Readers need no lock; a report is not a
// snapshot across counters.  Owned by the NativeStream, lives as long as it.
#ifndef MOVRA_STATE_STATS_H_
#define MOVRA_STATE_STATS_H_

#include <atomic>
#include <cstdint>

namespace movra {

struct Stats {
  std::atomic<std::uint64_t> ingested{0};
  std::atomic<std::uint64_t> dropped{0};
  std::atomic<std::uint64_t> microbatches_emitted{0};
  std::atomic<std::uint64_t> output_batches{0};
  std::atomic<std::uint64_t> output_rows{0};
  std::atomic<std::uint64_t> duplicate_events{0};
  std::atomic<std::uint64_t> late_events{0};
  std::atomic<std::uint64_t> checkpoint_saves{0};
  std::atomic<std::uint64_t> checkpoint_loads{0};
  // Late rows that a plan with "keep_late" would have kept but found the
  // queue of kept rows full (at the plan's cap): dropped, and counted here as
  // well as in late_events.
  std::atomic<std::uint64_t> late_rows_over_cap{0};
  // Not among the nine that stats() reports: read by rejected_datagrams().
  // Datagrams the UDP receiver took in but could not read as events (not
  // UTF-8, not JSON objects, or empty), counted by the worker.
  std::atomic<std::uint64_t> rejected_datagrams{0};
};

inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t amount = 1) {
  counter.fetch_add(amount, std::memory_order_relaxed);
}

inline std::uint64_t read(const std::atomic<std::uint64_t>& counter) {
  return counter.load(std::memory_order_relaxed);
}

}  // namespace movra

#endif  // MOVRA_STATE_STATS_H_
