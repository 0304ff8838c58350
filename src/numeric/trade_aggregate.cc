#include "numeric/trade_aggregate.h"

#include <algorithm>
#include <bit>
#include <memory>

#include "model/saturating.h"

namespace movra {

namespace {

// Window starts in [0, 2^44) and symbol ids in [0, 2^20) pack into one
// 64-bit key whose unsigned order is (start, symbol) order.  Other rows use
// the exact pair.
constexpr int kSymbolBits = 20;
constexpr std::int64_t kMaxPackedSymbol = (std::int64_t{1} << kSymbolBits) - 1;
constexpr std::int64_t kMaxPackedStart = (std::int64_t{1} << 44) - 1;

// Remembers the last window so sorted timestamps need no division per row.
class WindowCache {
 public:
  explicit WindowCache(std::int64_t w) : w_(w) {}

  std::int64_t start_of(std::int64_t t) {
    if (t >= lo_ && t <= hi_) return start_;
    if (w_ == 1) return t;
    start_ = t - t % w_;  // truncating division
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
  std::int64_t lo_ = 1;  // empty range until the first division
  std::int64_t hi_ = 0;
};

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
  return (a ^ (b * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
}

// Open addressing with linear probing over (start, symbol) pairs.  In packed
// mode start holds the packed key and symbol is 0.
class GroupTable {
 public:
  explicit GroupTable(std::size_t expected) {
    std::size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    rehash(cap);
  }

  NumericAggregate& find_or_insert(std::int64_t a, std::int64_t b) {
    std::size_t i = static_cast<std::size_t>(mix(static_cast<std::uint64_t>(a),
                                                 static_cast<std::uint64_t>(b)) >> shift_);
    while (true) {
      Slot& s = slots_[i];
      if (!s.used) {
        if ((size_ + 1) * 2 > capacity_) {
          rehash(capacity_ * 2);
          return find_or_insert(a, b);
        }
        s.used = true;
        s.a = a;
        s.b = b;
        ++size_;
        return s.agg;
      }
      if (s.a == a && s.b == b) return s.agg;
      i = (i + 1) & (capacity_ - 1);
    }
  }

  template <typename F>
  void for_each(F&& f) const {
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i].used) f(slots_[i].a, slots_[i].b, slots_[i].agg);
    }
  }

  std::size_t size() const { return size_; }

 private:
  struct Slot {
    std::int64_t a = 0;
    std::int64_t b = 0;
    NumericAggregate agg;
    bool used = false;
  };

  void rehash(std::size_t cap) {
    std::unique_ptr<Slot[]> old = std::move(slots_);
    const std::size_t old_cap = capacity_;
    slots_ = std::make_unique<Slot[]>(cap);
    capacity_ = cap;
    shift_ = 64 - std::countr_zero(cap);
    size_ = 0;
    for (std::size_t i = 0; i < old_cap; ++i) {
      if (old[i].used) find_or_insert(old[i].a, old[i].b) = old[i].agg;
    }
  }

  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  int shift_ = 64;
};

bool packable(std::int64_t start, std::int64_t symbol) {
  return start >= 0 && start <= kMaxPackedStart && symbol >= 0 && symbol <= kMaxPackedSymbol;
}

}  // namespace

std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps,
                                         const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values,
                                         std::size_t n, std::int64_t window_ms) {
  WindowCache windows(window_ms);
  GroupTable packed(n / 256 + 16);
  std::unique_ptr<GroupTable> wide;  // made at the first row that does not pack

  for (std::size_t i = 0; i < n; ++i) {
    if (is_trade[i] == 0) continue;
    const std::int64_t start = windows.start_of(timestamps[i]);
    const std::int64_t symbol = symbol_id[i];
    NumericAggregate* agg;
    if (!wide && packable(start, symbol)) [[likely]] {
      const std::int64_t key = static_cast<std::int64_t>(
          (static_cast<std::uint64_t>(start) << kSymbolBits) | static_cast<std::uint64_t>(symbol));
      agg = &packed.find_or_insert(key, 0);
    } else {
      if (!wide) {
        // Move the packed groups over once; from here on every row uses
        // the exact pair.
        wide = std::make_unique<GroupTable>(packed.size() + n / 256 + 16);
        packed.for_each([&](std::int64_t key, std::int64_t, const NumericAggregate& g) {
          const auto ukey = static_cast<std::uint64_t>(key);
          wide->find_or_insert(static_cast<std::int64_t>(ukey >> kSymbolBits),
                               static_cast<std::int64_t>(ukey & kMaxPackedSymbol)) = g;
        });
      }
      agg = &wide->find_or_insert(start, symbol);
    }
    agg->sum += values[i];
    agg->count += 1;
  }

  std::vector<TradeGroup> groups;
  if (wide) {
    groups.reserve(wide->size());
    wide->for_each([&](std::int64_t start, std::int64_t symbol, const NumericAggregate& g) {
      groups.push_back({start, symbol, g.sum, g.count});
    });
  } else {
    groups.reserve(packed.size());
    packed.for_each([&](std::int64_t key, std::int64_t, const NumericAggregate& g) {
      const auto ukey = static_cast<std::uint64_t>(key);
      groups.push_back({static_cast<std::int64_t>(ukey >> kSymbolBits),
                        static_cast<std::int64_t>(ukey & kMaxPackedSymbol), g.sum, g.count});
    });
  }
  std::sort(groups.begin(), groups.end(), [](const TradeGroup& x, const TradeGroup& y) {
    return x.window_start != y.window_start ? x.window_start < y.window_start
                                            : x.symbol_id < y.symbol_id;
  });
  return groups;
}

}  // namespace movra
