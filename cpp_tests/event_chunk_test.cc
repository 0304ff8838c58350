// EventChunk against the Row model: events built through a chunk read back
// as exactly the Rows the Row-based intake makes of them.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "model/event_chunk.h"
#include "model/json_datagram.h"
#include "test.h"

using namespace movra;

namespace {

// Rows equal cell for cell; doubles by their bits, so that NaN equals NaN
// and -0.0 differs from 0.0.
bool same_rows(const Row& a, const Row& b) {
  if (a.size() != b.size()) return false;
  auto x = a.begin();
  for (auto y = b.begin(); y != b.end(); ++x, ++y) {
    if (x->first != y->first || x->second.index() != y->second.index()) return false;
    if (const double* d = std::get_if<double>(&x->second)) {
      if (std::memcmp(d, &std::get<double>(y->second), sizeof *d) != 0) return false;
    } else if (!(x->second == y->second)) {
      return false;
    }
  }
  return true;
}

// One field of a generated event: a name (NUL and non-ASCII bytes among the
// choices) and a Cell of any alternative.
struct Field {
  std::string name;
  Cell value;
};

class EventSource {
 public:
  explicit EventSource(unsigned seed) : rng_(seed) {}

  std::vector<Field> next() {
    static const char* const kNames[] = {"timestamp", "a", "b", "B", "price", "sym", "caf\xc3\xa9",
                                         std::string_view("n\0ul", 4).data(), "ab", "a\xff", ""};
    static const std::size_t kNameLengths[] = {9, 1, 1, 1, 5, 3, 5, 4, 2, 2, 0};
    std::vector<Field> fields;
    const std::size_t n = rng_() % 7;
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t which = rng_() % std::size(kNames);
      fields.push_back({std::string(kNames[which], kNameLengths[which]), cell()});
    }
    return fields;
  }

 private:
  Cell cell() {
    switch (rng_() % 9) {
      case 0:
        return Null{};
      case 1:
        return (rng_() & 1) != 0;
      case 2:
        return static_cast<std::int64_t>(rng_()) - (1LL << 31);
      case 3:
        return std::numeric_limits<std::int64_t>::min();
      case 4:
        return static_cast<double>(rng_() % 1000) / 8.0;
      case 5:
        return (rng_() & 1) ? std::nan("") : -0.0;
      case 6:
        return std::string();
      case 7:
        return std::string("x\0y", 3);
      default:
        return std::string(rng_() % 40, static_cast<char>('a' + rng_() % 26));
    }
  }

  std::mt19937 rng_;
};

// The Row-based intake's Row of the fields: later fields replace earlier
// ones; "timestamp" is added when missing.
Row row_of(const std::vector<Field>& fields, std::int64_t stamp) {
  Row row;
  for (const Field& f : fields) row.set(std::string_view(f.name), f.value);
  if (!row.contains("timestamp")) row.set(std::string_view("timestamp"), stamp);
  return row;
}

// The generated stamp is the clock's: compare it as "an integer close to
// now" by putting the expected value in its place.
Row with_stamp_of(Row want, const Row& got, const std::vector<Field>& fields) {
  for (const Field& f : fields) {
    if (f.name == "timestamp") return want;
  }
  const Cell* stamp = got.find("timestamp");
  if (stamp != nullptr && stamp->index() == kIntIndex &&
      std::llabs(std::get<std::int64_t>(*stamp) - now_millis()) < 60'000) {
    want.set(std::string_view("timestamp"), *stamp);
  }
  return want;
}

}  // namespace

TEST(chunk_reads_back_a_mixed_column_and_tells_missing_from_null) {
  auto names = std::make_shared<NameTable>();
  EventChunk chunk(names);
  const std::size_t x = chunk.column_index("x");
  const std::size_t ts = chunk.column_index("timestamp");
  const Cell values[] = {std::int64_t{1}, 2.5, std::string("s"), true, Null{}};
  for (const Cell& v : values) {
    chunk.begin_event();
    chunk.set_int(ts, 7);
    chunk.set_cell(x, v);
    chunk.end_event();
  }
  chunk.begin_event();  // no x at all
  chunk.set_int(ts, 7);
  chunk.end_event();
  CHECK_EQ(chunk.size(), std::size_t{6});
  const EventChunk::Column* col = chunk.find("x");
  CHECK(col != nullptr && col->kind() == EventChunk::kMixed);
  for (std::size_t i = 0; i < 5; ++i) {
    Row want;
    want.set(std::string_view("timestamp"), std::int64_t{7});
    want.set(std::string_view("x"), values[i]);
    CHECK(same_rows(chunk.row(i), want));
  }
  CHECK(col->present(4) && col->tag(4) == kNullIndex);
  CHECK(!col->present(5));
  CHECK_EQ(chunk.row(5).size(), std::size_t{1});
}

TEST(chunk_keeps_the_later_value_of_a_field_set_twice_in_one_event) {
  EventChunk chunk(std::make_shared<NameTable>());
  const std::size_t s = chunk.column_index("s");
  chunk.begin_event();
  chunk.set_string(s, "first, longer");
  chunk.set_string(s, "second");
  chunk.end_event();
  chunk.begin_event();
  chunk.set_string(s, "third");
  chunk.set_int(s, 3);
  chunk.end_event();
  CHECK_EQ(std::get<std::string>(*chunk.row(0).find("s")), std::string("second"));
  CHECK(*chunk.row(1).find("s") == Cell(std::int64_t{3}));
  CHECK(chunk.row(0).contains("timestamp"));
}

TEST(chunk_interns_each_name_once_per_table) {
  auto names = std::make_shared<NameTable>();
  EventChunk a(names), b(names);
  const auto ja = a.column_index("price");
  const auto jb = b.column_index("price");
  CHECK_EQ(a.column(ja).name_id(), b.column(jb).name_id());
  CHECK(&a.column(ja).name() == &b.column(jb).name());
  b.column_index("other");
  CHECK_EQ(names->size(), std::size_t{2});
}

TEST(chunk_truncate_and_clear_undo_events_exactly) {
  EventChunk chunk(std::make_shared<NameTable>());
  const std::size_t s = chunk.column_index("s");
  const std::size_t ts = chunk.column_index("timestamp");
  for (int i = 0; i < 100; ++i) {
    chunk.begin_event();
    chunk.set_int(ts, i);
    if (i % 3 == 0) chunk.set_string(s, std::string(static_cast<std::size_t>(i), 'q'));
    if (i % 3 == 1) chunk.set_double(s, i);
    chunk.end_event();
  }
  chunk.truncate(70);
  chunk.begin_event();
  chunk.set_int(ts, 1000);
  chunk.set_string(s, "after");
  chunk.end_event();
  CHECK_EQ(chunk.size(), std::size_t{71});
  CHECK_EQ(std::get<std::string>(*chunk.row(69).find("s")), std::string(69, 'q'));
  CHECK_EQ(std::get<std::string>(*chunk.row(70).find("s")), std::string("after"));
  chunk.clear();
  chunk.begin_event();
  chunk.set_int(ts, 1);
  chunk.set_bool(s, true);
  chunk.end_event();
  CHECK_EQ(chunk.size(), std::size_t{1});
  CHECK_EQ(chunk.find("s")->kind(), std::uint8_t{kBoolIndex});
  CHECK(*chunk.row(0).find("s") == Cell(true));
}

TEST(chunk_events_equal_the_rows_of_the_row_model) {
  // Events built field by field, copied between chunks in pieces, cut back
  // and reused: every one reads back as the Row the Row model builds.
  auto names = std::make_shared<NameTable>();
  EventSource source(5);
  for (int round = 0; round < 300; ++round) {
    EventChunk chunk(names);
    std::vector<std::vector<Field>> events;
    const int n = 1 + round % 97;
    for (int e = 0; e < n; ++e) {
      events.push_back(source.next());
      chunk.begin_event();
      for (const Field& f : events.back()) chunk.set_cell(chunk.column_index(f.name), f.value);
      if (e % 11 == 5) {
        chunk.abort_event();  // a conversion that failed halfway
        events.pop_back();
        continue;
      }
      chunk.end_event();
    }
    if (round % 3 == 0) {
      // Through a second chunk, in two pieces, the way small offers are
      // copied into the queue's tail.
      EventChunk copy(names);
      const std::size_t half = chunk.size() / 2;
      copy.append_from(chunk, 0, half);
      copy.append_from(chunk, half, chunk.size());
      chunk = std::move(copy);
    }
    CHECK_EQ(chunk.size(), events.size());
    std::vector<Row> rows;
    chunk.append_rows(0, chunk.size(), rows);
    for (std::size_t i = 0; i < events.size(); ++i) {
      const Row want = with_stamp_of(row_of(events[i], 0), rows[i], events[i]);
      if (!same_rows(rows[i], want)) {
        CHECK_EQ(round * 1000 + static_cast<int>(i), -1);
        return;
      }
      CHECK(same_rows(chunk.row(i), rows[i]));
    }
  }
}

TEST(chunk_parser_path_equals_the_row_parser) {
  // Datagrams from realistic seeds with random edits: the chunk overload
  // accepts and rejects exactly what the Row overload does, and its events
  // read back as the same Rows.
  const std::string seeds[] = {
      R"({"symbol":"AAPL","price":187.25,"size":300,"side":"buy","timestamp":1700000000123})",
      R"({"a":1,"b":2.5,"c":"x","d":true,"e":null,"a":-7,"k\"ey":"v\\al","timestamp":5})",
      R"({"x":1e3,"y":"open}{"z":[1],"timestamp":"t"}  {"x":"s","timestamp":9})",
      R"({"k\u00e9y":"caf\u00e9","n\u0000":1,"timestamp":1}{"n\u0000":"two"})",
  };
  const std::string bytes = "{}\":,\\ 0123456789.eEnultrfas\x80";
  std::mt19937 rng(3);
  EventChunk chunk(std::make_shared<NameTable>());
  std::vector<Row> rows;
  for (int round = 0; round < 40000; ++round) {
    std::string text = seeds[round % std::size(seeds)];
    for (int edits = static_cast<int>(rng() % 3); edits > 0; --edits) {
      const std::size_t at = rng() % (text.size() + 1);
      const char c = bytes[rng() % bytes.size()];
      if (rng() & 1) {
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c);
      } else if (at < text.size()) {
        text[at] = c;
      }
    }
    if (round % 500 == 0) {
      chunk.clear();
      rows.clear();
    }
    const std::size_t before = chunk.size();
    const bool by_rows = parse_json_datagram(text, rows);
    const bool by_chunk = parse_json_datagram(text, chunk);
    CHECK_EQ(by_rows, by_chunk);
    if (by_rows != by_chunk || rows.size() != chunk.size()) {
      CHECK_EQ(text, std::string("parsed alike into rows and chunk"));
      return;
    }
    for (std::size_t i = before; i < chunk.size(); ++i) {
      Row got = chunk.row(i);
      Row want = rows[i];
      // A generated stamp is read twice: the same integer give or take a tick.
      const Cell* g = got.find("timestamp");
      const Cell* w = want.find("timestamp");
      if (g != nullptr && w != nullptr && g->index() == kIntIndex && w->index() == kIntIndex &&
          std::llabs(std::get<std::int64_t>(*g) - std::get<std::int64_t>(*w)) < 1000) {
        want.set(std::string_view("timestamp"), *g);
      }
      if (!same_rows(got, want)) {
        CHECK_EQ(text, std::string("read back as the Row parser's Row"));
        return;
      }
    }
  }
}

TEST(name_tables_stay_bounded_under_ever_new_names) {
  // A reused intake chunk and queue chunks that are taken and freed, fed a
  // new name with every event, the way a hostile sender feeds a stream: the
  // names alive stay near the bound instead of growing with every name seen.
  NameTables tables(100, 1 << 20);
  EventChunk intake(tables.current());
  std::vector<std::shared_ptr<EventChunk>> queued;
  std::shared_ptr<EventChunk> kept;  // built before many generations went by
  std::size_t kept_at = 0;
  std::size_t most = 0;
  for (int e = 0; e < 20000; ++e) {
    if (intake.column_count() > 64 || tables.spent(*intake.names())) intake.reset(tables.current());
    intake.begin_event();
    intake.set_int(intake.column_index("key" + std::to_string(e)), e);
    intake.end_event();
    if (queued.empty() || queued.back()->size() >= 32 || tables.spent(*queued.back()->names())) {
      queued.push_back(std::make_shared<EventChunk>(tables.current()));
    }
    queued.back()->append_from(intake, 0, intake.size());
    intake.clear();
    if (e == 150) {
      kept = queued.back();
      kept_at = kept->size() - 1;
    }
    if (queued.size() > 4) queued.erase(queued.begin());  // taken
    most = std::max(most, tables.live_names());
  }
  CHECK(most < 400);
  // The old generation lives on with the chunk that holds it.
  CHECK(*kept->row(kept_at).find("key150") == Cell(std::int64_t{150}));
  kept.reset();
  queued.clear();
  intake.reset(tables.current());
  CHECK(tables.live_names() <= 101);
}

TEST(name_tables_start_a_fresh_table_past_the_byte_bound) {
  NameTables tables(1000, 64);
  const auto first = tables.current();
  CHECK(tables.current() == first);
  first->intern(std::string(65, 'n'));
  CHECK(tables.spent(*first));
  const auto second = tables.current();
  CHECK(second != first);
  CHECK_EQ(second->size(), std::size_t{0});
  CHECK_EQ(tables.live_names(), std::size_t{1});
}

TEST(chunk_of_drifting_names_equals_the_rows_of_the_row_model) {
  // Names that come and go (each held by a few events in a row, as datagrams
  // that each bring keys of their own), with Nulls, repeats, failed events,
  // cuts back to before and inside a column's span and reuse after clear():
  // every event and every sub-range reads back as the Row model's Rows.
  NameTables tables;
  EventSource source(11);
  std::mt19937 rng(12);
  EventChunk chunk(tables.current());
  for (int round = 0; round < 200; ++round) {
    std::vector<std::vector<Field>> events;
    const int n = 1 + static_cast<int>(rng() % 150);
    for (int e = 0; e < n; ++e) {
      std::vector<Field> fields = source.next();
      for (Field& f : fields) {
        if (rng() % 3 != 0) f.name = "d" + std::to_string(e / 4 + rng() % 5);
      }
      chunk.begin_event();
      for (const Field& f : fields) chunk.set_cell(chunk.column_index(f.name), f.value);
      if (rng() % 13 == 0) {
        chunk.abort_event();
        continue;
      }
      chunk.end_event();
      events.push_back(std::move(fields));
      if (rng() % 40 == 0) {
        // Cut back to some earlier event and go on from there.
        const std::size_t keep = rng() % (events.size() + 1);
        chunk.truncate(keep);
        events.resize(keep);
      }
    }
    CHECK_EQ(chunk.size(), events.size());
    std::vector<Row> rows;
    chunk.append_rows(0, chunk.size(), rows);
    for (std::size_t i = 0; i < events.size(); ++i) {
      const Row want = with_stamp_of(row_of(events[i], 0), rows[i], events[i]);
      if (!same_rows(rows[i], want)) {
        CHECK_EQ(round * 1000 + static_cast<int>(i), -1);
        return;
      }
    }
    // Any sub-range reads back as the same Rows, and so does a copy.
    const std::size_t begin = events.empty() ? 0 : rng() % events.size();
    const std::size_t end = begin + (events.empty() ? 0 : rng() % (events.size() - begin + 1));
    std::vector<Row> part;
    chunk.append_rows(begin, end, part);
    EventChunk copy(tables.current());
    copy.append_from(chunk, begin, end);
    std::vector<Row> copied;
    copy.append_rows(0, copy.size(), copied);
    CHECK_EQ(part.size(), end - begin);
    CHECK_EQ(copied.size(), end - begin);
    for (std::size_t i = begin; i < end && part.size() == end - begin && copied.size() == end - begin; ++i) {
      CHECK(same_rows(part[i - begin], rows[i]));
      CHECK(same_rows(copied[i - begin], rows[i]));
    }
    if (round % 2 == 0) {
      chunk.clear();
    } else {
      chunk.reset();
    }
  }
}

TEST(chunk_columns_hold_only_their_own_span) {
  // A thousand events that each bring one name of their own: the chunk's
  // storage grows with the events, not with events times columns.
  EventChunk chunk(std::make_shared<NameTable>());
  for (int e = 0; e < 1000; ++e) {
    chunk.begin_event();
    chunk.set_int(chunk.column_index("own" + std::to_string(e)), e);
    chunk.set_int(chunk.column_index("timestamp"), 1);
    chunk.end_event();
  }
  CHECK(chunk.footprint() < 1000 * 2 * sizeof(EventChunk::Column) + 200'000);
  CHECK(*chunk.row(999).find("own999") == Cell(std::int64_t{999}));
  CHECK(!chunk.row(998).contains("own999"));
}

namespace {

// A generated column of one bulk call: its name and one Cell per event, all
// of one alternative (Nulls mixed in) or of any.
struct BulkColumn {
  std::string name;
  std::vector<Cell> values;
  std::uint8_t kind;  // the alternative of every non-Null value, or EventChunk::kMixed
};

// Generated calls of column at a time intake, over few names so that calls
// share columns, repeat names and leave gaps.
class ColumnSource {
 public:
  explicit ColumnSource(unsigned seed) : rng_(seed) {}

  std::vector<BulkColumn> next(std::size_t n) {
    static const char* const kNames[] = {"timestamp", "a", "b", "caf\xc3\xa9", "", "p"};
    std::vector<BulkColumn> cols;
    const std::size_t width = rng_() % 5;
    for (std::size_t j = 0; j < width; ++j) {
      BulkColumn c{kNames[rng_() % std::size(kNames)], {}, 0};
      const unsigned shape = rng_() % 7;
      c.kind = shape < 4 ? static_cast<std::uint8_t>(shape + 1) : EventChunk::kMixed;
      const unsigned null_rate = rng_() % 3 == 0 ? 0 : rng_() % 4 == 0 ? 100 : rng_() % 50;
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t tag = c.kind == EventChunk::kMixed ? static_cast<std::uint8_t>(rng_() % 5) : c.kind;
        c.values.push_back(rng_() % 100 < null_rate ? Cell(Null{}) : cell(tag));
      }
      cols.push_back(std::move(c));
    }
    return cols;
  }

  unsigned operator()() { return rng_(); }

 private:
  Cell cell(std::uint8_t tag) {
    switch (tag) {
      case kBoolIndex:
        return (rng_() & 1) != 0;
      case kIntIndex:
        return static_cast<std::int64_t>(rng_()) - (1LL << 31);
      case kDoubleIndex:
        return (rng_() & 7) == 0 ? std::nan("") : static_cast<double>(rng_() % 1000) / 8.0;
      case kStringIndex:
        return (rng_() & 3) == 0 ? std::string("x\0y", 3) : std::string(rng_() % 20, static_cast<char>('a' + rng_() % 26));
      default:
        return Null{};
    }
  }
  std::mt19937 rng_;
};

// Writes one generated column through the bulk calls, whole where it is of
// one alternative, else value by value.
void put_column(EventChunk& chunk, const BulkColumn& c, unsigned how) {
  const std::size_t col = chunk.column_index(c.name);
  const std::size_t n = c.values.size();
  // The validity bitmap starts at a random bit, as an Arrow slice's does.
  const std::size_t offset = how % 11;
  std::vector<std::uint8_t> validity((offset + n + 7) / 8 + 1, 0);
  bool any_null = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (c.values[i].index() != kNullIndex) {
      validity[(offset + i) >> 3] |= static_cast<std::uint8_t>(1u << ((offset + i) & 7));
    } else {
      any_null = true;
    }
  }
  const std::uint8_t* valid = any_null || how % 2 == 0 ? validity.data() : nullptr;
  if (c.kind == EventChunk::kMixed || how % 5 == 0) {
    chunk.begin_column(col);
    for (const Cell& v : c.values) chunk.set_cell(col, v);
    return;
  }
  bool all_null = true;
  for (const Cell& v : c.values) all_null = all_null && v.index() == kNullIndex;
  if (all_null && how % 3 == 0) return chunk.put_nulls(col);
  if (!all_null && how % 3 == 1 && (c.kind == kIntIndex || c.kind == kDoubleIndex)) {
    // In place, the Nulls marked after.
    std::uint64_t* words = chunk.fill_words(col, c.kind);
    for (std::size_t i = 0; i < n; ++i) {
      const Cell& v = c.values[i];
      words[i] = v.index() == kIntIndex    ? static_cast<std::uint64_t>(std::get<std::int64_t>(v))
                 : v.index() == kDoubleIndex ? std::bit_cast<std::uint64_t>(std::get<double>(v))
                                             : 99;
    }
    if (any_null) chunk.mark_nulls(col, validity.data(), offset);
    return;
  }
  switch (c.kind) {
    case kBoolIndex: {
      std::vector<std::uint8_t> bits((offset + n + 7) / 8 + 1, 0xa5);
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t b = offset + i;
        const bool v = c.values[i].index() == kBoolIndex && std::get<bool>(c.values[i]);
        bits[b >> 3] = static_cast<std::uint8_t>((bits[b >> 3] & ~(1u << (b & 7))) | (unsigned{v} << (b & 7)));
      }
      return chunk.put_bools(col, bits.data(), offset, valid, offset);
    }
    case kIntIndex: {
      std::vector<std::int64_t> v(n, -7);
      for (std::size_t i = 0; i < n; ++i) {
        if (c.values[i].index() == kIntIndex) v[i] = std::get<std::int64_t>(c.values[i]);
      }
      return chunk.put_ints(col, v.data(), valid, offset);
    }
    case kDoubleIndex: {
      std::vector<double> v(n, 0.5);
      for (std::size_t i = 0; i < n; ++i) {
        if (c.values[i].index() == kDoubleIndex) v[i] = std::get<double>(c.values[i]);
      }
      return chunk.put_doubles(col, v.data(), valid, offset);
    }
    default: {
      // Offsets that start past 0, and bytes under the Nulls, as Arrow allows.
      std::vector<std::int64_t> offsets{3};
      std::string data = "pre";
      for (const Cell& v : c.values) {
        data += v.index() == kStringIndex ? std::get<std::string>(v) : std::string("junk");
        offsets.push_back(static_cast<std::int64_t>(data.size()));
      }
      if (how % 4 == 1) {
        std::vector<std::int32_t> narrow(offsets.begin(), offsets.end());
        return chunk.put_strings(col, narrow.data(), data.data(), valid, offset);
      }
      return chunk.put_strings(col, offsets.data(), data.data(), valid, offset);
    }
  }
}

// Rows equal as same_rows has them, but a "timestamp" that both stamped from
// the clock may differ by the time between the two stamps.
bool same_rows_but_stamps(const Row& a, const Row& b) {
  if (same_rows(a, b)) return true;
  const Cell* x = a.find("timestamp");
  const Cell* y = b.find("timestamp");
  if (x == nullptr || y == nullptr || x->index() != kIntIndex || y->index() != kIntIndex) return false;
  if (std::llabs(std::get<std::int64_t>(*x) - std::get<std::int64_t>(*y)) > 60'000) return false;
  Row c = b;
  c.set(std::string_view("timestamp"), *x);
  return same_rows(a, c);
}

// Both chunks hold the same events: the same Rows, and column by column the
// same presence, tags and kind.
bool same_chunks(const EventChunk& a, const EventChunk& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_rows_but_stamps(a.row(i), b.row(i))) return false;
  }
  for (const char* name : {"timestamp", "a", "b", "caf\xc3\xa9", "", "p"}) {
    const EventChunk::Column* x = a.find(name);
    const EventChunk::Column* y = b.find(name);
    if (x == nullptr || y == nullptr) {
      // A column the other never made holds nothing.
      const EventChunk::Column* only = x != nullptr ? x : y;
      if (only != nullptr && only->kind() != EventChunk::kNoKind && a.size() != 0) return false;
      continue;
    }
    if (x->kind() != y->kind()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (x->present(i) != y->present(i)) return false;
      if (x->present(i) && x->tag(i) != y->tag(i)) return false;
    }
  }
  return true;
}

}  // namespace

TEST(chunk_bulk_columns_equal_the_per_event_path) {
  // Random calls, each given to one chunk event by event and to the other a
  // column at a time; some per-event calls, aborted bulk calls, truncations
  // and clears in between.  After every call both hold the same events.
  ColumnSource source(11);
  auto names = std::make_shared<NameTable>();
  for (int round = 0; round < 200; ++round) {
    EventChunk per_event(names), bulk(names);
    for (int call = 0; call < 12; ++call) {
      const std::size_t n = source() % 4 == 0 ? source() % 3 : source() % 150;
      const std::vector<BulkColumn> cols = source.next(n);
      const unsigned what = source() % 10;
      if (what == 0) {
        // A refused call: whatever it wrote goes again.
        bulk.begin_events(n);
        for (const BulkColumn& c : cols) put_column(bulk, c, source());
        bulk.abort_events();
      } else {
        const bool by_event = what == 1;
        for (std::size_t i = 0; i < n; ++i) {
          per_event.begin_event();
          for (const BulkColumn& c : cols) per_event.set_cell(per_event.column_index(c.name), c.values[i]);
          per_event.end_event();
          if (by_event) {
            bulk.begin_event();
            for (const BulkColumn& c : cols) bulk.set_cell(bulk.column_index(c.name), c.values[i]);
            bulk.end_event();
          }
        }
        if (!by_event) {
          bulk.begin_events(n);
          for (const BulkColumn& c : cols) put_column(bulk, c, source());
          bulk.end_events();
        }
      }
      if (what == 2 && per_event.size() > 0) {
        const std::size_t keep = source() % per_event.size();
        per_event.truncate(keep);
        bulk.truncate(keep);
      } else if (what == 3) {
        per_event.clear();
        bulk.clear();
      }
      if (!same_chunks(per_event, bulk)) {
        CHECK_EQ(round * 100 + call, -1);
        return;
      }
    }
  }
}

TEST(chunk_bulk_abort_leaves_the_chunk_as_it_was) {
  // A column of ints gets strings in a refused call: neither the strings
  // nor the mixed kind they would make stay.
  EventChunk chunk(std::make_shared<NameTable>());
  const std::size_t x = chunk.column_index("x");
  const std::int64_t ints[] = {1, 2, 3};
  chunk.begin_events(3);
  chunk.put_ints(x, ints);
  chunk.end_events();
  const std::int32_t offsets[] = {0, 1, 2};
  chunk.begin_events(2);
  chunk.put_strings(x, offsets, "ab");
  chunk.put_nulls(chunk.column_index("y"));
  chunk.abort_events();
  CHECK_EQ(chunk.size(), std::size_t{3});
  CHECK_EQ(chunk.find("x")->kind(), std::uint8_t{kIntIndex});
  CHECK(!chunk.find("y")->present(2));
  CHECK(chunk.row(2).find("timestamp") != nullptr);
  // And the next call builds on it as on a chunk that never saw the refusal.
  chunk.begin_events(1);
  chunk.put_ints(x, ints);
  chunk.end_events();
  CHECK_EQ(chunk.find("x")->kind(), std::uint8_t{kIntIndex});
  CHECK(*chunk.row(3).find("x") == Cell(std::int64_t{1}));
}
