// NativeStream::scan_ready_times: how many of the events cut into batches
// and not yet taken lack an integer event time.
#include "stream/native_stream.h"

namespace movra {

std::pair<std::size_t, std::size_t> NativeStream::scan_ready_times(const std::string& field) const {
  std::size_t rows = 0;
  std::size_t without = 0;
  std::lock_guard<std::mutex> lock(queue_mutex);
  for (const ReadyBatch& batch : ready) {
    rows += batch.events;
    for (const ChunkSlice& slice : batch.slices) {
      // The field's column, found once per slice.
      const EventChunk::Column* column = slice.chunk->find(field);
      for (std::size_t i = slice.begin; i < slice.end; ++i) {
        if (column == nullptr || !column->present(i) || column->tag(i) != kIntIndex) ++without;
      }
    }
  }
  return {rows, without};
}

}  // namespace movra
