#include "engine/late_rows.h"

#include <iterator>

namespace movra {

Batch LateRows::take() {
  Batch out;
  out.swap(rows_);
  return out;
}

void LateRows::put_back(Batch rows) {
  rows.insert(rows.end(), std::make_move_iterator(rows_.begin()),
              std::make_move_iterator(rows_.end()));
  rows_ = std::move(rows);
}

void LateTally::publish(Stats& stats) const {
  if (late) bump(stats.late_events, late);
  if (over_cap) bump(stats.late_rows_over_cap, over_cap);
}

}  // namespace movra
