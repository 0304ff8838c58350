// Cells, rows and batches: the value model every event is held in.
//
// A Cell is one of five alternatives, in this order: Null, bool, 64-bit
// integer, double, string.  A Row maps column names (byte strings) to Cells,
// one Cell per name, and iterates in ascending byte order of the names.  It is
// a flat vector kept sorted by name, which beats a node-based map for the few
// columns an event carries.  A Batch is a vector of Rows in arrival order.
//
// Everything here is plain data and pure functions: no locks, no Python, safe
// on any thread.  Cells, Rows and Batches are owned by whoever holds them and
// are moved, not copied, through the stream's queues.
#ifndef MOVRA_MODEL_CELL_H_
#define MOVRA_MODEL_CELL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace movra {

struct Null {
  friend bool operator==(Null, Null) { return true; }
};

using Cell = std::variant<Null, bool, std::int64_t, double, std::string>;

enum CellIndex : std::size_t {
  kNullIndex = 0,
  kBoolIndex = 1,
  kIntIndex = 2,
  kDoubleIndex = 3,
  kStringIndex = 4,
};

class Row {
 public:
  using Entry = std::pair<std::string, Cell>;
  using const_iterator = std::vector<Entry>::const_iterator;
  using iterator = std::vector<Entry>::iterator;

  Row() = default;

  // Takes entries that are already sorted by name with no repeated name.
  // REQUIRES: entries is strictly ascending by name.
  static Row FromSorted(std::vector<Entry> entries) {
    Row row;
    row.entries_ = std::move(entries);
    return row;
  }

  // Takes entries in any order; where a name repeats, the later entry wins.
  static Row FromUnsorted(std::vector<Entry> entries);

  // The Cell stored under name, or nullptr.
  const Cell* find(std::string_view name) const;
  Cell* find(std::string_view name) {
    return const_cast<Cell*>(static_cast<const Row*>(this)->find(name));
  }
  bool contains(std::string_view name) const { return find(name) != nullptr; }

  // Stores value under name, replacing any Cell already there.
  void set(std::string_view name, Cell value);
  void set(std::string&& name, Cell value);
  // Removes the Cell stored under name, if any.
  void erase(std::string_view name);

  void reserve(std::size_t n) { entries_.reserve(n); }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }

  friend bool operator==(const Row&, const Row&) = default;

 private:
  std::vector<Entry>::iterator lower_bound(std::string_view name);
  std::vector<Entry> entries_;
};

using Batch = std::vector<Row>;

// The integer or double alternative as a double; nothing for the others.
std::optional<double> to_f64(const Cell& cell);

// The integer alternative only; a double is not truncated.
std::optional<std::int64_t> to_i64(const Cell& cell);

// The text form of a Cell: empty for Null, true/false, decimal integers,
// doubles exactly as printf's %.6g in the C locale, strings unchanged.
std::string display(const Cell& cell);

// Appends display(cell) to out without a temporary string.
void append_display(std::string& out, const Cell& cell);

// Appends the %.6g text of v (C locale, independent of the process locale).
void append_general6(std::string& out, double v);

// A read-only view of one value, as a column chunk or a Cell holds it: the
// alternative (a CellIndex) and its payload, a string by view.  Valid as long
// as what it views.
struct CellView {
  std::uint8_t tag = kNullIndex;
  bool b = false;
  std::int64_t i = 0;
  double d = 0.0;
  std::string_view s;

  static CellView of(const Cell& cell);
  Cell to_cell() const;
};

inline std::optional<double> to_f64(const CellView& v) {
  if (v.tag == kIntIndex) return static_cast<double>(v.i);
  if (v.tag == kDoubleIndex) return v.d;
  return std::nullopt;
}
void append_display(std::string& out, const CellView& v);

// A comparison operator of a filter; kNone for any text but == != < > <= >=.
enum class CompareOp : std::uint8_t { kEq, kNe, kLt, kGt, kLe, kGe, kNone };
CompareOp parse_compare_op(std::string_view op);

// Whether left stands in relation op to right.  Numbers compare as doubles
// under IEEE rules; bools and strings know only == and !=; any other pairing,
// and any operator other than == != < > <= >=, is false.
bool compare_cells(const Cell& left, std::string_view op, const Cell& right);
bool compare_cells(const CellView& left, CompareOp op, const CellView& right);

// Wall-clock milliseconds since the Unix epoch, truncated toward zero.
std::int64_t now_millis();

}  // namespace movra

#endif  // MOVRA_MODEL_CELL_H_
