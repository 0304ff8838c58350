// stats(): the counters' report; rejected_datagrams(), the one counter kept
// out of it.
#include "stream/native_stream.h"

namespace movra {

std::map<std::string, std::uint64_t> NativeStream::stats() const {
  std::lock_guard<std::mutex> lock(state_mutex);
  return {
      {"ingested", read(counters.ingested)},
      {"dropped", read(counters.dropped)},
      {"microbatches_emitted", read(counters.microbatches_emitted)},
      {"output_batches", read(counters.output_batches)},
      {"output_rows", read(counters.output_rows)},
      {"duplicate_events", read(counters.duplicate_events)},
      {"late_events", read(counters.late_events)},
      {"checkpoint_saves", read(counters.checkpoint_saves)},
      {"checkpoint_loads", read(counters.checkpoint_loads)},
      {"late_rows_over_cap", read(counters.late_rows_over_cap)},
      {"open_windows", state.window_state.size() + state.aggs.size()},
      {"seen_event_ids", state.seen_event_ids.size()},
  };
}

std::uint64_t NativeStream::rejected_datagrams() const { return read(counters.rejected_datagrams); }

}  // namespace movra
