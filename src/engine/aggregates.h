// The accumulators of an aggregate plan: one state per (window, aggregate).
//
// A window's states lie side by side in one fixed-size block of 64-bit
// words; AggLayout says where each aggregate's words are.  The sizes:
//   count, count(f)       1 word   (n)
//   sum, mean             2 words  (sum, n)
//   min, max              1 word   (the value; a reserved NaN bit pattern
//                                   means "no value yet")
//   first, last           4 words  (event time, arrival seq, type tag, value)
//   var, stddev           3 words  (Welford: n, mean, M2)
//   count_distinct        1 word   (the index of a VarState) + the set
// A string value of first/last lives in a StringPool and the word holds its
// index.  An aggregate whose state has no fixed size (count_distinct; the
// sketches to come) keeps a VarState object in a VarStates store and its
// one word holds the index; adding such an op means: an AggOp, a row in the
// parser's op table, a VarState subclass and a case in make_var_state.
//
// The null rule, one for every aggregate: a row's value of the field is
// taken only when the field is present and not null.  Numeric aggregates
// (sum, mean, min, max, var, stddev) take only ints and floats (bools and
// strings are skipped); first, last, count(f) and count_distinct take any
// non-null value.  An aggregate that took no value is null, except count
// and count_distinct, which are 0.  A NaN is taken like any other float:
// it makes sum, mean, var and stddev NaN, and min and max NaN as well (NaN
// wins every comparison here, as in NumPy's min and max).
//
// Updates run over scratch vectors of one batch (the window slot of each
// row, the row's value), not over rows: extract first, then one tight loop
// per aggregate.  Plain data, no locks: owned by the AggWindows of a
// ProcessorState and guarded by the stream's state_mutex with it.
#ifndef MOVRA_ENGINE_AGGREGATES_H_
#define MOVRA_ENGINE_AGGREGATES_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/plan.h"
#include "model/cell.h"

namespace movra {

// The identity of a value as bytes: a type tag, then the value.  An int and
// a float of the same value (1 and 1.0) are one value; every NaN is one
// value; bools, ints and strings never equal each other.  A Cell and its
// CellView give the same bytes.
void append_value_key(std::string& out, const CellView& v);
void append_value_key(std::string& out, const Cell& cell);

// Text forms for the checkpoint.  Escaped text holds no tab, LF, CR, NUL or
// space ("\t", "\n", "\r", "\0", "\s", "\\"); typed text is "n" (null),
// "b0"/"b1", "i<decimal>", "d<shortest round-trip double>" or "s<escaped>".
void append_escaped(std::string& out, std::string_view bytes);
bool unescape(std::string_view text, std::string& out);
void append_typed_text(std::string& out, const Cell& cell);
bool parse_typed_text(std::string_view text, Cell& out);
// Lossless double text (shortest form that reads back to the same bits,
// "nan", "inf", "-inf").
void append_double(std::string& out, double v);
bool parse_double(std::string_view text, double& out);

// Strings held by first/last states, by index; released indices are reused.
class StringPool {
 public:
  std::uint32_t put(std::string_view text);
  void set(std::uint32_t index, std::string_view text) { texts_[index].assign(text); }
  const std::string& get(std::uint32_t index) const { return texts_[index]; }
  void release(std::uint32_t index);
  std::size_t live() const { return texts_.size() - free_.size(); }

 private:
  std::vector<std::string> texts_;
  std::vector<std::uint32_t> free_;
};

// The state of an aggregate with no fixed size.
class VarState {
 public:
  virtual ~VarState() = default;
  virtual std::unique_ptr<VarState> clone() const = 0;
  // Takes a value that is present and not null; one of a kind the op does
  // not take (a quantile's bool or string) is skipped.  The view is not kept.
  virtual void add(const CellView& value) = 0;
  // REQUIRES: other is of the same op.
  virtual void merge(const VarState& other) = 0;
  virtual Cell result() const = 0;
  // The checkpoint text: no tab or LF (see append_escaped); load replaces the
  // state and says whether the text was whole.
  virtual void save(std::string& out) const = 0;
  virtual bool load(std::string_view text) = 0;
  // Heap bytes held, roughly.
  virtual std::size_t bytes() const = 0;
};

// A fresh state for agg_spec.  REQUIRES: agg_spec.op has a state of variable size.
std::unique_ptr<VarState> make_var_state(const AggSpec& agg_spec);

// VarState objects by index; copying the store copies every state.
class VarStates {
 public:
  VarStates() = default;
  VarStates(const VarStates& other);
  VarStates& operator=(const VarStates& other);
  VarStates(VarStates&&) = default;
  VarStates& operator=(VarStates&&) = default;

  std::uint32_t put(std::unique_ptr<VarState> state);
  VarState& get(std::uint32_t index) const { return *states_[index]; }
  void release(std::uint32_t index);
  std::size_t live() const { return states_.size() - free_.size(); }

 private:
  std::vector<std::unique_ptr<VarState>> states_;
  std::vector<std::uint32_t> free_;
};

// Where each aggregate's state lies in a window's block of words.
struct AggLayout {
  struct Item {
    AggSpec agg_spec;
    std::uint32_t offset = 0;  // in words
    std::uint32_t words = 0;
    std::int32_t field = -1;   // index into fields, -1 for count(*)
    // Reads the state of an earlier item of the same sketch op, field and
    // param (words 0): only result_of looks at it; every other operation
    // leaves it alone, and its checkpoint text is "-".
    bool shared = false;
  };
  std::vector<Item> items;
  std::uint32_t words = 0;            // per window
  std::vector<std::string> fields;    // the distinct fields, first use order

  static AggLayout of(const std::vector<AggSpec>& aggs);
};

// The words an op's state takes, and the bytes of one state (the words plus
// what a fresh state holds beside them).
std::uint32_t state_words(AggOp op);
std::size_t state_bytes(AggOp op);
// Whether op keeps a VarState.
bool has_var_state(AggOp op);

// The accumulators of one table: the pools beside the word blocks.
struct AggPools {
  StringPool strings;
  VarStates vars;
};

// The per-item operations on one window block w (w points at the block's
// first word; item.offset is added inside).
void init_state(const AggLayout::Item& item, std::uint64_t* w, AggPools& pools);
void release_state(const AggLayout::Item& item, std::uint64_t* w, AggPools& pools);
// Folds from into into.  owning: from is being freed and into takes what it
// holds (strings, sets); otherwise into only borrows and must be dropped
// with drop_borrowed before from changes.
void merge_state(const AggLayout::Item& item, std::uint64_t* into, std::uint64_t* from,
                 bool owning, AggPools& pools);
// A block made by merges that borrowed: frees what it owns itself.
void drop_borrowed(const AggLayout::Item& item, std::uint64_t* w, AggPools& pools);
// The output Cell; Null where the aggregate took no value.
Cell result_of(const AggLayout::Item& item, const std::uint64_t* w, const AggPools& pools);
// Checkpoint text of one state (no tab or LF), and back; false when the
// text is not whole (the state is then a fresh one).
void save_state(const AggLayout::Item& item, const std::uint64_t* w, const AggPools& pools,
                std::string& out);
bool load_state(const AggLayout::Item& item, std::string_view text, std::uint64_t* w,
                AggPools& pools);
// Whether every string an output can show (first/last) is UTF-8.
bool state_is_utf8(const AggLayout::Item& item, const std::uint64_t* w, const AggPools& pools);

// One batch's extracted column of one field.  Per row: whether the value
// counts (present and not null), for the numeric ops the value as a double
// and whether it is an int or float, and for the ops that take the value
// itself (first, last, count_distinct, the sketches) the value.  The
// window engine reads chunk columns straight into `present`, `values`,
// `numeric` (numbers_done) and `views`; a caller holding Cells may give
// `cells` instead of `views` (nullptr when missing) and have
// extract_numbers fill the numeric vectors from them.
struct FieldColumn {
  std::vector<const Cell*> cells;
  std::vector<CellView> views;
  std::vector<double> values;
  std::vector<std::uint8_t> numeric;  // 1: an int or float value
  std::vector<std::uint8_t> present;  // 1: present and not null
  bool numbers_done = false;

  // REQUIRES: present[i].  Row i's value, from views or else from cells.
  CellView view(std::size_t i) const { return views.empty() ? CellView::of(*cells[i]) : views[i]; }
};

// Adds the batch's rows to their windows: row i goes to the block at
// base + slots[i] * stride, has event time times[i] and arrival seq
// first_seq + i.  column is null for count(*).
void update_states(const AggLayout::Item& item, std::uint64_t* base, std::size_t stride,
                   const std::uint32_t* slots, std::size_t n, const FieldColumn* column,
                   const std::int64_t* times, std::uint64_t first_seq, AggPools& pools);

// Fills column's numeric vectors from its cells (once per batch; nothing
// when numbers_done).
void extract_numbers(FieldColumn& column);

// The numeric form of one value as extract_numbers gives it: ints as
// doubles, every NaN the quiet NaN; false for any other kind.
inline bool number_of(const CellView& v, double& out) {
  if (v.tag == kDoubleIndex) {
    out = v.d != v.d ? std::numeric_limits<double>::quiet_NaN() : v.d;
    return true;
  }
  if (v.tag == kIntIndex) {
    out = static_cast<double>(v.i);
    return true;
  }
  return false;
}

}  // namespace movra

#endif  // MOVRA_ENGINE_AGGREGATES_H_
