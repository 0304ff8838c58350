// Any bytes as a checkpoint file: the reader never crashes, and a state it
// produced either is refused by the writer or saves and reloads to the same
// state (the aggregate windows' extension included), which the load's UTF-8
// check judges alike.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "state/checkpoint.h"

namespace {

// NaN sums compare unequal to themselves; compare them by kind.
bool same_state(const movra::ProcessorState& a, const movra::ProcessorState& b) {
  if (a.max_event_time != b.max_event_time || a.window_origin != b.window_origin ||
      a.seen_event_ids != b.seen_event_ids || a.window_state.size() != b.window_state.size() ||
      !(a.aggs == b.aggs)) {
    return false;
  }
  auto ib = b.window_state.begin();
  for (const auto& [key, wa] : a.window_state) {
    const auto& [key_b, wb] = *ib++;
    const bool sums_equal = (std::isnan(wa.sum) && std::isnan(wb.sum)) || wa.sum == wb.sum;
    if (key != key_b || !sums_equal || wa.count != wb.count || wa.window_start != wb.window_start ||
        wa.window_end != wb.window_end || wa.group != wb.group) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const movra::ProcessorState state = movra::parse_checkpoint_text(text);
  if (!movra::checkpoint_representable(state)) return 0;
  const movra::ProcessorState again = movra::parse_checkpoint_text(movra::checkpoint_text(state));
  if (!same_state(state, again)) std::abort();
  if (movra::checkpoint_windows_are_utf8(state) != movra::checkpoint_windows_are_utf8(again)) {
    std::abort();
  }
  return 0;
}
