#include "module/arrow_capsules.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "model/arrow_c_abi.h"
#include "model/arrow_export.h"
#include "model/arrow_intake.h"
#include "model/messages.h"
#include "model/utf8.h"

namespace py = pybind11;

namespace movra {

namespace {

constexpr char kSchemaCapsule[] = "arrow_schema";
constexpr char kArrayCapsule[] = "arrow_array";
constexpr char kStreamCapsule[] = "arrow_array_stream";

template <typename T>
T* capsule_pointer(py::handle capsule, const char* name) {
  void* p = PyCapsule_GetPointer(capsule.ptr(), name);
  if (p == nullptr) throw py::error_already_set();
  return static_cast<T*>(p);
}

// Releases a struct this side took from a stream, on every way out.
template <typename T>
class Released {
 public:
  Released() { std::memset(&value_, 0, sizeof(value_)); }
  ~Released() {
    if (value_.release != nullptr) value_.release(&value_);
  }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;
  T* get() { return &value_; }

 private:
  T value_;
};

[[noreturn]] void stream_failed(ArrowArrayStream* stream, int code) {
  std::string text = messages::kArrowStreamFailed;
  const char* detail = stream->get_last_error != nullptr ? stream->get_last_error(stream) : nullptr;
  text += ": ";
  text += detail != nullptr ? detail : std::to_string(code);
  throw std::runtime_error(text);
}

// The capsules' destructors: a struct still live is released, then freed.
template <typename T>
void free_capsule(PyObject* capsule, const char* name) {
  if (!PyCapsule_IsValid(capsule, name)) return;
  auto* value = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (value->release != nullptr) value->release(value);
  delete value;
}
void free_schema_capsule(PyObject* c) { free_capsule<ArrowSchema>(c, kSchemaCapsule); }
void free_array_capsule(PyObject* c) { free_capsule<ArrowArray>(c, kArrayCapsule); }
void free_stream_capsule(PyObject* c) { free_capsule<ArrowArrayStream>(c, kStreamCapsule); }

template <typename T>
py::capsule new_capsule(std::unique_ptr<T> value, const char* name, PyCapsule_Destructor destructor) {
  PyObject* c = PyCapsule_New(value.get(), name, destructor);
  if (c == nullptr) {
    if (value->release != nullptr) value->release(value.get());
    throw py::error_already_set();
  }
  value.release();
  return py::reinterpret_steal<py::capsule>(c);
}

// Raises UnicodeDecodeError, as decoding would, for the first name or text
// value that is not valid UTF-8, and ValueError for a name holding a NUL.
void check_utf8(const OutputColumns& columns) {
  const auto raise_for = [](std::string_view bytes) {
    PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict");
    if (s == nullptr) throw py::error_already_set();
    Py_DECREF(s);
  };
  for (const OutputColumn& col : columns.columns) {
    if (!is_valid_utf8(col.name)) raise_for(col.name);
    if (col.name.find('\0') != std::string::npos) {
      throw std::invalid_argument("column " + quoted_name(col.name) + messages::kArrowNameWithNulTail);
    }
    if (col.type != OutputType::kString || is_ascii(col.bytes)) continue;
    // Valid as a whole and cut only at character starts means every value
    // is valid; otherwise find the value that is not.
    const auto offset = [&](std::int64_t i) {
      return static_cast<std::size_t>(col.large_offsets ? col.offsets64[static_cast<std::size_t>(i)]
                                                        : col.offsets32[static_cast<std::size_t>(i)]);
    };
    bool valid = is_valid_utf8(col.bytes);
    for (std::int64_t i = 1; valid && i < columns.rows; ++i) {
      const std::size_t at = offset(i);
      if (at < col.bytes.size() && (static_cast<unsigned char>(col.bytes[at]) & 0xC0) == 0x80) valid = false;
    }
    if (valid) continue;
    for (std::int64_t i = 0; i < columns.rows; ++i) {
      const std::string_view value(col.bytes.data() + offset(i), offset(i + 1) - offset(i));
      if (!is_valid_utf8(value)) raise_for(value);
    }
  }
}

// What arrow_result returns: a shared, read-only result that exports itself
// as often as asked.
class ArrowResult {
 public:
  explicit ArrowResult(std::shared_ptr<const OutputColumns> columns) : columns_(std::move(columns)) {}

  py::capsule schema() const {
    auto schema = std::make_unique<ArrowSchema>();
    export_schema(*columns_, schema.get());
    return new_capsule(std::move(schema), kSchemaCapsule, free_schema_capsule);
  }

  py::tuple array(const py::object& /*requested_schema*/) const {
    py::capsule s = schema();
    auto array = std::make_unique<ArrowArray>();
    export_array(columns_, array.get());
    return py::make_tuple(std::move(s), new_capsule(std::move(array), kArrayCapsule, free_array_capsule));
  }

  py::capsule stream(const py::object& /*requested_schema*/) const {
    auto stream = std::make_unique<ArrowArrayStream>();
    export_stream(columns_, stream.get());
    return new_capsule(std::move(stream), kStreamCapsule, free_stream_capsule);
  }

  std::int64_t rows() const { return columns_->rows; }

  py::list names() const {
    py::list names;
    for (const OutputColumn& col : columns_->columns) names.append(py::str(col.name));
    return names;
  }

 private:
  std::shared_ptr<const OutputColumns> columns_;
};

}  // namespace

Batch rows_from_arrow(py::handle data) {
  Batch rows;
  if (py::hasattr(data, "__arrow_c_array__")) {
    py::object pair = data.attr("__arrow_c_array__")();
    if (!py::isinstance<py::tuple>(pair) || py::len(pair) != 2) throw py::type_error(messages::kArrowNoExport);
    py::tuple capsules = py::reinterpret_borrow<py::tuple>(pair);
    const auto* schema = capsule_pointer<ArrowSchema>(capsules[0], kSchemaCapsule);
    const auto* array = capsule_pointer<ArrowArray>(capsules[1], kArrayCapsule);
    const ArrowIntake intake(*schema);
    py::gil_scoped_release release;
    intake.append_rows(*array, rows);
    return rows;
  }
  if (py::hasattr(data, "__arrow_c_stream__")) {
    py::object capsule = data.attr("__arrow_c_stream__")();
    auto* stream = capsule_pointer<ArrowArrayStream>(capsule, kStreamCapsule);
    Released<ArrowSchema> schema;
    if (const int code = stream->get_schema(stream, schema.get()); code != 0) stream_failed(stream, code);
    const ArrowIntake intake(*schema.get());
    while (true) {
      Released<ArrowArray> array;
      if (const int code = stream->get_next(stream, array.get()); code != 0) stream_failed(stream, code);
      if (array.get()->release == nullptr) break;
      py::gil_scoped_release release;
      intake.append_rows(*array.get(), rows);
    }
    return rows;
  }
  throw py::type_error(std::string(messages::kArrowNoExport) + ", got " +
                       std::string(py::str(py::type::handle_of(data).attr("__qualname__"))));
}

void arrow_to_chunk(py::handle data, EventChunk& out) {
  const std::size_t before = out.size();
  const auto taken = [&] { return static_cast<std::int64_t>(out.size() - before); };
  try {
    if (py::hasattr(data, "__arrow_c_array__")) {
      py::object pair = data.attr("__arrow_c_array__")();
      if (!py::isinstance<py::tuple>(pair) || py::len(pair) != 2) throw py::type_error(messages::kArrowNoExport);
      py::tuple capsules = py::reinterpret_borrow<py::tuple>(pair);
      const auto* schema = capsule_pointer<ArrowSchema>(capsules[0], kSchemaCapsule);
      const auto* array = capsule_pointer<ArrowArray>(capsules[1], kArrayCapsule);
      const ArrowIntake intake(*schema);
      py::gil_scoped_release release;
      intake.append_to_chunk(*array, taken(), out);
      return;
    }
    if (py::hasattr(data, "__arrow_c_stream__")) {
      py::object capsule = data.attr("__arrow_c_stream__")();
      auto* stream = capsule_pointer<ArrowArrayStream>(capsule, kStreamCapsule);
      Released<ArrowSchema> schema;
      if (const int code = stream->get_schema(stream, schema.get()); code != 0) stream_failed(stream, code);
      const ArrowIntake intake(*schema.get());
      while (true) {
        Released<ArrowArray> array;
        if (const int code = stream->get_next(stream, array.get()); code != 0) stream_failed(stream, code);
        if (array.get()->release == nullptr) break;
        py::gil_scoped_release release;
        intake.append_to_chunk(*array.get(), taken(), out);
      }
      return;
    }
  } catch (...) {
    out.truncate(before);
    throw;
  }
  throw py::type_error(std::string(messages::kArrowNoExport) + ", got " +
                       std::string(py::str(py::type::handle_of(data).attr("__qualname__"))));
}

py::object arrow_result(OutputColumns columns) {
  check_utf8(columns);
  return py::cast(ArrowResult(std::make_shared<const OutputColumns>(std::move(columns))));
}

void define_arrow_result(py::handle scope) {
  py::class_<ArrowResult>(scope, "ArrowResult")
      .def("__arrow_c_schema__", &ArrowResult::schema)
      .def("__arrow_c_array__", &ArrowResult::array, py::arg("requested_schema") = py::none())
      .def("__arrow_c_stream__", &ArrowResult::stream, py::arg("requested_schema") = py::none())
      .def("__len__", &ArrowResult::rows)
      .def_property_readonly("column_names", &ArrowResult::names)
      .def("__repr__", [](const ArrowResult& r) {
        return "<ArrowResult: " + std::to_string(r.rows()) + " rows, " +
               std::to_string(py::len(r.names())) + " columns>";
      });
}

}  // namespace movra
