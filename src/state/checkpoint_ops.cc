// save_checkpoint and load_checkpoint of a NativeStream.
#include <cerrno>
#include <stdexcept>

#include "model/messages.h"
#include "state/checkpoint.h"
#include "stream/native_stream.h"

namespace movra {

void NativeStream::save_checkpoint(const std::string& path) {
  refuse_embedded_nul(path);
  // The state is written to memory under the lock, so the file shows one
  // consistent state while the lock is held only for the copy.
  std::string text;
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    if (!checkpoint_text_checked(state, text)) {
      last_save_errno.store(0, std::memory_order_relaxed);
      throw std::runtime_error(messages::kWriteCheckpointFailed);
    }
  }
  if (!write_file_atomically(path, text)) {
    last_save_errno.store(errno != 0 ? errno : EIO, std::memory_order_relaxed);
    throw std::runtime_error(messages::kWriteCheckpointFailed);
  }
  bump(counters.checkpoint_saves);
}

void NativeStream::load_checkpoint(const std::string& path) {
  refuse_embedded_nul(path);
  std::string text;
  if (!read_whole_file(path, text)) throw std::runtime_error(messages::kReadCheckpointFailed);
  ProcessorState loaded = parse_checkpoint_text(text);
  // Refused before the swap, so the stream's state and counters stay as
  // they were.
  if (!checkpoint_windows_are_utf8(loaded)) {
    throw std::runtime_error(messages::kReadCheckpointFailed);
  }
  {
    std::lock_guard<std::mutex> lock(state_mutex);
    std::swap(state, loaded);
  }
  bump(counters.checkpoint_loads);
  // The old state is freed here, outside the lock.
}

int NativeStream::save_errno() const { return last_save_errno.load(std::memory_order_relaxed); }

}  // namespace movra
