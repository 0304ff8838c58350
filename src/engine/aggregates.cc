#include "engine/aggregates.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "engine/keyed_hash.h"
#include "engine/sketch_states.h"
#include "model/utf8.h"

namespace movra {

namespace {

// "No value yet" of min and max: a signalling NaN no value ever has, since
// every NaN taken is stored as the quiet NaN.
constexpr std::uint64_t kEmptyBits = 0x7FF0DEAD0000EEEEull;

inline double as_double(std::uint64_t w) { return std::bit_cast<double>(w); }
inline std::uint64_t as_word(double d) { return std::bit_cast<std::uint64_t>(d); }

enum Tag : std::uint64_t { kNone = 0, kTagBool = 1, kTagInt = 2, kTagDouble = 3, kTagString = 4 };

// Whether d is an integer an int64 holds exactly (then it is keyed as one).
bool integral(double d, std::int64_t& out) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  const auto i = static_cast<std::int64_t>(d);
  if (static_cast<double>(i) != d) return false;
  out = i;
  return true;
}

void append_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void append_i64(std::string& out, std::int64_t v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

template <typename Int>
bool parse_int(std::string_view text, Int& out) {
  if (text.empty()) return false;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
  return res.ec == std::errc() && res.ptr == text.data() + text.size();
}

// Splits text at spaces; the fields of one state.
std::vector<std::string_view> split_spaces(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t sp = text.find(' ', at);
    const std::size_t end = sp == std::string_view::npos ? text.size() : sp;
    parts.push_back(text.substr(at, end - at));
    if (sp == std::string_view::npos) break;
    at = sp + 1;
  }
  return parts;
}

// first/last: the value of words [2] (tag) and [3] as a Cell.
Cell tagged_cell(const std::uint64_t* s, const AggPools& pools) {
  switch (s[2]) {
    case kTagBool: return Cell(s[3] != 0);
    case kTagInt: return Cell(static_cast<std::int64_t>(s[3]));
    case kTagDouble: return Cell(as_double(s[3]));
    case kTagString: return Cell(pools.strings.get(static_cast<std::uint32_t>(s[3])));
    default: return Cell(Null{});
  }
}

// Stores v as the first/last value of s; a string reuses the state's pool
// entry when it already has one.
void set_tagged(std::uint64_t* s, const CellView& v, AggPools& pools) {
  if (v.tag == kStringIndex) {
    if (s[2] == kTagString) {
      pools.strings.set(static_cast<std::uint32_t>(s[3]), v.s);
    } else {
      s[3] = pools.strings.put(v.s);
    }
    s[2] = kTagString;
    return;
  }
  if (s[2] == kTagString) pools.strings.release(static_cast<std::uint32_t>(s[3]));
  switch (v.tag) {
    case kBoolIndex: s[2] = kTagBool; s[3] = v.b ? 1 : 0; break;
    case kIntIndex: s[2] = kTagInt; s[3] = static_cast<std::uint64_t>(v.i); break;
    case kDoubleIndex: s[2] = kTagDouble; s[3] = as_word(v.d); break;
    default: s[2] = kNone; s[3] = 0; break;
  }
}

// Whether (t, seq) comes before the first/last state's (time, seq).
inline bool earlier(std::int64_t t, std::uint64_t seq, const std::uint64_t* s) {
  const auto st = static_cast<std::int64_t>(s[0]);
  return t < st || (t == st && seq < s[1]);
}
inline bool later(std::int64_t t, std::uint64_t seq, const std::uint64_t* s) {
  const auto st = static_cast<std::int64_t>(s[0]);
  return t > st || (t == st && seq > s[1]);
}

// The exact distinct count: the keys of the values seen (append_value_key),
// hashed with the process's secret key since the values come from outside.
class DistinctSet final : public VarState {
 public:
  std::unique_ptr<VarState> clone() const override { return std::make_unique<DistinctSet>(*this); }
  void add(const CellView& value) override {
    scratch_.clear();
    append_value_key(scratch_, value);
    keys_.insert(scratch_);
  }
  void merge(const VarState& other) override {
    const auto& o = static_cast<const DistinctSet&>(other);
    keys_.insert(o.keys_.begin(), o.keys_.end());
  }
  Cell result() const override { return Cell(static_cast<std::int64_t>(keys_.size())); }
  void save(std::string& out) const override {
    // In byte order, so that one set always saves to one text.
    std::vector<const std::string*> sorted;
    sorted.reserve(keys_.size());
    for (const std::string& k : keys_) sorted.push_back(&k);
    std::sort(sorted.begin(), sorted.end(), [](const std::string* a, const std::string* b) { return *a < *b; });
    append_u64(out, keys_.size());
    for (const std::string* k : sorted) {
      out.push_back(' ');
      append_escaped(out, *k);
    }
  }
  bool load(std::string_view text) override {
    keys_.clear();
    const std::vector<std::string_view> parts = split_spaces(text);
    std::uint64_t n = 0;
    if (!parse_int(parts[0], n) || n != parts.size() - 1) return false;
    std::string key;
    for (std::size_t i = 1; i < parts.size(); ++i) {
      if (!unescape(parts[i], key)) return false;
      keys_.insert(key);
    }
    return true;
  }
  std::size_t bytes() const override {
    std::size_t b = sizeof(*this) + keys_.bucket_count() * sizeof(void*);
    for (const std::string& k : keys_) b += sizeof(k) + 2 * sizeof(void*) + (k.size() > 15 ? k.size() : 0);
    return b;
  }

 private:
  struct Hash {
    std::size_t operator()(const std::string& s) const {
      return static_cast<std::size_t>(siphash24(process_hash_key(), s));
    }
  };
  std::unordered_set<std::string, Hash> keys_;
  std::string scratch_;
};

}  // namespace

void append_value_key(std::string& out, const CellView& v) {
  switch (v.tag) {
    case kNullIndex: out.push_back('n'); return;
    case kBoolIndex: out.push_back(v.b ? 'T' : 'F'); return;
    case kIntIndex:
      out.push_back('i');
      out.append(reinterpret_cast<const char*>(&v.i), 8);
      return;
    case kDoubleIndex: {
      const double d = v.d;
      std::int64_t i;
      if (integral(d, i)) {
        out.push_back('i');
        out.append(reinterpret_cast<const char*>(&i), 8);
      } else if (std::isnan(d)) {
        out.push_back('N');
      } else {
        out.push_back('d');
        out.append(reinterpret_cast<const char*>(&d), 8);
      }
      return;
    }
    default: {
      out.push_back('s');
      const auto n = static_cast<std::uint32_t>(v.s.size());
      out.append(reinterpret_cast<const char*>(&n), 4);
      out.append(v.s);
      return;
    }
  }
}

void append_value_key(std::string& out, const Cell& cell) { append_value_key(out, CellView::of(cell)); }

void append_escaped(std::string& out, std::string_view bytes) {
  for (char c : bytes) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      case ' ': out += "\\s"; break;
      default: out.push_back(c);
    }
  }
}

bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case 't': out.push_back('\t'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case '0': out.push_back('\0'); break;
      case 's': out.push_back(' '); break;
      default: return false;
    }
  }
  return true;
}

void append_double(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  char buf[40];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

bool parse_double(std::string_view text, double& out) {
  if (text == "nan") {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (text.empty()) return false;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
  return res.ec == std::errc() && res.ptr == text.data() + text.size();
}

void append_typed_text(std::string& out, const Cell& cell) {
  switch (cell.index()) {
    case kNullIndex: out.push_back('n'); return;
    case kBoolIndex: out += std::get<bool>(cell) ? "b1" : "b0"; return;
    case kIntIndex: out.push_back('i'); append_i64(out, std::get<std::int64_t>(cell)); return;
    case kDoubleIndex: out.push_back('d'); append_double(out, std::get<double>(cell)); return;
    default: out.push_back('s'); append_escaped(out, std::get<std::string>(cell)); return;
  }
}

bool parse_typed_text(std::string_view text, Cell& out) {
  if (text.empty()) return false;
  const std::string_view body = text.substr(1);
  switch (text[0]) {
    case 'n': out = Null{}; return body.empty();
    case 'b':
      if (body != "0" && body != "1") return false;
      out = body == "1";
      return true;
    case 'i': {
      std::int64_t v;
      if (!parse_int(body, v)) return false;
      out = v;
      return true;
    }
    case 'd': {
      double v;
      if (!parse_double(body, v)) return false;
      out = v;
      return true;
    }
    case 's': {
      std::string s;
      if (!unescape(body, s)) return false;
      out = std::move(s);
      return true;
    }
    default: return false;
  }
}

std::uint32_t StringPool::put(std::string_view text) {
  if (!free_.empty()) {
    const std::uint32_t i = free_.back();
    free_.pop_back();
    texts_[i].assign(text);
    return i;
  }
  texts_.emplace_back(text);
  return static_cast<std::uint32_t>(texts_.size() - 1);
}

void StringPool::release(std::uint32_t index) {
  texts_[index].clear();
  free_.push_back(index);
}

VarStates::VarStates(const VarStates& other) : free_(other.free_) {
  states_.reserve(other.states_.size());
  for (const auto& s : other.states_) states_.push_back(s ? s->clone() : nullptr);
}

VarStates& VarStates::operator=(const VarStates& other) {
  if (this != &other) {
    VarStates copy(other);
    *this = std::move(copy);
  }
  return *this;
}

std::uint32_t VarStates::put(std::unique_ptr<VarState> state) {
  if (!free_.empty()) {
    const std::uint32_t i = free_.back();
    free_.pop_back();
    states_[i] = std::move(state);
    return i;
  }
  states_.push_back(std::move(state));
  return static_cast<std::uint32_t>(states_.size() - 1);
}

void VarStates::release(std::uint32_t index) {
  states_[index].reset();
  free_.push_back(index);
}

std::unique_ptr<VarState> make_var_state(const AggSpec& agg_spec) {
  switch (agg_spec.op) {
    case AggOp::kCountDistinct: return std::make_unique<DistinctSet>();
    default: return make_sketch_state(agg_spec);
  }
}

std::uint32_t state_words(AggOp op) {
  switch (op) {
    case AggOp::kCount: return 1;
    case AggOp::kSum:
    case AggOp::kMean: return 2;
    case AggOp::kMin:
    case AggOp::kMax: return 1;
    case AggOp::kFirst:
    case AggOp::kLast: return 4;
    case AggOp::kVar:
    case AggOp::kStddev: return 3;
    default: return 1;  // the index of a VarState
  }
}

std::size_t state_bytes(AggOp op) {
  std::size_t b = 8 * state_words(op);
  if (has_var_state(op)) {
    AggSpec agg_spec;
    agg_spec.op = op;
    b += make_var_state(agg_spec)->bytes() + sizeof(std::unique_ptr<VarState>);
  }
  return b;
}

// The ops whose state is a VarState.  A new one (a sketch) is added here and
// in make_var_state; every other operation on it goes through VarState.
bool has_var_state(AggOp op) { return op == AggOp::kCountDistinct || is_sketch_op(op); }

AggLayout AggLayout::of(const std::vector<AggSpec>& aggs) {
  AggLayout layout;
  for (const AggSpec& agg_spec : aggs) {
    Item item;
    item.agg_spec = agg_spec;
    item.offset = layout.words;
    item.words = state_words(agg_spec.op);
    if (is_sketch_op(agg_spec.op)) {
      for (const Item& earlier : layout.items) {
        if (!earlier.shared && earlier.agg_spec.op == agg_spec.op && earlier.agg_spec.field == agg_spec.field &&
            sketch_param(earlier.agg_spec) == sketch_param(agg_spec)) {
          item.offset = earlier.offset;
          item.words = 0;
          item.shared = true;
          break;
        }
      }
    }
    layout.words += item.words;
    if (agg_spec.field) {
      std::size_t f = 0;
      while (f < layout.fields.size() && layout.fields[f] != *agg_spec.field) ++f;
      if (f == layout.fields.size()) layout.fields.push_back(*agg_spec.field);
      item.field = static_cast<std::int32_t>(f);
    }
    layout.items.push_back(std::move(item));
  }
  return layout;
}

void init_state(const AggLayout::Item& item, std::uint64_t* w, AggPools& pools) {
  if (item.shared) return;
  std::uint64_t* s = w + item.offset;
  std::memset(s, 0, 8 * item.words);
  if (has_var_state(item.agg_spec.op)) {
    s[0] = pools.vars.put(make_var_state(item.agg_spec));
    return;
  }
  if (item.agg_spec.op == AggOp::kMin || item.agg_spec.op == AggOp::kMax) s[0] = kEmptyBits;
}

void release_state(const AggLayout::Item& item, std::uint64_t* w, AggPools& pools) {
  if (item.shared) return;
  std::uint64_t* s = w + item.offset;
  if (has_var_state(item.agg_spec.op)) {
    pools.vars.release(static_cast<std::uint32_t>(s[0]));
  } else if (item.agg_spec.op == AggOp::kFirst || item.agg_spec.op == AggOp::kLast) {
    if (s[2] == kTagString) pools.strings.release(static_cast<std::uint32_t>(s[3]));
    s[2] = kNone;
  }
}

namespace {

inline void fold_min(std::uint64_t& slot, double v) {
  if (slot == kEmptyBits) {
    slot = as_word(v);
    return;
  }
  const double cur = as_double(slot);
  if (std::isnan(cur)) return;
  if (std::isnan(v) || v < cur) slot = as_word(v);
}

inline void fold_max(std::uint64_t& slot, double v) {
  if (slot == kEmptyBits) {
    slot = as_word(v);
    return;
  }
  const double cur = as_double(slot);
  if (std::isnan(cur)) return;
  if (std::isnan(v) || v > cur) slot = as_word(v);
}

}  // namespace

void merge_state(const AggLayout::Item& item, std::uint64_t* into, std::uint64_t* from,
                 bool owning, AggPools& pools) {
  if (item.shared) return;
  std::uint64_t* a = into + item.offset;
  std::uint64_t* b = from + item.offset;
  if (has_var_state(item.agg_spec.op)) {
    pools.vars.get(static_cast<std::uint32_t>(a[0])).merge(pools.vars.get(static_cast<std::uint32_t>(b[0])));
    return;
  }
  switch (item.agg_spec.op) {
    case AggOp::kCount: a[0] += b[0]; break;
    case AggOp::kSum:
    case AggOp::kMean:
      a[0] = as_word(as_double(a[0]) + as_double(b[0]));
      a[1] += b[1];
      break;
    case AggOp::kMin:
      if (b[0] != kEmptyBits) fold_min(a[0], as_double(b[0]));
      break;
    case AggOp::kMax:
      if (b[0] != kEmptyBits) fold_max(a[0], as_double(b[0]));
      break;
    case AggOp::kFirst:
    case AggOp::kLast: {
      if (b[2] == kNone) break;
      const bool wins = a[2] == kNone ||
                        (item.agg_spec.op == AggOp::kFirst
                             ? earlier(static_cast<std::int64_t>(b[0]), b[1], a)
                             : later(static_cast<std::int64_t>(b[0]), b[1], a));
      if (!wins) break;
      if (owning) {
        if (a[2] == kTagString) pools.strings.release(static_cast<std::uint32_t>(a[3]));
        std::memcpy(a, b, 32);
        b[2] = kNone;  // the string, if any, now belongs to a
      } else {
        // A borrowing block never owns a string: it points at from's.
        std::memcpy(a, b, 32);
      }
      break;
    }
    case AggOp::kVar:
    case AggOp::kStddev: {
      const double na = as_double(a[0]), nb = as_double(b[0]);
      if (nb == 0) break;
      if (na == 0) {
        std::memcpy(a, b, 24);
        break;
      }
      const double ma = as_double(a[1]), mb = as_double(b[1]);
      const double n = na + nb;
      const double delta = mb - ma;
      a[0] = as_word(n);
      a[1] = as_word(ma + delta * nb / n);
      a[2] = as_word(as_double(a[2]) + as_double(b[2]) + delta * delta * na * nb / n);
      break;
    }
    default: break;
  }
}

void drop_borrowed(const AggLayout::Item& item, std::uint64_t* w, AggPools& pools) {
  if (item.shared) return;
  std::uint64_t* s = w + item.offset;
  // first/last strings are borrowed; a set of its own is the block's.
  if (has_var_state(item.agg_spec.op)) pools.vars.release(static_cast<std::uint32_t>(s[0]));
}

Cell result_of(const AggLayout::Item& item, const std::uint64_t* w, const AggPools& pools) {
  const std::uint64_t* s = w + item.offset;
  constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  // A quantile reads its own q from a state that several q may share.
  if (is_sketch_op(item.agg_spec.op))
    return sketch_result(pools.vars.get(static_cast<std::uint32_t>(s[0])), item.agg_spec);
  if (has_var_state(item.agg_spec.op)) return pools.vars.get(static_cast<std::uint32_t>(s[0])).result();
  switch (item.agg_spec.op) {
    case AggOp::kCount: return Cell(static_cast<std::int64_t>(s[0] > kLimit ? kLimit : s[0]));
    case AggOp::kSum: return s[1] == 0 ? Cell(Null{}) : Cell(as_double(s[0]));
    case AggOp::kMean:
      return s[1] == 0 ? Cell(Null{}) : Cell(as_double(s[0]) / static_cast<double>(s[1]));
    case AggOp::kMin:
    case AggOp::kMax: return s[0] == kEmptyBits ? Cell(Null{}) : Cell(as_double(s[0]));
    case AggOp::kFirst:
    case AggOp::kLast: return tagged_cell(s, pools);
    case AggOp::kVar:
    case AggOp::kStddev: {
      const double n = as_double(s[0]);
      const auto ddof = static_cast<double>(item.agg_spec.ddof);
      if (n < ddof + 1) return Cell(Null{});
      const double var = as_double(s[2]) / (n - ddof);
      return Cell(item.agg_spec.op == AggOp::kVar ? var : std::sqrt(var));
    }
    default: break;
  }
  return Cell(Null{});
}

void save_state(const AggLayout::Item& item, const std::uint64_t* w, const AggPools& pools,
                std::string& out) {
  if (item.shared) {
    out.push_back('-');
    return;
  }
  const std::uint64_t* s = w + item.offset;
  if (has_var_state(item.agg_spec.op)) {
    pools.vars.get(static_cast<std::uint32_t>(s[0])).save(out);
    return;
  }
  switch (item.agg_spec.op) {
    case AggOp::kCount: append_u64(out, s[0]); break;
    case AggOp::kSum:
    case AggOp::kMean:
      append_double(out, as_double(s[0]));
      out.push_back(' ');
      append_u64(out, s[1]);
      break;
    case AggOp::kMin:
    case AggOp::kMax:
      if (s[0] == kEmptyBits) {
        out.push_back('-');
      } else {
        append_double(out, as_double(s[0]));
      }
      break;
    case AggOp::kFirst:
    case AggOp::kLast:
      if (s[2] == kNone) {
        out.push_back('-');
        break;
      }
      append_i64(out, static_cast<std::int64_t>(s[0]));
      out.push_back(' ');
      append_u64(out, s[1]);
      out.push_back(' ');
      append_typed_text(out, tagged_cell(s, pools));
      break;
    case AggOp::kVar:
    case AggOp::kStddev:
      append_double(out, as_double(s[0]));
      out.push_back(' ');
      append_double(out, as_double(s[1]));
      out.push_back(' ');
      append_double(out, as_double(s[2]));
      break;
    default: break;
  }
}

bool load_state(const AggLayout::Item& item, std::string_view text, std::uint64_t* w,
                AggPools& pools) {
  if (item.shared) return text == "-";
  std::uint64_t* s = w + item.offset;
  if (has_var_state(item.agg_spec.op)) return pools.vars.get(static_cast<std::uint32_t>(s[0])).load(text);
  const std::vector<std::string_view> p = split_spaces(text);
  switch (item.agg_spec.op) {
    case AggOp::kCount: return p.size() == 1 && parse_int(p[0], s[0]);
    case AggOp::kSum:
    case AggOp::kMean: {
      double sum;
      if (p.size() != 2 || !parse_double(p[0], sum) || !parse_int(p[1], s[1])) return false;
      s[0] = as_word(sum);
      return true;
    }
    case AggOp::kMin:
    case AggOp::kMax: {
      if (p.size() != 1) return false;
      if (p[0] == "-") return true;
      double v;
      if (!parse_double(p[0], v)) return false;
      s[0] = as_word(std::isnan(v) ? std::numeric_limits<double>::quiet_NaN() : v);
      return true;
    }
    case AggOp::kFirst:
    case AggOp::kLast: {
      if (p.size() == 1 && p[0] == "-") return true;
      std::int64_t t;
      std::uint64_t seq;
      Cell value;
      if (p.size() != 3 || !parse_int(p[0], t) || !parse_int(p[1], seq) ||
          !parse_typed_text(p[2], value) || value.index() == kNullIndex) {
        return false;
      }
      s[0] = static_cast<std::uint64_t>(t);
      s[1] = seq;
      set_tagged(s, CellView::of(value), pools);
      return true;
    }
    case AggOp::kVar:
    case AggOp::kStddev: {
      double v[3];
      if (p.size() != 3) return false;
      for (int i = 0; i < 3; ++i) {
        if (!parse_double(p[static_cast<std::size_t>(i)], v[i])) return false;
      }
      if (!(v[0] >= 0)) return false;
      for (int i = 0; i < 3; ++i) s[i] = as_word(v[i]);
      return true;
    }
    default: break;
  }
  return false;
}

bool state_is_utf8(const AggLayout::Item& item, const std::uint64_t* w, const AggPools& pools) {
  const std::uint64_t* s = w + item.offset;
  if (item.agg_spec.op != AggOp::kFirst && item.agg_spec.op != AggOp::kLast) return true;
  if (s[2] != kTagString) return true;
  return is_valid_utf8(pools.strings.get(static_cast<std::uint32_t>(s[3])));
}

void extract_numbers(FieldColumn& column) {
  if (column.numbers_done) return;
  const std::size_t n = column.cells.size();
  column.values.resize(n);
  column.numeric.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Cell* c = column.cells[i];
    double v = 0.0;
    column.numeric[i] = c != nullptr && number_of(CellView::of(*c), v);
    column.values[i] = v;
  }
  column.numbers_done = true;
}

void update_states(const AggLayout::Item& item, std::uint64_t* base, std::size_t stride,
                   const std::uint32_t* slots, std::size_t n, const FieldColumn* column,
                   const std::int64_t* times, std::uint64_t first_seq, AggPools& pools) {
  if (item.shared) return;
  std::uint64_t* const b = base + item.offset;
  const AggOp op = item.agg_spec.op;
  if (op == AggOp::kCount && column == nullptr) {
    for (std::size_t i = 0; i < n; ++i) b[slots[i] * stride] += 1;
    return;
  }
  const std::uint8_t* present = column->present.data();
  if (has_var_state(op)) {
    // A state of variable size takes each present value; one that takes
    // numbers only skips the others itself.
    for (std::size_t i = 0; i < n; ++i) {
      if (present[i]) pools.vars.get(static_cast<std::uint32_t>(b[slots[i] * stride])).add(column->view(i));
    }
    return;
  }
  switch (op) {
    case AggOp::kCount:
      for (std::size_t i = 0; i < n; ++i) b[slots[i] * stride] += present[i];
      return;
    case AggOp::kFirst:
    case AggOp::kLast:
      for (std::size_t i = 0; i < n; ++i) {
        if (!present[i]) continue;
        std::uint64_t* s = b + slots[i] * stride;
        const std::uint64_t seq = first_seq + i;
        const bool wins = s[2] == kNone || (op == AggOp::kFirst ? earlier(times[i], seq, s)
                                                                : later(times[i], seq, s));
        if (!wins) continue;
        s[0] = static_cast<std::uint64_t>(times[i]);
        s[1] = seq;
        set_tagged(s, column->view(i), pools);
      }
      return;
    default: break;
  }
  const double* v = column->values.data();
  const std::uint8_t* ok = column->numeric.data();
  switch (op) {
    case AggOp::kSum:
    case AggOp::kMean:
      for (std::size_t i = 0; i < n; ++i) {
        if (!ok[i]) continue;
        std::uint64_t* s = b + slots[i] * stride;
        s[0] = as_word(as_double(s[0]) + v[i]);
        s[1] += 1;
      }
      return;
    case AggOp::kMin:
      for (std::size_t i = 0; i < n; ++i) {
        if (ok[i]) fold_min(b[slots[i] * stride], v[i]);
      }
      return;
    case AggOp::kMax:
      for (std::size_t i = 0; i < n; ++i) {
        if (ok[i]) fold_max(b[slots[i] * stride], v[i]);
      }
      return;
    case AggOp::kVar:
    case AggOp::kStddev:
      for (std::size_t i = 0; i < n; ++i) {
        if (!ok[i]) continue;
        std::uint64_t* s = b + slots[i] * stride;
        const double count = as_double(s[0]) + 1.0;
        const double mean = as_double(s[1]);
        const double delta = v[i] - mean;
        const double next = mean + delta / count;
        s[0] = as_word(count);
        s[1] = as_word(next);
        s[2] = as_word(as_double(s[2]) + delta * (v[i] - next));
      }
      return;
    default: return;
  }
}

}  // namespace movra
