// Events held as column chunks.
//
// An EventChunk holds N events as one column per name.  A column keeps slots
// only from the first event that has the field to the last one so far
// (events outside that span lack it, at no cost, so a chunk whose events each
// bring new names stays linear in size).  Each slot has a presence bit (the
// event has the field at all), a validity bit (the value is not Null), and
// the value in typed storage: 64-bit words for integers and doubles, one byte
// per bool, offsets plus bytes for strings.  The bitmaps are kept only once
// a slot is missing or Null: a column present and non-Null throughout needs
// neither.  A column whose values are all of one alternative keeps no tag;
// one whose alternative changes inside the chunk keeps a tag per slot, so
// mixed and missing fields read back exactly.  A field missing from an event
// and a field that holds Null stay distinct.
//
// Column names are interned in a NameTable that the chunks built with it
// share; a column keeps the interned name's id and a pointer to its text,
// which stays valid for as long as the table lives (each chunk holds a
// reference to it).  A table never forgets a name, so a stream does not keep
// one table for its whole life: NameTables hands out one generation at a
// time and starts a fresh one once the current has grown past a bound; an
// old generation is freed with the last chunk built with it.  The names held
// are thus bounded by the chunks alive, not by every name ever seen.
//
// Building.  Events are appended field by field: begin_event(), set_*() on
// column indices (column_index() finds or adds a column by name), then
// end_event(), which stamps "timestamp" with now_millis() when the event
// did not set it.  Or many at once, a column at a time: begin_events(n),
// each column whole (put_*(), fill_words()) or value by value, then
// end_events(); the events are the same either way.  Setting a column twice within one event keeps the later
// value, as a repeated key does in a Row.  Storage grows amortised and
// clear() keeps both the columns and their capacity, so a builder that is
// cleared and reused allocates nothing per event in steady state.
//
// Reading.  row(i) gives event i as exactly the Row the Row-based intake
// makes of it: the names present, in byte order, with the same Cells.  For
// column-wise access, find() resolves a name to a column once per chunk and
// the Column accessors read slot i.
//
// Thread safety: a chunk is plain data with no lock; whoever holds it guards
// it.  A chunk that several threads read must not be written.  NameTable is
// thread-safe.
#ifndef MOVRA_MODEL_EVENT_CHUNK_H_
#define MOVRA_MODEL_EVENT_CHUNK_H_

#include <atomic>
#include <bit>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/cell.h"

namespace movra {

// Column names interned for a set of chunks: each distinct name is stored
// once and gets a small id.  Names are never removed.  Thread-safe.
class NameTable {
 public:
  struct Name {
    std::uint32_t id;
    const std::string* text;  // valid as long as the table
  };
  NameTable() = default;
  // `live`, when given, counts the names of every table sharing it that is
  // still alive: each intern of a new name adds one, the destructor takes
  // the table's names off again.
  explicit NameTable(std::shared_ptr<std::atomic<std::size_t>> live) : live_(std::move(live)) {}
  ~NameTable();
  NameTable(const NameTable&) = delete;
  NameTable& operator=(const NameTable&) = delete;

  Name intern(std::string_view name);
  std::size_t size() const;
  // Whether the table holds more than max_names names or more than max_bytes
  // bytes of name text.
  bool exceeds(std::size_t max_names, std::size_t max_bytes) const;

 private:
  mutable std::mutex mu_;
  std::deque<std::string> names_;                        // guarded by mu_
  std::unordered_map<std::string_view, std::uint32_t> ids_;  // views into names_
  std::size_t bytes_ = 0;                                // guarded by mu_
  const std::shared_ptr<std::atomic<std::size_t>> live_;
};

// The name tables of one stream, one generation at a time: current() gives
// the table that chunks built now should use, a fresh one once the table it
// gave before holds more than max_names names or max_bytes bytes of text.
// A table is freed when the last chunk built with it goes.  A chunk kept for
// reuse should move on (EventChunk::reset) once its table is spent().
// Thread-safe.
class NameTables {
 public:
  static constexpr std::size_t kMaxNames = 65536;
  static constexpr std::size_t kMaxBytes = 4 << 20;

  explicit NameTables(std::size_t max_names = kMaxNames, std::size_t max_bytes = kMaxBytes);
  std::shared_ptr<NameTable> current();
  bool spent(const NameTable& table) const { return table.exceeds(max_names_, max_bytes_); }
  // Names held by the tables of this source that are still alive.
  std::size_t live_names() const { return live_->load(std::memory_order_relaxed); }

 private:
  const std::size_t max_names_;
  const std::size_t max_bytes_;
  const std::shared_ptr<std::atomic<std::size_t>> live_;
  std::mutex mu_;
  std::shared_ptr<NameTable> current_;  // guarded by mu_
};

class EventChunk {
 public:
  // The alternative of a column whose values are all of one kind; kNoKind
  // while it has seen no value but Null; kMixed once two kinds met.
  static constexpr std::uint8_t kNoKind = 5;
  static constexpr std::uint8_t kMixed = 6;

  class Column {
   public:
    std::uint32_t name_id() const { return name_id_; }
    const std::string& name() const { return *name_; }
    // Whether event i has this field; Null counts as present.
    bool present(std::size_t i) const {
      return i < length_ && i >= base_ && (present_.empty() || bit(present_, i - base_));
    }
    // REQUIRES: present(i).  The alternative (a CellIndex) of event i.
    std::uint8_t tag(std::size_t i) const {
      const std::size_t k = i - base_;
      if (!valid_.empty() && !bit(valid_, k)) return kNullIndex;
      return kind_ == kMixed ? tags_[k] : kind_;
    }
    // kNoKind, kMixed, or the alternative of every non-Null value.
    std::uint8_t kind() const { return kind_; }
    // REQUIRES: present(i) and tag(i) names the alternative read.
    bool bool_at(std::size_t i) const { return flags_[i - base_] != 0; }
    std::int64_t int_at(std::size_t i) const { return static_cast<std::int64_t>(words_[i - base_]); }
    double double_at(std::size_t i) const { return std::bit_cast<double>(words_[i - base_]); }
    std::string_view string_at(std::size_t i) const {
      const std::size_t k = i - base_;
      return std::string_view(bytes_.data() + offsets_[k], offsets_[k + 1] - offsets_[k]);
    }
    // REQUIRES: present(i).
    Cell cell(std::size_t i) const;
    CellView view(std::size_t i) const {
      CellView v;
      v.tag = tag(i);
      switch (v.tag) {
        case kBoolIndex: v.b = bool_at(i); break;
        case kIntIndex: v.i = int_at(i); break;
        case kDoubleIndex: v.d = double_at(i); break;
        case kStringIndex: v.s = string_at(i); break;
        default: break;
      }
      return v;
    }
    // The view of event i's value, or nullopt when event i lacks the field;
    // a null column pointer lacks every field.
    static std::optional<CellView> view_of(const Column* c, std::size_t i) {
      if (c == nullptr || !c->present(i)) return std::nullopt;
      return c->view(i);
    }

    // Runs of slots, for readers that copy a column in bulk.  Events
    // [slot_begin(), slot_end()) have slots; the others lack the field.
    std::size_t slot_begin() const { return base_; }
    std::size_t slot_end() const { return length_; }
    // Whether every event with a slot has the field and it is not Null.
    bool dense() const { return present_.empty() && valid_.empty(); }
    // REQUIRES: dense(), kind() is kIntIndex or kDoubleIndex, and events
    // [i, j) have slots.  Their values as 64-bit words (a double's bits),
    // back to back from the pointer returned.
    const std::uint64_t* words(std::size_t i) const { return words_.data() + (i - base_); }
    // REQUIRES: dense(), kind() is kStringIndex, and events [i, j) have
    // slots.  The bytes of their strings, back to back: string_at(i) starts
    // the run.
    std::string_view string_run(std::size_t i, std::size_t j) const {
      return std::string_view(bytes_.data() + offsets_[i - base_], offsets_[j - base_] - offsets_[i - base_]);
    }

   private:
    friend class EventChunk;
    static bool bit(const std::vector<std::uint64_t>& v, std::size_t i) {
      return (v[i >> 6] >> (i & 63)) & 1;
    }

    std::uint32_t name_id_ = 0;
    const std::string* name_ = nullptr;
    // Slots are held for events [base_, length_); none while length_ is 0.
    // Events outside lack the field.  Storage is indexed from base_.
    std::size_t base_ = 0;
    std::size_t length_ = 0;
    std::uint8_t kind_ = kNoKind;
    // Bitmaps, one bit per slot held: present_ is empty while every slot is
    // present, valid_ while no present slot holds Null.
    std::vector<std::uint64_t> present_;
    std::vector<std::uint64_t> valid_;
    std::vector<std::uint64_t> words_;     // integers and doubles (bits)
    std::vector<std::uint8_t> flags_;      // bools
    std::vector<std::uint64_t> offsets_;   // strings: one entry more than the slots, once any
    std::string bytes_;
    std::vector<std::uint8_t> tags_;       // per slot, only when kind_ is kMixed
  };

  explicit EventChunk(std::shared_ptr<NameTable> names);
  EventChunk(EventChunk&&) noexcept = default;
  EventChunk& operator=(EventChunk&&) noexcept = default;
  EventChunk(const EventChunk&) = delete;
  EventChunk& operator=(const EventChunk&) = delete;

  // Events completed.
  std::size_t size() const { return rows_; }
  bool empty() const { return rows_ == 0; }
  const std::shared_ptr<NameTable>& names() const { return names_; }

  std::size_t column_count() const { return columns_.size(); }
  // The columns that hold a slot of some event (a cleared chunk keeps its
  // columns, unused).  Visits every column.
  std::size_t used_columns() const;
  // A hint that about n more columns may come: room for them is made at once.
  void expect_columns(std::size_t n);
  const Column& column(std::size_t j) const { return columns_[j]; }
  // The column of that name, or nullptr.
  const Column* find(std::string_view name) const;

  // Event i as a Row.  REQUIRES: i < size().
  Row row(std::size_t i) const;
  // Appends events [begin, end) as Rows.  REQUIRES: begin <= end <= size().
  void append_rows(std::size_t begin, std::size_t end, std::vector<Row>& out) const;

  // Building.  REQUIRES: no event is open for begin_event; one is for the
  // set_* calls and end_event.
  std::size_t column_index(std::string_view name);
  void begin_event() { open_ = true; }
  void set_null(std::size_t col);
  void set_bool(std::size_t col, bool v);
  void set_int(std::size_t col, std::int64_t v);
  void set_double(std::size_t col, double v);
  void set_string(std::size_t col, std::string_view v);
  void set_cell(std::size_t col, const Cell& cell);
  // Stamps "timestamp" when the event did not set it; the event counts.
  void end_event();
  // Drops whatever the open event set.
  void abort_event() { truncate(rows_); }

  // One whole event from a Row (stamped as end_event stamps).
  void append_row(const Row& row);
  // One whole event from a Row exactly as it is: nothing is stamped.
  void append_row_as_is(const Row& row);
  // Appends events [begin, end) of src, a chunk of the same name table.
  void append_from(const EventChunk& src, std::size_t begin, std::size_t end);

  // A hint that about n more events are coming: storage a column makes from
  // now on is reserved for them at once, not grown step by step.
  void expect(std::size_t n) { expected_ = rows_ + n; }

  // Bulk building, a column at a time.  begin_events(n) opens the n events
  // [size(), size() + n) at once.  Each column is then written for every one
  // of them: whole, by one put_*() call, or value by value, by begin_column()
  // and one set_*() per open event in order.  A column written again
  // replaces what was written before, as a field set twice in one event
  // does.  end_events() stamps "timestamp" with now_millis() in the open
  // events when no column of that name was written, and counts them;
  // abort_events() drops them and leaves the chunk as begin_events() found
  // it.  Read back (row(), the Column accessors), the events are exactly
  // those the per-event calls build from the same values.
  //
  // REQUIRES: no event open for begin_events(); a bulk one open for the
  // rest.  Before end_events() every column written holds a value (Null
  // counts) for every open event.
  void begin_events(std::size_t n);
  // The next set_*(col) writes open event 0, then 1, and so on.
  void begin_column(std::size_t col);
  // Whole columns.  values[k] is open event k's value.  `validity`, when
  // not null, is an Arrow bitmap: bit validity_offset + k (least significant
  // bit first) is clear when event k holds Null instead.
  void put_ints(std::size_t col, const std::int64_t* values, const std::uint8_t* validity = nullptr,
                std::size_t validity_offset = 0);
  void put_doubles(std::size_t col, const double* values, const std::uint8_t* validity = nullptr,
                   std::size_t validity_offset = 0);
  // Event k's value is bit bits_offset + k of the Arrow bitmap `bits`.
  void put_bools(std::size_t col, const std::uint8_t* bits, std::size_t bits_offset,
                 const std::uint8_t* validity = nullptr, std::size_t validity_offset = 0);
  // Event k's text is data[offsets[k], offsets[k + 1]) (n + 1 offsets, rising).
  void put_strings(std::size_t col, const std::int32_t* offsets, const char* data,
                   const std::uint8_t* validity = nullptr, std::size_t validity_offset = 0);
  void put_strings(std::size_t col, const std::int64_t* offsets, const char* data,
                   const std::uint8_t* validity = nullptr, std::size_t validity_offset = 0);
  // Every open event holds Null.
  void put_nulls(std::size_t col);
  // A whole column of integers or doubles (tag kIntIndex or kDoubleIndex)
  // written in place: word k of the n returned (valid until the next call
  // on the chunk) is to be set to open event k's value, a double's bits.
  std::uint64_t* fill_words(std::size_t col, std::uint8_t tag);
  // Makes open event k of column col Null where bit validity_offset + k of
  // the Arrow bitmap is clear.  REQUIRES: col was just written by
  // fill_words, and some bit is set (the column's kind is the tag given).
  void mark_nulls(std::size_t col, const std::uint8_t* validity, std::size_t validity_offset = 0);
  void end_events();
  void abort_events();

  // Keeps the first n events, drops the rest (and any open event).
  void truncate(std::size_t n);
  // No events; the columns and the storage's capacity stay.
  void clear() { truncate(0); }
  // No events and no columns.
  void reset();
  // No events and no columns; new columns are named from `names`.
  void reset(std::shared_ptr<NameTable> names);

  // Bytes held by the storage (capacity), for sizing decisions.
  std::size_t footprint() const;

 private:
  // Makes the slot of the open event in column col writable: pads the column
  // with absent slots up to it, or drops the string set earlier in the same
  // event.  Returns the slot's index in the column's storage.
  std::size_t open_slot(std::size_t col);
  // Records that storage slot k of column c holds alternative tag.
  void note_kind(Column& c, std::size_t k, std::uint8_t tag);
  // Writes storage slot k of words_, growing it as needed.
  void put_word(Column& c, std::size_t k, std::uint64_t v) const;

  // Bulk building.  open_span makes the slots of every open event in column
  // col present (dropping what was written there before) and returns the
  // storage index of the first; note_span records their validity and that
  // the valid ones hold alternative tag.
  std::size_t open_span(std::size_t col);
  void note_span(Column& c, std::size_t k0, std::uint8_t tag, const std::uint8_t* validity,
                 std::size_t validity_offset);
  template <typename Offset>
  void put_string_span(std::size_t col, const Offset* offsets, const char* data,
                       const std::uint8_t* validity, std::size_t validity_offset);
  // Keeps the slots of column c for events [0, n); the column's kind stays.
  static void cut(Column& c, std::size_t n);

  std::shared_ptr<NameTable> names_;
  std::vector<Column> columns_;
  std::unordered_map<std::string_view, std::uint32_t> by_name_;  // views into the table
  std::size_t cursor_ = 0;  // the column the next column_index is likely to ask for
  std::size_t timestamp_col_ = SIZE_MAX;
  std::size_t rows_ = 0;
  std::size_t expected_ = 0;  // see expect()
  bool open_ = false;
  // The open bulk events (see begin_events), and the kind of each column
  // when they were opened, for abort_events.
  std::size_t bulk_ = 0;
  bool bulk_open_ = false;
  std::vector<std::uint8_t> kinds_before_;
};

// Events [begin, end) of a chunk that nobody writes any more.
struct ChunkSlice {
  std::shared_ptr<const EventChunk> chunk;
  std::size_t begin;
  std::size_t end;
};

// A run of events in arrival order: slices of one or more chunks.
using EventSlices = std::vector<ChunkSlice>;

// One event of an EventSlices: the index of its slice and its index in that
// slice's chunk.
struct EventRef {
  std::size_t slice;
  std::size_t event;
};

// The events of `rows` exactly as they are (nothing stamped), as one slice of
// a chunk with a name table of its own; no slice for no rows.
EventSlices slices_of_rows(const Batch& rows);

// Event r of `events` as a Row.
inline Row row_of(const EventSlices& events, EventRef r) {
  return events[r.slice].chunk->row(r.event);
}

// The number of events in `events`.
std::size_t event_count(const EventSlices& events);

}  // namespace movra

#endif  // MOVRA_MODEL_EVENT_CHUNK_H_
