#include "model/event_chunk.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace movra {

namespace {

constexpr std::string_view kTimestamp = "timestamp";

void set_bit(std::vector<std::uint64_t>& v, std::size_t i) { v[i >> 6] |= std::uint64_t{1} << (i & 63); }
void clear_bit(std::vector<std::uint64_t>& v, std::size_t i) { v[i >> 6] &= ~(std::uint64_t{1} << (i & 63)); }

// Keeps bits [0, n) of a bitmap and drops the words past them.
void truncate_bits(std::vector<std::uint64_t>& v, std::size_t n) {
  const std::size_t words = (n + 63) >> 6;
  if (v.size() > words) v.resize(words);
  if ((n & 63) != 0 && v.size() == words) v.back() &= (std::uint64_t{1} << (n & 63)) - 1;
}

template <typename T>
void truncate_to(std::vector<T>& v, std::size_t n) {
  if (v.size() > n) v.resize(n);
}

// Makes v a bitmap of n set bits (and clear bits past them).
void fill_bits(std::vector<std::uint64_t>& v, std::size_t n) {
  v.assign((n + 63) >> 6, ~std::uint64_t{0});
  truncate_bits(v, n);
}

// Sets (or clears) bits [at, at + n) of v, growing it to hold them.
void set_bits(std::vector<std::uint64_t>& v, std::size_t at, std::size_t n) {
  const std::size_t end = at + n;
  if (v.size() < ((end + 63) >> 6)) v.resize((end + 63) >> 6);
  std::size_t i = at;
  for (; i < end && (i & 63) != 0; ++i) set_bit(v, i);
  for (; i + 64 <= end; i += 64) v[i >> 6] = ~std::uint64_t{0};
  for (; i < end; ++i) set_bit(v, i);
}
void clear_bits(std::vector<std::uint64_t>& v, std::size_t at, std::size_t n) {
  const std::size_t end = at + n;
  if (v.size() < ((end + 63) >> 6)) v.resize((end + 63) >> 6);
  std::size_t i = at;
  for (; i < end && (i & 63) != 0; ++i) clear_bit(v, i);
  for (; i + 64 <= end; i += 64) v[i >> 6] = 0;
  for (; i < end; ++i) clear_bit(v, i);
}

// Bit i of an Arrow bitmap (least significant bit first).
inline bool arrow_bit(const std::uint8_t* bits, std::size_t i) { return (bits[i >> 3] >> (i & 7)) & 1; }

// Whether bits [at, at + n) of an Arrow bitmap are all set, or any is.
bool all_bits(const std::uint8_t* bits, std::size_t at, std::size_t n) {
  std::size_t i = at;
  const std::size_t end = at + n;
  for (; i < end && (i & 7) != 0; ++i) {
    if (!arrow_bit(bits, i)) return false;
  }
  for (; i + 8 <= end; i += 8) {
    if (bits[i >> 3] != 0xff) return false;
  }
  for (; i < end; ++i) {
    if (!arrow_bit(bits, i)) return false;
  }
  return true;
}
bool any_bits(const std::uint8_t* bits, std::size_t at, std::size_t n) {
  std::size_t i = at;
  const std::size_t end = at + n;
  for (; i < end && (i & 7) != 0; ++i) {
    if (arrow_bit(bits, i)) return true;
  }
  for (; i + 8 <= end; i += 8) {
    if (bits[i >> 3] != 0) return true;
  }
  for (; i < end; ++i) {
    if (arrow_bit(bits, i)) return true;
  }
  return false;
}

// Copies bits [from, from + n) of an Arrow bitmap to bits [at, at + n) of v,
// growing v to hold them.
void copy_bits(std::vector<std::uint64_t>& v, std::size_t at, const std::uint8_t* bits, std::size_t from,
               std::size_t n) {
  const std::size_t end = at + n;
  if (v.size() < ((end + 63) >> 6)) v.resize((end + 63) >> 6);
  for (std::size_t k = 0; k < n; ++k) {
    if (arrow_bit(bits, from + k)) {
      set_bit(v, at + k);
    } else {
      clear_bit(v, at + k);
    }
  }
}

}  // namespace

NameTable::~NameTable() {
  if (live_) live_->fetch_sub(names_.size(), std::memory_order_relaxed);
}

NameTable::Name NameTable::intern(std::string_view name) {
  std::lock_guard<std::mutex> lock(mu_);
  if (auto it = ids_.find(name); it != ids_.end()) return {it->second, &names_[it->second]};
  const auto id = static_cast<std::uint32_t>(names_.size());
  const std::string& text = names_.emplace_back(name);
  try {
    ids_.emplace(std::string_view(text), id);
  } catch (...) {
    names_.pop_back();
    throw;
  }
  bytes_ += text.size();
  if (live_) live_->fetch_add(1, std::memory_order_relaxed);
  return {id, &text};
}

bool NameTable::exceeds(std::size_t max_names, std::size_t max_bytes) const {
  std::lock_guard<std::mutex> lock(mu_);
  return names_.size() > max_names || bytes_ > max_bytes;
}

NameTables::NameTables(std::size_t max_names, std::size_t max_bytes)
    : max_names_(max_names),
      max_bytes_(max_bytes),
      live_(std::make_shared<std::atomic<std::size_t>>(0)),
      current_(std::make_shared<NameTable>(live_)) {}

std::shared_ptr<NameTable> NameTables::current() {
  std::lock_guard<std::mutex> lock(mu_);
  if (spent(*current_)) current_ = std::make_shared<NameTable>(live_);
  return current_;
}

std::size_t NameTable::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return names_.size();
}

Cell EventChunk::Column::cell(std::size_t i) const {
  switch (tag(i)) {
    case kBoolIndex:
      return bool_at(i);
    case kIntIndex:
      return int_at(i);
    case kDoubleIndex:
      return double_at(i);
    case kStringIndex:
      return std::string(string_at(i));
    default:
      return Null{};
  }
}

EventChunk::EventChunk(std::shared_ptr<NameTable> names) : names_(std::move(names)) {}

const EventChunk::Column* EventChunk::find(std::string_view name) const {
  const auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : &columns_[it->second];
}

void EventChunk::append_rows(std::size_t begin, std::size_t end, std::vector<Row>& out) const {
  // The columns that hold slots in [begin, end), in byte order of their
  // names, once for all the events; each then visits only its own span, so
  // many narrow columns cost their slots, not events times columns.
  std::vector<const Column*> order;
  for (const Column& c : columns_) {
    if (c.length_ > begin && c.base_ < end) order.push_back(&c);
  }
  std::sort(order.begin(), order.end(), [](const Column* a, const Column* b) { return *a->name_ < *b->name_; });
  const std::size_t n = end - begin;
  std::vector<std::uint32_t> counts(n, 0);
  for (const Column* c : order) {
    for (std::size_t i = std::max(begin, c->base_), stop = std::min(end, c->length_); i < stop; ++i) {
      counts[i - begin] += c->present(i);
    }
  }
  std::vector<std::vector<Row::Entry>> entries(n);
  for (std::size_t k = 0; k < n; ++k) entries[k].reserve(counts[k]);
  for (const Column* c : order) {
    for (std::size_t i = std::max(begin, c->base_), stop = std::min(end, c->length_); i < stop; ++i) {
      if (c->present(i)) entries[i - begin].emplace_back(*c->name_, c->cell(i));
    }
  }
  out.reserve(out.size() + n);
  for (auto& e : entries) out.push_back(Row::FromSorted(std::move(e)));
}

Row EventChunk::row(std::size_t i) const {
  std::vector<Row> one;
  append_rows(i, i + 1, one);
  return std::move(one.front());
}

void EventChunk::expect_columns(std::size_t n) {
  // Geometric, and nothing at all while there is room, so that many small
  // hints cost no more than growing would.
  const std::size_t want = columns_.size() + n;
  if (want <= columns_.capacity()) return;
  columns_.reserve(std::max(want, 2 * columns_.capacity()));
  by_name_.reserve(columns_.capacity());
}

std::size_t EventChunk::column_index(std::string_view name) {
  // Events of one source mostly carry their fields in the same order: try
  // the column after the one found last before hashing.
  if (cursor_ < columns_.size() && *columns_[cursor_].name_ == name) return cursor_++;
  std::size_t j;
  if (const auto it = by_name_.find(name); it != by_name_.end()) {
    j = it->second;
  } else {
    const NameTable::Name interned = names_->intern(name);
    j = columns_.size();
    Column& c = columns_.emplace_back();
    c.name_id_ = interned.id;
    c.name_ = interned.text;
    by_name_.emplace(std::string_view(*interned.text), static_cast<std::uint32_t>(j));
    if (name == kTimestamp) timestamp_col_ = j;
  }
  cursor_ = j + 1;
  return j;
}

std::size_t EventChunk::open_slot(std::size_t col) {
  Column& c = columns_[col];
  // In bulk mode the slot is the column's next open event.
  const std::size_t i = bulk_open_ ? std::max(rows_, c.length_) : rows_;
  if (!bulk_open_ && c.length_ == i + 1) {
    // Set before in this event: the later value replaces it.
    const std::size_t k = i - c.base_;
    if (c.offsets_.size() == k + 2) {
      c.bytes_.resize(c.offsets_[k]);
      c.offsets_.pop_back();
    }
    return k;
  }
  if (c.length_ == 0) {
    c.base_ = i;  // the column's first slot: nothing before it is held
  } else if (c.length_ < i && c.present_.empty()) {
    // The first gap: from now on presence is a bitmap.
    fill_bits(c.present_, c.length_ - c.base_);
  }
  c.length_ = i + 1;
  const std::size_t k = i - c.base_;
  const std::size_t words = (k >> 6) + 1;
  if (!c.present_.empty()) {
    if (c.present_.size() < words) c.present_.resize(words);
    set_bit(c.present_, k);
  }
  if (!c.valid_.empty() && c.valid_.size() < words) c.valid_.resize(words);  // not valid until set
  return k;
}

void EventChunk::note_kind(Column& c, std::size_t k, std::uint8_t tag) {
  if (!c.valid_.empty()) set_bit(c.valid_, k);
  if (c.kind_ == tag) return;
  if (c.kind_ == kNoKind) {
    c.kind_ = tag;
    return;
  }
  if (c.kind_ != kMixed) {
    // A second alternative: from now on every slot carries its own tag.
    c.tags_.assign(c.length_ - c.base_, kNullIndex);
    for (std::size_t m = 0; m < k; ++m) {
      if (c.valid_.empty() || Column::bit(c.valid_, m)) c.tags_[m] = c.kind_;
    }
    c.kind_ = kMixed;
  } else if (c.tags_.size() <= k) {
    c.tags_.resize(k + 1);
  }
  c.tags_[k] = tag;
}

void EventChunk::put_word(Column& c, std::size_t k, std::uint64_t v) const {
  // The common case: the slot right after the last one written.
  if (c.words_.size() == k) {
    if (c.words_.capacity() == 0 && expected_ > rows_) c.words_.reserve(expected_ - c.base_);
    c.words_.push_back(v);
    return;
  }
  if (c.words_.size() < k) c.words_.resize(k + 1);
  c.words_[k] = v;
}

void EventChunk::set_null(std::size_t col) {
  Column& c = columns_[col];
  const std::size_t k = open_slot(col);
  if (c.valid_.empty()) {
    // The first Null: from now on validity is a bitmap.
    fill_bits(c.valid_, c.length_ - c.base_);
  }
  clear_bit(c.valid_, k);
}

void EventChunk::set_bool(std::size_t col, bool v) {
  Column& c = columns_[col];
  const std::size_t i = open_slot(col);
  note_kind(c, i, kBoolIndex);
  if (c.flags_.size() == i) {
    if (c.flags_.capacity() == 0 && expected_ > rows_) c.flags_.reserve(expected_ - c.base_);
    c.flags_.push_back(v);
    return;
  }
  if (c.flags_.size() < i) c.flags_.resize(i + 1);
  c.flags_[i] = v;
}

void EventChunk::set_int(std::size_t col, std::int64_t v) {
  Column& c = columns_[col];
  const std::size_t i = open_slot(col);
  note_kind(c, i, kIntIndex);
  put_word(c, i, static_cast<std::uint64_t>(v));
}

void EventChunk::set_double(std::size_t col, double v) {
  Column& c = columns_[col];
  const std::size_t i = open_slot(col);
  note_kind(c, i, kDoubleIndex);
  put_word(c, i, std::bit_cast<std::uint64_t>(v));
}

void EventChunk::set_string(std::size_t col, std::string_view v) {
  Column& c = columns_[col];
  const std::size_t i = open_slot(col);
  note_kind(c, i, kStringIndex);
  if (c.offsets_.empty()) {
    if (expected_ > rows_) c.offsets_.reserve(expected_ - c.base_ + 1);
    c.offsets_.push_back(0);
  }
  // Slots since the last string hold empty ranges.
  while (c.offsets_.size() <= i) c.offsets_.push_back(c.bytes_.size());
  c.bytes_.append(v.data(), v.size());
  c.offsets_.push_back(c.bytes_.size());
}

void EventChunk::set_cell(std::size_t col, const Cell& cell) {
  switch (cell.index()) {
    case kBoolIndex:
      return set_bool(col, std::get<bool>(cell));
    case kIntIndex:
      return set_int(col, std::get<std::int64_t>(cell));
    case kDoubleIndex:
      return set_double(col, std::get<double>(cell));
    case kStringIndex:
      return set_string(col, std::get<std::string>(cell));
    default:
      return set_null(col);
  }
}

void EventChunk::end_event() {
  if (timestamp_col_ == SIZE_MAX || !columns_[timestamp_col_].present(rows_)) {
    const std::size_t saved = cursor_;
    set_int(column_index(kTimestamp), now_millis());
    cursor_ = saved;
  }
  ++rows_;
  open_ = false;
  cursor_ = 0;
}

void EventChunk::append_row(const Row& row) {
  begin_event();
  for (const auto& [name, cell] : row) set_cell(column_index(name), cell);
  end_event();
}

void EventChunk::append_row_as_is(const Row& row) {
  begin_event();
  for (const auto& [name, cell] : row) set_cell(column_index(name), cell);
  ++rows_;
  open_ = false;
  cursor_ = 0;
}

void EventChunk::append_from(const EventChunk& src, std::size_t begin, std::size_t end) {
  // Only the columns that hold slots in [begin, end) are copied: a reused
  // chunk keeps columns that its present events do not use.
  std::vector<std::size_t> from;
  std::vector<std::size_t> to;
  for (std::size_t j = 0; j < src.columns_.size(); ++j) {
    const Column& s = src.columns_[j];
    if (s.length_ <= begin || s.base_ >= end) continue;
    from.push_back(j);
    to.push_back(column_index(*s.name_));
  }
  for (std::size_t i = begin; i < end; ++i) {
    begin_event();
    for (std::size_t m = 0; m < to.size(); ++m) {
      const std::size_t j = from[m];
      const Column& s = src.columns_[j];
      if (!s.present(i)) continue;
      switch (s.tag(i)) {
        case kBoolIndex:
          set_bool(to[m], s.bool_at(i));
          break;
        case kIntIndex:
          set_int(to[m], s.int_at(i));
          break;
        case kDoubleIndex:
          set_double(to[m], s.double_at(i));
          break;
        case kStringIndex:
          set_string(to[m], s.string_at(i));
          break;
        default:
          set_null(to[m]);
          break;
      }
    }
    // Every event of a chunk carries its "timestamp" already.
    end_event();
  }
}

void EventChunk::truncate(std::size_t n) {
  for (Column& c : columns_) {
    if (n == 0) {
      // Reuse starts afresh: no kind, no tags.
      c.kind_ = kNoKind;
      c.tags_.clear();
    }
    if (c.length_ <= n) continue;
    if (n <= c.base_) {
      // No slot stays: the column starts afresh (its capacity kept).
      c.kind_ = kNoKind;
      c.tags_.clear();
    }
    cut(c, n);
  }
  rows_ = std::min(rows_, n);
  expected_ = 0;
  open_ = false;
  bulk_open_ = false;
  bulk_ = 0;
  cursor_ = 0;
}

void EventChunk::cut(Column& c, std::size_t n) {
  if (c.length_ <= n) return;
  if (n <= c.base_) {
    c.base_ = 0;
    c.length_ = 0;
    c.present_.clear();
    c.valid_.clear();
    c.words_.clear();
    c.flags_.clear();
    c.tags_.clear();
    c.offsets_.clear();
    c.bytes_.clear();
    return;
  }
  const std::size_t m = n - c.base_;
  c.length_ = n;
  truncate_bits(c.present_, m);
  truncate_bits(c.valid_, m);
  truncate_to(c.words_, m);
  truncate_to(c.flags_, m);
  truncate_to(c.tags_, m);
  if (c.offsets_.size() > m + 1) {
    c.bytes_.resize(c.offsets_[m]);
    c.offsets_.resize(m + 1);
  }
}

// ---------------------------------------------------------------- bulk

void EventChunk::begin_events(std::size_t n) {
  kinds_before_.resize(columns_.size());
  for (std::size_t j = 0; j < columns_.size(); ++j) kinds_before_[j] = columns_[j].kind_;
  bulk_ = n;
  bulk_open_ = true;
  expected_ = rows_ + n;
  cursor_ = 0;
}

void EventChunk::begin_column(std::size_t col) { cut(columns_[col], rows_); }

std::size_t EventChunk::open_span(std::size_t col) {
  Column& c = columns_[col];
  cut(c, rows_);  // written before: the later values replace these
  const std::size_t end = rows_ + bulk_;
  if (c.length_ == 0) {
    c.base_ = rows_;
  } else if (c.length_ < rows_ && c.present_.empty()) {
    fill_bits(c.present_, c.length_ - c.base_);  // the first gap, as open_slot
  }
  const std::size_t k0 = rows_ - c.base_;
  c.length_ = end;
  if (!c.present_.empty()) {
    set_bits(c.present_, k0, bulk_);
  }
  return k0;
}

void EventChunk::note_span(Column& c, std::size_t k0, std::uint8_t tag, const std::uint8_t* validity,
                           std::size_t validity_offset) {
  const std::size_t n = bulk_;
  if (validity != nullptr && all_bits(validity, validity_offset, n)) validity = nullptr;
  if (validity == nullptr) {
    if (!c.valid_.empty()) set_bits(c.valid_, k0, n);
  } else {
    if (c.valid_.empty()) fill_bits(c.valid_, k0);  // the first Null, as set_null
    copy_bits(c.valid_, k0, validity, validity_offset, n);
    if (!any_bits(validity, validity_offset, n)) {
      if (c.kind_ == kMixed && c.tags_.size() < k0 + n) c.tags_.resize(k0 + n, kNullIndex);
      return;  // Nulls only: no alternative to note
    }
  }
  if (c.kind_ == tag) return;
  if (c.kind_ == kNoKind) {
    c.kind_ = tag;
    return;
  }
  if (c.kind_ != kMixed) {
    // A second alternative: from now on every slot carries its own tag.
    c.tags_.assign(k0, kNullIndex);
    for (std::size_t m = 0; m < k0; ++m) {
      if (c.valid_.empty() || Column::bit(c.valid_, m)) c.tags_[m] = c.kind_;
    }
    c.kind_ = kMixed;
  }
  c.tags_.resize(k0);
  c.tags_.resize(k0 + n, tag);
}

void EventChunk::put_ints(std::size_t col, const std::int64_t* values, const std::uint8_t* validity,
                          std::size_t validity_offset) {
  if (bulk_ == 0) return;  // no event to write
  const std::size_t k0 = open_span(col);
  Column& c = columns_[col];
  note_span(c, k0, kIntIndex, validity, validity_offset);
  c.words_.resize(k0);
  c.words_.insert(c.words_.end(), reinterpret_cast<const std::uint64_t*>(values),
                  reinterpret_cast<const std::uint64_t*>(values) + bulk_);
}

void EventChunk::put_doubles(std::size_t col, const double* values, const std::uint8_t* validity,
                             std::size_t validity_offset) {
  if (bulk_ == 0) return;  // no event to write
  const std::size_t k0 = open_span(col);
  Column& c = columns_[col];
  note_span(c, k0, kDoubleIndex, validity, validity_offset);
  // The doubles' bits, copied as bytes (the copy is a memmove).
  c.words_.resize(k0);
  c.words_.insert(c.words_.end(), reinterpret_cast<const std::uint64_t*>(values),
                  reinterpret_cast<const std::uint64_t*>(values) + bulk_);
}

std::uint64_t* EventChunk::fill_words(std::size_t col, std::uint8_t tag) {
  if (bulk_ == 0) return nullptr;  // no event to write
  const std::size_t k0 = open_span(col);
  Column& c = columns_[col];
  note_span(c, k0, tag, nullptr, 0);
  c.words_.resize(k0 + bulk_);
  return c.words_.data() + k0;
}

void EventChunk::mark_nulls(std::size_t col, const std::uint8_t* validity, std::size_t validity_offset) {
  if (bulk_ == 0 || all_bits(validity, validity_offset, bulk_)) return;
  Column& c = columns_[col];
  const std::size_t k0 = rows_ - c.base_;
  if (c.valid_.empty()) fill_bits(c.valid_, k0 + bulk_);  // the first Null, as set_null
  copy_bits(c.valid_, k0, validity, validity_offset, bulk_);
}

void EventChunk::put_bools(std::size_t col, const std::uint8_t* bits, std::size_t bits_offset,
                           const std::uint8_t* validity, std::size_t validity_offset) {
  if (bulk_ == 0) return;  // no event to write
  const std::size_t k0 = open_span(col);
  Column& c = columns_[col];
  note_span(c, k0, kBoolIndex, validity, validity_offset);
  c.flags_.resize(k0 + bulk_);
  std::uint8_t* out = c.flags_.data() + k0;
  for (std::size_t k = 0; k < bulk_; ++k) {
    const std::size_t b = bits_offset + k;
    out[k] = (bits[b >> 3] >> (b & 7)) & 1;
  }
}

template <typename Offset>
void EventChunk::put_string_span(std::size_t col, const Offset* offsets, const char* data,
                                 const std::uint8_t* validity, std::size_t validity_offset) {
  if (bulk_ == 0) return;  // no event to write
  const std::size_t k0 = open_span(col);
  Column& c = columns_[col];
  note_span(c, k0, kStringIndex, validity, validity_offset);
  // Slots before the span that hold no string get empty ranges.
  if (c.offsets_.empty()) c.offsets_.push_back(0);
  c.offsets_.resize(k0 + 1, c.bytes_.size());
  const std::size_t n = bulk_;
  const auto first = static_cast<std::uint64_t>(offsets[0]);
  const std::uint64_t shift = c.bytes_.size() - first;  // wraps as it should
  c.offsets_.resize(k0 + 1 + n);
  std::uint64_t* out = c.offsets_.data() + k0 + 1;
  for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<std::uint64_t>(offsets[k + 1]) + shift;
  c.bytes_.append(data + first, static_cast<std::size_t>(static_cast<std::uint64_t>(offsets[n]) - first));
}

void EventChunk::put_strings(std::size_t col, const std::int32_t* offsets, const char* data,
                             const std::uint8_t* validity, std::size_t validity_offset) {
  put_string_span(col, offsets, data, validity, validity_offset);
}

void EventChunk::put_strings(std::size_t col, const std::int64_t* offsets, const char* data,
                             const std::uint8_t* validity, std::size_t validity_offset) {
  put_string_span(col, offsets, data, validity, validity_offset);
}

void EventChunk::put_nulls(std::size_t col) {
  if (bulk_ == 0) return;  // no event to write
  const std::size_t k0 = open_span(col);
  Column& c = columns_[col];
  if (c.valid_.empty()) fill_bits(c.valid_, k0);
  clear_bits(c.valid_, k0, bulk_);
  if (c.kind_ == kMixed && c.tags_.size() < k0 + bulk_) c.tags_.resize(k0 + bulk_, kNullIndex);
}

void EventChunk::end_events() {
  const std::size_t n = bulk_;
  if (n != 0 && (timestamp_col_ == SIZE_MAX || columns_[timestamp_col_].length_ <= rows_)) {
    // No column gave "timestamp": every open event is stamped, as end_event
    // stamps one.
    const std::size_t col = column_index(kTimestamp);
    const std::size_t k0 = open_span(col);
    Column& c = columns_[col];
    note_span(c, k0, kIntIndex, nullptr, 0);
    c.words_.resize(k0);
    c.words_.resize(k0 + n, static_cast<std::uint64_t>(now_millis()));
  }
  rows_ += n;
  bulk_ = 0;
  bulk_open_ = false;
  cursor_ = 0;
}

void EventChunk::abort_events() {
  truncate(rows_);
  // Kinds noted by the dropped values are forgotten too.
  for (std::size_t j = 0; j < kinds_before_.size() && j < columns_.size(); ++j) {
    Column& c = columns_[j];
    if (kinds_before_[j] != kMixed) c.tags_.clear();
    c.kind_ = kinds_before_[j];
  }
}

void EventChunk::reset(std::shared_ptr<NameTable> names) {
  reset();
  names_ = std::move(names);
}

void EventChunk::reset() {
  columns_.clear();
  by_name_.clear();
  cursor_ = 0;
  timestamp_col_ = SIZE_MAX;
  rows_ = 0;
  open_ = false;
}

std::size_t EventChunk::used_columns() const {
  std::size_t n = 0;
  for (const Column& c : columns_) n += c.length_ != 0;
  return n;
}

std::size_t EventChunk::footprint() const {
  std::size_t bytes = sizeof(*this) + columns_.capacity() * sizeof(Column);
  for (const Column& c : columns_) {
    bytes += (c.present_.capacity() + c.valid_.capacity() + c.words_.capacity() + c.offsets_.capacity()) * 8 +
             c.flags_.capacity() + c.tags_.capacity() + c.bytes_.capacity();
  }
  return bytes;
}

EventSlices slices_of_rows(const Batch& rows) {
  EventSlices out;
  if (rows.empty()) return out;
  auto chunk = std::make_shared<EventChunk>(std::make_shared<NameTable>());
  chunk->expect(rows.size());
  for (const Row& row : rows) chunk->append_row_as_is(row);
  const std::size_t n = chunk->size();
  out.push_back({std::move(chunk), 0, n});
  return out;
}

std::size_t event_count(const EventSlices& events) {
  std::size_t n = 0;
  for (const ChunkSlice& s : events) n += s.end - s.begin;
  return n;
}

}  // namespace movra
