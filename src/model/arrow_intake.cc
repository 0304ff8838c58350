#include "model/arrow_intake.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "model/messages.h"

namespace movra {

enum class ArrowKind {
  kNull,
  kBool,
  kInt8,
  kUInt8,
  kInt16,
  kUInt16,
  kInt32,
  kUInt32,
  kInt64,
  kUInt64,
  kHalf,
  kFloat,
  kDouble,
  kString,
  kLargeString,
  kStringView,
  kTime32,  // date32: int32 values times `mul`
  kTime64,  // timestamps, date64, durations: int64 values times `mul` or floored by `div`
  kDictionary,
};

struct ArrowIntake::ColumnReader {
  std::string name;
  std::string type_text;
  ArrowKind kind = ArrowKind::kNull;
  std::int64_t mul = 1;
  std::int64_t div = 1;
  ArrowKind index_kind = ArrowKind::kInt32;    // dictionary only
  std::unique_ptr<ColumnReader> values;        // dictionary only
};

namespace {

using ColumnReader = ArrowIntake::ColumnReader;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();

std::string unit_text(char unit) {
  switch (unit) {
    case 's': return "s";
    case 'm': return "ms";
    case 'u': return "us";
    case 'n': return "ns";
    default: return std::string(1, unit);
  }
}

// Milliseconds per unit (mul) or units per millisecond (div).
bool unit_scale(char unit, std::int64_t& mul, std::int64_t& div) {
  switch (unit) {
    case 's': mul = 1000; div = 1; return true;
    case 'm': mul = 1; div = 1; return true;
    case 'u': mul = 1; div = 1000; return true;
    case 'n': mul = 1; div = 1000000; return true;
    default: return false;
  }
}

[[noreturn]] void refuse_type(std::string_view name, const std::string& type_text) {
  std::string text = "column ";
  text += quoted_name(name);
  text += " has Arrow type ";
  text += type_text;
  text += messages::kArrowTypeRefusedTail;
  throw std::invalid_argument(text);
}

bool integer_kind(std::string_view f, ArrowKind& kind) {
  if (f.size() != 1) return false;
  switch (f[0]) {
    case 'c': kind = ArrowKind::kInt8; return true;
    case 'C': kind = ArrowKind::kUInt8; return true;
    case 's': kind = ArrowKind::kInt16; return true;
    case 'S': kind = ArrowKind::kUInt16; return true;
    case 'i': kind = ArrowKind::kInt32; return true;
    case 'I': kind = ArrowKind::kUInt32; return true;
    case 'l': kind = ArrowKind::kInt64; return true;
    case 'L': kind = ArrowKind::kUInt64; return true;
    default: return false;
  }
}

// The reader of a value type, or null when the type has no Cell form.
std::unique_ptr<ColumnReader> make_reader(const ArrowSchema& schema, std::string_view name) {
  auto r = std::make_unique<ColumnReader>();
  r->name = std::string(name);
  r->type_text = arrow_type_text(schema);
  const std::string_view f = schema.format != nullptr ? schema.format : "";
  if (schema.dictionary != nullptr) {
    if (!integer_kind(f, r->index_kind)) return nullptr;
    r->kind = ArrowKind::kDictionary;
    r->values = make_reader(*schema.dictionary, name);
    if (r->values == nullptr) return nullptr;
    return r;
  }
  if (integer_kind(f, r->kind)) return r;
  if (f == "n") { r->kind = ArrowKind::kNull; return r; }
  if (f == "b") { r->kind = ArrowKind::kBool; return r; }
  if (f == "e") { r->kind = ArrowKind::kHalf; return r; }
  if (f == "f") { r->kind = ArrowKind::kFloat; return r; }
  if (f == "g") { r->kind = ArrowKind::kDouble; return r; }
  if (f == "u") { r->kind = ArrowKind::kString; return r; }
  if (f == "U") { r->kind = ArrowKind::kLargeString; return r; }
  if (f == "vu") { r->kind = ArrowKind::kStringView; return r; }
  if (f == "tdD") { r->kind = ArrowKind::kTime32; r->mul = 86400000; return r; }
  if (f == "tdm") { r->kind = ArrowKind::kTime64; return r; }
  if ((f.starts_with("ts") && f.size() >= 4 && f[3] == ':') || (f.starts_with("tD") && f.size() == 3)) {
    r->kind = ArrowKind::kTime64;
    if (!unit_scale(f[2], r->mul, r->div)) return nullptr;
    return r;
  }
  return nullptr;
}

// ---------------------------------------------------------------- reading

// One column's array and where its rows start in its buffers (the record
// batch's offset plus its own).
struct Slice {
  const ArrowArray& array;
  std::int64_t base;
  std::int64_t rows;
  std::int64_t first_row;  // the row number of its first row in the whole call, for messages
  // A dictionary column's values, decoded once for all the slices of a
  // batch; null means decode them here.
  const std::vector<Cell>* decoded = nullptr;

  const std::uint8_t* validity() const {
    if (array.null_count == 0 || array.n_buffers < 1) return nullptr;
    return static_cast<const std::uint8_t*>(array.buffers[0]);
  }
  template <typename T>
  const T* buffer(int k) const {
    return static_cast<const T*>(array.buffers[k]);
  }
};

inline bool bit_set(const std::uint8_t* bits, std::int64_t i) {
  return (bits[i >> 3] >> (i & 7)) & 1;
}

inline bool valid_at(const std::uint8_t* validity, std::int64_t i) {
  return validity == nullptr || bit_set(validity, i);
}

// Each column function below hands row i's Cell to sink(i, cell), rows in
// order, so the Cells can go wherever the caller keeps them.

template <typename Sink>
void null_cells(const Slice& s, Sink& sink) {
  for (std::int64_t i = 0; i < s.rows; ++i) sink(i, Cell(Null{}));
}

template <typename Sink>
void bool_cells(const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const std::uint8_t* bits = s.buffer<std::uint8_t>(1);
  for (std::int64_t i = 0; i < s.rows; ++i) {
    const std::int64_t p = s.base + i;
    sink(i, valid_at(valid, p) ? Cell(bit_set(bits, p)) : Cell(Null{}));
  }
}

template <typename T, typename Sink>
void int_cells(const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const T* v = s.buffer<T>(1) + s.base;
  for (std::int64_t i = 0; i < s.rows; ++i) {
    sink(i, valid_at(valid, s.base + i) ? Cell(static_cast<std::int64_t>(v[i])) : Cell(Null{}));
  }
}

// Refuses an unsigned 64-bit column holding a value beyond the signed range,
// naming the largest such value and the first row holding it.
void check_uint64(const ColumnReader& c, const Slice& s) {
  const std::uint8_t* valid = s.validity();
  const std::uint64_t* v = s.buffer<std::uint64_t>(1) + s.base;
  std::uint64_t max = 0;
  std::int64_t max_row = -1;
  for (std::int64_t i = 0; i < s.rows; ++i) {
    if (v[i] > static_cast<std::uint64_t>(kInt64Max) && (max_row < 0 || v[i] > max) &&
        valid_at(valid, s.base + i)) {
      max = v[i];
      max_row = i;
    }
  }
  if (max_row >= 0) {
    throw std::invalid_argument("column " + quoted_name(c.name) + " row " +
                                std::to_string(s.first_row + max_row) + ": " + std::to_string(max) +
                                messages::kArrowIntegerTooLargeTail);
  }
}

// REQUIRES: check_uint64 passed for the whole column.
template <typename Sink>
void uint64_cells(const ColumnReader& c, const Slice& s, Sink& sink) {
  check_uint64(c, s);  // cheap, and keeps this function safe on its own
  int_cells<std::uint64_t>(s, sink);
}

double half_to_double(std::uint16_t h) {
  const int exponent = (h >> 10) & 0x1f;
  const int mantissa = h & 0x3ff;
  double v;
  if (exponent == 0) {
    v = std::ldexp(static_cast<double>(mantissa), -24);
  } else if (exponent == 31) {
    v = mantissa != 0 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else {
    v = std::ldexp(static_cast<double>(mantissa + 1024), exponent - 25);
  }
  return (h & 0x8000) != 0 ? -v : v;
}

template <typename Sink>
void half_cells(const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const std::uint16_t* v = s.buffer<std::uint16_t>(1) + s.base;
  for (std::int64_t i = 0; i < s.rows; ++i) {
    sink(i, valid_at(valid, s.base + i) ? Cell(half_to_double(v[i])) : Cell(Null{}));
  }
}

template <typename T, typename Sink>
void float_cells(const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const T* v = s.buffer<T>(1) + s.base;
  for (std::int64_t i = 0; i < s.rows; ++i) {
    sink(i, valid_at(valid, s.base + i) ? Cell(static_cast<double>(v[i])) : Cell(Null{}));
  }
}

template <typename Offset, typename Sink>
void string_cells(const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const Offset* offsets = s.buffer<Offset>(1) + s.base;
  const char* data = s.buffer<char>(2);
  for (std::int64_t i = 0; i < s.rows; ++i) {
    if (!valid_at(valid, s.base + i)) {
      sink(i, Cell(Null{}));
      continue;
    }
    const auto begin = static_cast<std::size_t>(offsets[i]);
    const auto end = static_cast<std::size_t>(offsets[i + 1]);
    sink(i, Cell(std::string(data + begin, end - begin)));
  }
}

// A view is 16 bytes: the length, then up to 12 bytes inline, or a 4-byte
// prefix, the index of a data buffer and the offset in it.
template <typename Sink>
void string_view_cells(const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const auto* views = s.buffer<std::uint8_t>(1) + 16 * s.base;
  for (std::int64_t i = 0; i < s.rows; ++i) {
    if (!valid_at(valid, s.base + i)) {
      sink(i, Cell(Null{}));
      continue;
    }
    const std::uint8_t* view = views + 16 * i;
    std::int32_t length;
    std::memcpy(&length, view, 4);
    if (length <= 12) {
      sink(i, Cell(std::string(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length))));
      continue;
    }
    std::int32_t buffer_index;
    std::int32_t offset;
    std::memcpy(&buffer_index, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    const char* data = s.buffer<char>(2 + buffer_index);
    sink(i, Cell(std::string(data + offset, static_cast<std::size_t>(length))));
  }
}

inline std::int64_t floor_div(std::int64_t v, std::int64_t d) {
  std::int64_t q = v / d;
  if (v % d != 0 && v < 0) --q;
  return q;
}

template <typename T, typename Sink>
void time_cells(const ColumnReader& c, const Slice& s, Sink& sink) {
  const std::uint8_t* valid = s.validity();
  const T* v = s.buffer<T>(1) + s.base;
  const std::int64_t lo = kInt64Min / c.mul;
  const std::int64_t hi = kInt64Max / c.mul;
  for (std::int64_t i = 0; i < s.rows; ++i) {
    if (!valid_at(valid, s.base + i)) {
      sink(i, Cell(Null{}));
      continue;
    }
    const auto x = static_cast<std::int64_t>(v[i]);
    if (c.mul > 1) {
      if (x < lo || x > hi) {
        throw std::invalid_argument("column " + quoted_name(c.name) + " has " + c.type_text +
                                    messages::kArrowTimeBeyondRangeTail);
      }
      sink(i, Cell(x * c.mul));
    } else {
      sink(i, Cell(c.div > 1 ? floor_div(x, c.div) : x));
    }
  }
}

template <typename Sink>
void column_cells(const ColumnReader& c, const Slice& s, Sink& sink);

std::int64_t index_at(ArrowKind kind, const void* buffer, std::int64_t p) {
  switch (kind) {
    case ArrowKind::kInt8: return static_cast<const std::int8_t*>(buffer)[p];
    case ArrowKind::kUInt8: return static_cast<const std::uint8_t*>(buffer)[p];
    case ArrowKind::kInt16: return static_cast<const std::int16_t*>(buffer)[p];
    case ArrowKind::kUInt16: return static_cast<const std::uint16_t*>(buffer)[p];
    case ArrowKind::kInt32: return static_cast<const std::int32_t*>(buffer)[p];
    case ArrowKind::kUInt32: return static_cast<const std::uint32_t*>(buffer)[p];
    case ArrowKind::kInt64: return static_cast<const std::int64_t*>(buffer)[p];
    default: {
      const std::uint64_t u = static_cast<const std::uint64_t*>(buffer)[p];
      return u > static_cast<std::uint64_t>(kInt64Max) ? -1 : static_cast<std::int64_t>(u);
    }
  }
}

// The Cells of a dictionary column's values.
std::vector<Cell> decode_dictionary(const ColumnReader& c, const ArrowArray& array) {
  if (array.dictionary == nullptr) throw std::invalid_argument(messages::kArrowMalformed);
  const ArrowArray& dict = *array.dictionary;
  std::vector<Cell> values(static_cast<std::size_t>(dict.length));
  auto keep = [&values](std::int64_t k, Cell cell) { values[static_cast<std::size_t>(k)] = std::move(cell); };
  column_cells(*c.values, Slice{dict, dict.offset, dict.length, 0}, keep);
  return values;
}

template <typename Sink>
void dictionary_cells(const ColumnReader& c, const Slice& s, Sink& sink) {
  if (s.array.dictionary == nullptr) throw std::invalid_argument(messages::kArrowMalformed);
  const ArrowArray& dict = *s.array.dictionary;
  std::vector<Cell> own;
  if (s.decoded == nullptr) own = decode_dictionary(c, s.array);
  const std::vector<Cell>& values = s.decoded != nullptr ? *s.decoded : own;
  const std::uint8_t* valid = s.validity();
  const void* indices = s.array.buffers[1];
  for (std::int64_t i = 0; i < s.rows; ++i) {
    const std::int64_t p = s.base + i;
    if (!valid_at(valid, p)) {
      sink(i, Cell(Null{}));
      continue;
    }
    const std::int64_t k = index_at(c.index_kind, indices, p);
    if (k < 0 || k >= dict.length) throw std::invalid_argument(messages::kArrowMalformed);
    sink(i, Cell(values[static_cast<std::size_t>(k)]));
  }
}

// The Cells of one column slice, handed to sink.
template <typename Sink>
void column_cells(const ColumnReader& c, const Slice& s, Sink& sink) {
  switch (c.kind) {
    case ArrowKind::kNull: return null_cells(s, sink);
    case ArrowKind::kBool: return bool_cells(s, sink);
    case ArrowKind::kInt8: return int_cells<std::int8_t>(s, sink);
    case ArrowKind::kUInt8: return int_cells<std::uint8_t>(s, sink);
    case ArrowKind::kInt16: return int_cells<std::int16_t>(s, sink);
    case ArrowKind::kUInt16: return int_cells<std::uint16_t>(s, sink);
    case ArrowKind::kInt32: return int_cells<std::int32_t>(s, sink);
    case ArrowKind::kUInt32: return int_cells<std::uint32_t>(s, sink);
    case ArrowKind::kInt64: return int_cells<std::int64_t>(s, sink);
    case ArrowKind::kUInt64: return uint64_cells(c, s, sink);
    case ArrowKind::kHalf: return half_cells(s, sink);
    case ArrowKind::kFloat: return float_cells<float>(s, sink);
    case ArrowKind::kDouble: return float_cells<double>(s, sink);
    case ArrowKind::kString: return string_cells<std::int32_t>(s, sink);
    case ArrowKind::kLargeString: return string_cells<std::int64_t>(s, sink);
    case ArrowKind::kStringView: return string_view_cells(s, sink);
    case ArrowKind::kTime32: return time_cells<std::int32_t>(c, s, sink);
    case ArrowKind::kTime64: return time_cells<std::int64_t>(c, s, sink);
    case ArrowKind::kDictionary: return dictionary_cells(c, s, sink);
  }
}

// ---------------------------------------------------------------- into chunks

// The first row of s whose value column_cells refuses, or s.rows.  Only
// times scaled up and dictionary indices can be refused there.
std::int64_t first_refused(const ColumnReader& c, const Slice& s) {
  const std::uint8_t* valid = s.validity();
  if (c.kind == ArrowKind::kTime32 || c.kind == ArrowKind::kTime64) {
    if (c.mul <= 1) return s.rows;
    const std::int64_t lo = kInt64Min / c.mul;
    const std::int64_t hi = kInt64Max / c.mul;
    for (std::int64_t i = 0; i < s.rows; ++i) {
      const std::int64_t x = c.kind == ArrowKind::kTime32 ? s.buffer<std::int32_t>(1)[s.base + i]
                                                          : s.buffer<std::int64_t>(1)[s.base + i];
      if ((x < lo || x > hi) && valid_at(valid, s.base + i)) return i;
    }
  } else if (c.kind == ArrowKind::kDictionary) {
    const std::int64_t size = s.array.dictionary != nullptr ? s.array.dictionary->length : 0;
    for (std::int64_t i = 0; i < s.rows; ++i) {
      const std::int64_t p = s.base + i;
      if (!valid_at(valid, p)) continue;
      const std::int64_t k = index_at(c.index_kind, s.array.buffers[1], p);
      if (k < 0 || k >= size) return i;
    }
  }
  return s.rows;
}

// Reused storage for columns that are converted before they go in.
struct Scratch {
  std::vector<std::int64_t> ints;
  std::vector<double> doubles;
  std::vector<std::int64_t> offsets;
  std::string bytes;
  std::vector<std::uint8_t> validity;  // an Arrow bitmap
};

// Writes the rows of s into column col of out's open bulk events.
// REQUIRES: first_refused(c, s) == s.rows; for a dictionary, decoded holds
// its values.
void put_column(const ColumnReader& c, const Slice& s, const std::vector<Cell>* decoded, std::size_t col,
                EventChunk& out, Scratch& scratch) {
  const std::uint8_t* valid = s.validity();
  const auto vbase = static_cast<std::size_t>(s.base);
  const auto n = static_cast<std::size_t>(s.rows);
  // Converted values go straight into the chunk when none is Null (a
  // column of Nulls only must note no kind), else through scratch.
  const auto ints = [&](auto convert) {
    if (valid == nullptr) {
      std::uint64_t* words = out.fill_words(col, kIntIndex);
      for (std::size_t i = 0; i < n; ++i) words[i] = static_cast<std::uint64_t>(convert(i));
      return;
    }
    scratch.ints.resize(n);
    for (std::size_t i = 0; i < n; ++i) scratch.ints[i] = convert(i);
    out.put_ints(col, scratch.ints.data(), valid, vbase);
  };
  const auto doubles = [&](auto convert) {
    if (valid == nullptr) {
      std::uint64_t* words = out.fill_words(col, kDoubleIndex);
      for (std::size_t i = 0; i < n; ++i) words[i] = std::bit_cast<std::uint64_t>(convert(i));
      return;
    }
    scratch.doubles.resize(n);
    for (std::size_t i = 0; i < n; ++i) scratch.doubles[i] = convert(i);
    out.put_doubles(col, scratch.doubles.data(), valid, vbase);
  };
  switch (c.kind) {
    case ArrowKind::kNull:
      return out.put_nulls(col);
    case ArrowKind::kBool:
      return out.put_bools(col, s.buffer<std::uint8_t>(1), vbase, valid, vbase);
    case ArrowKind::kInt8:
      return ints([v = s.buffer<std::int8_t>(1) + s.base](std::size_t i) { return std::int64_t{v[i]}; });
    case ArrowKind::kUInt8:
      return ints([v = s.buffer<std::uint8_t>(1) + s.base](std::size_t i) { return std::int64_t{v[i]}; });
    case ArrowKind::kInt16:
      return ints([v = s.buffer<std::int16_t>(1) + s.base](std::size_t i) { return std::int64_t{v[i]}; });
    case ArrowKind::kUInt16:
      return ints([v = s.buffer<std::uint16_t>(1) + s.base](std::size_t i) { return std::int64_t{v[i]}; });
    case ArrowKind::kInt32:
      return ints([v = s.buffer<std::int32_t>(1) + s.base](std::size_t i) { return std::int64_t{v[i]}; });
    case ArrowKind::kUInt32:
      return ints([v = s.buffer<std::uint32_t>(1) + s.base](std::size_t i) { return std::int64_t{v[i]}; });
    case ArrowKind::kInt64:
    case ArrowKind::kUInt64:  // checked to be within the signed range
      return out.put_ints(col, s.buffer<std::int64_t>(1) + s.base, valid, vbase);
    case ArrowKind::kHalf:
      return doubles([v = s.buffer<std::uint16_t>(1) + s.base](std::size_t i) { return half_to_double(v[i]); });
    case ArrowKind::kFloat:
      return doubles([v = s.buffer<float>(1) + s.base](std::size_t i) { return static_cast<double>(v[i]); });
    case ArrowKind::kDouble:
      return out.put_doubles(col, s.buffer<double>(1) + s.base, valid, vbase);
    case ArrowKind::kString:
      return out.put_strings(col, s.buffer<std::int32_t>(1) + s.base, s.buffer<char>(2), valid, vbase);
    case ArrowKind::kLargeString:
      return out.put_strings(col, s.buffer<std::int64_t>(1) + s.base, s.buffer<char>(2), valid, vbase);
    case ArrowKind::kStringView: {
      scratch.offsets.resize(n + 1);
      scratch.offsets[0] = 0;
      scratch.bytes.clear();
      auto keep = [&scratch](std::int64_t i, Cell cell) {
        if (const std::string* text = std::get_if<std::string>(&cell)) scratch.bytes += *text;
        scratch.offsets[static_cast<std::size_t>(i) + 1] = static_cast<std::int64_t>(scratch.bytes.size());
      };
      string_view_cells(s, keep);
      return out.put_strings(col, scratch.offsets.data(), scratch.bytes.data(), valid, vbase);
    }
    case ArrowKind::kTime32:
      return ints([&c, v = s.buffer<std::int32_t>(1) + s.base](std::size_t i) {
        const std::int64_t x = v[i];
        return c.div > 1 ? floor_div(x, c.div) : x * c.mul;  // the range was checked
      });
    case ArrowKind::kTime64:
      return ints([&c, v = s.buffer<std::int64_t>(1) + s.base](std::size_t i) {
        const std::int64_t x = v[i];
        // Beyond the range only under a Null, where the value is not read.
        return c.div > 1 ? floor_div(x, c.div)
                         : static_cast<std::int64_t>(static_cast<std::uint64_t>(x) * static_cast<std::uint64_t>(c.mul));
      });
    case ArrowKind::kDictionary: {
      const std::vector<Cell>& values = *decoded;
      const void* indices = s.array.buffers[1];
      bool texts = true;
      bool null_values = false;
      for (const Cell& v : values) {
        null_values = null_values || v.index() == kNullIndex;
        texts = texts && (v.index() == kStringIndex || v.index() == kNullIndex);
      }
      if (texts) {
        // Dictionary strings: the column's text laid out once, whole; a row
        // is Null where it or its dictionary value is.
        scratch.offsets.resize(n + 1);
        scratch.offsets[0] = 0;
        scratch.bytes.clear();
        if (null_values) scratch.validity.assign((n + 7) / 8, 0);
        for (std::size_t i = 0; i < n; ++i) {
          const std::int64_t p = s.base + static_cast<std::int64_t>(i);
          if (valid_at(valid, p)) {
            const Cell& v = values[static_cast<std::size_t>(index_at(c.index_kind, indices, p))];
            if (const std::string* text = std::get_if<std::string>(&v)) {
              scratch.bytes += *text;
              if (null_values) scratch.validity[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
            }
          }
          scratch.offsets[i + 1] = static_cast<std::int64_t>(scratch.bytes.size());
        }
        if (null_values) return out.put_strings(col, scratch.offsets.data(), scratch.bytes.data(), scratch.validity.data());
        return out.put_strings(col, scratch.offsets.data(), scratch.bytes.data(), valid, vbase);
      }
      out.begin_column(col);
      for (std::int64_t i = 0; i < s.rows; ++i) {
        const std::int64_t p = s.base + i;
        if (!valid_at(valid, p)) {
          out.set_null(col);
        } else {
          out.set_cell(col, values[static_cast<std::size_t>(index_at(c.index_kind, indices, p))]);
        }
      }
      return;
    }
  }
}

// Arrow's text for a time unit in a format such as "tsu:".
std::string timestamp_text(std::string_view f) {
  std::string text = "timestamp[" + unit_text(f[2]);
  if (f.size() > 4) {
    text += ", tz=";
    text += f.substr(4);
  }
  return text + "]";
}

}  // namespace

std::string quoted_name(std::string_view name) {
  const bool has_single = name.find('\'') != std::string_view::npos;
  const bool has_double = name.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(1, quote);
  for (const char ch : name) {
    const auto b = static_cast<unsigned char>(ch);
    if (ch == quote || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7f) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

std::string arrow_type_text(const ArrowSchema& schema) {
  const std::string_view f = schema.format != nullptr ? schema.format : "";
  if (schema.dictionary != nullptr) {
    return "dictionary<values=" + arrow_type_text(*schema.dictionary) +
           ", indices=" + arrow_type_text(ArrowSchema{schema.format, nullptr, nullptr, 0, 0, nullptr,
                                                      nullptr, nullptr, nullptr}) +
           ", ordered=" + ((schema.flags & ARROW_FLAG_DICTIONARY_ORDERED) != 0 ? "1" : "0") + ">";
  }
  static const std::pair<std::string_view, std::string_view> kSimple[] = {
      {"n", "null"},     {"b", "bool"},         {"c", "int8"},          {"C", "uint8"},
      {"s", "int16"},    {"S", "uint16"},       {"i", "int32"},         {"I", "uint32"},
      {"l", "int64"},    {"L", "uint64"},       {"e", "halffloat"},     {"f", "float"},
      {"g", "double"},   {"z", "binary"},       {"Z", "large_binary"},  {"vz", "binary_view"},
      {"u", "string"},   {"U", "large_string"}, {"vu", "string_view"},  {"tdD", "date32[day]"},
      {"tdm", "date64[ms]"}, {"tts", "time32[s]"}, {"ttm", "time32[ms]"}, {"ttu", "time64[us]"},
      {"ttn", "time64[ns]"}, {"tiM", "month_interval"}, {"tiD", "day_time_interval"},
      {"tin", "month_day_nano_interval"},
  };
  for (const auto& [format, text] : kSimple) {
    if (f == format) return std::string(text);
  }
  if (f.starts_with("ts") && f.size() >= 4) return timestamp_text(f);
  if (f.starts_with("tD") && f.size() == 3) return "duration[" + unit_text(f[2]) + "]";
  if (f.starts_with("d:")) {
    std::string_view args = f.substr(2);
    int bits = 128;
    if (const auto comma = args.rfind(','); comma != std::string_view::npos &&
                                             std::count(args.begin(), args.end(), ',') == 2) {
      bits = std::atoi(std::string(args.substr(comma + 1)).c_str());
      args = args.substr(0, comma);
    }
    std::string text = "decimal" + std::to_string(bits) + "(" + std::string(args) + ")";
    if (const auto comma = text.find(','); comma != std::string::npos) text.insert(comma + 1, " ");
    return text;
  }
  if (f.starts_with("w:")) return "fixed_size_binary[" + std::string(f.substr(2)) + "]";
  const auto child_text = [&](std::int64_t k) {
    const ArrowSchema& child = *schema.children[k];
    return std::string(child.name != nullptr ? child.name : "") + ": " + arrow_type_text(child);
  };
  if ((f == "+l" || f == "+L" || f == "+vl" || f == "+vL" || f.starts_with("+w:")) && schema.n_children == 1) {
    std::string kind = f == "+l" ? "list" : f == "+L" ? "large_list" : f == "+vl" ? "list_view"
                     : f == "+vL" ? "large_list_view" : "fixed_size_list";
    std::string text = kind + "<" + child_text(0);
    if (f.starts_with("+w:")) text += ", " + std::string(f.substr(3));
    return text + ">";
  }
  if (f == "+s" || f == "+m" || f.starts_with("+u")) {
    std::string text = f == "+s" ? "struct<" : f == "+m" ? "map<" : "union<";
    for (std::int64_t k = 0; k < schema.n_children; ++k) {
      if (k != 0) text += ", ";
      text += child_text(k);
    }
    return text + ">";
  }
  return "format " + std::string(f);
}

ArrowIntake::ArrowIntake(const ArrowSchema& schema) {
  const std::string_view f = schema.format != nullptr ? schema.format : "";
  if (f != "+s" || schema.dictionary != nullptr) {
    throw std::invalid_argument(messages::kArrowNotRecordBatchHead + arrow_type_text(schema));
  }
  columns_.reserve(static_cast<std::size_t>(schema.n_children));
  for (std::int64_t k = 0; k < schema.n_children; ++k) {
    const ArrowSchema& child = *schema.children[k];
    const std::string_view name = child.name != nullptr ? child.name : "";
    auto reader = make_reader(child, name);
    if (reader == nullptr) refuse_type(name, arrow_type_text(child));
    columns_.push_back(std::move(reader));
  }
}

ArrowIntake::~ArrowIntake() = default;

std::size_t ArrowIntake::column_count() const { return columns_.size(); }

void ArrowIntake::append_rows(const ArrowArray& array, Batch& out) const {
  if (array.n_children != static_cast<std::int64_t>(columns_.size()) || array.length < 0) {
    throw std::invalid_argument(messages::kArrowMalformed);
  }
  const std::int64_t n = array.length;
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    if (array.children[j]->length < array.offset + n) throw std::invalid_argument(messages::kArrowMalformed);
  }
  if (n == 0 || columns_.empty()) return;

  // As rows_from_columns: the distinct names in byte order, the last column
  // of a repeated name winning, "timestamp" stamped in its place when no
  // column supplies it.
  std::vector<std::size_t> order(columns_.size());
  for (std::size_t j = 0; j < order.size(); ++j) order[j] = j;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return columns_[a]->name < columns_[b]->name; });
  std::vector<std::size_t> winners;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 1 < order.size() && columns_[order[k + 1]]->name == columns_[order[k]]->name) continue;
    winners.push_back(order[k]);
  }
  const auto ts_pos = std::lower_bound(
      winners.begin(), winners.end(), std::string_view("timestamp"),
      [&](std::size_t j, std::string_view name) { return std::string_view(columns_[j]->name) < name; });
  const bool needs_stamp = ts_pos == winners.end() || columns_[*ts_pos]->name != "timestamp";
  const auto stamp_index = static_cast<std::size_t>(ts_pos - winners.begin());

  // Whole-column checks first, so a refusal names the row the package's
  // own conversion names; dictionaries are decoded once.
  const auto first_row = static_cast<std::int64_t>(out.size());
  std::vector<std::vector<Cell>> decoded(columns_.size());
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    const ArrowArray& child = *array.children[j];
    const Slice whole{child, array.offset + child.offset, n, first_row};
    if (columns_[j]->kind == ArrowKind::kUInt64) check_uint64(*columns_[j], whole);
    if (columns_[j]->kind == ArrowKind::kDictionary) decoded[j] = decode_dictionary(*columns_[j], child);
  }

  // A block of Rows at a time is laid out (names in place, Cells Null, the
  // stamp read now, row by row) and then filled column by column, so the
  // Rows being filled stay in cache.  A column that loses to a later one of
  // the same name is still read, so that its refusals are raised as
  // rows_from_columns raises them.
  const std::size_t width = winners.size() + (needs_stamp ? 1 : 0);
  std::vector<std::size_t> slot_of(columns_.size(), width);
  for (std::size_t k = 0; k < winners.size(); ++k) {
    slot_of[winners[k]] = needs_stamp && k >= stamp_index ? k + 1 : k;
  }
  constexpr std::int64_t kBlock = 1024;
  Batch local;
  local.reserve(static_cast<std::size_t>(n));
  for (std::int64_t begin = 0; begin < n; begin += kBlock) {
    const std::int64_t rows = std::min(kBlock, n - begin);
    for (std::int64_t i = 0; i < rows; ++i) {
      std::vector<Row::Entry> entries;
      entries.reserve(width);
      for (std::size_t k = 0; k < winners.size(); ++k) {
        if (needs_stamp && k == stamp_index) entries.emplace_back("timestamp", now_millis());
        entries.emplace_back(columns_[winners[k]]->name, Null{});
      }
      if (needs_stamp && stamp_index == winners.size()) entries.emplace_back("timestamp", now_millis());
      local.push_back(Row::FromSorted(std::move(entries)));
    }
    Row* block = local.data() + begin;
    for (std::size_t j = 0; j < columns_.size(); ++j) {
      const ArrowArray& child = *array.children[j];
      const Slice slice{child, array.offset + child.offset + begin, rows, first_row + begin,
                        columns_[j]->kind == ArrowKind::kDictionary ? &decoded[j] : nullptr};
      const std::size_t slot = slot_of[j];
      if (slot == width) {
        auto discard = [](std::int64_t, Cell) {};
        column_cells(*columns_[j], slice, discard);
      } else {
        auto store = [block, slot](std::int64_t i, Cell cell) { (block[i].begin() + slot)->second = std::move(cell); };
        column_cells(*columns_[j], slice, store);
      }
    }
  }
  if (out.empty()) {
    out = std::move(local);
  } else {
    out.insert(out.end(), std::make_move_iterator(local.begin()), std::make_move_iterator(local.end()));
  }
}

void ArrowIntake::append_to_chunk(const ArrowArray& array, std::int64_t first_row, EventChunk& out) const {
  if (array.n_children != static_cast<std::int64_t>(columns_.size()) || array.length < 0) {
    throw std::invalid_argument(messages::kArrowMalformed);
  }
  const std::int64_t n = array.length;
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    if (array.children[j]->length < array.offset + n) throw std::invalid_argument(messages::kArrowMalformed);
  }
  if (n == 0 || columns_.empty()) return;

  // The columns that reach the events, as in append_rows: of a repeated
  // name, the last.
  std::vector<std::size_t> order(columns_.size());
  for (std::size_t j = 0; j < order.size(); ++j) order[j] = j;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return columns_[a]->name < columns_[b]->name; });
  std::vector<std::size_t> winners;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k + 1 < order.size() && columns_[order[k + 1]]->name == columns_[order[k]]->name) continue;
    winners.push_back(order[k]);
  }

  // Every refusal before any value goes in, and the one append_rows meets
  // first: the whole-column checks column by column, then, in blocks of
  // append_rows's rows, the first column holding a refused row.
  std::vector<std::vector<Cell>> decoded(columns_.size());
  std::vector<Slice> slices;
  slices.reserve(columns_.size());
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    const ArrowArray& child = *array.children[j];
    slices.push_back(Slice{child, array.offset + child.offset, n, first_row});
    if (columns_[j]->kind == ArrowKind::kUInt64) check_uint64(*columns_[j], slices[j]);
    if (columns_[j]->kind == ArrowKind::kDictionary) decoded[j] = decode_dictionary(*columns_[j], child);
    slices[j].decoded = columns_[j]->kind == ArrowKind::kDictionary ? &decoded[j] : nullptr;
  }
  constexpr std::int64_t kBlock = 1024;  // append_rows's
  std::int64_t bad_row = n;
  std::size_t bad_column = 0;
  for (std::size_t j = 0; j < columns_.size(); ++j) {
    const std::int64_t row = first_refused(*columns_[j], slices[j]);
    if (row < n && (bad_row == n || row / kBlock < bad_row / kBlock)) {
      bad_row = row;
      bad_column = j;
    }
  }
  if (bad_row < n) {
    // The refusal exactly as column_cells words it.
    const Slice& s = slices[bad_column];
    const Slice one{s.array, s.base + bad_row, 1, s.first_row + bad_row, s.decoded};
    auto discard = [](std::int64_t, Cell) {};
    column_cells(*columns_[bad_column], one, discard);
    throw std::invalid_argument(messages::kArrowMalformed);  // not reached
  }

  // Columns are made in the order append_row makes them from a Row: names
  // in byte order, "timestamp" in its place (end_events stamps it).
  std::vector<std::size_t> col_of(columns_.size());
  bool stamp_placed = false;
  for (const std::size_t j : winners) {
    if (!stamp_placed && columns_[j]->name >= std::string_view("timestamp")) {
      out.column_index("timestamp");
      stamp_placed = true;
    }
    col_of[j] = out.column_index(columns_[j]->name);
  }
  if (!stamp_placed) out.column_index("timestamp");

  Scratch scratch;
  out.begin_events(static_cast<std::size_t>(n));
  try {
    for (const std::size_t j : winners) put_column(*columns_[j], slices[j], slices[j].decoded, col_of[j], out, scratch);
  } catch (...) {
    out.abort_events();
    throw;
  }
  out.end_events();
}

}  // namespace movra
