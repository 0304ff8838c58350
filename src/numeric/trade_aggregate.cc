// How the trade pass runs.
//
// Rows are taken in chunks: the positions of a chunk's trade rows are
// collected first without a branch, so a random trade flag costs no
// misprediction, and the grouping loop then sees trade rows only.
//
// Where the groups live.  A sample of the rows gives the range of window
// indexes (timestamp / window_ms) and of symbol ids; when that range, with
// some room around it, makes a table of at most a fixed share of the rows,
// each group is a cell of a dense window x symbol table, found by index and
// added to in place.  Rows outside the table, and every row when there is
// no table, go to a hash table of groups with a cache per symbol (sparse
// groups).  A group is in the table exactly when its window and symbol are
// in the table's range, so the two never share a group.  The table is read
// out in window and symbol order; the sparse groups are sorted and merged
// in.
//
// Two threads.  With enough rows in time order (judged from a sample), the
// calling thread and one helper each take half of the rows, so that every
// group's values are still added in row order by one thread (floating-point
// addition is not associative, so partial sums are never added together).
// When the first half's last window comes before the second half's first
// window, the two results are joined.  Otherwise, if the second half's
// window starts never go back, its first rows up to the first one past the
// first half's last window are added to the first half's groups (continuing
// their sums in row order), and the second half keeps only its groups past
// that window.  Otherwise the first half simply goes on over the second
// half's rows, as one thread would have.
//
// Rows out of time order are not split: every window's rows are spread over
// the whole input, so a split by time would have each thread read every
// row, which on a busy machine costs more than it gains.
#include "numeric/trade_aggregate.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif

#include "model/saturating.h"

namespace movra {

UnsignedDivider::UnsignedDivider(std::uint64_t d) {
  if (d == 1) return;
  // 2^(l-1) < d <= 2^l and magic = ceil(2^(63+l) / d) < 2^64: then for
  // every n < 2^63, floor(n / d) = floor(n * magic / 2^(63+l)).
  const int l = 64 - std::countl_zero(d - 1);
  const unsigned __int128 scale = static_cast<unsigned __int128>(1) << (63 + l);
  magic_ = static_cast<std::uint64_t>((scale + d - 1) / d);
  shift_ = l - 1;
}

namespace {

constexpr std::size_t kChunkRows = 2048;
// Rows sampled to choose the dense table's range and how to split the work.
constexpr std::size_t kSampleRows = 1024;

struct TradeInputs {
  const std::int64_t* timestamps;
  const std::uint8_t* is_trade;  // bars: nullptr when every row counts
  const std::int64_t* symbol_id;
  const double* values;  // bars: the prices
  std::int64_t window_ms;
  const double* quantities = nullptr;  // bars only
};

// What a pass computes.  A kind names its running aggregate (Acc, with a
// count that is 0 exactly while no row has been added, and all-zero bits a
// valid empty one), its group (Acc with window_start and symbol_id), which
// rows take part, and how a row is added.  kAddsMasked: whether the ordered
// way of a dense pass may add a row that takes no part through add_masked,
// which then must leave the aggregate exactly as it is; a kind that may not
// takes the ordered way over its taking rows only.  mark() writes, for n
// rows from base on, 1 for each row that takes part and 0 for the others.
struct TradeKind {
  using Acc = NumericAggregate;
  using Group = TradeGroup;
  static constexpr bool kAddsMasked = true;

  static bool takes(const TradeInputs& in, std::size_t i) { return in.is_trade[i] != 0; }

  static void mark(const TradeInputs& in, std::size_t base, std::size_t n, std::uint8_t* out) {
    const std::uint8_t* const trade = in.is_trade + base;
    for (std::size_t j = 0; j < n; ++j) out[j] = trade[j] != 0;
  }

  static void add(Acc& a, const TradeInputs& in, std::size_t i) {
    a.sum += in.values[i];
    a.count += 1;
  }

  // A row that takes no part adds +0.0 and 0: no branch.
  static void add_masked(Acc& a, const TradeInputs& in, std::size_t i, bool take) {
    const std::uint64_t mask = 0 - static_cast<std::uint64_t>(take);
    a.sum += std::bit_cast<double>(std::bit_cast<std::uint64_t>(in.values[i]) & mask);
    a.count += take;
  }
};

struct BarKind {
  using Acc = BarAggregate;
  using Group = BarGroup;
  static constexpr bool kAddsMasked = false;

  static bool takes(const TradeInputs& in, std::size_t i) {
    const bool trade = in.is_trade == nullptr || in.is_trade[i] != 0;
    return trade & !std::isnan(in.values[i]) & !std::isnan(in.quantities[i]);
  }

  // The same test as takes(), in loops without a branch that the compiler
  // turns into vector code: x == x is false exactly for NaN.
  static void mark(const TradeInputs& in, std::size_t base, std::size_t n, std::uint8_t* out) {
    const double* const price = in.values + base;
    const double* const quantity = in.quantities + base;
    if (in.is_trade == nullptr) {
      for (std::size_t j = 0; j < n; ++j) out[j] = (price[j] == price[j]) & (quantity[j] == quantity[j]);
      return;
    }
    const std::uint8_t* const trade = in.is_trade + base;
    for (std::size_t j = 0; j < n; ++j) {
      out[j] = (trade[j] != 0) & (price[j] == price[j]) & (quantity[j] == quantity[j]);
    }
  }

  // Rows of a group come in row order, so a tie in time keeps the first
  // row's price as the open and makes the later row's price the close.
  static void add(Acc& a, const TradeInputs& in, std::size_t i) {
    const std::int64_t t = in.timestamps[i];
    const double price = in.values[i];
    const double quantity = in.quantities[i];
    if (a.count == 0) [[unlikely]] {
      a.open = a.high = a.low = a.close = price;
      a.open_time = a.close_time = t;
    } else {
      if (t < a.open_time) {
        a.open = price;
        a.open_time = t;
      }
      if (t >= a.close_time) {
        a.close = price;
        a.close_time = t;
      }
      a.high = a.high < price ? price : a.high;
      a.low = price < a.low ? price : a.low;
    }
    a.volume += quantity;
    a.notional += price * quantity;
    a.count += 1;
  }

  // Not used while kAddsMasked is false: a branch here mispredicts on a
  // random trade flag, and a form that selects every field by bits measured
  // slower than adding the taking rows only.
  static void add_masked(Acc& a, const TradeInputs& in, std::size_t i, bool take) {
    if (take) add(a, in, i);
  }
};

// The window of a timestamp t: its index t / w and start index * w (the
// quotient truncated toward zero), and the timestamps [lo, hi] it holds.
struct WindowOf {
  std::int64_t index, start, lo, hi;

  WindowOf(std::int64_t t, std::int64_t w, const UnsignedDivider& divide_by_w) {
    index = t >= 0 ? static_cast<std::int64_t>(divide_by_w.quotient(static_cast<std::uint64_t>(t))) : t / w;
    start = index * w;  // |start| <= |t|: no overflow
    // For a positive start [s, s + w - 1], for 0 (-w, w), for a negative
    // start (s - w, s], clamped to the range of the type.
    const __int128 s = start;
    const __int128 span = static_cast<__int128>(w) - 1;
    lo = clamp_to_i64(start > 0 ? s : s - span);
    hi = clamp_to_i64(start < 0 ? s : s + span);
  }
};

// The window last entered, so that time-ordered rows need no division per
// row.
class WindowTracker {
 public:
  explicit WindowTracker(std::int64_t w) : w_(w), divider_(static_cast<std::uint64_t>(w)) {}

  bool holds(std::int64_t t) const { return t >= lo_ && t <= hi_; }

  // Moves to the window of t.
  void enter(std::int64_t t) {
    const WindowOf window(t, w_, divider_);
    start_ = window.start;
    lo_ = window.lo;
    hi_ = window.hi;
  }

  std::int64_t start() const { return start_; }

 private:
  std::int64_t w_;
  UnsignedDivider divider_;
  std::int64_t start_ = 0;
  std::int64_t lo_ = 1;  // an empty range until the first enter()
  std::int64_t hi_ = 0;
};

// Open-addressing hash index from the exact pair (window start, symbol id)
// to the group's position in the group vector; linear probing, grown at
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
template <typename Kind>
class SymbolCache {
 public:
  using Acc = typename Kind::Acc;
  using Group = typename Kind::Group;
  static constexpr std::int64_t kSize = 8192;

  struct Entry : Acc {
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
              std::vector<Group>& groups) {
    Entry& e = entries_[static_cast<std::size_t>(symbol)];
    write_back(e, groups);
    e.start = start;
    e.position = position;
    static_cast<Acc&>(e) = groups[position];
    return e;
  }

  void write_back_all(std::vector<Group>& groups) {
    for (std::int64_t s = 0; s < kSize; ++s) write_back(entries_[static_cast<std::size_t>(s)], groups);
  }

 private:
  static constexpr std::size_t kNone = ~std::size_t{0};

  static void write_back(const Entry& e, std::vector<Group>& groups) {
    if (e.position == kNone) return;
    static_cast<Acc&>(groups[e.position]) = e;
  }

  std::unique_ptr<Entry[]> entries_;
};

template <typename Group>
bool by_start_then_symbol(const Group& x, const Group& y) {
  return x.window_start != y.window_start ? x.window_start < y.window_start
                                          : x.symbol_id < y.symbol_id;
}

// Groups come out in order of their first row.  For time-ordered input the
// window starts are already ascending and only each window's symbols need
// sorting; otherwise everything is sorted.
template <typename Group>
void sort_groups(std::vector<Group>& groups) {
  const bool starts_ascending = std::is_sorted(
      groups.begin(), groups.end(),
      [](const Group& x, const Group& y) { return x.window_start < y.window_start; });
  if (!starts_ascending) {
    std::sort(groups.begin(), groups.end(), by_start_then_symbol<Group>);
    return;
  }
  for (auto run = groups.begin(); run != groups.end();) {
    auto end = run;
    while (end != groups.end() && end->window_start == run->window_start) ++end;
    std::sort(run, end, by_start_then_symbol<Group>);
    run = end;
  }
}

// Groups in a hash table, each symbol's latest group cached.  Rows must
// come in row order.
template <typename Kind>
class SparseGroups {
 public:
  using Group = typename Kind::Group;

  SparseGroups(const TradeInputs& in, std::size_t expected) : in_(in), expected_(expected) {
    groups_.reserve(expected);
  }

  // Adds row i, of window start, with its timestamp and symbol id.
  [[gnu::noinline]] void add_cold(std::int64_t time, std::int64_t start, std::int64_t symbol,
                                  std::size_t i) {
    add(time, start, symbol, i);
  }

  [[gnu::always_inline]] void add(std::int64_t time, std::int64_t start, std::int64_t symbol, std::size_t i) {
    // While the timestamps never decrease, window starts never decrease
    // either, so a symbol's cache entry always holds its latest window: a
    // miss for a cached symbol is a new group, and no hash index is needed
    // for it.  The index then holds only the groups of symbols outside the
    // cache.  At the first step back in time every group is indexed and the
    // index is consulted on every miss from then on.
    if (time < last_time_ && monotone_) [[unlikely]] {
      monotone_ = false;
      GroupIndex& all = index();
      for (std::size_t p = 0; p < groups_.size(); ++p) {
        if (Cache::covers(groups_[p].symbol_id)) {
          all.find_or_insert(groups_[p].window_start, groups_[p].symbol_id, [p] { return p; });
        }
      }
    }
    last_time_ = time;
    auto find_group = [&] {
      if (monotone_ && Cache::covers(symbol)) return append(start, symbol);
      return index().find_or_insert(start, symbol, [&] { return append(start, symbol); });
    };
    if (Cache::covers(symbol)) [[likely]] {
      typename Cache::Entry* e = cache_.hit(start, symbol);
      if (e == nullptr) [[unlikely]] e = &cache_.load(start, symbol, find_group(), groups_);
      Kind::add(*e, in_, i);
    } else {
      Kind::add(groups_[find_group()], in_, i);
    }
  }

  std::size_t size() const { return groups_.size(); }

  // The groups, sorted.  The object is spent afterwards.
  std::vector<Group> take_sorted() {
    cache_.write_back_all(groups_);
    sort_groups(groups_);
    return std::move(groups_);
  }

 private:
  GroupIndex& index() {
    if (!index_) index_ = std::make_unique<GroupIndex>(expected_);
    return *index_;
  }

  std::size_t append(std::int64_t start, std::int64_t symbol) {
    Group group;
    group.window_start = start;
    group.symbol_id = symbol;
    groups_.push_back(group);
    return groups_.size() - 1;
  }

  using Cache = SymbolCache<Kind>;

  const TradeInputs in_;
  std::size_t expected_;
  std::vector<Group> groups_;
  Cache cache_;
  bool monotone_ = true;
  std::int64_t last_time_ = kInt64Min;
  std::unique_ptr<GroupIndex> index_;
};

// The range of a dense table: windows by index, symbols by id.
struct DenseLayout {
  std::int64_t first_window = 0;  // window index, timestamp / window_ms
  std::uint64_t windows = 0;
  std::int64_t first_symbol = 0;
  std::uint64_t symbols = 0;
};

// The rows [lo, hi) of a pass.
struct RowRange {
  std::size_t lo = 0;
  std::size_t hi = 0;
};

// Up to kSampleRows rows spread evenly over [lo, hi), first and last
// included, as (timestamp, symbol id) pairs.
std::vector<std::pair<std::int64_t, std::int64_t>> sample(const TradeInputs& in, std::size_t lo,
                                                          std::size_t hi) {
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  const std::size_t n = hi - lo;
  if (n == 0) return out;
  const std::size_t k = std::min(n, kSampleRows);
  out.reserve(k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::size_t i = k == 1 ? lo : lo + j * (n - 1) / (k - 1);
    out.emplace_back(in.timestamps[i], in.symbol_id[i]);
  }
  return out;
}

// A dense table over the sampled rows of range with some room on each side,
// when it has at most max_cells cells.
std::optional<DenseLayout> plan_layout(const TradeInputs& in, const RowRange& range,
                                       std::size_t max_cells) {
  std::int64_t q_min = kInt64Max, q_max = kInt64Min, s_min = kInt64Max, s_max = kInt64Min;
  for (const auto& [t, s] : sample(in, range.lo, range.hi)) {
    const std::int64_t q = t / in.window_ms;
    q_min = std::min(q_min, q);
    q_max = std::max(q_max, q);
    s_min = std::min(s_min, s);
    s_max = std::max(s_max, s);
  }
  if (q_min > q_max) return std::nullopt;
  // Room for what the sample missed: a sixteenth of the span on each side.
  const __int128 q_room = (static_cast<__int128>(q_max) - q_min) / 16 + 1;
  const __int128 s_room = (static_cast<__int128>(s_max) - s_min) / 16 + 1;
  const __int128 q_lo = q_min - q_room;
  const __int128 q_hi = q_max + q_room;
  // Symbol ids that are never negative keep a table that starts at 0 or above.
  const __int128 s_lo = s_min >= 0 ? std::max<__int128>(0, s_min - s_room) : s_min - s_room;
  const __int128 s_hi = s_max + s_room;
  const __int128 windows = q_hi - q_lo + 1;
  const __int128 symbols = s_hi - s_lo + 1;
  const __int128 limit = static_cast<__int128>(max_cells);
  if (windows > limit || symbols > limit || windows * symbols > limit) return std::nullopt;
  DenseLayout layout;
  layout.first_window = clamp_to_i64(q_lo);
  layout.windows = static_cast<std::uint64_t>(windows);
  layout.first_symbol = clamp_to_i64(s_lo);
  layout.symbols = static_cast<std::uint64_t>(symbols);
  return layout;
}

// The most cells a dense table may have for n rows: at most 2 bytes of
// table per row, 1 MiB at the least.
std::size_t max_dense_cells(std::size_t n) { return std::max<std::size_t>(n / 8, std::size_t{1} << 16); }

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Whether adding +0.0 leaves every running sum exactly as it is.  It does
// under IEEE rules: a sum that starts at +0.0 is never -0.0 under rounding
// to nearest, and in every mode x + 0.0 is x for any other x, NaN payloads
// included.  It does not when denormal inputs are read as zero (the x86 DAZ
// flag, which some libraries set for the whole process).
bool adding_zero_is_exact() {
#if defined(__SSE2__)
  return (_mm_getcsr() & 0x0040u) == 0;
#else
  return false;
#endif
}

// The groups of the rows it is given, in a dense table where they fit it and
// as sparse groups otherwise.  Rows must be given in row order; run() may be
// called again for later rows.
//
// With a table, rows are taken in chunks in one of two ways, chosen from how
// the previous chunk went:
// - ordered: rows of the current window whose symbol is in the table are
//   added right away, trade or not (a row that is not a trade adds +0.0 and
//   0), so the loop has no unpredictable branch; any other row takes the
//   slow way, which moves to its window.  Good while rows come in time order.
//   A kind whose add has no exact masked form (bars) lists the chunk's
//   taking rows first and goes over those only.
// - scattered: every trade row's cell is computed first (a multiplication,
//   not a division, per row), then the cells are added to in row order with
//   the next cells fetched ahead.  Good when windows change from row to row.
template <typename Kind>
class Aggregator {
 public:
  using Cell = typename Kind::Acc;
  using Group = typename Kind::Group;

  Aggregator(const TradeInputs& in, std::size_t expected_groups, std::optional<DenseLayout> layout)
      : in_(in), expected_(expected_groups), divider_(static_cast<std::uint64_t>(in.window_ms)) {
    if (layout) {
      // calloc: pages of the table that no row touches are never touched.
      Cell* table = static_cast<Cell*>(std::calloc(layout->windows * layout->symbols, sizeof(Cell)));
      if (table == nullptr) throw std::bad_alloc();
      table_.reset(table);
      layout_ = *layout;
      ordered_allowed_ = !Kind::kAddsMasked || adding_zero_is_exact();
      scattered_ = !ordered_allowed_;
    }
  }

  void run(const RowRange& range) {
    // The current window belongs to the previous call.
    current_ = Window{};
    if (!table_) {
      run_sparse(range);
      return;
    }
    for (std::size_t base = range.lo; base < range.hi; base += kChunkRows) {
      const std::size_t end = std::min(range.hi, base + kChunkRows);
      if (scattered_) {
        scattered_ = run_scattered(base, end) || !ordered_allowed_;
      } else if constexpr (Kind::kAddsMasked) {
        scattered_ = run_ordered(base, end);
      } else {
        scattered_ = run_ordered_taking(base, end);
      }
    }
  }

  // Whether any trade row was seen; the least and greatest window start of
  // the trade rows; whether those starts never decreased from row to row.
  bool empty() const { return max_start_ < min_start_; }
  std::int64_t min_start() const { return min_start_; }
  std::int64_t max_start() const { return max_start_; }
  bool starts_ordered() const { return starts_ordered_; }

  // Ends the adding of rows and readies the groups for read(): every group,
  // or only those whose window starts after `after` when given.
  void finish(std::optional<std::int64_t> after = std::nullopt) {
    if (sparse_) {
      sparse_sorted_ = sparse_->take_sorted();
      sparse_.reset();
      if (after) {
        sparse_sorted_.erase(sparse_sorted_.begin(),
                             std::find_if(sparse_sorted_.begin(), sparse_sorted_.end(),
                                          [after](const Group& g) { return g.window_start > *after; }));
      }
    }
    if (!table_) return;
    read_row_ = first_used_;
    while (after && read_row_ <= last_used_ && start_of_row(read_row_) <= *after) ++read_row_;
  }

  // How many groups read() hands out in all.  REQUIRES: finish() was called.
  std::size_t group_count() const {
    std::size_t count = sparse_sorted_.size();
    if (table_ && read_row_ <= last_used_) {
      const Cell* const first = table_.get() + read_row_ * layout_.symbols;
      const Cell* const last = table_.get() + (last_used_ + 1) * layout_.symbols;
      count += static_cast<std::size_t>(std::count_if(first, last, [](const Cell& c) { return c.count != 0; }));
    }
    return count;
  }

  // Writes the next groups in order, at most room of them, to out; returns
  // how many.  REQUIRES: finish() was called.
  std::size_t read(Group* out, std::size_t room) {
    std::size_t k = 0;
    while (k < room) {
      // The table's next group and the sparse groups' next, the smaller first.
      const Cell* cell = next_cell();
      const bool sparse_left = read_sparse_ < sparse_sorted_.size();
      if (cell == nullptr && !sparse_left) break;
      Group group;
      if (cell != nullptr) {
        static_cast<Cell&>(group) = *cell;
        group.window_start = start_of_row(read_row_);
        group.symbol_id = layout_.first_symbol + static_cast<std::int64_t>(read_column_);
      }
      if (sparse_left && (cell == nullptr || by_start_then_symbol<Group>(sparse_sorted_[read_sparse_], group))) {
        out[k++] = sparse_sorted_[read_sparse_++];
      } else {
        out[k++] = group;
        ++read_column_;
      }
    }
    return k;
  }

 private:
  // A window: its start, the `count` timestamps from lo on that it holds
  // (none when count is 0), and its row of the table (nullptr when the
  // table does not hold it).
  struct Window {
    std::int64_t lo = 0;
    std::uint64_t count = 0;
    std::int64_t start = 0;
    Cell* row = nullptr;

    bool holds(std::int64_t t) const {
      return static_cast<std::uint64_t>(t) - static_cast<std::uint64_t>(lo) < count;
    }
  };

  // Marks, in a chunk's list of cells, a trade row that the table does not
  // hold.
  static constexpr std::uint64_t kNotInTable = ~std::uint64_t{0};

  // Returns whether so many rows took the slow way that the next chunk
  // should be scattered.
  bool run_ordered(std::size_t base, std::size_t end) {
    const std::int64_t* const ts = in_.timestamps;
    const std::int64_t* const sym = in_.symbol_id;
    const std::uint64_t s_first = static_cast<std::uint64_t>(layout_.first_symbol);
    const std::uint64_t symbols = layout_.symbols;
    Window current = current_;
    std::size_t slow = 0;
    for (std::size_t i = base; i < end; ++i) {
      const std::int64_t t = ts[i];
      const std::uint64_t column = static_cast<std::uint64_t>(sym[i]) - s_first;
      const bool is_trade = Kind::takes(in_, i);
      if (current.holds(t) && column < symbols) [[likely]] {
        // The current window is one of the table's.
        Kind::add_masked(current.row[column], in_, i, is_trade);
        continue;
      }
      if (!is_trade) continue;
      ++slow;
      const Window w = enter(t);
      // A window the table does not hold is never current; nor is the one
      // before it any longer, so that a return to it is noted again.
      current = w.row != nullptr ? w : Window{};
      add_outside(w, column, i);
    }
    current_ = current;
    return slow > (end - base) / 16;
  }

  // The ordered way over the taking rows only, for a kind whose add has no
  // masked form.  Returns what run_ordered returns.
  bool run_ordered_taking(std::size_t base, std::size_t end) {
    const std::int64_t* const ts = in_.timestamps;
    const std::int64_t* const sym = in_.symbol_id;
    const std::uint64_t s_first = static_cast<std::uint64_t>(layout_.first_symbol);
    const std::uint64_t symbols = layout_.symbols;
    std::uint32_t rows[kChunkRows];
    const std::size_t count = taking_rows(base, end, rows);
    Window current = current_;
    std::size_t slow = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = base + rows[k];
      const std::int64_t t = ts[i];
      const std::uint64_t column = static_cast<std::uint64_t>(sym[i]) - s_first;
      if (current.holds(t) && column < symbols) [[likely]] {
        Kind::add(current.row[column], in_, i);
        continue;
      }
      ++slow;
      const Window w = enter(t);
      current = w.row != nullptr ? w : Window{};
      add_outside(w, column, i);
    }
    current_ = current;
    return slow > (end - base) / 16;
  }

  // Writes the offsets from base of the rows in [base, end) that take part,
  // in order, to rows; returns how many.
  std::size_t taking_rows(std::size_t base, std::size_t end, std::uint32_t* rows) const {
    std::uint8_t takes[kChunkRows];
    const std::size_t n = end - base;
    Kind::mark(in_, base, n, takes);
    // Every offset is written and kept when its row takes part; eight at a
    // time, since the loop does little else.
    std::size_t count = 0;
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
      for (std::size_t u = 0; u < 8; ++u) {
        rows[count] = static_cast<std::uint32_t>(j + u);
        count += takes[j + u];
      }
    }
    for (; j < n; ++j) {
      rows[count] = static_cast<std::uint32_t>(j);
      count += takes[j];
    }
    return count;
  }

  // Returns whether windows changed so often that the next chunk should be
  // scattered too.
  bool run_scattered(std::size_t base, std::size_t end) {
    current_ = Window{};  // a later ordered chunk notes its window anew
    const std::int64_t* const ts = in_.timestamps;
    const std::int64_t* const sym = in_.symbol_id;
    const std::uint64_t s_first = static_cast<std::uint64_t>(layout_.first_symbol);
    const std::uint64_t symbols = layout_.symbols;
    const std::uint64_t w_first = static_cast<std::uint64_t>(layout_.first_window);
    const std::uint64_t windows = layout_.windows;
    // The trade rows.
    std::uint32_t rows[kChunkRows];
    const std::size_t count = taking_rows(base, end, rows);
    // Each trade row's cell: the table row (window) and column (symbol) it
    // falls in, or kNotInTable.
    std::uint64_t cells[kChunkRows];
    std::uint64_t used_lo = kNotInTable, used_hi = 0;  // table rows used
    std::uint64_t previous = 0;
    std::size_t outside = 0;  // trade rows the table does not hold
    std::size_t changes = 0;  // trade rows in another window than the one before
    bool ordered = true;      // table rows never going back
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = base + rows[k];
      const std::int64_t t = ts[i];
      // For t < 0 the quotient means nothing; such a row is not in the table.
      const std::uint64_t row = divider_.quotient(static_cast<std::uint64_t>(t)) - w_first;
      const std::uint64_t column = static_cast<std::uint64_t>(sym[i]) - s_first;
      const bool in_table = (t >= 0) & (row < windows) & (column < symbols);
      cells[k] = in_table ? row * symbols + column : kNotInTable;
      used_lo = std::min(used_lo, in_table ? row : used_lo);
      used_hi = std::max(used_hi, in_table ? row : used_hi);
      outside += !in_table;
      ordered = ordered & (row >= previous);
      changes += row != previous;
      previous = row;
    }
    if (used_lo <= used_hi) {
      first_used_ = std::min(first_used_, used_lo);
      last_used_ = std::max(last_used_, used_hi);
      if (ordered && outside == 0) {
        note_start(start_of_row(used_lo));
        note_start(start_of_row(used_hi));
      } else {
        starts_ordered_ = false;
        min_start_ = std::min(min_start_, start_of_row(used_lo));
        max_start_ = std::max(max_start_, start_of_row(used_hi));
      }
    }
    // Then the cells, added to in row order.
    Cell* const table = table_.get();
    const std::uintptr_t table_address = reinterpret_cast<std::uintptr_t>(table);
    // A cell larger than a cache line spans two; both are fetched.
    constexpr std::size_t kAhead = sizeof(Cell) > 64 ? 32 : 16;
    for (std::size_t k = 0; k < count; ++k) {
      if (k + kAhead < count) {
        // Computed as an integer: for a row outside the table the address
        // is of no use, but a prefetch never faults.
        const std::uintptr_t cell = table_address + cells[k + kAhead] * sizeof(Cell);
        __builtin_prefetch(reinterpret_cast<const void*>(cell), 1);
        if constexpr (sizeof(Cell) > 64) __builtin_prefetch(reinterpret_cast<const void*>(cell + sizeof(Cell) - 1), 1);
      }
      const std::size_t i = base + rows[k];
      if (cells[k] != kNotInTable) [[likely]] {
        Kind::add(table[cells[k]], in_, i);
      } else {
        const std::uint64_t column = static_cast<std::uint64_t>(sym[i]) - s_first;
        add_outside(enter(ts[i]), column, i);
      }
    }
    return changes * 64 >= count;
  }

  std::int64_t start_of_row(std::uint64_t row) const {
    return (layout_.first_window + static_cast<std::int64_t>(row)) * in_.window_ms;
  }

  // The window start of a trade row, in row order.
  void note_start(std::int64_t start) {
    min_start_ = std::min(min_start_, start);
    max_start_ = std::max(max_start_, start);
    starts_ordered_ = starts_ordered_ && start >= last_start_;
    last_start_ = start;
  }

  // The window of the trade row's timestamp t, noted.
  Window enter(std::int64_t t) {
    const WindowOf window(t, in_.window_ms, divider_);
    Window out;
    out.start = window.start;
    out.lo = window.lo;
    out.count = static_cast<std::uint64_t>(window.hi) - static_cast<std::uint64_t>(window.lo) + 1;
    note_start(out.start);
    if (table_) {
      const std::uint64_t row =
          static_cast<std::uint64_t>(window.index) - static_cast<std::uint64_t>(layout_.first_window);
      if (row < layout_.windows) {
        out.row = table_.get() + row * layout_.symbols;
        first_used_ = std::min(first_used_, row);
        last_used_ = std::max(last_used_, row);
      }
    }
    if (out.row == nullptr) out.count = 0;  // never the current window
    return out;
  }

  // Adds trade row i, of window w, to its cell or to the sparse groups.
  void add_outside(const Window& w, std::uint64_t column, std::size_t i) {
    if (w.row != nullptr && column < layout_.symbols) {
      Kind::add(w.row[column], in_, i);
    } else {
      sparse().add_cold(in_.timestamps[i], w.start, in_.symbol_id[i], i);
    }
  }

  // Without a table: every trade row goes to the sparse groups.
  void run_sparse(const RowRange& range) {
    const std::int64_t* const ts = in_.timestamps;
    const std::int64_t* const sym = in_.symbol_id;
    SparseGroups<Kind>& groups = sparse();
    WindowTracker window(in_.window_ms);
    std::uint32_t rows[kChunkRows];
    for (std::size_t base = range.lo; base < range.hi; base += kChunkRows) {
      const std::size_t end = std::min(range.hi, base + kChunkRows);
      std::size_t count = 0;
      for (std::size_t i = base; i < end; ++i) {
        rows[count] = static_cast<std::uint32_t>(i - base);
        count += Kind::takes(in_, i);
      }
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = base + rows[k];
        const std::int64_t t = ts[i];
        if (!window.holds(t)) [[unlikely]] {
          window.enter(t);
          note_start(window.start());
        }
        groups.add(t, window.start(), sym[i], i);
      }
    }
  }

  SparseGroups<Kind>& sparse() {
    if (!sparse_) sparse_ = std::make_unique<SparseGroups<Kind>>(in_, expected_);
    return *sparse_;
  }

  // The table's cell at the read position or the next one that holds a
  // group, the read position moved to it; nullptr when none is left.
  const Cell* next_cell() {
    if (!table_) return nullptr;
    for (; read_row_ <= last_used_; ++read_row_, read_column_ = 0) {
      const Cell* row = table_.get() + read_row_ * layout_.symbols;
      while (read_column_ < layout_.symbols && row[read_column_].count == 0) ++read_column_;
      if (read_column_ < layout_.symbols) return row + read_column_;
    }
    return nullptr;
  }

  const TradeInputs in_;
  const std::size_t expected_;
  const UnsignedDivider divider_;
  DenseLayout layout_;
  std::unique_ptr<Cell[], FreeDeleter> table_;
  bool ordered_allowed_ = false;  // whether a chunk may be taken ordered
  bool scattered_ = false;        // how the next chunk is taken
  Window current_;
  std::uint64_t first_used_ = kNotInTable;  // table rows that hold trade rows
  std::uint64_t last_used_ = 0;
  std::unique_ptr<SparseGroups<Kind>> sparse_;
  std::int64_t min_start_ = kInt64Max;
  std::int64_t max_start_ = kInt64Min;
  bool starts_ordered_ = true;
  std::int64_t last_start_ = kInt64Min;
  // The read position, from finish() on: table row and column, next sparse group.
  std::uint64_t read_row_ = 1;  // past last_used_ (0) until finish(): nothing to read
  std::uint64_t read_column_ = 0;
  std::vector<Group> sparse_sorted_;
  std::size_t read_sparse_ = 0;
};

std::size_t expected_groups(std::size_t rows) { return rows / 256 + 16; }

template <typename Kind>
std::unique_ptr<Aggregator<Kind>> make_aggregator(const TradeInputs& in, const RowRange& range,
                                                  const TradePassOptions& options) {
  const std::size_t rows = range.hi - range.lo;
  std::optional<DenseLayout> layout;
  if (options.dense) layout = plan_layout(in, range, max_dense_cells(rows));
  return std::make_unique<Aggregator<Kind>>(in, expected_groups(rows), layout);
}

// The groups of a, then those of b (that start after `after`, when given).
template <typename Kind>
class PassReader final : public GroupReader<typename Kind::Group> {
 public:
  using Group = typename Kind::Group;

  explicit PassReader(std::unique_ptr<Aggregator<Kind>> a, std::unique_ptr<Aggregator<Kind>> b = nullptr,
                      std::optional<std::int64_t> after = std::nullopt)
      : a_(std::move(a)), b_(std::move(b)) {
    a_->finish();
    size_ = a_->group_count();
    if (b_) {
      b_->finish(after);
      size_ += b_->group_count();
    }
  }

  std::size_t size() const override { return size_; }

  std::size_t read(Group* out, std::size_t room) override {
    std::size_t k = a_->read(out, room);
    if (k < room && b_) k += b_->read(out + k, room - k);
    return k;
  }

 private:
  std::unique_ptr<Aggregator<Kind>> a_, b_;
  std::size_t size_ = 0;
};

// Runs helper_part on a second thread while the calling thread runs
// own_part; false when the thread could not start or helper_part failed
// (then nothing it made may be used).
template <typename HelperPart, typename OwnPart>
bool run_beside(HelperPart helper_part, OwnPart own_part) {
  std::exception_ptr failure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        helper_part();
      } catch (...) {
        failure = std::current_exception();
      }
    });
  } catch (...) {
    own_part();
    return false;
  }
  try {
    own_part();
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  return failure == nullptr;
}

// Time-ordered rows: halves by row, joined as the file comment says.
template <typename Kind>
std::unique_ptr<GroupReader<typename Kind::Group>> split_by_rows(const TradeInputs& in, std::size_t n,
                                                                 const TradePassOptions& options) {
  const std::size_t mid = n / 2;
  const RowRange first{0, mid}, second{mid, n};
  auto a = make_aggregator<Kind>(in, first, options);
  std::unique_ptr<Aggregator<Kind>> b;
  const bool helped = run_beside(
      [&] {
        b = make_aggregator<Kind>(in, second, options);
        b->run(second);
      },
      [&] { a->run(first); });
  if (helped && (a->empty() || b->empty() || a->max_start() < b->min_start())) {
    return std::make_unique<PassReader<Kind>>(std::move(a), std::move(b));
  }
  if (!helped || !b->starts_ordered()) {
    a->run(second);
    return std::make_unique<PassReader<Kind>>(std::move(a));
  }
  // The second half's window starts never decrease, so its rows before its
  // first trade row past the first half's last window are the only ones in
  // windows the first half has: they continue the first half's groups; the
  // second half keeps only its groups past that window.
  const std::int64_t last = a->max_start();
  WindowTracker window(in.window_ms);
  std::size_t stop = mid;
  for (; stop < n; ++stop) {
    if (!Kind::takes(in, stop)) continue;
    if (!window.holds(in.timestamps[stop])) window.enter(in.timestamps[stop]);
    if (window.start() > last) break;
  }
  a->run(RowRange{mid, stop});
  return std::make_unique<PassReader<Kind>>(std::move(a), std::move(b), last);
}

// One pass of a kind over the rows.
template <typename Kind>
std::unique_ptr<GroupReader<typename Kind::Group>> read_groups(const TradeInputs& in, std::size_t n,
                                                               const TradePassOptions& options) {
  if (n >= 2 * std::max<std::size_t>(options.min_rows_per_thread, 1) &&
      std::thread::hardware_concurrency() > 1) {
    const auto points = sample(in, 0, n);
    const bool time_ordered = std::is_sorted(
        points.begin(), points.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    if (time_ordered) return split_by_rows<Kind>(in, n, options);
  }
  auto all = make_aggregator<Kind>(in, RowRange{0, n}, options);
  all->run(RowRange{0, n});
  return std::make_unique<PassReader<Kind>>(std::move(all));
}

template <typename Group>
std::vector<Group> read_all(GroupReader<Group>& reader) {
  std::vector<Group> out(reader.size());
  const std::size_t got = reader.read(out.data(), out.size());
  out.resize(got);
  return out;
}

}  // namespace

std::unique_ptr<TradeGroupReader> read_trade_groups(const std::int64_t* timestamps,
                                                    const std::uint8_t* is_trade,
                                                    const std::int64_t* symbol_id, const double* values,
                                                    std::size_t n, std::int64_t window_ms,
                                                    const TradePassOptions& options) {
  return read_groups<TradeKind>(TradeInputs{timestamps, is_trade, symbol_id, values, window_ms}, n, options);
}

std::unique_ptr<BarGroupReader> read_bar_groups(const std::int64_t* timestamps,
                                                const std::uint8_t* is_trade,
                                                const std::int64_t* symbol_id, const double* prices,
                                                const double* quantities, std::size_t n,
                                                std::int64_t window_ms,
                                                const TradePassOptions& options) {
  return read_groups<BarKind>(TradeInputs{timestamps, is_trade, symbol_id, prices, window_ms, quantities}, n,
                              options);
}

std::vector<TradeGroup> aggregate_trades(const std::int64_t* timestamps,
                                         const std::uint8_t* is_trade,
                                         const std::int64_t* symbol_id, const double* values,
                                         std::size_t n, std::int64_t window_ms,
                                         const TradePassOptions& options) {
  return read_all(*read_trade_groups(timestamps, is_trade, symbol_id, values, n, window_ms, options));
}

std::vector<BarGroup> aggregate_bars(const std::int64_t* timestamps, const std::uint8_t* is_trade,
                                     const std::int64_t* symbol_id, const double* prices,
                                     const double* quantities, std::size_t n, std::int64_t window_ms,
                                     const TradePassOptions& options) {
  return read_all(*read_bar_groups(timestamps, is_trade, symbol_id, prices, quantities, n, window_ms, options));
}

}  // namespace movra
