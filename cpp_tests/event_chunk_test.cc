// EventChunk against the Row model: events built through a chunk read back
// as exactly the Rows the Row-based intake makes of them.
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
