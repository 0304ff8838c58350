#include <cmath>
#include <functional>
#include <iterator>
#include <limits>

#include <random>

#include "datagram_model.h"
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
      {R"({"a":"x\ny"})", {{"a", S("x\ny")}}},
      {R"({"a":"x\\y"})", {{"a", S("x\\y")}}},
      // JSON's escapes, as json.dumps writes them (ASCII only by default).
      {R"({"city":"Z\u00fcrich"})", {{"city", S("Z\xc3\xbcrich")}}},
      {R"({"a":"\b\f\n\r\t\/\"\\"})", {{"a", S("\b\f\n\r\t/\"\\")}}},
      {R"({"a":"\u20AC\u00e9\u0041"})", {{"a", S("\xe2\x82\xac\xc3\xa9" "A")}}},
      {R"({"a":"\ud83d\ude00!"})", {{"a", S("\xf0\x9f\x98\x80!")}}},
      {R"({"a":"\udbff\udfff"})", {{"a", S("\xf4\x8f\xbf\xbf")}}},
      {R"({"a":"x\u0000y"})", {{"a", Cell(std::string("x\0y", 3))}}},
      {R"({"k\u00e9y\n":1})", {{"k\xc3\xa9y\n", I(1)}}},
      // Escapes JSON does not define keep the byte after the backslash.
      {R"({"a":"\a\x\u12\uZZZZ\u"})", {{"a", S("axu12uZZZZu")}}},
      {R"({"a":"\u00e"})", {{"a", S("u00e")}}},
      // JSON whitespace wherever JSON allows it.
      {"{\n  \"a\": 1,\n  \"b\": \"x\"\n}", {{"a", I(1)}, {"b", S("x")}}},
      {"{\"a\":1,\n\"b\":2}", {{"a", I(1)}, {"b", I(2)}}},
      {"{\r\n\t\"a\"\t:\t1\t,\t\"b\" : \"x\"\r\n}", {{"a", I(1)}, {"b", S("x")}}},
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
      "", "{", "}", "x", "{\v\"a\":1}", "{\"a\":1,\f\"b\":2}",
      // Lone surrogates, in values and keys, kept or replaced.
      R"({"a":"\ud800"})", R"({"a":"\udc00x"})", R"({"a":"\ud800\u0041"})", R"({"a":"\ud800\udbff"})",
      R"({"a":"\ud800\\"})", R"({"\udfff":1})", R"({"a":"\ud800","a":1})",
      R"({"a":{"b":1}})", R"({"a":[1,2]})", R"({a:1})", R"({"a" 1})", R"({"a:1})",
      R"({"a":1)", R"("a":1})", R"({"a\")", "{\"a\\", "{\"\\}",
  };
  for (const char* c : cases) {
    if (parse_flat_json_object(c)) CHECK_EQ(std::string("accepted"), std::string(c));
  }
}

TEST(several_objects_in_one_datagram_are_events_in_order) {
  using Rows = std::vector<std::vector<std::pair<const char*, Cell>>>;
  const std::pair<const char*, Rows> cases[] = {
      {"{\"a\":1}\n{\"a\":2}\n", {{{"a", I(1)}}, {{"a", I(2)}}}},
      {"{\"a\":1}{\"b\":\"x\"}", {{{"a", I(1)}}, {{"b", S("x")}}}},
      {" {\"a\":1} \r\n\t {}\n{\n \"c\": \"\\u00e9\"\n}\n", {{{"a", I(1)}}, {}, {{"c", S("\xc3\xa9")}}}},
      {"{\"a\":\"}{\"}\n{\"b\":2}", {{{"a", S("}{")}}, {{"b", I(2)}}}},
  };
  for (const auto& [datagram, want] : cases) {
    std::vector<Row> rows;
    if (!parse_json_datagram(datagram, rows) || rows.size() != want.size()) {
      CHECK_EQ(std::string(datagram), std::string("read as ") + std::to_string(want.size()) + " events");
      continue;
    }
    for (std::size_t i = 0; i < want.size(); ++i) {
      CHECK_EQ(rows[i].size(), want[i].size() + 1);  // and the generated timestamp
      for (const auto& [name, cell] : want[i]) CHECK(rows[i].find(name) && *rows[i].find(name) == cell);
    }
  }
  // One bad object rejects the whole datagram: nothing of it is kept, and
  // Rows already in the output stay as they were.
  const char* rejected[] = {
      "{\"a\":1}\n{\"b\":{\"c\":1}}", "{\"a\":1},{\"b\":2}", "[{\"a\":1},{\"b\":2}]", "{\"a\":1}\nx}",
      "{\"a\":1}\n{\"b\":[1,2]}", "{\"a\":1}\n{\"b\":\"\\udc00\"}", "{\"a\":1}\n{b:2}", "{\"a\":1} }", " \n ",
  };
  for (const char* datagram : rejected) {
    std::vector<Row> rows(1);
    rows[0].set(std::string_view("kept"), Cell(std::int64_t{7}));
    if (parse_json_datagram(datagram, rows)) CHECK_EQ(std::string(datagram), std::string("rejected"));
    CHECK_EQ(rows.size(), std::size_t{1});
    CHECK(rows[0].size() == 1 && rows[0].contains("kept"));
  }
  // parse_flat_json_object takes exactly one object.
  CHECK(!parse_flat_json_object("{\"a\":1}\n{\"a\":2}"));
}

// Holds the parser to the plain model of the format on text, reporting the
// text when they differ.
void check_against_model(const std::string& text) {
  if (!movra_model::same(text)) CHECK_EQ(text, std::string("parsed as the model parses it"));
}

TEST(parser_matches_the_model_on_every_short_input) {
  // Every string of up to four bytes over the characters that matter.
  const char alphabet[] = {'{', '}', '"', '\\', ':', ',', ' ', '1', 'e', '\n', '\t', 'u', '\0'};
  std::string s;
  std::function<void(int)> walk = [&](int depth) {
    check_against_model(s);
    if (depth == 0) return;
    for (char c : alphabet) {
      s.push_back(c);
      walk(depth - 1);
      s.pop_back();
    }
  };
  walk(4);
}

TEST(parser_matches_the_model_on_edited_datagrams) {
  // Realistic datagrams with a few bytes replaced, inserted or removed, from
  // a byte set rich in what the scan reacts to.
  const std::string seeds[] = {
      R"({"symbol":"AAPL","price":187.25,"size":300,"side":"buy","venue":"XNAS","seq":1234567,"timestamp":1700000000123})",
      R"({"a":1,"b":2.5,"c":"x","d":true,"e":null,"a":-7,"k\"ey":"v\\al"})",
      R"(  {"x":1e3, "y": +007 ,"z":"open}  )",
      R"({"k\u00e9y":"caf\u00e9 \ud83d\ude00\n\t\"q\"\/","n":1}{"x":"\uD800\uDC00"})",
      "{\n  \"a\": 1,\n  \"b\": \"x\\ty\"\n}\n{\r\n\t\"c\":[1]}\n",
  };
  const std::string bytes = "{}\":,\\ \t\n\v\r.eE+-0123456789nultrfasxubdcDC\x80\xff";
  std::mt19937 rng(11);
  for (int round = 0; round < 100000; ++round) {
    std::string text = seeds[round % std::size(seeds)];
    for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0; --edits) {
      const std::size_t at = rng() % (text.size() + 1);
      const char c = bytes[rng() % bytes.size()];
      switch (rng() % 3) {
        case 0: if (at < text.size()) text[at] = c; break;
        case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), c); break;
        default: if (at < text.size()) text.erase(at, 1); break;
      }
    }
    check_against_model(text);
  }
}

TEST(parser_reads_many_members_and_numbers_like_the_c_library) {
  std::string many = "{";
  for (int i = 40; i > 0; --i) many += "\"k" + std::to_string(i % 23) + "\":" + std::to_string(i) + ",";
  check_against_model(many + "}");
  const char* numbers[] = {"0.1", "-0.0", "1e-320", "4.9e-324", "2.2250738585072014e-308", "1e308",
                           "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497791.9999999999999999999999999999999999999999999999999999999999999999999999",
                           "0x1.8p1", "1.5e", ".5", "5.", "-", "+.e1", "infinite", "nan.0", "00000000000000000000000000012",
                           "-9223372036854775809", "1234567890123456789012345678901234567890.5"};
  for (const char* number : numbers) check_against_model(std::string(R"({"n":)") + number + "}");
}
