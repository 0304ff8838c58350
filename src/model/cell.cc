#include "model/cell.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>

namespace movra {

namespace {

using Op = CompareOp;

bool compare_numbers(double a, Op op, double b) {
  switch (op) {
    case Op::kEq: return a == b;
    case Op::kNe: return a != b;
    case Op::kLt: return a < b;
    case Op::kGt: return a > b;
    case Op::kLe: return a <= b;
    case Op::kGe: return a >= b;
    case Op::kNone: return false;
  }
  return false;
}

template <typename T>
bool compare_equality(const T& a, Op op, const T& b) {
  if (op == Op::kEq) return a == b;
  if (op == Op::kNe) return !(a == b);
  return false;
}

}  // namespace

CompareOp parse_compare_op(std::string_view op) {
  if (op == "==") return Op::kEq;
  if (op == "!=") return Op::kNe;
  if (op == "<") return Op::kLt;
  if (op == ">") return Op::kGt;
  if (op == "<=") return Op::kLe;
  if (op == ">=") return Op::kGe;
  return Op::kNone;
}

CellView CellView::of(const Cell& cell) {
  CellView v;
  v.tag = static_cast<std::uint8_t>(cell.index());
  switch (cell.index()) {
    case kBoolIndex: v.b = std::get<bool>(cell); break;
    case kIntIndex: v.i = std::get<std::int64_t>(cell); break;
    case kDoubleIndex: v.d = std::get<double>(cell); break;
    case kStringIndex: v.s = std::get<std::string>(cell); break;
    default: break;
  }
  return v;
}

Cell CellView::to_cell() const {
  switch (tag) {
    case kBoolIndex: return b;
    case kIntIndex: return i;
    case kDoubleIndex: return d;
    case kStringIndex: return std::string(s);
    default: return Null{};
  }
}

std::vector<Row::Entry>::iterator Row::lower_bound(std::string_view name) {
  return std::lower_bound(
      entries_.begin(), entries_.end(), name,
      [](const Entry& e, std::string_view n) { return std::string_view(e.first) < n; });
}

Row Row::FromUnsorted(std::vector<Entry> entries) {
  bool sorted = true;
  for (std::size_t i = 1; i < entries.size() && sorted; ++i) {
    sorted = entries[i - 1].first < entries[i].first;
  }
  if (sorted) return FromSorted(std::move(entries));
  // Sort positions, not entries, so each entry moves exactly once.
  std::vector<std::uint32_t> order(entries.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return entries[a].first < entries[b].first;
  });
  std::vector<Entry> out;
  out.reserve(entries.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const bool superseded =
        k + 1 < order.size() && entries[order[k + 1]].first == entries[order[k]].first;
    if (!superseded) out.push_back(std::move(entries[order[k]]));
  }
  return FromSorted(std::move(out));
}

const Cell* Row::find(std::string_view name) const {
  // Events carry few columns: a linear scan that compares lengths first
  // beats a binary search of string comparisons there.
  if (entries_.size() <= 8) {
    for (const Entry& e : entries_) {
      if (e.first.size() == name.size() && std::memcmp(e.first.data(), name.data(), name.size()) == 0) {
        return &e.second;
      }
    }
    return nullptr;
  }
  auto it = std::lower_bound(
      entries_.begin(), entries_.end(), name,
      [](const Entry& e, std::string_view n) { return std::string_view(e.first) < n; });
  if (it == entries_.end() || it->first != name) return nullptr;
  return &it->second;
}

void Row::set(std::string_view name, Cell value) {
  auto it = lower_bound(name);
  if (it != entries_.end() && it->first == name) {
    it->second = std::move(value);
  } else {
    entries_.emplace(it, std::string(name), std::move(value));
  }
}

void Row::set(std::string&& name, Cell value) {
  auto it = lower_bound(name);
  if (it != entries_.end() && it->first == name) {
    it->second = std::move(value);
  } else {
    entries_.emplace(it, std::move(name), std::move(value));
  }
}

void Row::erase(std::string_view name) {
  auto it = lower_bound(name);
  if (it != entries_.end() && it->first == name) entries_.erase(it);
}

std::optional<double> to_f64(const Cell& cell) {
  if (const auto* i = std::get_if<std::int64_t>(&cell)) return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&cell)) return *d;
  return std::nullopt;
}

std::optional<std::int64_t> to_i64(const Cell& cell) {
  if (const auto* i = std::get_if<std::int64_t>(&cell)) return *i;
  return std::nullopt;
}

void append_general6(std::string& out, double v) {
  // std::to_chars with the general format and a precision is specified to
  // produce what printf's %.*g produces in the C locale.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 6);
  out.append(buf, res.ptr);
}

void append_display(std::string& out, const CellView& v) {
  switch (v.tag) {
    case kBoolIndex:
      out += v.b ? "true" : "false";
      return;
    case kIntIndex: {
      char buf[24];
      auto res = std::to_chars(buf, buf + sizeof buf, v.i);
      out.append(buf, res.ptr);
      return;
    }
    case kDoubleIndex:
      append_general6(out, v.d);
      return;
    case kStringIndex:
      out += v.s;
      return;
    default:
      return;
  }
}

void append_display(std::string& out, const Cell& cell) { append_display(out, CellView::of(cell)); }

std::string display(const Cell& cell) {
  if (const auto* s = std::get_if<std::string>(&cell)) return *s;
  std::string out;
  append_display(out, cell);
  return out;
}

bool compare_cells(const CellView& left, CompareOp op, const CellView& right) {
  const auto l = to_f64(left);
  const auto r = to_f64(right);
  if (l && r) return compare_numbers(*l, op, *r);
  if (left.tag == kBoolIndex && right.tag == kBoolIndex) return compare_equality(left.b, op, right.b);
  if (left.tag == kStringIndex && right.tag == kStringIndex) return compare_equality(left.s, op, right.s);
  return false;
}

bool compare_cells(const Cell& left, std::string_view op_text, const Cell& right) {
  return compare_cells(CellView::of(left), parse_compare_op(op_text), CellView::of(right));
}

std::int64_t now_millis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace movra
