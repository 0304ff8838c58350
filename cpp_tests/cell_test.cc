#include <cmath>
#include <limits>

#include "model/cell.h"
#include "model/utf8.h"
#include "test.h"

using namespace movra;

TEST(display_matches_printf_general_six) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct { double v; const char* text; } cases[] = {
      {1.0, "1"},          {0.1, "0.1"},          {100000.0, "100000"},   {1000000.0, "1e+06"},
      {1234567.0, "1.23457e+06"}, {0.00001, "1e-05"}, {2.5, "2.5"},       {-0.0, "-0"},
      {inf, "inf"},        {-inf, "-inf"},        {nan, "nan"},           {0.0001, "0.0001"},
      {123456.5, "123456"}, {1e100, "1e+100"},    {-1.5e-7, "-1.5e-07"},  {999999.5, "1e+06"},
  };
  for (const auto& c : cases) {
    CHECK_EQ(display(Cell{c.v}), std::string(c.text));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", c.v);
    CHECK_EQ(display(Cell{c.v}), std::string(buf));
  }
}

TEST(display_of_other_alternatives) {
  CHECK_EQ(display(Cell{}), std::string());
  CHECK_EQ(display(Cell{true}), std::string("true"));
  CHECK_EQ(display(Cell{false}), std::string("false"));
  CHECK_EQ(display(Cell{std::int64_t{-42}}), std::string("-42"));
  CHECK_EQ(display(Cell{std::numeric_limits<std::int64_t>::min()}),
           std::string("-9223372036854775808"));
  CHECK_EQ(display(Cell{std::string("\xff\xfe")}), std::string("\xff\xfe"));
}

TEST(compare_cells_table) {
  const Cell i3{std::int64_t{3}}, d3{3.0}, nan{std::nan("")};
  const Cell big1{std::int64_t{9007199254740993}}, big2{std::int64_t{9007199254740992}};
  const Cell t{true}, f{false}, a{std::string("a")}, b{std::string("b")}, null{};
  const Cell s5{std::string("5")}, i5{std::int64_t{5}};
  const struct { const Cell& l; const char* op; const Cell& r; bool want; } cases[] = {
      {i3, "==", d3, true},     {big1, "==", big2, true}, {nan, "==", nan, false},
      {nan, "!=", nan, true},   {nan, "<=", i5, false},   {i3, "<", i5, true},
      {i5, ">=", i5, true},     {i5, ">", i3, true},      {i3, "<=", d3, true},
      {t, "<", f, false},       {t, "==", t, true},       {t, "!=", f, true},
      {a, "<", b, false},       {a, "==", a, true},       {a, "!=", b, true},
      {null, "==", null, false}, {null, "!=", null, false}, {t, "==", i5, false},
      {s5, "==", i5, false},    {s5, "!=", i5, false},    {i3, " ==", i3, false},
      {i3, "=", i3, false},     {i3, "", i3, false},
  };
  for (const auto& c : cases) {
    if (compare_cells(c.l, c.op, c.r) != c.want) {
      CHECK_EQ(display(c.l) + " " + c.op + " " + display(c.r), std::string(c.want ? "true" : "false"));
    }
  }
}

TEST(number_readers) {
  CHECK(!to_i64(Cell{5.0}));
  CHECK_EQ(*to_f64(Cell{std::int64_t{-7}}), -7.0);
  CHECK(!to_f64(Cell{true}) && !to_i64(Cell{true}));
  CHECK(!to_f64(Cell{std::string("12")}) && !to_i64(Cell{std::string("12")}));
}

TEST(row_orders_names_bytewise_and_replaces) {
  Row row;
  row.set(std::string_view("b"), std::int64_t{1});
  row.set(std::string_view("a"), std::int64_t{2});
  row.set(std::string_view("B"), std::int64_t{3});
  row.set(std::string_view("\xc3\xa9"), std::int64_t{4});
  row.set(std::string_view("a"), std::int64_t{5});
  std::string order;
  for (const auto& [name, cell] : row) order += name + ",";
  CHECK_EQ(order, std::string("B,a,b,\xc3\xa9,"));
  CHECK_EQ(std::get<std::int64_t>(*row.find("a")), 5);
  CHECK(row.find("c") == nullptr);
}

TEST(now_millis_is_wall_clock) {
  const auto t = now_millis();
  CHECK(t > 1700000000000 && t < 4102444800000);
}

TEST(utf8_validation) {
  CHECK(is_valid_utf8("plain ascii text that is long enough"));
  CHECK(is_valid_utf8("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  CHECK(!is_valid_utf8("\xff"));
  CHECK(!is_valid_utf8("\xc0\xaf"));          // overlong
  CHECK(!is_valid_utf8("\xed\xa0\x80"));      // surrogate
  CHECK(!is_valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
  CHECK(!is_valid_utf8("abcdefgh\xe2\x82"));  // truncated
}
