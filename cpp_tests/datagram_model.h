// A plain model of the datagram format, written for clarity, not speed:
// substrings, a std::map, and the C library's strtoll and strtod read every
// number.  The tests and the fuzzer hold parse_flat_json_object to it.
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

#include "model/cell.h"

namespace movra_model {

using Columns = std::map<std::string, movra::Cell>;

inline bool trim_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline std::string_view trim(std::string_view s) {
  while (!s.empty() && trim_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && trim_space(s.back())) s.remove_suffix(1);
  return s;
}

inline std::string unquote(std::string_view s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
  std::string out;
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] == '\\' && i + 2 < s.size()) ++i;
    out += s[i];
  }
  return out;
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

inline movra::Cell convert(std::string_view text) {
  if (text == "null") return movra::Null{};
  if (text == "true") return true;
  if (text == "false") return false;
  if (!text.empty() && text.front() == '"') return unquote(text);
  const std::string z(text);
  char* end = nullptr;
  errno = 0;
  if (text.find_first_of(".eE") != std::string_view::npos) {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const double d = strtod_l(z.c_str(), &end, c);
    if (end == z.c_str() || errno == ERANGE) return z;
    return d;
  }
  const long long v = std::strtoll(z.c_str(), &end, 10);
  if (end == z.c_str() || errno == ERANGE) return z;
  return static_cast<std::int64_t>(v);
}

// The columns of the datagram, without the generated "timestamp", or
// nothing when it is rejected.
inline std::optional<Columns> parse(std::string_view input) {
  const std::string_view t = trim(input);
  const std::size_t n = t.size();
  if (n < 2 || t.front() != '{' || t.back() != '}') return std::nullopt;
  Columns row;
  std::size_t p = 1;
  while (p + 1 < n) {
    while (p < n && (t[p] == ',' || t[p] == ' ')) ++p;
    if (p >= n - 1) break;
    if (t[p] != '"') return std::nullopt;
    const std::size_t q = closing_quote(t, p + 1);
    if (q == std::string_view::npos) return std::nullopt;
    const std::string key = unquote(t.substr(p, q - p + 1));
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
    row[key] = convert(trim(t.substr(v, e - v)));
    p = comma_or_brace(t, e);
    if (p < n && t[p] == ',') ++p;
  }
  return row;
}

// Whether the parser's Row holds exactly the model's columns (doubles
// compared bit for bit), plus an integer "timestamp" when the model has none.
inline bool same(const std::optional<movra::Row>& got, const std::optional<Columns>& want) {
  if (got.has_value() != want.has_value()) return false;
  if (!got) return true;
  Columns have;
  for (const auto& [name, cell] : *got) have[name] = cell;
  if (!want->contains("timestamp")) {
    const auto it = have.find("timestamp");
    if (it == have.end() || it->second.index() != movra::kIntIndex) return false;
    have.erase(it);
  }
  if (have.size() != want->size()) return false;
  for (const auto& [name, cell] : *want) {
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

}  // namespace movra_model

#endif  // MOVRA_CPP_TESTS_DATAGRAM_MODEL_H_
