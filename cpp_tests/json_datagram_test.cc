#include <cmath>
#include <functional>
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

// Holds the parser to the plain model of the format on text, reporting the
// text when they differ.
void check_against_model(const std::string& text) {
  if (!movra_model::same(parse_flat_json_object(text), movra_model::parse(text))) {
    CHECK_EQ(text, std::string("parsed as the model parses it"));
  }
}

TEST(parser_matches_the_model_on_every_short_input) {
  // Every string of up to four bytes over the characters that matter.
  const char alphabet[] = {'{', '}', '"', '\\', ':', ',', ' ', '1', 'e', '\n', '\0'};
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
  };
  const std::string bytes = "{}\":,\\ \t\n\v.eE+-0123456789nultrfasx\x80\xff";
  std::mt19937 rng(11);
  for (int round = 0; round < 60000; ++round) {
    std::string text = seeds[round % 3];
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
