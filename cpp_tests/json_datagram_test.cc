#include <cmath>
#include <limits>

#include "model/json_datagram.h"
#include "test.h"

using namespace movra;

namespace {

Cell S(const char* s) { return std::string(s); }
Cell I(std::int64_t v) { return v; }

struct Accepted {
  const char* datagram;
  std::vector<std::pair<const char*, Cell>> columns;  // besides a generated timestamp
};

}  // namespace

TEST(datagrams_that_parse) {
  const Accepted cases[] = {
      {"{}", {}},
      {"{ }", {}},
      {"{,,}", {}},
      {" \t\n{}\r\n", {}},
      {R"({"a":1,"b":2.5,"c":"x","d":true,"e":null})",
       {{"a", I(1)}, {"b", 2.5}, {"c", S("x")}, {"d", true}, {"e", Null{}}}},
      {"\n{\"a\":1}\n", {{"a", I(1)}}},
      {R"({"a":1e3})", {{"a", 1000.0}}},
      {R"({"a":1.0})", {{"a", 1.0}}},
      {R"({"a":-7})", {{"a", I(-7)}}},
      {R"({"a":+7})", {{"a", I(7)}}},
      {R"({"a":007})", {{"a", I(7)}}},
      {R"({"a":9223372036854775807})", {{"a", I(std::numeric_limits<std::int64_t>::max())}}},
      {R"({"a":-9223372036854775808})", {{"a", I(std::numeric_limits<std::int64_t>::min())}}},
      {R"({"a":9223372036854775808})", {{"a", S("9223372036854775808")}}},
      {R"({"a":1e999})", {{"a", S("1e999")}}},
      {R"({"a":12abc})", {{"a", I(12)}}},
      {R"({"a":1.5kg})", {{"a", 1.5}}},
      {R"({"a":12e})", {{"a", 12.0}}},
      {R"({"a":True})", {{"a", S("True")}}},
      {R"({"a":inf})", {{"a", S("inf")}}},
      {R"({"a":none})", {{"a", S("none")}}},
      {R"({"a":-})", {{"a", S("-")}}},
      {R"({"a":})", {{"a", S("")}}},
      {R"({"a":,"b":1})", {{"a", S("")}, {"b", I(1)}}},
      {R"({"a" : 1})", {{"a", I(1)}}},
      {R"({"a"xyz:1})", {{"a", I(1)}}},
      {R"({"a":	 1})", {{"a", I(1)}}},
      {R"({"a":"x\"y"})", {{"a", S("x\"y")}}},
      {R"({"a":"x\ny"})", {{"a", S("xny")}}},
      {R"({"a":"x\\y"})", {{"a", S("x\\y")}}},
      {R"({"a":"\u00e9"})", {{"a", S("u00e9")}}},
      {R"({"a":"x,y}"})", {{"a", S("x,y}")}}},
      {R"({"a":"x" junk,"b":2})", {{"a", S("x")}, {"b", I(2)}}},
      {R"({"a":1 "b":2})", {{"a", I(1)}}},
      {R"({"a":"open})", {{"a", S("\"open}")}}},
      {R"({"a":[1]})", {{"a", S("[1]")}}},
      {R"({"k":1,"k":2})", {{"k", I(2)}}},
      {R"({"a\"b":1})", {{"a\"b", I(1)}}},
      {R"({"a":1,,, "b":2,})", {{"a", I(1)}, {"b", I(2)}}},
      {R"({"timestamp":"yesterday"})", {{"timestamp", S("yesterday")}}},
      {R"({"timestamp":1700000000000})", {{"timestamp", I(1700000000000)}}},
      {R"({"timestamp":1700000000000.0})", {{"timestamp", 1.7e12}}},
      {R"({"timestamp":null})", {{"timestamp", Null{}}}},
  };
  for (const auto& c : cases) {
    auto row = parse_flat_json_object(c.datagram);
    if (!row) {
      CHECK_EQ(std::string("rejected"), std::string(c.datagram));
      continue;
    }
    bool has_ts = false;
    for (const auto& [name, want] : c.columns) {
      has_ts = has_ts || std::string_view(name) == "timestamp";
      const Cell* got = row->find(name);
      if (got == nullptr || !(*got == want)) {
        CHECK_EQ(std::string(c.datagram) + " column " + name, std::string("matches"));
      }
    }
    const std::size_t expected = c.columns.size() + (has_ts ? 0 : 1);
    CHECK_EQ(row->size(), expected);
    if (!has_ts) CHECK(row->find("timestamp") && row->find("timestamp")->index() == kIntIndex);
  }
}

TEST(datagrams_that_are_rejected) {
  const char* cases[] = {
      "", "{", "}", "x", "{\n\"a\":1}", "{\"a\":1,\n\"b\":2}", "{\"a\":1,\t\"b\":2}",
      R"({"a":{"b":1}})", R"({"a":[1,2]})", R"({a:1})", R"({"a" 1})", R"({"a:1})",
      R"({"a":1)", R"("a":1})", R"({"a\")", "{\"a\\", "{\"\\}",
  };
  for (const char* c : cases) {
    if (parse_flat_json_object(c)) CHECK_EQ(std::string("accepted"), std::string(c));
  }
}

TEST(parser_survives_every_short_input) {
  // Every string of up to four bytes over the characters that matter.
  const char alphabet[] = {'{', '}', '"', '\\', ':', ',', ' ', '1', 'e', '\n', '\0'};
  std::string s;
  std::function<void(int)> walk = [&](int depth) {
    (void)parse_flat_json_object(s);
    if (depth == 0) return;
    for (char c : alphabet) {
      s.push_back(c);
      walk(depth - 1);
      s.pop_back();
    }
  };
  walk(4);
  CHECK(true);
}
