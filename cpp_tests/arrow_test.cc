// Arrow intake and export: hand-built arrays of every layout the intake
// reads, and results exported then read back, released in every order a
// consumer may choose.
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/arrow_c_abi.h"
#include "model/arrow_export.h"
#include "model/arrow_intake.h"
#include "model/output_columns.h"
#include "test.h"

using namespace movra;

namespace {

// A schema or array node whose storage lives in the test (release is a
// no-op: nothing here is handed to a consumer).
void no_release_schema(ArrowSchema* s) { s->release = nullptr; }
void no_release_array(ArrowArray* a) { a->release = nullptr; }

ArrowSchema schema_node(const char* format, const char* name, std::vector<ArrowSchema*>* children = nullptr) {
  return ArrowSchema{format, name, nullptr, ARROW_FLAG_NULLABLE,
                     children != nullptr ? static_cast<std::int64_t>(children->size()) : 0,
                     children != nullptr ? children->data() : nullptr, nullptr, no_release_schema, nullptr};
}

ArrowArray array_node(std::int64_t length, std::int64_t offset, std::int64_t null_count,
                      std::vector<const void*>* buffers, std::vector<ArrowArray*>* children = nullptr) {
  return ArrowArray{length, null_count, offset, static_cast<std::int64_t>(buffers->size()),
                    children != nullptr ? static_cast<std::int64_t>(children->size()) : 0,
                    buffers->data(), children != nullptr ? children->data() : nullptr, nullptr,
                    no_release_array, nullptr};
}

const Cell& at(const Row& row, const char* name) { return *row.find(name); }

std::string refusal(const ArrowSchema& schema, const ArrowArray* array = nullptr) {
  try {
    ArrowIntake intake(schema);
    Batch out;
    if (array != nullptr) intake.append_rows(*array, out);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(arrow_intake_reads_offsets_validity_and_every_string_layout) {
  // Column "s": a string view, one inline value and one in a data buffer.
  const std::string long_text = "a value longer than twelve bytes";
  std::uint8_t views[3 * 16] = {};
  const std::int32_t short_len = 2, long_len = static_cast<std::int32_t>(long_text.size()), zero = 0;
  std::memcpy(views + 16, &short_len, 4);
  std::memcpy(views + 20, "hi", 2);
  std::memcpy(views + 32, &long_len, 4);
  std::memcpy(views + 36, long_text.data(), 4);
  std::memcpy(views + 40, &zero, 4);  // buffer 0
  std::memcpy(views + 44, &zero, 4);  // offset 0
  const std::int64_t sizes[] = {long_len};
  std::vector<const void*> s_buffers = {nullptr, views, long_text.data(), sizes};
  // Column "t": timestamps in microseconds, offset 1, the middle one null.
  const std::int64_t micros[] = {0, -1500, 7, 2001};
  const std::uint8_t t_valid[] = {0b1011};
  std::vector<const void*> t_buffers = {t_valid, micros};
  // Column "h": half floats 1.5, -0.0, inf.
  const std::uint16_t halves[] = {0x3e00, 0x8000, 0x7c00};
  std::vector<const void*> h_buffers = {nullptr, halves};

  ArrowSchema s = schema_node("vu", "s"), t = schema_node("tsu:UTC", "t"), h = schema_node("e", "h");
  std::vector<ArrowSchema*> fields = {&s, &t, &h};
  ArrowSchema root = schema_node("+s", "", &fields);
  // The batch starts at row 1 of its children: rows are views 1..2, times
  // 1..2 (plus the child's own offset of 1 for "t"), halves 1..2.
  ArrowArray sa = array_node(3, 0, 0, &s_buffers), ta = array_node(3, 1, 1, &t_buffers),
             ha = array_node(3, 0, 0, &h_buffers);
  std::vector<ArrowArray*> children = {&sa, &ta, &ha};
  std::vector<const void*> no_buffers = {nullptr};
  ArrowArray batch = array_node(2, 1, 0, &no_buffers, &children);

  Batch out;
  ArrowIntake(root).append_rows(batch, out);
  CHECK_EQ(out.size(), std::size_t{2});
  if (out.size() != 2) return;
  CHECK(at(out[0], "s") == Cell(std::string("hi")));
  CHECK(at(out[1], "s") == Cell(long_text));
  CHECK(at(out[0], "t").index() == kNullIndex);  // bit 2 of t_valid is clear
  CHECK(at(out[1], "t") == Cell(std::int64_t{2}));  // 2001 us floors to 2 ms
  CHECK(at(out[0], "h") == Cell(-0.0));
  CHECK(at(out[1], "h") == Cell(std::numeric_limits<double>::infinity()));
  CHECK(out[0].contains("timestamp"));  // stamped: no column supplies it
}

TEST(arrow_intake_floors_negative_times_and_decodes_dictionaries) {
  const std::int64_t nanos[] = {-1, -1'000'000, -1'000'001, 1'999'999};
  std::vector<const void*> t_buffers = {nullptr, nanos};
  const std::int8_t indices[] = {1, 0, 1, -0};
  const std::int32_t offsets[] = {0, 1, 3};
  const char bytes[] = "xyz";
  std::vector<const void*> d_buffers = {nullptr, indices}, v_buffers = {nullptr, offsets, bytes};
  ArrowSchema values = schema_node("u", "");
  ArrowSchema t = schema_node("tDn", "timestamp"), d = schema_node("c", "d");
  d.dictionary = &values;
  std::vector<ArrowSchema*> fields = {&t, &d};
  ArrowSchema root = schema_node("+s", "", &fields);
  ArrowArray ta = array_node(4, 0, 0, &t_buffers), da = array_node(4, 0, 0, &d_buffers),
             va = array_node(2, 0, 0, &v_buffers);
  da.dictionary = &va;
  std::vector<ArrowArray*> children = {&ta, &da};
  std::vector<const void*> no_buffers = {nullptr};
  ArrowArray batch = array_node(4, 0, 0, &no_buffers, &children);
  Batch out;
  ArrowIntake(root).append_rows(batch, out);
  const std::int64_t want[] = {-1, -1, -2, 1};
  for (std::size_t i = 0; i < 4 && i < out.size(); ++i) {
    CHECK(at(out[i], "timestamp") == Cell(want[i]));
    CHECK(at(out[i], "d") == Cell(std::string(i % 2 == 0 ? "yz" : "x")));
  }
}

TEST(arrow_intake_refusals_name_the_column) {
  ArrowSchema b = schema_node("z", "it's");
  std::vector<ArrowSchema*> fields = {&b};
  ArrowSchema root = schema_node("+s", "", &fields);
  CHECK_EQ(refusal(root), std::string("column \"it's\" has Arrow type binary, which has no event value type "
                                      "(bool, int, float, str, timestamp); cast it first"));
  ArrowSchema plain = schema_node("l", "");
  CHECK_EQ(refusal(plain),
           std::string("Arrow data must be a table or record batch (a struct of columns), got int64"));

  const std::uint64_t big[] = {1, 1ull << 63, ~0ull, ~0ull};
  std::vector<const void*> u_buffers = {nullptr, big};
  ArrowSchema u = schema_node("L", "u\n");
  std::vector<ArrowSchema*> u_fields = {&u};
  ArrowSchema u_root = schema_node("+s", "", &u_fields);
  ArrowArray ua = array_node(4, 0, 0, &u_buffers);
  std::vector<ArrowArray*> children = {&ua};
  std::vector<const void*> no_buffers = {nullptr};
  ArrowArray batch = array_node(4, 0, 0, &no_buffers, &children);
  CHECK_EQ(refusal(u_root, &batch),
           std::string("column 'u\\n' row 2: 18446744073709551615 does not fit in a 64-bit signed integer"));
}

TEST(exported_results_read_back_as_their_typed_cells) {
  Batch rows;
  rows.push_back(Row::FromUnsorted({{"b", true}, {"i", std::int64_t{1}}, {"m", std::int64_t{2}},
                                    {"s", std::string("x")}, {"timestamp", std::int64_t{5}}}));
  rows.push_back(Row::FromUnsorted({{"i", Cell{}}, {"m", 2.5}, {"s", 1234567.0}, {"timestamp", std::int64_t{6}},
                                    {"z", Cell{}}}));
  auto columns = std::make_shared<const OutputColumns>(columns_from_rows(rows));
  ArrowSchema schema;
  ArrowArray array;
  export_schema(*columns, &schema);
  export_array(columns, &array);
  Batch back;
  ArrowIntake(schema).append_rows(array, back);
  CHECK_EQ(back.size(), std::size_t{2});
  if (back.size() == 2) {
    CHECK(at(back[0], "b") == Cell(true));
    CHECK(at(back[1], "b").index() == kNullIndex);
    CHECK(at(back[1], "i").index() == kNullIndex);
    CHECK(at(back[0], "m") == Cell(2.0));  // ints and doubles: double
    CHECK(at(back[1], "s") == Cell(std::string("1.23457e+06")));
    CHECK(at(back[0], "z").index() == kNullIndex);  // a null column
  }
  // A consumer may move a child out and release the parent first.
  ArrowArray child = *array.children[0];
  array.children[0]->release = nullptr;
  array.release(&array);
  columns.reset();
  CHECK(array.release == nullptr);
  CHECK_EQ(child.length, std::int64_t{2});
  CHECK_EQ(static_cast<const std::uint8_t*>(child.buffers[1])[0] & 1, 1);  // still alive
  child.release(&child);
  schema.release(&schema);
}

TEST(exported_stream_yields_one_batch_then_ends) {
  Batch rows;
  rows.push_back(Row::FromUnsorted({{"x", std::int64_t{7}}}));
  ArrowArrayStream stream;
  export_stream(std::make_shared<const OutputColumns>(columns_from_rows(rows)), &stream);
  ArrowSchema schema;
  ArrowArray first, second;
  CHECK_EQ(stream.get_schema(&stream, &schema), 0);
  CHECK_EQ(stream.get_next(&stream, &first), 0);
  CHECK_EQ(stream.get_next(&stream, &second), 0);
  CHECK(first.release != nullptr && second.release == nullptr);
  stream.release(&stream);  // the batch outlives its stream
  CHECK_EQ(static_cast<const std::int64_t*>(first.children[0]->buffers[1])[0], std::int64_t{7});
  first.release(&first);
  schema.release(&schema);
}
