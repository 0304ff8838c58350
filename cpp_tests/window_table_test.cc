#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/window_engine.h"
#include "engine/window_table.h"
#include "test.h"

using namespace movra;

namespace {

std::uint64_t g_rng = 0x2545F4914F6CDD1Dull;
unsigned below(unsigned n) {
  g_rng ^= g_rng << 13, g_rng ^= g_rng >> 7, g_rng ^= g_rng << 17;
  return static_cast<unsigned>(g_rng % n);
}

std::string key_of(std::int64_t start, const std::string& group) {
  std::string key;
  make_window_key(key, start, group);
  return key;
}

bool same_as(const WindowTable& table, const std::map<std::string, WindowAggregate>& model) {
  if (table.size() != model.size()) return false;
  auto it = model.begin();
  for (const auto& [key, agg] : table) {
    if (key != it->first || !(agg == it->second)) return false;
    ++it;
  }
  return true;
}

}  // namespace

// Adds, assigns and erases (plain keys and others) in any order, with
// windows clustered so that probe runs are long and deletions shift them:
// the table reads back as an ordered map given the same operations.
TEST(window_table_matches_an_ordered_map_through_adds_and_erases) {
  for (int round = 0; round < 50; ++round) {
    WindowTable table;
    std::map<std::string, WindowAggregate> model;
    static const std::vector<std::string> groups = {"", "a", "b|c", "\xc3\xa9", std::string("n\0l", 3)};
    for (int step = 0; step < 2000; ++step) {
      const std::int64_t start = static_cast<std::int64_t>(below(60)) * 1000 - 20000;
      const std::string& group = groups[below(static_cast<unsigned>(groups.size()))];
      std::string key = key_of(start, group);
      if (below(10) == 0) key.insert(key.begin(), '0');  // not the plain decimal form
      const unsigned op = below(10);
      if (op < 5) {
        const WindowAggregate agg{static_cast<double>(below(100)), below(3), start + below(2), start + 1000,
                                  below(4) == 0 ? std::string("other") : group};
        table.assign(key, agg);
        model[key] = agg;
      } else if (op < 8) {
        CHECK_EQ(table.erase(key), model.erase(key));
      } else {
        WindowAggregate got;
        const bool found = table.get(key, got);
        CHECK_EQ(found, model.count(key) == 1);
        if (found) CHECK(got == model[key]);
      }
    }
    CHECK(same_as(table, model));
    // The same windows put in by another route compare equal.
    WindowTable other;
    for (auto it = model.rbegin(); it != model.rend(); ++it) other[it->first] = it->second;
    CHECK(other == table);
    if (!model.empty()) {
      other.erase(model.begin()->first);
      CHECK(!(other == table));
    }
  }
}

// Windows closing in one pass come out in the byte order of their keys
// ("10|a" before "9|a"), those without a count are dropped, the rest stay.
TEST(window_table_closes_in_key_text_order) {
  WindowTable table;
  const std::uint32_t a = table.group_id("a");
  const std::uint32_t b = table.group_id("b");
  for (std::int64_t start : {9, 10, 100, -5, 11}) {
    table.add(start, a, start + 1, 1.0);
    table.add(start, b, start + 1, 2.0);
  }
  table.assign("0k", WindowAggregate{4.0, 1, 0, 5, "zz"});
  table.assign("10|empty", WindowAggregate{0.0, 0, 10, 5, "empty"});
  std::vector<WindowAggregate> out;
  table.close(12, out);
  std::vector<std::string> keys;
  for (const WindowAggregate& w : out) keys.push_back(std::to_string(w.window_start) + "|" + w.group);
  CHECK((keys == std::vector<std::string>{"-5|a", "-5|b", "0|zz", "10|a", "10|b", "11|a", "11|b", "9|a", "9|b"}));
  CHECK_EQ(table.size(), 2u);
}

// Groups seen once, in windows that have since closed, do not pile up in
// the table's dictionary.
TEST(closed_groups_leave_the_dictionary) {
  WindowTable table;
  std::vector<WindowAggregate> out;
  for (int k = 0; k < 200000; ++k) {
    char group[16];
    std::snprintf(group, sizeof group, "g%d", k);
    table.add(k, table.group_id(group), k + 1, 1.0);
    if (k % 1000 == 999) table.close(k - 10, out);
  }
  CHECK_EQ(out.size(), 199989u);
  CHECK_EQ(table.size(), 11u);
  CHECK(table.group_count() <= 2 * table.size() + 1024);
  WindowAggregate last;
  CHECK(table.get("199999|g199999", last));
  CHECK(last == (WindowAggregate{1.0, 1, 199999, 200000, "g199999"}));
}
