// Pass-through output written from the chunk columns against the Row route:
// columns_from_events must give exactly columns_from_rows of the picked
// events as Rows, projected by project_rows.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "engine/filters.h"
#include "model/event_chunk.h"
#include "model/output_columns.h"
#include "model/picked_columns.h"
#include "test.h"

using namespace movra;

namespace {

template <typename V>
bool same_bytes(const V& a, const V& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

// Equal buffer for buffer; doubles by their bits.  Names the first field
// that differs, or nothing.
std::string difference(const OutputColumns& got, const OutputColumns& want) {
  if (got.rows != want.rows) return "rows";
  if (got.columns.size() != want.columns.size()) return "column count";
  for (std::size_t k = 0; k < got.columns.size(); ++k) {
    const OutputColumn& a = got.columns[k];
    const OutputColumn& b = want.columns[k];
    const std::string at = "column " + std::to_string(k) + " ";
    if (a.name != b.name) return at + "name";
    if (a.type != b.type) return at + "type";
    if (a.null_count != b.null_count) return at + "null_count";
    if (a.validity != b.validity) return at + "validity";
    if (a.bits != b.bits) return at + "bits";
    if (a.ints != b.ints) return at + "ints";
    if (!same_bytes(a.doubles, b.doubles)) return at + "doubles";
    if (a.large_offsets != b.large_offsets) return at + "large_offsets";
    if (a.offsets32 != b.offsets32 || a.offsets64 != b.offsets64) return at + "offsets";
    if (a.bytes != b.bytes) return at + "bytes";
  }
  return "";
}

const std::vector<std::string>& name_pool() {
  static const std::vector<std::string> names = {
      "timestamp", "a", "b", "B", "px", "sym", "caf\xc3\xa9", std::string("n\0ul", 4), "ab", "a\xff", "",
      "\xe6\x97\xa5"};
  return names;
}

// How one name is laid out in one chunk: the span of events that may have
// it, how often they do, how often it is Null, and which kinds its values
// take (one kind mostly, so the single-kind paths are taken).
struct FieldShape {
  std::size_t from = 0;
  std::size_t to = 0;
  unsigned present_pct = 100;
  unsigned null_pct = 0;
  std::vector<std::uint8_t> kinds;
};

class Generator {
 public:
  explicit Generator(unsigned seed) : rng_(seed) {}

  std::size_t below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }
  bool chance(unsigned pct) { return below(100) < pct; }

  Cell value(std::uint8_t kind) {
    switch (kind) {
      case kBoolIndex: return chance(50);
      case kIntIndex:
        if (chance(5)) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(rng_()) - (1LL << 31);
      case kDoubleIndex:
        if (chance(5)) return chance(50) ? std::nan("") : -0.0;
        return static_cast<double>(below(100000)) / 7.0;
      default: {
        static const std::vector<std::string> texts = {
            "", "AAPL", "x", std::string("x\0y", 3), "\xc3\xa9t\xc3\xa9", "\xff\xfe", "MSFT", "a longer text value"};
        return texts[below(texts.size())];
      }
    }
  }

  FieldShape shape(std::size_t events) {
    FieldShape s;
    s.from = chance(70) ? 0 : below(events + 1);
    s.to = chance(70) ? events : s.from + below(events - s.from + 1);
    static const unsigned kPresent[] = {100, 100, 90, 50, 5};
    static const unsigned kNull[] = {0, 0, 0, 10, 100};
    s.present_pct = kPresent[below(5)];
    s.null_pct = kNull[below(5)];
    s.kinds.push_back(static_cast<std::uint8_t>(1 + below(4)));
    if (chance(20)) s.kinds.push_back(static_cast<std::uint8_t>(1 + below(4)));
    return s;
  }

  // A chunk of `events` events over a few names of the pool.  With `reuse`
  // the chunk first holds other events and is cleared, so it keeps columns
  // that its events do not use.
  std::shared_ptr<EventChunk> chunk(const std::shared_ptr<NameTable>& names, std::size_t events, bool reuse) {
    auto c = std::make_shared<EventChunk>(names);
    if (reuse) {
      fill(*c, 1 + below(20));
      c->clear();
    }
    fill(*c, events);
    return c;
  }

  std::optional<std::vector<std::string>> select() {
    if (chance(50)) return std::nullopt;
    std::vector<std::string> out;
    for (std::size_t n = below(5); n > 0; --n) {
      out.push_back(chance(85) ? name_pool()[below(name_pool().size())] : "absent");
      if (chance(20)) out.push_back(out.back());  // duplicates are kept once
    }
    return out;
  }

  // An ascending selection of [begin, end): all of it, a run inside it,
  // a random subset, or nothing.
  void pick(std::size_t slice, std::size_t begin, std::size_t end, std::vector<EventRef>& out) {
    switch (below(4)) {
      case 0:
        for (std::size_t i = begin; i < end; ++i) out.push_back({slice, i});
        break;
      case 1: {
        const std::size_t a = begin + below(end - begin + 1);
        const std::size_t b = a + below(end - a + 1);
        for (std::size_t i = a; i < b; ++i) out.push_back({slice, i});
        break;
      }
      case 2: {
        const unsigned pct = static_cast<unsigned>(below(100));
        for (std::size_t i = begin; i < end; ++i) {
          if (chance(pct)) out.push_back({slice, i});
        }
        break;
      }
      default:
        break;
    }
  }

 private:
  void fill(EventChunk& chunk, std::size_t events) {
    std::vector<std::pair<std::string, FieldShape>> fields;
    for (const std::string& name : name_pool()) {
      if (chance(45)) fields.emplace_back(name, shape(events));
    }
    for (std::size_t i = 0; i < events; ++i) {
      std::vector<Row::Entry> entries;
      for (const auto& [name, s] : fields) {
        if (i < s.from || i >= s.to || !chance(s.present_pct)) continue;
        entries.emplace_back(name, chance(s.null_pct) ? Cell{} : value(s.kinds[below(s.kinds.size())]));
      }
      chunk.append_row_as_is(Row::FromUnsorted(std::move(entries)));
    }
  }

  std::mt19937 rng_;
};

}  // namespace

TEST(picked_columns_equal_the_row_route) {
  Generator gen(20);
  int compared = 0;
  for (int round = 0; round < 4000; ++round) {
    // Chunks of one table or of tables of their own; a chunk may be sliced
    // twice.
    const auto shared = std::make_shared<NameTable>();
    std::vector<std::shared_ptr<EventChunk>> chunks;
    for (std::size_t n = 1 + gen.below(4); n > 0; --n) {
      const auto names = gen.chance(50) ? shared : std::make_shared<NameTable>();
      chunks.push_back(gen.chunk(names, gen.below(gen.chance(10) ? 300 : 40), gen.chance(20)));
    }
    EventSlices events;
    std::vector<EventRef> picked;
    for (std::size_t n = 1 + gen.below(4); n > 0; --n) {
      const auto& chunk = chunks[gen.below(chunks.size())];
      const std::size_t begin = gen.below(chunk->size() + 1);
      const std::size_t end = begin + gen.below(chunk->size() - begin + 1);
      events.push_back({chunk, begin, end});
      gen.pick(events.size() - 1, begin, end, picked);
    }
    const auto select = gen.select();

    Batch rows;
    for (const EventRef& r : picked) rows.push_back(row_of(events, r));
    const OutputColumns want = columns_from_rows(project_rows(std::move(rows), select));
    const OutputColumns got = columns_from_events(events, picked, select);
    const std::string diff = difference(got, want);
    if (!diff.empty()) {
      std::cerr << "round " << round << ": " << diff << "\n";
      CHECK(diff.empty());
      return;
    }
    ++compared;
  }
  CHECK_EQ(compared, 4000);
}

TEST(picked_columns_copy_a_long_dense_run_exactly) {
  // One chunk of 5000 events, every field present and single-kind: the bulk
  // copies, with picks whole, cut into a run, and thinned.
  auto chunk = std::make_shared<EventChunk>(std::make_shared<NameTable>());
  for (std::int64_t i = 0; i < 5000; ++i) {
    chunk->append_row_as_is(Row::FromUnsorted({{"ts", i * 1000},
                                               {"sym", std::string(i % 3 == 0 ? "AAPL" : "\xc3\xa9t\xc3\xa9")},
                                               {"px", 100.0 + static_cast<double>(i) / 8},
                                               {"ok", i % 2 == 0}}));
  }
  const EventSlices events = {{chunk, 0, 5000}};
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 1}, {3, 1}, {0, 2}, {5, 7}};  // first, step
  for (const auto& [first, step] : cases) {
    std::vector<EventRef> picked;
    for (std::size_t i = first; i < 5000; i += step) picked.push_back({0, i});
    Batch rows;
    for (const EventRef& r : picked) rows.push_back(row_of(events, r));
    for (const auto& select : {std::optional<std::vector<std::string>>(),
                               std::optional<std::vector<std::string>>({"sym", "px", "none"})}) {
      CHECK_EQ(difference(columns_from_events(events, picked, select), columns_from_rows(project_rows(rows, select))),
               "");
    }
  }
}
