#include "model/arrow_export.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace movra {

namespace {

// ----------------------------------------------------------------- schemas

struct SchemaData {
  std::string format;
  std::string name;
  std::vector<ArrowSchema*> children;  // owned; each releasable on its own
};

void release_schema(ArrowSchema* schema) {
  auto* data = static_cast<SchemaData*>(schema->private_data);
  for (ArrowSchema* child : data->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete data;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::string format, std::string name, std::int64_t flags,
                 std::vector<ArrowSchema*> children) {
  auto* data = new SchemaData{std::move(format), std::move(name), std::move(children)};
  out->format = data->format.c_str();
  out->name = data->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = data;
}

const char* format_of(const OutputColumn& col) {
  switch (col.type) {
    case OutputType::kBool: return "b";
    case OutputType::kInt64: return "l";
    case OutputType::kFloat64: return "g";
    case OutputType::kString: return col.large_offsets ? "U" : "u";
    case OutputType::kNull: return "n";
  }
  return "n";
}

// ------------------------------------------------------------------ arrays

struct ArrayData {
  std::shared_ptr<const OutputColumns> keep;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray*> children;  // owned; each releasable on its own
};

void release_array(ArrowArray* array) {
  auto* data = static_cast<ArrayData*>(array->private_data);
  for (ArrowArray* child : data->children) {
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete data;
  array->release = nullptr;
}

ArrowArray* column_array(const std::shared_ptr<const OutputColumns>& keep, const OutputColumn& col) {
  auto* data = new ArrayData{keep, {nullptr, nullptr, nullptr}, {}};
  data->buffers[0] = col.validity.empty() ? nullptr : col.validity.data();
  std::int64_t n_buffers = 2;
  switch (col.type) {
    case OutputType::kBool: data->buffers[1] = col.bits.data(); break;
    case OutputType::kInt64: data->buffers[1] = col.ints.data(); break;
    case OutputType::kFloat64: data->buffers[1] = col.doubles.data(); break;
    case OutputType::kString:
      n_buffers = 3;
      data->buffers[1] = col.large_offsets ? static_cast<const void*>(col.offsets64.data())
                                           : static_cast<const void*>(col.offsets32.data());
      data->buffers[2] = col.bytes.data();
      break;
    case OutputType::kNull: n_buffers = 0; break;
  }
  auto* array = new ArrowArray;
  array->length = keep->rows;
  array->null_count = col.null_count;
  array->offset = 0;
  array->n_buffers = n_buffers;
  array->n_children = 0;
  array->buffers = n_buffers == 0 ? nullptr : data->buffers;
  array->children = nullptr;
  array->dictionary = nullptr;
  array->release = release_array;
  array->private_data = data;
  return array;
}

// ----------------------------------------------------------------- streams

struct StreamData {
  std::shared_ptr<const OutputColumns> columns;
  bool done = false;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  export_schema(*static_cast<StreamData*>(stream->private_data)->columns, out);
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  if (data->done) {
    std::memset(out, 0, sizeof(*out));  // release null: the end of the stream
    return 0;
  }
  export_array(data->columns, out);
  data->done = true;
  return 0;
}

const char* stream_last_error(ArrowArrayStream*) { return nullptr; }

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void export_schema(const OutputColumns& columns, ArrowSchema* out) {
  std::vector<ArrowSchema*> children;
  children.reserve(columns.columns.size());
  for (const OutputColumn& col : columns.columns) {
    auto* child = new ArrowSchema;
    fill_schema(child, format_of(col), col.name, ARROW_FLAG_NULLABLE, {});
    children.push_back(child);
  }
  fill_schema(out, "+s", "", 0, std::move(children));
}

void export_array(std::shared_ptr<const OutputColumns> columns, ArrowArray* out) {
  auto* data = new ArrayData{columns, {nullptr, nullptr, nullptr}, {}};
  data->children.reserve(columns->columns.size());
  for (const OutputColumn& col : columns->columns) data->children.push_back(column_array(columns, col));
  out->length = columns->rows;
  out->null_count = 0;
  out->offset = 0;
  out->n_buffers = 1;  // a struct's validity bitmap, absent
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->buffers = data->buffers;
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data;
}

void export_stream(std::shared_ptr<const OutputColumns> columns, ArrowArrayStream* out) {
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->release = release_stream;
  out->private_data = new StreamData{std::move(columns), false};
}

}  // namespace movra
