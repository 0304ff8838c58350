#include "model/picked_columns.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace movra {

namespace {

using Column = EventChunk::Column;

constexpr unsigned kind_bit(std::uint8_t tag) { return 1u << tag; }

// What the picked values of one output column tell of its type: whether the
// first event that has the field (with select: the first event) holds Null
// there, and which kinds of non-Null value occur.
struct TypeTally {
  bool first_seen = false;
  bool first_null = false;
  unsigned kinds = 0;

  void first(bool is_null) {
    if (first_seen) return;
    first_seen = true;
    first_null = is_null;
  }

  OutputType type() const {
    if (kinds == 0) return OutputType::kNull;
    if (first_null) return OutputType::kString;
    switch (kinds) {
      case kind_bit(kBoolIndex): return OutputType::kBool;
      case kind_bit(kIntIndex): return OutputType::kInt64;
      case kind_bit(kDoubleIndex):
      case kind_bit(kIntIndex) | kind_bit(kDoubleIndex): return OutputType::kFloat64;
      default: return OutputType::kString;
    }
  }
};

bool single_kind(const Column& c) { return c.kind() != EventChunk::kMixed && c.kind() != EventChunk::kNoKind; }

// Whether the picks p[0, n) (ascending) all lie where c holds slots.
bool covers(const Column& c, const EventRef* p, std::size_t n) {
  return n > 0 && p[0].event >= c.slot_begin() && p[n - 1].event < c.slot_end();
}

bool has_present_pick(const Column& c, const EventRef* p, std::size_t n) {
  if (n == 0 || c.slot_end() <= p[0].event || c.slot_begin() > p[n - 1].event) return false;
  if (c.dense() && covers(c, p, n)) return true;
  for (std::size_t k = 0; k < n; ++k) {
    if (c.present(p[k].event)) return true;
  }
  return false;
}

void tally_run(TypeTally& t, const Column* c, const EventRef* p, std::size_t n, bool select) {
  if (n == 0) return;
  if (c == nullptr) {
    if (select) t.first(true);
    return;
  }
  if (dense_run(*c, p, n)) {
    t.first(false);
    t.kinds |= kind_bit(c->kind());
    return;
  }
  const bool mixed = c->kind() == EventChunk::kMixed;
  if (c->kind() == EventChunk::kNoKind && select) {
    t.first(true);  // the first pick lacks the field or holds Null
    return;
  }
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = p[k].event;
    if (!c->present(i)) {
      if (select) t.first(true);
      continue;
    }
    const std::uint8_t tag = c->tag(i);
    if (tag == kNullIndex) {
      t.first(true);
      if (c->kind() == EventChunk::kNoKind) return;
      continue;
    }
    t.first(false);
    t.kinds |= kind_bit(tag);
    // A single-kind column has nothing more to tell once a value is seen.
    if (!mixed) return;
  }
}

inline void set_bit(OutputBuffer<std::uint8_t>& bits, std::size_t i) {
  bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] | (1u << (i & 7)));
}

// Sets bits [from, from + count).
void set_bits(OutputBuffer<std::uint8_t>& bits, std::size_t from, std::size_t count) {
  std::size_t i = from;
  const std::size_t end = from + count;
  while (i < end && (i & 7) != 0) set_bit(bits, i++);
  const std::size_t whole = (end - i) / 8;
  if (whole != 0) {
    std::memset(bits.data() + (i >> 3), 0xFF, whole);
    i += whole * 8;
  }
  while (i < end) set_bit(bits, i++);
}

constexpr std::size_t kMaxSmallOffset = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

// Writes the string column's offsets as 64-bit ones from now on.
void widen_offsets(OutputColumn& col) {
  col.large_offsets = true;
  col.offsets64.assign(col.offsets32.begin(), col.offsets32.end());
  col.offsets32.clear();
  col.offsets32.shrink_to_fit();
}

// Ends the current string value: its end offset is the bytes' size.
void push_offset(OutputColumn& col) {
  const std::size_t at = col.bytes.size();
  if (!col.large_offsets) {
    if (at <= kMaxSmallOffset) {
      col.offsets32.push_back(static_cast<std::int32_t>(at));
      return;
    }
    widen_offsets(col);
  }
  col.offsets64.push_back(static_cast<std::int64_t>(at));
}

// Row `row` of col holds v, a non-Null value of a kind col's type admits.
void put_value(OutputColumn& col, std::size_t row, const CellView& v) {
  switch (col.type) {
    case OutputType::kBool:
      if (v.b) set_bit(col.bits, row);
      break;
    case OutputType::kInt64:
      col.ints[row] = v.i;
      break;
    case OutputType::kFloat64:
      col.doubles[row] = v.tag == kIntIndex ? static_cast<double>(v.i) : v.d;
      break;
    case OutputType::kString:
      if (v.tag == kStringIndex) {
        col.bytes.append(v.s);
      } else {
        append_display(col.bytes, v);
      }
      push_offset(col);
      break;
    case OutputType::kNull:
      break;
  }
}

// Rows [row, row + n) hold the dense run p[0, n) of c.
void put_dense_run(OutputColumn& col, std::size_t row, const Column& c, const EventRef* p, std::size_t n) {
  set_bits(col.validity, row, n);
  const bool whole = contiguous(p, n);
  const std::uint8_t kind = c.kind();
  if (col.type == OutputType::kInt64 || (col.type == OutputType::kFloat64 && kind == kDoubleIndex)) {
    // The words of ints and doubles are stored as the output stores them.
    void* to = col.type == OutputType::kInt64 ? static_cast<void*>(col.ints.data() + row)
                                              : static_cast<void*>(col.doubles.data() + row);
    if (whole) {
      std::memcpy(to, c.words(p[0].event), n * sizeof(std::uint64_t));
    } else {
      auto* out = static_cast<std::uint64_t*>(to);
      for (std::size_t k = 0; k < n; ++k) out[k] = *c.words(p[k].event);
    }
    return;
  }
  if (col.type == OutputType::kFloat64) {
    for (std::size_t k = 0; k < n; ++k) col.doubles[row + k] = static_cast<double>(c.int_at(p[k].event));
    return;
  }
  if (col.type == OutputType::kString && kind == kStringIndex && whole) {
    const std::string_view run = c.string_run(p[0].event, p[n - 1].event + 1);
    const std::size_t base = col.bytes.size();
    col.bytes.append(run);
    if (!col.large_offsets && col.bytes.size() > kMaxSmallOffset) widen_offsets(col);
    for (std::size_t k = 0; k < n; ++k) {
      const std::string_view s = c.string_at(p[k].event);
      const std::size_t end = base + static_cast<std::size_t>(s.data() - run.data()) + s.size();
      if (col.large_offsets) {
        col.offsets64.push_back(static_cast<std::int64_t>(end));
      } else {
        col.offsets32.push_back(static_cast<std::int32_t>(end));
      }
    }
    return;
  }
  for (std::size_t k = 0; k < n; ++k) put_value(col, row + k, c.view(p[k].event));
}

void write_column(const PickedLayout& layout, const std::vector<EventRef>& picked, const PickedColumn& pc,
                  OutputColumn& col) {
  const std::size_t n = layout.rows;
  col.name = std::string(pc.name);
  col.type = pc.type;
  if (col.type == OutputType::kNull) {
    col.null_count = static_cast<std::int64_t>(n);
    return;
  }
  const std::size_t bitmap_bytes = (n + 7) / 8;
  col.validity.assign(bitmap_bytes, 0);
  switch (col.type) {
    case OutputType::kBool: col.bits.assign(bitmap_bytes, 0); break;
    // Every row is written below, a missing value as 0.
    case OutputType::kInt64: col.ints.resize(n); break;
    case OutputType::kFloat64: col.doubles.resize(n); break;
    case OutputType::kString: col.offsets32.reserve(n + 1); col.offsets32.push_back(0); break;
    case OutputType::kNull: break;
  }
  for (std::size_t r = 0; r < layout.runs.size(); ++r) {
    const PickedRun& run = layout.runs[r];
    const Column* c = pc.sources[r];
    const EventRef* p = picked.data() + run.first;
    const std::size_t m = run.last - run.first;
    if (c != nullptr && dense_run(*c, p, m)) {
      put_dense_run(col, run.first, *c, p, m);
      continue;
    }
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t i = p[k].event;
      if (c == nullptr || !c->present(i) || c->tag(i) == kNullIndex) {
        ++col.null_count;
        switch (col.type) {
          case OutputType::kInt64: col.ints[run.first + k] = 0; break;
          case OutputType::kFloat64: col.doubles[run.first + k] = 0.0; break;
          case OutputType::kString: push_offset(col); break;
          default: break;
        }
        continue;
      }
      set_bit(col.validity, run.first + k);
      put_value(col, run.first + k, c->view(i));
    }
  }
  if (col.null_count == 0) col.validity.clear();
}

}  // namespace

bool contiguous(const EventRef* p, std::size_t n) { return n == 0 || p[n - 1].event - p[0].event == n - 1; }

bool dense_run(const Column& c, const EventRef* p, std::size_t n) {
  return single_kind(c) && c.dense() && covers(c, p, n);
}

PickedLayout layout_picked(const EventSlices& events, const std::vector<EventRef>& picked,
                           const std::optional<std::vector<std::string>>& select) {
  PickedLayout out;
  out.rows = picked.size();
  if (picked.empty()) return out;  // no Rows have no columns, selected or not
  for (std::size_t p = 0; p < picked.size(); ++p) {
    if (p == 0 || picked[p].slice != picked[p - 1].slice) {
      out.runs.push_back({picked[p].slice, p, p + 1});
    } else {
      out.runs.back().last = p + 1;
    }
  }

  std::vector<std::string_view> names;
  if (select) {
    names.assign(select->begin(), select->end());
  } else {
    for (const PickedRun& run : out.runs) {
      const EventChunk& chunk = *events[run.slice].chunk;
      for (std::size_t j = 0; j < chunk.column_count(); ++j) {
        const Column& c = chunk.column(j);
        if (has_present_pick(c, picked.data() + run.first, run.last - run.first)) names.push_back(c.name());
      }
    }
  }
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());

  out.columns.resize(names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    PickedColumn& col = out.columns[k];
    col.name = names[k];
    col.sources.reserve(out.runs.size());
    TypeTally tally;
    for (const PickedRun& run : out.runs) {
      const Column* c = events[run.slice].chunk->find(col.name);
      col.sources.push_back(c);
      tally_run(tally, c, picked.data() + run.first, run.last - run.first, select.has_value());
    }
    col.type = tally.type();
  }
  return out;
}

OutputColumns columns_from_events(const EventSlices& events, const std::vector<EventRef>& picked,
                                  const std::optional<std::vector<std::string>>& select) {
  const PickedLayout layout = layout_picked(events, picked, select);
  OutputColumns out;
  out.rows = static_cast<std::int64_t>(layout.rows);
  out.columns.resize(layout.columns.size());
  for (std::size_t k = 0; k < layout.columns.size(); ++k) {
    write_column(layout, picked, layout.columns[k], out.columns[k]);
  }
  return out;
}

}  // namespace movra
