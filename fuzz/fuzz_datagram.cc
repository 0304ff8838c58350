// Any bytes as a datagram: the parser never crashes, never reads outside the
// input, returns exactly what the plain model of the format returns, and its
// chunk overload takes the same objects as events that read back as the same
// Rows.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "datagram_model.h"
#include "model/event_chunk.h"
#include "model/json_datagram.h"

namespace {

// Rows equal name for name and cell for cell, doubles by their bits.
bool same_rows(const movra::Row& a, const movra::Row& b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || x->second.index() != y->second.index()) return false;
    if (const auto* d = std::get_if<double>(&x->second)) {
      if (std::memcmp(d, &std::get<double>(y->second), sizeof *d) != 0) return false;
    } else if (!(x->second == y->second)) {
      return false;
    }
  }
  return true;
}

// The chunk overload against the Row overload on text, after an event that
// a rejected datagram must leave alone.
bool chunk_agrees(std::string_view text) {
  static const auto names = std::make_shared<movra::NameTable>();
  movra::EventChunk chunk(names);
  chunk.append_row(movra::Row::FromSorted({{"before", movra::Cell(std::int64_t{1})}}));
  std::vector<movra::Row> rows;
  const bool by_rows = movra::parse_json_datagram(text, rows);
  if (movra::parse_json_datagram(text, chunk) != by_rows) return false;
  if (chunk.size() != rows.size() + 1 || !chunk.row(0).contains("before")) return false;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    movra::Row got = chunk.row(i + 1);
    // A stamp the parser adds is read twice: the same integer, give or take.
    const movra::Cell* g = got.find("timestamp");
    const movra::Cell* w = rows[i].find("timestamp");
    if (g != nullptr && w != nullptr && g->index() == movra::kIntIndex && w->index() == movra::kIntIndex &&
        std::llabs(std::get<std::int64_t>(*g) - std::get<std::int64_t>(*w)) < 1000) {
      got.set(std::string_view("timestamp"), *w);
    }
    if (!same_rows(got, rows[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!movra_model::same(text)) std::abort();
  if (!chunk_agrees(text)) std::abort();
  return 0;
}
