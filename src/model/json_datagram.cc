// Datagram format, as accepted.
//
//   datagram := ws* "{" (sep* member)* sep* "}" ws*     ws  := SP HT LF CR
//   sep      := "," | SP                                (no HT, LF or CR)
//   member   := key junk* ":" space* value junk*
//   key      := '"' (ESC | any byte but '"')* '"'       ESC := "\" any byte
//   value    := '"' ...  '"'  |  bytes up to the next "," or "}"
//
// Bytes between a key and its colon, and after a quoted value up to the next
// "," or "}", are skipped.  A quoted value without its closing quote runs to
// the end of the object, final "}" included.  A repeated key replaces the
// earlier value.
//
// Value text (trimmed), tests in order:
//   null / true / false            -> Null / bool            (case-sensitive)
//   starts with '"'                -> string, quotes and escapes removed
//   contains '.', 'e' or 'E'       -> double via strtod (C locale); on no
//                                     number or ERANGE, the text as string
//   anything else                  -> int64, base 10, longest prefix; on no
//                                     digits or overflow, the text as string
//
// An escape makes the next byte literal: no escape letter has a meaning.
#include "model/json_datagram.h"

#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace movra {

namespace {

bool is_trim_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && is_trim_space(s[b])) ++b;
  while (e > b && is_trim_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

std::string unquote(std::string_view s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
  std::string_view inner = s.substr(1, s.size() - 2);
  if (inner.find('\\') == std::string_view::npos) return std::string(inner);
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\' && i + 1 < inner.size()) ++i;
    out.push_back(inner[i]);
  }
  return out;
}

// Position of the closing quote of a string whose opening quote is just
// before from, or npos when the text ends first.
std::size_t find_closing_quote(std::string_view t, std::size_t from) {
  std::size_t i = from;
  while (i < t.size()) {
    if (t[i] == '\\') {
      i += 2;
      continue;
    }
    if (t[i] == '"') return i;
    ++i;
  }
  return std::string_view::npos;
}

std::size_t find_comma_or_brace(std::string_view t, std::size_t from) {
  for (std::size_t i = from; i < t.size(); ++i) {
    if (t[i] == ',' || t[i] == '}') return i;
  }
  return t.size();
}

locale_t c_locale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The common decimal form [+-]digits[.digits] (no exponent), read with
// from_chars, which rounds exactly as strtod does.  Anything else (an
// exponent, hex, inf, nan, a very long mantissa) is left to strtod.
std::optional<double> read_plain_decimal(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  const std::size_t body = i;
  std::size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0 || i > 300) return std::nullopt;
  if (i < text.size()) {
    const char next = text[i];
    if (next == 'e' || next == 'E' || next == 'x' || next == 'X') return std::nullopt;
  }
  double v = 0.0;
  auto res = std::from_chars(text.data() + body, text.data() + i, v);
  if (res.ec != std::errc() || res.ptr != text.data() + i) return std::nullopt;
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
  const std::uint64_t limit = negative ? (1ull << 63) : (1ull << 63) - 1;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
    ++i;
  }
  if (i == first_digit) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(0 - magnitude);
  return static_cast<std::int64_t>(magnitude);
}

Cell convert_value(std::string_view text) {
  if (text == "null") return Null{};
  if (text == "true") return true;
  if (text == "false") return false;
  if (!text.empty() && text.front() == '"') return unquote(text);
  bool floating = false;
  for (char c : text) {
    if (c == '.' || c == 'e' || c == 'E') {
      floating = true;
      break;
    }
  }
  if (floating) {
    if (auto d = read_double(text)) return *d;
    return std::string(text);
  }
  if (auto i = read_int(text)) return *i;
  return std::string(text);
}

}  // namespace

std::optional<Row> parse_flat_json_object(std::string_view input) noexcept {
  try {
    const std::string_view t = trim(input);
    const std::size_t n = t.size();
    if (n < 2 || t.front() != '{' || t.back() != '}') return std::nullopt;
    std::vector<Row::Entry> members;
    members.reserve(8);
    std::size_t p = 1;
    while (true) {
      if (p + 1 >= n) break;
      while (p < n && (t[p] == ',' || t[p] == ' ')) ++p;
      if (p >= n - 1) break;
      if (t[p] != '"') [[unlikely]] return std::nullopt;
      const std::size_t q = find_closing_quote(t, p + 1);
      if (q == std::string_view::npos) [[unlikely]] return std::nullopt;
      std::string key = unquote(t.substr(p, q - p + 1));
      const std::size_t colon = t.find(':', q + 1);
      if (colon == std::string_view::npos) [[unlikely]] return std::nullopt;
      std::size_t v = colon + 1;
      while (v < n && is_c_space(t[v])) ++v;
      std::size_t e;
      if (v < n && t[v] == '"') {
        const std::size_t close = find_closing_quote(t, v + 1);
        e = close == std::string_view::npos ? n : close + 1;
      } else {
        e = find_comma_or_brace(t, v);
      }
      members.emplace_back(std::move(key), convert_value(trim(t.substr(v, e - v))));
      p = find_comma_or_brace(t, e);
      if (p < n && t[p] == ',') ++p;
    }
    Row row = Row::FromUnsorted(std::move(members));
    if (!row.contains("timestamp")) row.set(std::string_view("timestamp"), now_millis());
    return row;
  } catch (...) {
    // Only allocation can fail here; a datagram we cannot hold is dropped.
    return std::nullopt;
  }
}

}  // namespace movra
