#include "numeric/trade_aggregate.h"

#include <algorithm>
#include <bit>
#include <memory>

#include "model/saturating.h"

namespace movra {

namespace {

// Rows are taken in chunks: the positions of a chunk's trade rows are
// collected first without a branch, so a random trade flag costs no
// misprediction, and the grouping loop then sees trade rows only.
constexpr std::size_t kChunkRows = 2048;

// Remembers the last window so sorted timestamps need no division per row.
class WindowCache {
 public:
  explicit WindowCache(std::int64_t w) : w_(w) {}

  std::int64_t start_of(std::int64_t t) {
    if (t >= lo_ && t <= hi_) [[likely]] return start_;
    if (w_ == 1) return t;
    start_ = t - t % w_;  // (t / w) * w with truncating division
    // The timestamps that share this start: for a positive start
    // [s, s + w - 1], for 0 (-w, w), for a negative start (s - w, s].
    const __int128 s = start_;
    const __int128 span = static_cast<__int128>(w_) - 1;
    lo_ = clamp_to_i64(start_ > 0 ? s : s - span);
    hi_ = clamp_to_i64(start_ < 0 ? s : s + span);
    return start_;
  }

 private:
  std::int64_t w_;
  std::int64_t start_ = 0;
  std::int64_t lo_ = 1;  // an empty range until the first division
  std::int64_t hi_ = 0;
};

// Open-addressing hash index from the exact pair (window start, symbol id)
// to the group's position in the result vector; linear probing, grown at
// half load.
class GroupIndex {
 public:
  explicit GroupIndex(std::size_t expected) {
    std::size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    resize(cap);
  }

  // The position stored for (start, symbol), or make_position() stored new.
  template <typename MakePosition>
  std::size_t find_or_insert(std::int64_t start, std::int64_t symbol, MakePosition make_position) {
    if ((size_ + 1) * 2 > capacity_) grow();
    std::size_t i = slot_of(start, symbol);
    while (true) {
      Slot& s = slots_[i];
      if (s.position == kEmpty) {
        s = Slot{start, symbol, make_position()};
        ++size_;
        return s.position;
      }
      if (s.start == start && s.symbol == symbol) return s.position;
      i = (i + 1) & (capacity_ - 1);
    }
  }

 private:
  static constexpr std::size_t kEmpty = ~std::size_t{0};
  struct Slot {
    std::int64_t start;
    std::int64_t symbol;
    std::size_t position;
  };

  std::size_t slot_of(std::int64_t start, std::int64_t symbol) const {
    std::uint64_t h = static_cast<std::uint64_t>(start) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint64_t>(symbol) + 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
    h ^= h >> 31;
    return static_cast<std::size_t>(h * 0xBF58476D1CE4E5B9ull >> shift_);
  }

  void resize(std::size_t cap) {
    slots_ = std::make_unique<Slot[]>(cap);
    for (std::size_t i = 0; i < cap; ++i) slots_[i].position = kEmpty;
    capacity_ = cap;
    shift_ = 64 - std::countr_zero(cap);
  }

  void grow() {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    const std::size_t old_cap = capacity_;
    resize(capacity_ * 2);
    for (std::size_t j = 0; j < old_cap; ++j) {
      if (old[j].position == kEmpty) continue;
      std::size_t i = slot_of(old[j].start, old[j].symbol);
      while (slots_[i].position != kEmpty) i = (i + 1) & (capacity_ - 1);
      slots_[i] = old[j];
    }
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  int shift_ = 64;
};

// For each small non-negative symbol id, the group of the window seen last,
// with its running sum and count held right here: with trades roughly in
// time order most rows touch only their symbol's entry.  A group's sum and
// count live in the entry while it is cached and are written back to the
// group when the entry moves on to another window, and at the end.
class SymbolCache {
 public:
  static constexpr std::int64_t kSize = 8192;

  struct Entry : NumericAggregate {
    std::int64_t start = 0;
    std::size_t position = kNone;
  };

  SymbolCache() : entries_(std::make_unique<Entry[]>(kSize)) {}

  static bool covers(std::int64_t symbol) {
    return static_cast<std::uint64_t>(symbol) < static_cast<std::uint64_t>(kSize);
  }

  // The entry of symbol when it holds the window start, else nullptr.
  // REQUIRES: covers(symbol).
  Entry* hit(std::int64_t start, std::int64_t symbol) {
    Entry& e = entries_[static_cast<std::size_t>(symbol)];
    return (e.position != kNone && e.start == start) ? &e : nullptr;
  }

  // Makes symbol's entry hold the group at position, writing back the group
  // it held before.  REQUIRES: covers(symbol).
  Entry& load(std::int64_t start, std::int64_t symbol, std::size_t position,
              std::vector<TradeGroup>& groups) {
    Entry& e = entries_[static_cast<std::size_t>(symbol)];
    write_back(e, groups);
    e.start = start;
    e.position = position;
    static_cast<NumericAggregate&>(e) = groups[position];
    return e;
  }

  void write_back_all(std::vector<TradeGroup>& groups) {
    for (std::int64_t s = 0; s < kSize; ++s) write_back(entries_[static_cast<std::size_t>(s)], groups);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};

  static void write_back(const Entry& e, std::vector<TradeGroup>& groups) {
    if (e.position == kNone) return;
    static_cast<NumericAggregate&>(groups[e.position]) = e;
  }

  std::unique_ptr<Entry[]> entries_;
};

bool by_start_then_symbol(const TradeGroup& x, const TradeGroup& y) {
  return x.window_start != y.window_start ? x.window_start < y.window_start
                                          : x.symbol_id < y.symbol_id;
}

// Groups come out in order of their first row.  For time-ordered input the
// window starts are already ascending and only each window's symbols need
// sorting; otherwise everything is sorted.
void sort_groups(std::vector<TradeGroup>& groups) {
  const bool starts_ascending = std::is_sorted(
      groups.begin(), groups.end(),
      [](const TradeGroup& x, const TradeGroup& y) { return x.window_start < y.window_start; });
  if (!starts_ascending) {
    std::sort(groups.begin(), groups.end(), by_start_then_symbol);
    return;
  }
  for (auto run = groups.begin(); run != groups.end();) {
    auto end = run;
    while (end != groups.end() && end->window_start == run->window_start) ++end;
    std::sort(run, end, by_start_then_symbol);
    run = end;
  }
}

}  // namespace

std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps,
                                         const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values,
                                         std::size_t n, std::int64_t window_ms) {
  std::vector<TradeGroup> groups;
  groups.reserve(n / 256 + 16);
  SymbolCache cache;
  WindowCache windows(window_ms);

  // While the trade timestamps never decrease, window starts never decrease
  // either, so a symbol's cache entry always holds its latest window: a miss
  // for a cached symbol is a new group, and no hash index is needed for it.
  // The index then holds only the groups of symbols outside the cache.  At
  // the first step back in time every group is indexed and the index is
  // consulted on every miss from then on.
  bool monotone = true;
  std::int64_t last_time = kInt64Min;
  std::unique_ptr<GroupIndex> index;
  auto index_for = [&]() -> GroupIndex& {
    if (!index) index = std::make_unique<GroupIndex>(n / 256 + 16);
    return *index;
  };
  auto append_group = [&](std::int64_t start, std::int64_t symbol) {
    TradeGroup group;
    group.window_start = start;
    group.symbol_id = symbol;
    groups.push_back(group);
    return groups.size() - 1;
  };

  std::uint32_t trade_rows[kChunkRows];
  for (std::size_t base = 0; base < n; base += kChunkRows) {
    const std::size_t rows = std::min(kChunkRows, n - base);
    std::size_t trades = 0;
    for (std::size_t j = 0; j < rows; ++j) {
      trade_rows[trades] = static_cast<std::uint32_t>(j);
      trades += is_trade[base + j] != 0;
    }
    for (std::size_t k = 0; k < trades; ++k) {
      const std::size_t i = base + trade_rows[k];
      const std::int64_t time = timestamps[i];
      if (time < last_time && monotone) [[unlikely]] {
        monotone = false;
        GroupIndex& all = index_for();
        for (std::size_t p = 0; p < groups.size(); ++p) {
          if (SymbolCache::covers(groups[p].symbol_id)) {
            all.find_or_insert(groups[p].window_start, groups[p].symbol_id, [p] { return p; });
          }
        }
      }
      last_time = time;
      const std::int64_t start = windows.start_of(time);
      const std::int64_t symbol = symbol_id[i];
      auto find_group = [&] {
        if (monotone && SymbolCache::covers(symbol)) return append_group(start, symbol);
        return index_for().find_or_insert(start, symbol, [&] { return append_group(start, symbol); });
      };
      if (SymbolCache::covers(symbol)) [[likely]] {
        SymbolCache::Entry* e = cache.hit(start, symbol);
        if (e == nullptr) [[unlikely]] e = &cache.load(start, symbol, find_group(), groups);
        e->sum += values[i];
        e->count += 1;
      } else {
        TradeGroup& g = groups[find_group()];
        g.sum += values[i];
        g.count += 1;
      }
    }
  }
  cache.write_back_all(groups);
  sort_groups(groups);
  return groups;
}

}  // namespace movra
