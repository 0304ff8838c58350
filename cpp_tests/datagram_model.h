// A plain model of the datagram format, written for clarity, not speed:
// substrings, a std::map, and the C library's strtoll and strtod read every
// number.  The tests and the fuzzer hold parse_json_datagram to it.
#ifndef MOVRA_CPP_TESTS_DATAGRAM_MODEL_H_
#define MOVRA_CPP_TESTS_DATAGRAM_MODEL_H_

#include <locale.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/cell.h"
#include "model/json_datagram.h"

namespace movra_model {

using Columns = std::map<std::string, movra::Cell>;

inline bool trim_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline std::string_view trim(std::string_view s) {
  while (!s.empty() && trim_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && trim_space(s.back())) s.remove_suffix(1);
  return s;
}

inline bool is_hex4(std::string_view s) {
  if (s.size() < 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if (std::strchr("0123456789abcdefABCDEF", s[i]) == nullptr || s[i] == '\0') return false;
  }
  return true;
}

inline unsigned long hex_value(std::string_view s) { return std::stoul(std::string(s.substr(0, 4)), nullptr, 16); }

inline void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
    return;
  }
  // Continuation bytes from the last up, then the lead byte.
  std::string tail;
  unsigned long lead_room = 0x3F;  // bits that still fit in the lead byte
  unsigned long lead_mark = 0x80;
  while (cp > lead_room) {
    tail.insert(tail.begin(), static_cast<char>(0x80 | (cp & 0x3F)));
    cp >>= 6;
    lead_room >>= 1;
    lead_mark = (lead_mark >> 1) | 0x80;
  }
  out += static_cast<char>(lead_mark | cp);
  out += tail;
}

// The inside of a quoted string with JSON's escapes decoded, or nothing when
// it holds a lone surrogate.  A backslash before a byte that JSON gives no
// meaning there (or before a u without four hex digits) makes it literal.
inline std::optional<std::string> decode(std::string_view s) {
  const std::map<char, char> simple = {{'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char e = s[++i];
    if (simple.contains(e)) {
      out += simple.at(e);
    } else if (e != 'u' || !is_hex4(s.substr(i + 1))) {
      out += e;
    } else {
      unsigned long cp = hex_value(s.substr(i + 1));
      i += 4;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return std::nullopt;
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        if (s.substr(i + 1, 2) != "\\u" || !is_hex4(s.substr(i + 3))) return std::nullopt;
        const unsigned long low = hex_value(s.substr(i + 3));
        if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
        cp = 0x10000 + (cp - 0xD800) * 0x400 + (low - 0xDC00);
        i += 6;
      }
      append_utf8(out, cp);
    }
  }
  return out;
}

// A quoted string's inside, decoded; any other text unchanged.  Nothing
// when the string holds a lone surrogate.
inline std::optional<std::string> unquote(std::string_view s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
  return decode(s.substr(1, s.size() - 2));
}

// Position of the first unescaped quote at or after from, or npos.
inline std::size_t closing_quote(std::string_view t, std::size_t from) {
  for (std::size_t i = from; i < t.size(); ++i) {
    if (t[i] == '\\') {
      ++i;
    } else if (t[i] == '"') {
      return i;
    }
  }
  return std::string_view::npos;
}

inline std::size_t comma_or_brace(std::string_view t, std::size_t from) {
  const std::size_t at = t.find_first_of(",}", from);
  return at == std::string_view::npos ? t.size() : at;
}

inline std::optional<movra::Cell> convert(std::string_view text) {
  if (text == "null") return movra::Null{};
  if (text == "true") return true;
  if (text == "false") return false;
  if (!text.empty() && text.front() == '"') {
    auto s = unquote(text);
    if (!s) return std::nullopt;
    return movra::Cell(std::move(*s));
  }
  const std::string z(text);
  char* end = nullptr;
  errno = 0;
  if (text.find_first_of(".eE") != std::string_view::npos) {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const double d = strtod_l(z.c_str(), &end, c);
    if (end == z.c_str() || errno == ERANGE) return movra::Cell(z);
    return d;
  }
  const long long v = std::strtoll(z.c_str(), &end, 10);
  if (end == z.c_str() || errno == ERANGE) return movra::Cell(z);
  return movra::Cell(static_cast<std::int64_t>(v));
}

inline bool member_sep(char c) { return c == ',' || trim_space(c); }

// The columns of each object in the datagram, without the generated
// "timestamp", or nothing when the datagram is rejected.
inline std::optional<std::vector<Columns>> parse(std::string_view input) {
  const std::string_view t = trim(input);
  const std::size_t n = t.size();
  if (n < 2 || t.front() != '{' || t.back() != '}') return std::nullopt;
  std::vector<Columns> rows;
  std::size_t p = 0;
  while (true) {
    if (t[p] != '{') return std::nullopt;
    ++p;
    Columns row;
    while (true) {
      while (p < n && member_sep(t[p])) ++p;
      if (p >= n) break;  // an unterminated string value took the rest
      if (t[p] == '}') {
        ++p;
        break;
      }
      if (t[p] != '"') return std::nullopt;
      const std::size_t q = closing_quote(t, p + 1);
      if (q == std::string_view::npos) return std::nullopt;
      const auto key = unquote(t.substr(p, q - p + 1));
      if (!key) return std::nullopt;
      const std::size_t colon = t.find(':', q + 1);
      if (colon == std::string_view::npos) return std::nullopt;
      std::size_t v = colon + 1;
      while (t[v] != '\0' && std::strchr(" \t\n\v\f\r", t[v]) != nullptr) ++v;
      std::size_t e;
      if (t[v] == '"') {
        const std::size_t close = closing_quote(t, v + 1);
        e = close == std::string_view::npos ? n : close + 1;
      } else {
        e = comma_or_brace(t, v);
      }
      auto cell = convert(trim(t.substr(v, e - v)));
      if (!cell) return std::nullopt;
      row[*key] = std::move(*cell);
      p = comma_or_brace(t, e);
      if (p < n && t[p] == ',') ++p;
    }
    rows.push_back(std::move(row));
    while (p < n && trim_space(t[p])) ++p;
    if (p == n) return rows;
  }
}

// Whether the parser's Row holds exactly the model's columns (doubles
// compared bit for bit), plus an integer "timestamp" when the model has none.
inline bool same_row(const movra::Row& got, const Columns& want) {
  Columns have;
  for (const auto& [name, cell] : got) have[name] = cell;
  if (!want.contains("timestamp")) {
    const auto it = have.find("timestamp");
    if (it == have.end() || it->second.index() != movra::kIntIndex) return false;
    have.erase(it);
  }
  if (have.size() != want.size()) return false;
  for (const auto& [name, cell] : want) {
    const auto it = have.find(name);
    if (it == have.end() || it->second.index() != cell.index()) return false;
    if (const auto* d = std::get_if<double>(&cell)) {
      if (std::memcmp(d, &std::get<double>(it->second), sizeof *d) != 0) return false;
    } else if (!(it->second == cell)) {
      return false;
    }
  }
  return true;
}

// What parse_json_datagram makes of text, appended after a Row already in
// the output: the Rows, or nothing when it rejects the datagram and leaves
// that Row alone.  A parser that touches the Row before it, or that rejects
// but leaves Rows behind, gives an empty Row list first (never a result).
inline std::optional<std::vector<movra::Row>> parse_with_parser(std::string_view text) {
  std::vector<movra::Row> out(1);
  out[0].set(std::string_view("before"), movra::Cell(std::int64_t{1}));
  const bool ok = movra::parse_json_datagram(text, out);
  if (out.empty() || out[0].size() != 1 || !out[0].contains("before")) return std::vector<movra::Row>{};
  if (!ok) {
    if (out.size() != 1) return std::vector<movra::Row>{};
    return std::nullopt;
  }
  out.erase(out.begin());
  return out;
}

// Whether the parser and the model agree on text: both reject it, or both
// read the same objects in the same order.
inline bool same(std::string_view text) {
  const auto got = parse_with_parser(text);
  const auto want = parse(text);
  if (got.has_value() != want.has_value()) return false;
  if (!got) return true;
  if (got->size() != want->size()) return false;
  for (std::size_t i = 0; i < got->size(); ++i) {
    if (!same_row((*got)[i], (*want)[i])) return false;
  }
  return true;
}

}  // namespace movra_model

#endif  // MOVRA_CPP_TESTS_DATAGRAM_MODEL_H_
