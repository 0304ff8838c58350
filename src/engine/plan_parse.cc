#include "engine/plan_parse.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "engine/aggregates.h"
#include "engine/sketch_states.h"
#include "model/messages.h"
#include "model/py_values.h"
#include "model/saturating.h"
#include "model/utf8.h"

namespace py = pybind11;

namespace movra {

namespace {

// Subscript lookup: any mapping's own error (KeyError for a dict) propagates.
py::object item(py::handle mapping, const char* key) {
  py::object k = py::str(key);
  PyObject* v = PyObject_GetItem(mapping.ptr(), k.ptr());
  if (v == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(v);
}

// A list as it is, anything else through Python's list constructor.
py::list as_list(py::handle obj) {
  if (PyList_Check(obj.ptr())) return py::reinterpret_borrow<py::list>(obj);
  PyObject* l = PySequence_List(obj.ptr());
  if (l == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

// A dict as it is, anything else through Python's dict constructor.
py::dict as_dict(py::handle obj) {
  if (PyDict_Check(obj.ptr())) return py::reinterpret_borrow<py::dict>(obj);
  PyObject* d = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), obj.ptr());
  if (d == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::dict>(d);
}

// Calls f with an owned reference to each item; the size is read afresh each
// step, since a conversion may run code that edits the list.
template <typename F>
void for_each_item(const py::list& list, F&& f) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
    f(py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list.ptr(), i)));
  }
}

std::string as_string(py::handle obj) { return py::cast<std::string>(obj); }

// A name the result will carry as a column name.  Bytes that are not UTF-8
// are refused here with the UnicodeDecodeError that building the result
// would raise, before the call has taken any batch or closed any window.
std::string as_output_name(py::handle obj) {
  std::string name = as_string(obj);
  if (!is_valid_utf8(name)) {
    PyObject* text =
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
    if (text == nullptr) throw py::error_already_set();
    Py_DECREF(text);  // not reached: the two checks agree
  }
  return name;
}

std::int64_t as_int64(py::handle obj) { return py::cast<std::int64_t>(obj); }

// The value under key of a dict, or None when the key is absent: the keys an
// aggregate plan and the late-row keys added are optional.
py::object optional_item(const py::dict& mapping, const char* key) {
  py::object k = py::str(key);
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(mapping.ptr(), k.ptr(), &v) < 0) throw py::error_already_set();
  if (v == nullptr) return py::none();
  return py::reinterpret_steal<py::object>(v);
}

[[noreturn]] void refuse(const std::string& message) { throw py::value_error(message); }

// A quoted name for messages and the plan signature: "..." with \ and \"
// escaped, so that no two different names give the same text.
std::string quoted(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::int64_t positive_ms(py::handle obj, const char* key) {
  const std::int64_t v = as_int64(obj);
  if (v <= 0) refuse(std::string("plan key \"") + key + "\" must be a positive number of milliseconds, not " + std::to_string(v));
  return v;
}

struct OpName {
  const char* name;
  AggOp op;
  bool needs_field;
};

// The ops an aggregate plan knows.  A new op (a sketch with a state of
// variable size, for one) is added here, to AggOp and to aggregates.cc.
constexpr OpName kOps[] = {
    {"count", AggOp::kCount, false},     {"sum", AggOp::kSum, true},
    {"mean", AggOp::kMean, true},        {"min", AggOp::kMin, true},
    {"max", AggOp::kMax, true},          {"first", AggOp::kFirst, true},
    {"last", AggOp::kLast, true},        {"var", AggOp::kVar, true},
    {"stddev", AggOp::kStddev, true},    {"count_distinct", AggOp::kCountDistinct, true},
    {"quantile", AggOp::kQuantile, true}, {"approx_quantile", AggOp::kApproxQuantile, true},
    {"approx_count_distinct", AggOp::kApproxCountDistinct, true},
};

const char* op_name(AggOp op) {
  for (const OpName& o : kOps) {
    if (o.op == op) return o.name;
  }
  return "?";
}

// The window keys only an aggregate plan may use, read into ws; the checks
// that need the whole plan are made by check_aggregate_plan.
void parse_window_extras(const py::dict& w, WindowSpec& ws) {
  py::object size = optional_item(w, "size_ms");
  py::object slide = optional_item(w, "slide_ms");
  py::object gap = optional_item(w, "gap_ms");
  if (!is_none(gap)) {
    for (const char* other : {"seconds", "size_ms", "slide_ms"}) {
      if (!is_none(optional_item(w, other))) {
        refuse(std::string("plan window: \"gap_ms\" (a session window) cannot go with \"") + other +
               "\"");
      }
    }
    ws.gap_ms = positive_ms(gap, "gap_ms");
    return;
  }
  if (!is_none(size)) ws.size_ms = positive_ms(size, "size_ms");
  if (!is_none(slide)) ws.slide_ms = positive_ms(slide, "slide_ms");
}

AggSpec parse_aggregate(py::handle element, std::size_t index) {
  py::dict a = as_dict(element);
  AggSpec agg_spec;
  agg_spec.name = as_output_name(item(a, "name"));
  const std::string op = as_string(item(a, "op"));
  const OpName* found = nullptr;
  for (const OpName& o : kOps) {
    if (op == o.name) found = &o;
  }
  if (found == nullptr) {
    refuse("plan key \"aggs\": aggregate " + quoted(agg_spec.name) + " (number " +
           std::to_string(index) + ") has an unknown op " + quoted(op));
  }
  agg_spec.op = found->op;
  py::object field = optional_item(a, "field");
  if (!is_none(field)) agg_spec.field = as_string(field);
  if (found->needs_field && !agg_spec.field) {
    refuse("plan key \"aggs\": aggregate " + quoted(agg_spec.name) + " (op " + quoted(op) +
           ") needs a \"field\"");
  }
  py::object ddof = optional_item(a, "ddof");
  if (!is_none(ddof)) {
    agg_spec.ddof = as_int64(ddof);
    if (agg_spec.ddof < 0) {
      refuse("plan key \"aggs\": aggregate " + quoted(agg_spec.name) + " has a negative \"ddof\" " +
             std::to_string(agg_spec.ddof));
    }
  }
  py::object q = optional_item(a, "q");
  if (!is_none(q)) agg_spec.q = py::cast<double>(q);
  py::object param = optional_item(a, "param");
  if (!is_none(param)) agg_spec.param = as_int64(param);
  if (is_sketch_op(agg_spec.op)) {
    if (auto error = sketch_spec_error(agg_spec)) refuse(*error);
  }
  return agg_spec;
}

// The rules between keys: aggs with a window and without mean, names that
// do not collide, the window kinds only aggs may use.
void check_plan(PlanSpec& plan) {
  if (plan.aggs) {
    if (!plan.window) refuse("plan key \"aggs\": aggs needs a window");
    if (plan.mean) refuse("plan keys \"aggs\" and \"mean\" cannot both be given");
    WindowSpec& w = *plan.window;
    if (w.by) w.by_fields.insert(w.by_fields.begin(), *w.by);
    if (w.kind() != WindowKind::kSession && w.width_ms() <= 0) {
      refuse("plan window: the width must be positive, not " + std::to_string(w.width_ms()) +
             " ms (\"seconds\" or \"size_ms\")");
    }
    if (w.slide_ms && w.width_ms() % *w.slide_ms != 0) {
      refuse("plan window: \"size_ms\" " + std::to_string(w.width_ms()) +
             " is not a multiple of \"slide_ms\" " + std::to_string(*w.slide_ms));
    }
    if (w.slide_ms && w.width_ms() / *w.slide_ms > kMaxPanesPerWindow) {
      refuse("plan window: \"size_ms\" " + std::to_string(w.width_ms()) + " is more than " +
             std::to_string(kMaxPanesPerWindow) + " times \"slide_ms\" " + std::to_string(*w.slide_ms) +
             " (each window merges that many panes when it closes)");
    }
    std::vector<std::string_view> names;
    for (const std::string& f : w.by_fields) {
      if (std::find(names.begin(), names.end(), f) != names.end()) {
        refuse("plan window: the group field " + quoted(f) + " is named twice in \"by\"");
      }
      names.push_back(f);
    }
    for (std::string_view fixed : {"window_start", "window_end"}) {
      if (std::find(names.begin(), names.end(), fixed) != names.end()) {
        refuse("plan window: the group field " + quoted(fixed) + " collides with an output column");
      }
      names.push_back(fixed);
    }
    for (const AggSpec& a : *plan.aggs) {
      if (std::find(names.begin(), names.end(), a.name) != names.end()) {
        refuse("plan key \"aggs\": the name " + quoted(a.name) +
               " is used twice (aggregates, group fields, window_start and window_end share the "
               "output columns)");
      }
      names.push_back(a.name);
    }
    if (plan.close_idle_after_ms && *plan.close_idle_after_ms < 0) {
      refuse("plan key \"close_idle_after_ms\" must be None or at least 0, not " +
             std::to_string(*plan.close_idle_after_ms));
    }
    return;
  }
  if (!plan.window) return;
  WindowSpec& w = *plan.window;
  if (!w.by_fields.empty()) refuse("plan window: \"by\" as a list needs \"aggs\"");
  if (w.gap_ms) refuse("plan window: \"gap_ms\" needs \"aggs\"");
  if (w.slide_ms) refuse("plan window: \"slide_ms\" needs \"aggs\"");
  if (w.size_ms) {
    // A whole number of seconds is today's plan.
    if (*w.size_ms % 1000 != 0) {
      refuse("plan window: \"size_ms\" " + std::to_string(*w.size_ms) +
             " needs \"aggs\" (without aggs the width is whole seconds)");
    }
    w.seconds = *w.size_ms / 1000;
    w.size_ms.reset();
  }
}

std::string signature_of(const PlanSpec& plan) {
  const WindowSpec& w = *plan.window;
  std::string s;
  switch (w.kind()) {
    case WindowKind::kTumbling:
      s = "tumbling " + std::to_string(w.width_ms()) + " ms";
      break;
    case WindowKind::kHopping:
      s = "hopping " + std::to_string(w.width_ms()) + " ms every " + std::to_string(*w.slide_ms) +
          " ms";
      break;
    case WindowKind::kSession:
      s = "session gap " + std::to_string(*w.gap_ms) + " ms";
      break;
  }
  s += " by [";
  for (std::size_t i = 0; i < w.by_fields.size(); ++i) {
    if (i) s += ", ";
    s += quoted(w.by_fields[i]);
  }
  s += "] on " + quoted(w.time_field) + ": ";
  for (std::size_t i = 0; i < plan.aggs->size(); ++i) {
    const AggSpec& a = (*plan.aggs)[i];
    if (i) s += ", ";
    s += quoted(a.name) + "=" + op_name(a.op) + "(" + (a.field ? quoted(*a.field) : "*");
    if (a.op == AggOp::kVar || a.op == AggOp::kStddev) s += ", ddof=" + std::to_string(a.ddof);
    if (a.q) {
      s += ", q=";
      append_double(s, *a.q);
    }
    if (a.param) s += ", param=" + std::to_string(*a.param);
    s += ")";
  }
  return s;
}

}  // namespace


PlanSpec parse_plan(const py::dict& plan) {
  PlanSpec parsed;

  py::list filters = as_list(item(plan, "filters"));
  for_each_item(filters, [&](py::object element) {
    py::dict f = as_dict(element);
    FilterSpec filter;
    filter.field = as_string(item(f, "field"));
    filter.op = as_string(item(f, "op"));
    filter.value = cell_from_py(item(f, "value"));
    parsed.filters.push_back(std::move(filter));
  });

  py::object select = item(plan, "select");
  if (!is_none(select)) {
    std::vector<std::string> names;
    for_each_item(as_list(select), [&](py::object name) { names.push_back(as_output_name(name)); });
    parsed.select = std::move(names);
  }

  py::object window = item(plan, "window");
  if (!is_none(window)) {
    py::dict w = as_dict(window);
    WindowSpec ws;
    parse_window_extras(w, ws);
    if (!ws.size_ms && !ws.gap_ms) ws.seconds = as_int64(item(w, "seconds"));
    py::object by = item(w, "by");
    if (PyList_Check(by.ptr())) {
      for_each_item(as_list(by), [&](py::object name) { ws.by_fields.push_back(as_output_name(name)); });
    } else if (!is_none(by)) {
      ws.by = as_output_name(by);
    }
    ws.time_field = as_string(item(w, "time_field"));
    parsed.window = std::move(ws);
  }

  py::object mean = item(plan, "mean");
  if (!is_none(mean)) {
    py::dict m = as_dict(mean);
    MeanSpec ms;
    ms.field = as_string(item(m, "field"));
    ms.alias = as_output_name(item(m, "alias"));
    parsed.mean = std::move(ms);
  }

  py::object watermark = item(plan, "watermark_ms");
  if (!is_none(watermark)) parsed.watermark_ms = as_int64(watermark);

  py::object lateness = item(plan, "allowed_lateness_ms");
  if (!is_none(lateness)) parsed.allowed_lateness_ms = as_int64(lateness);

  py::object event_id = item(plan, "event_id_field");
  if (!is_none(event_id)) parsed.event_id_field = as_string(event_id);

  py::object drop_late = item(plan, "drop_late");
  if (!is_none(drop_late)) parsed.drop_late = py::cast<bool>(drop_late);

  py::object aggs = optional_item(plan, "aggs");
  if (!is_none(aggs)) {
    std::vector<AggSpec> specs;
    std::size_t index = 0;
    for_each_item(as_list(aggs), [&](py::object a) { specs.push_back(parse_aggregate(a, ++index)); });
    if (specs.empty()) refuse("plan key \"aggs\" must be None or a non-empty list");
    parsed.aggs = std::move(specs);
  }
  py::object idle = optional_item(plan, "close_idle_after_ms");
  if (!is_none(idle)) parsed.close_idle_after_ms = as_int64(idle);

  // The late-row keys, after the eight and the aggregate plan's keys, so
  // that they never change which error a plan with a fault there reports.
  py::object keep_late = optional_item(plan, "keep_late");
  if (!is_none(keep_late)) parsed.keep_late = py::cast<bool>(keep_late);

  py::object max_late_rows = optional_item(plan, "max_late_rows");
  if (!is_none(max_late_rows)) {
    const std::int64_t cap = as_int64(max_late_rows);
    if (cap < 0) {
      throw py::value_error(messages::kMaxLateRowsNegativeHead + std::to_string(cap));
    }
    parsed.max_late_rows = static_cast<std::uint64_t>(cap);
  }

  // The rules between keys, once every key is read.
  check_plan(parsed);
  if (parsed.is_aggregating()) parsed.aggs_signature = signature_of(parsed);
  return parsed;
}

}  // namespace movra
