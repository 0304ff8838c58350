// NativeStream::scan_ready_times: how many of the events cut into batches
// and not yet taken lack an integer event time.
#include "stream/native_stream.h"

namespace movra {

std::pair<std::size_t, std::size_t> NativeStream::scan_ready_times(const std::string& field) const {
  std::size_t rows = 0;
  std::size_t without = 0;
  std::lock_guard<std::mutex> lock(queue_mutex);
  for (const Batch& batch : ready) {
    rows += batch.size();
    for (const Row& row : batch) {
      const Cell* cell = row.find(field);
      if (cell == nullptr || !std::holds_alternative<std::int64_t>(*cell)) ++without;
    }
  }
  return {rows, without};
}

}  // namespace movra
