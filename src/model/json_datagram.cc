// Datagram format, as accepted.
//
//   datagram := ws* object (ws* object)* ws*             ws  := SP HT LF CR
//   object   := "{" (sep* member)* sep* "}"
//   sep      := "," | ws
//   member   := key junk* ":" space* value junk*
//   key      := '"' (ESC | any byte but '"')* '"'       ESC := "\" any byte
//   value    := '"' ...  '"'  |  bytes up to the next "," or "}"
//
// Each object is one Row, in datagram order.  The datagram is taken whole or
// not at all: when any object in it is rejected, none of its Rows is kept.
//
// Bytes between a key and its colon, and after a quoted value up to the next
// "," or "}", are skipped.  A quoted value without its closing quote runs to
// the end of the datagram, final "}" included, and is kept raw.  A repeated
// key replaces the earlier value.
//
// Value text (trimmed), tests in order:
//   null / true / false            -> Null / bool            (case-sensitive)
//   starts with '"'                -> string, quotes removed, escapes decoded
//   contains '.', 'e' or 'E'       -> double via strtod (C locale); on no
//                                     number or ERANGE, the text as string
//   anything else                  -> int64, base 10, longest prefix; on no
//                                     digits or overflow, the text as string
//
// Escapes in keys and quoted values are JSON's: \" \\ \/ \b \f \n \r \t and
// \uXXXX (UTF-16; a surrogate pair gives one code point, written as UTF-8).
// A lone surrogate rejects the datagram, as bytes that are not UTF-8 do.  A
// backslash before any other byte, or before a u without four hex digits,
// makes that byte literal.
#include "model/json_datagram.h"

#include "model/event_chunk.h"

#include <locale.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace movra {

namespace {

// The scan's small helpers are called from several places in one loop;
// inlined, they keep their state in registers.
#define MOVRA_INLINE [[gnu::always_inline]] inline

// Byte classes, one table lookup per byte in the scalar loops.
enum : std::uint8_t {
  kTrimSpace = 1,     // SP HT LF CR: trimmed around the object and a value
  kCSpace = 2,        // SP HT LF VT FF CR: skipped after a colon
  kCommaOrBrace = 4,  // ends an unquoted value
  kFloating = 8,      // '.', 'e', 'E': the value is read as a double
  kMemberSep = 16,    // ',' SP HT LF CR: skipped before and between members
};

constexpr std::array<std::uint8_t, 256> kClass = [] {
  std::array<std::uint8_t, 256> c{};
  for (unsigned char b : {' ', '\t', '\n', '\r'}) c[b] |= kTrimSpace;
  for (unsigned char b : {' ', '\t', '\n', '\v', '\f', '\r'}) c[b] |= kCSpace;
  for (unsigned char b : {',', '}'}) c[b] |= kCommaOrBrace;
  for (unsigned char b : {'.', 'e', 'E'}) c[b] |= kFloating;
  for (unsigned char b : {',', ' ', '\t', '\n', '\r'}) c[b] |= kMemberSep;
  return c;
}();

std::uint8_t class_of(char c) { return kClass[static_cast<unsigned char>(c)]; }

std::string_view trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && (class_of(s[b]) & kTrimSpace)) ++b;
  while (e > b && (class_of(s[e - 1]) & kTrimSpace)) --e;
  return s.substr(b, e - b);
}

#if defined(__SSE2__)
// Bit i is set when byte i of the 16 at p is one of the given bytes.
template <char... Bytes>
unsigned match16(const char* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i hit = _mm_setzero_si128();
  ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(x, _mm_set1_epi8(Bytes)))), ...);
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

// The UTF-16 code unit written by the four hex digits at s[i], or -1 when
// there are not four hex digits there.
long hex4(std::string_view s, std::size_t i) {
  if (s.size() < i + 4) return -1;
  long v = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    const char c = s[k];
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else {
      return -1;
    }
    v = v * 16 + d;
  }
  return v;
}

bool is_high_surrogate(long u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(long u) { return u >= 0xDC00 && u <= 0xDFFF; }

void append_utf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Appends the inside of a quoted string (the bytes between its quotes) with
// its escapes decoded, by the rules at the top of this file.  Returns false,
// having appended part of it, when it holds a lone surrogate.  Never appends
// more bytes than inner holds.
bool append_decoded(std::string& out, std::string_view inner) {
  const std::size_t n = inner.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = inner[i];
    if (c != '\\' || i + 1 == n) {
      out.push_back(c);
      continue;
    }
    const char e = inner[++i];
    switch (e) {
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        const long u = hex4(inner, i + 1);
        if (u < 0) {  // not an escape JSON defines: the u is literal
          out.push_back('u');
          break;
        }
        i += 4;
        std::uint32_t cp = static_cast<std::uint32_t>(u);
        if (is_high_surrogate(u)) {
          const long low = i + 2 < n && inner[i + 1] == '\\' && inner[i + 2] == 'u' ? hex4(inner, i + 3) : -1;
          if (!is_low_surrogate(low)) return false;
          cp = 0x10000 + ((static_cast<std::uint32_t>(u) - 0xD800) << 10) + (static_cast<std::uint32_t>(low) - 0xDC00);
          i += 6;
        } else if (is_low_surrogate(u)) {
          return false;
        }
        append_utf8(out, cp);
        break;
      }
      default:  // '"', '\\', '/', and any byte JSON gives no meaning after a backslash
        out.push_back(e);
        break;
    }
  }
  return true;
}

// Position of the closing quote of a string whose opening quote is just
// before from, or npos when the text ends first; sets escaped when the
// string holds a backslash.
MOVRA_INLINE std::size_t find_closing_quote(std::string_view t, std::size_t from, bool& escaped) {
  const char* s = t.data();
  const std::size_t n = t.size();
  std::size_t i = from;
#if defined(__SSE2__)
  while (i + 16 <= n) {
    const unsigned m = match16<'"', '\\'>(s + i);
    if (m == 0) {
      i += 16;
      continue;
    }
    i += static_cast<std::size_t>(std::countr_zero(m));
    if (s[i] == '"') return i;
    escaped = true;
    i += 2;
  }
#endif
  while (i < n) {
    const char c = s[i];
    if (c == '"') return i;
    if (c == '\\') {
      escaped = true;
      i += 2;
      continue;
    }
    ++i;
  }
  return std::string_view::npos;
}

MOVRA_INLINE std::size_t find_comma_or_brace(std::string_view t, std::size_t from) {
  std::size_t i = from;
  while (i < t.size() && !(class_of(t[i]) & kCommaOrBrace)) ++i;
  return i;
}

// The end of an unquoted value starting at from: the first comma or brace at
// or after it, or the end of t; sets floating when a '.', 'e' or 'E' comes
// before that end.
MOVRA_INLINE std::size_t find_value_end(std::string_view t, std::size_t from, bool& floating) {
  const char* s = t.data();
  const std::size_t n = t.size();
  std::size_t i = from;
#if defined(__SSE2__)
  while (i + 16 <= n) {
    const unsigned end = match16<',', '}'>(s + i);
    const unsigned dots = match16<'.', 'e', 'E'>(s + i);
    if (end != 0) {
      const int k = std::countr_zero(end);
      floating = floating || (dots & ((1u << k) - 1)) != 0;
      return i + static_cast<std::size_t>(k);
    }
    floating = floating || dots != 0;
    i += 16;
  }
#endif
  std::uint8_t seen = 0;
  while (i < n) {
    const std::uint8_t c = class_of(s[i]);
    if (c & kCommaOrBrace) break;
    seen |= c;
    ++i;
  }
  floating = floating || (seen & kFloating) != 0;
  return i;
}

locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

MOVRA_INLINE std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Whether the 8 bytes of v (as loaded from memory, little-endian) are all
// ASCII digits.
bool eight_digits(std::uint64_t v) {
  return ((v & 0xF0F0F0F0F0F0F0F0ull) | (((v + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) >> 4)) ==
         0x3333333333333333ull;
}

// The number written by 8 ASCII digits (loaded little-endian), the first
// byte the most significant digit.
std::uint64_t value_of_eight_digits(std::uint64_t v) {
  v -= 0x3030303030303030ull;
  v = (v * 10) + (v >> 8);
  return (((v & 0x000000FF000000FFull) * (100 + (1000000ull << 32))) +
          (((v >> 16) & 0x000000FF000000FFull) * (1 + (10000ull << 32)))) >> 32;
}

// Reads at most max_digits decimal digits from text[i] on into magnitude
// (times ten plus the digit, for each), and returns the position after the
// last digit read.  REQUIRES: the caller bounds the digits so that
// magnitude cannot overflow.
MOVRA_INLINE std::size_t read_digits(std::string_view text, std::size_t i, std::size_t max_digits,
                                     std::uint64_t& magnitude) {
  const char* p = text.data() + i;
  const char* stop = text.data() + std::min(text.size(), i + max_digits);
  std::uint64_t value = magnitude;
  if constexpr (kLittleEndian) {
    while (stop - p >= 8) {
      const std::uint64_t word = load8(p);
      if (!eight_digits(word)) break;
      value = value * 100000000 + value_of_eight_digits(word);
      p += 8;
    }
  }
  while (p < stop) {
    const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (digit > 9) break;
    value = value * 10 + digit;
    ++p;
  }
  magnitude = value;
  return static_cast<std::size_t>(p - text.data());
}

// The common decimal form [+-]digits[.digits] (no exponent).  With at most
// 19 digits whose value is below 2^53 and at most 22 of them after the
// point, the value is that integer divided by a power of ten, both exact
// as doubles, so the one rounding of the division gives the correctly
// rounded result, as strtod does.  Other plain decimals go to from_chars,
// which also rounds correctly; anything else (an exponent, hex, inf, nan,
// a very long mantissa) is left to strtod.
std::optional<double> read_plain_decimal(std::string_view text) {
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t body = i;
  std::uint64_t mantissa = 0;
  i = read_digits(text, i, 19, mantissa);
  std::size_t digits = i - body;
  std::size_t fraction = 0;
  bool exact = true;
  if (i < text.size() && is_digit(text[i])) {  // more than 19 integer digits
    exact = false;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    const std::size_t start = i;
    if (exact) i = read_digits(text, i, 19 - digits, mantissa);
    fraction = i - start;
    if (i < text.size() && is_digit(text[i])) exact = false;
    while (i < text.size() && is_digit(text[i])) ++i;
    digits += i - start;
  }
  if (digits == 0 || i > 300) return std::nullopt;
  if (i < text.size()) {
    const char next = text[i];
    if (next == 'e' || next == 'E' || next == 'x' || next == 'X') return std::nullopt;
  }
  double v = 0.0;
  if (exact && mantissa <= (std::uint64_t{1} << 53) && fraction <= 22) {
    v = static_cast<double>(mantissa) / kPowersOfTen[fraction];
  } else {
    auto res = std::from_chars(text.data() + body, text.data() + i, v);
    if (res.ec != std::errc() || res.ptr != text.data() + i) return std::nullopt;
  }
  return text[0] == '-' ? -v : v;
}

std::optional<double> read_double(std::string_view text) {
  if (auto v = read_plain_decimal(text)) return v;
  char small[128];
  std::string large;
  const char* start;
  if (text.size() < sizeof small) {
    text.copy(small, text.size());
    small[text.size()] = '\0';
    start = small;
  } else {
    large.assign(text);
    start = large.c_str();
  }
  char* end = nullptr;
  errno = 0;
  const double v = strtod_l(start, &end, c_locale());
  if (end == start || errno == ERANGE) return std::nullopt;
  return v;
}

// strtoll(text, base 10) on text that starts with no blank: an optional
// sign, then the longest run of digits; fails on no digits or overflow.
std::optional<std::int64_t> read_int(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t first_digit = i;
  std::uint64_t magnitude = 0;
  // Up to 18 digits cannot overflow; only longer runs need the check.
  i = read_digits(text, i, 18, magnitude);
  if (i == first_digit) return std::nullopt;
  const std::uint64_t limit = negative ? (1ull << 63) : (1ull << 63) - 1;
  while (i < text.size() && is_digit(text[i])) {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
    ++i;
  }
  if (negative) return static_cast<std::int64_t>(0 - magnitude);
  return static_cast<std::int64_t>(magnitude);
}

// A view of bytes that, unlike std::string_view, is left unset when made,
// so that the members on the stack cost nothing until they are filled in.
struct Bytes {
  const char* data;
  std::size_t size;
  Bytes() = default;
  Bytes(std::string_view v) : data(v.data()), size(v.size()) {}
  operator std::string_view() const { return {data, size}; }
};

// One member as scanned, before it becomes a Row entry: views into the
// datagram (an escaped key or string points into the parse's arena instead,
// decoded), and the value already read as a scalar where it is one.  Plain
// data, filled in by the scan (no member is read before it is written).
struct Member {
  enum Kind : std::uint8_t { kNull, kBool, kInt, kDouble, kText, kQuoted };
  Bytes key;
  std::uint64_t key_prefix;  // the key's first 8 bytes, big-endian, zero-padded
  Bytes text;                // kText: the value text; kQuoted: inside the quotes, decoded
  union {
    bool flag;  // kBool
    std::int64_t integer;
    double number;
  };
  Kind kind;

  // Key order as std::string_view orders keys: the prefixes decide unless
  // they are equal.
  bool key_less(const Member& o) const {
    if (key_prefix != o.key_prefix) return key_prefix < o.key_prefix;
    return std::string_view(key) < std::string_view(o.key);
  }
  bool same_key(const Member& o) const {
    return key_prefix == o.key_prefix && std::string_view(key) == std::string_view(o.key);
  }
};

// The first 8 bytes of key as a big-endian number, zero-padded: numbers
// compare as the keys' first 8 bytes do.  REQUIRES: 8 bytes are readable at
// key.data() when readable is true.
MOVRA_INLINE std::uint64_t prefix_of(std::string_view key, bool readable) {
  // The bytes of a prefix of 0 to 8 bytes, as a mask over the number.
  static constexpr std::uint64_t kMask[9] = {0,
                                             0xFF00000000000000ull,
                                             0xFFFF000000000000ull,
                                             0xFFFFFF0000000000ull,
                                             0xFFFFFFFF00000000ull,
                                             0xFFFFFFFFFF000000ull,
                                             0xFFFFFFFFFFFF0000ull,
                                             0xFFFFFFFFFFFFFF00ull,
                                             0xFFFFFFFFFFFFFFFFull};
  const std::size_t size = std::min<std::size_t>(key.size(), 8);
  std::uint64_t v = 0;
  if (readable) {
    std::memcpy(&v, key.data(), 8);
  } else {
    std::memcpy(&v, key.data(), size);
  }
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v & kMask[size];
}

void append_entry(std::vector<Row::Entry>& out, const Member& m) {
  const std::string_view key = m.key;
  const auto name = std::forward_as_tuple(key);
  switch (m.kind) {
    case Member::kNull:
      out.emplace_back(std::piecewise_construct, name, std::forward_as_tuple(std::in_place_index<kNullIndex>));
      return;
    case Member::kBool:
      out.emplace_back(std::piecewise_construct, name, std::forward_as_tuple(std::in_place_index<kBoolIndex>, m.flag));
      return;
    case Member::kInt:
      out.emplace_back(std::piecewise_construct, name, std::forward_as_tuple(std::in_place_index<kIntIndex>, m.integer));
      return;
    case Member::kDouble:
      out.emplace_back(std::piecewise_construct, name, std::forward_as_tuple(std::in_place_index<kDoubleIndex>, m.number));
      return;
    case Member::kQuoted:
    case Member::kText:
      out.emplace_back(std::piecewise_construct, name,
                       std::forward_as_tuple(std::in_place_index<kStringIndex>, std::string_view(m.text)));
      return;
  }
}

// The unquoted value text (trimmed, not starting with a quote), converted
// by the tests of the table at the top of this file.  floating: the text
// holds '.', 'e' or 'E'.
void read_unquoted(std::string_view text, bool floating, Member& m) {
  m.text = text;
  const char first = text.empty() ? '\0' : text[0];
  if ((first == 'n' || first == 't' || first == 'f') && (text == "null" || text == "true" || text == "false")) {
    m.kind = first == 'n' ? Member::kNull : Member::kBool;
    m.flag = first == 't';
  } else if (floating) {
    const auto d = read_double(text);
    m.kind = d ? Member::kDouble : Member::kText;
    if (d) m.number = *d;
  } else {
    const auto i = read_int(text);
    m.kind = i ? Member::kInt : Member::kText;
    if (i) m.integer = *i;
  }
}

// The members of one datagram: a few live on the stack, more spill to the
// heap.  Members hold only views and scalars, so they copy freely.
class MemberList {
 public:
  // A new member at the end, for the scan to fill in.
  Member& add() {
    if (size_ < kInline) return inline_[size_++];
    if (size_ == kInline) spill_.assign(inline_, inline_ + kInline);
    ++size_;
    return spill_.emplace_back();
  }
  Member* data() { return size_ <= kInline ? inline_ : spill_.data(); }
  std::size_t size() const { return size_; }
  void clear() {
    size_ = 0;
    spill_.clear();
  }

 private:
  static constexpr std::size_t kInline = 16;
  Member inline_[kInline];
  std::vector<Member> spill_;
  std::size_t size_ = 0;
};

// Puts into order the positions of the members sorted by key, members with
// the same key in datagram order (so that the last of them is the one that
// counts); returns whether no two members share a key prefix (and so no two
// share a key).
bool sort_by_key(const Member* m, std::uint32_t* order, std::size_t n) {
  if (n <= 16) {
    // Each member's place is the number of members whose prefix is smaller:
    // no branch that depends on the keys.  The places are all different
    // exactly when the prefixes are.
    std::uint64_t prefix[16];
    for (std::size_t i = 0; i < n; ++i) prefix[i] = m[i].key_prefix;
    std::uint32_t taken = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t place = 0;
      for (std::size_t j = 0; j < n; ++j) place += prefix[j] < prefix[i];
      order[place] = static_cast<std::uint32_t>(i);
      taken |= std::uint32_t{1} << place;
    }
    if (std::popcount(taken) == static_cast<int>(n)) return true;
  }
  for (std::uint32_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order, order + n,
                   [m](std::uint32_t a, std::uint32_t b) { return m[a].key_less(m[b]); });
  return false;
}

constexpr std::string_view kTimestamp = "timestamp";
constexpr std::uint64_t kTimestampPrefix = 0x74696D657374616Dull;  // "timestam"

// The Row of the scanned members: sorted by key, the last of a repeated key
// kept, "timestamp" stamped with the clock when no member carries it.
Row build_row(MemberList& list) {
  const Member* m = list.data();
  const std::size_t n = list.size();
  std::uint32_t inline_order[16];
  std::vector<std::uint32_t> spilled_order;
  std::uint32_t* order = inline_order;
  if (n > 16) {
    spilled_order.resize(n);
    order = spilled_order.data();
  }
  std::size_t unique = n;
  if (!sort_by_key(m, order, n)) {
    // Keep the positions of the members that count: the last of each key.
    unique = 0;
    for (std::size_t k = 0; k < n; ++k) {
      if (k + 1 < n && m[order[k + 1]].same_key(m[order[k]])) continue;
      order[unique++] = order[k];
    }
  }
  bool has_timestamp = false;
  for (std::size_t k = 0; k < unique; ++k) {
    const Member& x = m[order[k]];
    has_timestamp = has_timestamp || (x.key_prefix == kTimestampPrefix && std::string_view(x.key) == kTimestamp);
  }
  std::vector<Row::Entry> entries;
  entries.reserve(unique + (has_timestamp ? 0 : 1));
  bool stamp_pending = !has_timestamp;
  for (std::size_t k = 0; k < unique; ++k) {
    const Member& x = m[order[k]];
    if (stamp_pending && kTimestamp < std::string_view(x.key)) {
      entries.emplace_back(std::string(kTimestamp), now_millis());
      stamp_pending = false;
    }
    append_entry(entries, x);
  }
  if (stamp_pending) entries.emplace_back(std::string(kTimestamp), now_millis());
  return Row::FromSorted(std::move(entries));
}

// Where decoded strings go: sized once, on the first escape, to the whole
// datagram (decoding never lengthens a string, and the strings of a datagram
// do not overlap), so that views into it stay valid for the whole parse.
class Arena {
 public:
  explicit Arena(std::size_t datagram_size) : size_(datagram_size) {}

  // inner decoded, as a view into the arena; nothing on a lone surrogate.
  std::optional<std::string_view> decode(std::string_view inner) {
    if (text_.capacity() < size_) text_.reserve(size_);
    const std::size_t at = text_.size();
    if (!append_decoded(text_, inner)) return std::nullopt;
    return std::string_view(text_).substr(at);
  }

 private:
  std::size_t size_;
  std::string text_;
};

constexpr std::size_t kRejected = std::string_view::npos;

// Scans one object of the trimmed datagram t, whose "{" is just before p,
// into members.  Returns the position just past the object's closing "}"
// (t.size() when an unterminated string value ran to the end), or kRejected.
// REQUIRES: t ends with "}".
MOVRA_INLINE std::size_t scan_object(std::string_view t, std::size_t p, MemberList& members, Arena& arena) {
  const std::size_t n = t.size();
  while (true) {
    while (p < n && (class_of(t[p]) & kMemberSep)) ++p;
    if (p >= n) return n;
    if (t[p] == '}') return p + 1;
    if (t[p] != '"') [[unlikely]] return kRejected;
    bool key_escaped = false;
    const std::size_t q = find_closing_quote(t, p + 1, key_escaped);
    if (q == std::string_view::npos) [[unlikely]] return kRejected;
    Member& m = members.add();
    m.key = std::string_view(t.data() + p + 1, q - p - 1);
    if (key_escaped) [[unlikely]] {
      const auto key = arena.decode(m.key);
      if (!key) return kRejected;
      m.key = *key;
    }
    m.key_prefix = prefix_of(m.key, !key_escaped && p + 9 <= n);
    std::size_t colon = q + 1;
    if (colon >= n || t[colon] != ':') [[unlikely]] {
      colon = t.find(':', q + 1);
      if (colon == std::string_view::npos) return kRejected;
    }
    std::size_t v = colon + 1;
    while (class_of(t[v]) & kCSpace) ++v;  // stops at the final '}' at the latest
    if (t[v] == '"') {
      bool escaped = false;
      const std::size_t close = find_closing_quote(t, v + 1, escaped);
      std::size_t e;
      if (close == std::string_view::npos) [[unlikely]] {
        // Unterminated: the raw text to the end, final '}' included.
        e = n;
        m.kind = Member::kText;
        m.text = std::string_view(t.data() + v, n - v);
      } else {
        e = close + 1;
        m.kind = Member::kQuoted;
        m.text = std::string_view(t.data() + v + 1, close - v - 1);
        if (escaped) {
          const auto text = arena.decode(m.text);
          if (!text) return kRejected;
          m.text = *text;
        }
      }
      p = find_comma_or_brace(t, e);
    } else {
      bool floating = false;
      const std::size_t e = find_value_end(t, v, floating);
      std::size_t end = e;
      while (end > v && (class_of(t[end - 1]) & kTrimSpace)) --end;
      read_unquoted(std::string_view(t.data() + v, end - v), floating, m);
      p = e;
    }
    if (p < n && t[p] == ',') ++p;
  }
}

// The members of one object as one event of a chunk, in datagram order: a
// repeated key replaces the earlier value, and end_event stamps the time
// when no member carries it, as build_row does.
void append_members(MemberList& list, EventChunk& out) {
  const Member* m = list.data();
  out.begin_event();
  for (std::size_t k = 0; k < list.size(); ++k) {
    const Member& x = m[k];
    const std::size_t col = out.column_index(x.key);
    switch (x.kind) {
      case Member::kNull:
        out.set_null(col);
        break;
      case Member::kBool:
        out.set_bool(col, x.flag);
        break;
      case Member::kInt:
        out.set_int(col, x.integer);
        break;
      case Member::kDouble:
        out.set_double(col, x.number);
        break;
      case Member::kQuoted:
      case Member::kText:
        out.set_string(col, x.text);
        break;
    }
  }
  out.end_event();
}

// Where the objects of a datagram go: Rows, or the events of a chunk.
struct RowSink {
  std::vector<Row>& out;
  std::size_t mark() const { return out.size(); }
  void add(MemberList& members) { out.push_back(build_row(members)); }
  void roll_back(std::size_t to) { out.erase(out.begin() + static_cast<std::ptrdiff_t>(to), out.end()); }
};

struct ChunkSink {
  EventChunk& out;
  std::size_t mark() const { return out.size(); }
  void add(MemberList& members) { append_members(members, out); }
  void roll_back(std::size_t to) { out.truncate(to); }
};

template <typename Sink>
bool parse_into(std::string_view input, Sink sink) noexcept {
  const std::size_t first = sink.mark();
  try {
    const std::string_view t = trim(input);
    const std::size_t n = t.size();
    if (n < 2 || t.front() != '{' || t.back() != '}') return false;
    MemberList members;
    Arena arena(n);
    std::size_t p = 0;  // at an object's "{"
    while (true) {
      members.clear();
      const std::size_t end = scan_object(t, p + 1, members, arena);
      if (end == kRejected) [[unlikely]] break;
      sink.add(members);
      p = end;
      while (p < n && (class_of(t[p]) & kTrimSpace)) ++p;
      if (p == n) return true;
      if (t[p] != '{') break;
    }
  } catch (...) {
    // Only allocation can fail here; a datagram we cannot hold is dropped.
  }
  try {
    sink.roll_back(first);
  } catch (...) {
    // Shrinking does not allocate.
  }
  return false;
}

}  // namespace

bool parse_json_datagram(std::string_view input, std::vector<Row>& out) noexcept {
  return parse_into(input, RowSink{out});
}

bool parse_json_datagram(std::string_view input, EventChunk& out) noexcept {
  return parse_into(input, ChunkSink{out});
}

std::optional<Row> parse_flat_json_object(std::string_view input) noexcept {
  try {
    std::vector<Row> rows;
    if (!parse_json_datagram(input, rows) || rows.size() != 1) return std::nullopt;
    return std::move(rows.front());
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace movra
