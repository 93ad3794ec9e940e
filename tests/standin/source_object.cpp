// TraceSource (name plus navigation to the events registered on it) and the EventView it returns.
//
//   src = orvik_sdk.TraceSourceCache("can")
//   src.Status            -> EventView of "0123_Status" (the part after the first '_')
//   src.Mux["Page3"]      -> EventView of the sub-event "0200_Mux/Page3"
//   src["0200_Mux/Page3"] -> the same, by full event name
//   src.Status.Speed      -> namespace(name, event, value_table) of one resolved field
#include "source_object.hpp"

#include <structmember.h>

#include <string_view>

#include "pybase/py.hpp"

namespace standin {
namespace {

using orvik::py::Ref;

struct TraceSourceObject {
  PyObject_HEAD
  SourceRec* rec;
  PyObject* name;
};

struct EventViewObject {
  PyObject_HEAD
  PyObject* name;
  PyObject* fields;        // tuple of resolved field names
  PyObject* value_tables;  // field name -> {key: label}
  PyObject* sub_events;    // suffix -> EventView
};

PyTypeObject* g_source_type = nullptr;
PyTypeObject* g_view_type = nullptr;
PyObject* g_cache = nullptr;           // name -> TraceSource
PyObject* g_simple_namespace = nullptr;

std::string_view base_of(std::string_view event) { return event.substr(0, event.find('/')); }

std::string_view message_of(std::string_view event) {
  std::string_view base = base_of(event);
  const size_t underscore = base.find('_');
  return underscore == std::string_view::npos ? base : base.substr(underscore + 1);
}

PyObject* value_tables_dict(const EventSnapshot& ev) {
  Ref tables = Ref::steal(PyDict_New());
  if (!tables) return nullptr;
  for (const auto& [field, table] : ev.value_tables) {
    Ref entries = Ref::steal(PyDict_New());
    Ref key_name = Ref::steal(to_str(field));
    if (!entries || !key_name) return nullptr;
    for (const auto& [key, label] : table) {
      Ref k = Ref::steal(PyLong_FromUnsignedLongLong(key));
      Ref v = Ref::steal(to_str(label));
      if (!k || !v || PyDict_SetItem(entries.get(), k.get(), v.get()) < 0) return nullptr;
    }
    if (PyDict_SetItem(tables.get(), key_name.get(), entries.get()) < 0) return nullptr;
  }
  return tables.release();
}

// A view of one registration; `sub_events` may be empty.
PyObject* make_view(const std::string& name, const EventSnapshot* ev, PyObject* sub_events) {
  Ref self = Ref::steal(PyType_GenericAlloc(g_view_type, 0));
  if (!self) return nullptr;
  auto* view = reinterpret_cast<EventViewObject*>(self.get());
  view->name = to_str(name);
  view->fields = PyTuple_New(ev ? static_cast<Py_ssize_t>(ev->fields.size()) : 0);
  view->value_tables = ev ? value_tables_dict(*ev) : PyDict_New();
  view->sub_events = sub_events ? Py_NewRef(sub_events) : PyDict_New();
  if (!view->name || !view->fields || !view->value_tables || !view->sub_events) return nullptr;
  for (size_t i = 0; ev && i < ev->fields.size(); ++i) {
    PyObject* field = to_str(ev->fields[i]);
    if (!field) return nullptr;
    PyTuple_SET_ITEM(view->fields, static_cast<Py_ssize_t>(i), field);
  }
  return self.release();
}

// The latest registration of `name` among `events`, or null.
const EventSnapshot* latest(const std::vector<EventSnapshot>& events, std::string_view name) {
  const EventSnapshot* found = nullptr;
  for (const auto& ev : events) {
    if (ev.name == name) found = &ev;
  }
  return found;
}

// A base event with its sub-events (registered or not: a message may have only sub-events).
PyObject* base_view(const std::vector<EventSnapshot>& events, std::string_view base) {
  Ref subs = Ref::steal(PyDict_New());
  if (!subs) return nullptr;
  for (const auto& ev : events) {
    std::string_view name = ev.name;
    if (name.size() <= base.size() || !name.starts_with(base) || name[base.size()] != '/') continue;
    Ref sub = Ref::steal(make_view(ev.name, latest(events, name), nullptr));
    Ref suffix = Ref::steal(to_str(std::string(name.substr(base.size() + 1))));
    if (!sub || !suffix || PyDict_SetItem(subs.get(), suffix.get(), sub.get()) < 0) return nullptr;
  }
  return make_view(std::string(base), latest(events, base), subs.get());
}

// ---------------------------------------------------------------- TraceSource

void source_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(reinterpret_cast<TraceSourceObject*>(self)->name);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* source_repr(PyObject* self) {
  return PyUnicode_FromFormat("TraceSource(%R)", reinterpret_cast<TraceSourceObject*>(self)->name);
}

// Ordinary attributes first; otherwise the first registered event whose message name matches.
PyObject* source_getattro(PyObject* self, PyObject* attr) {
  PyObject* found = PyObject_GenericGetAttr(self, attr);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError) || !PyUnicode_Check(attr)) {
    return found;
  }
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  const char* wanted = PyUnicode_AsUTF8(attr);
  if (wanted) {
    auto events = recorder().events_of(reinterpret_cast<TraceSourceObject*>(self)->rec);
    for (const auto& ev : events) {
      if (message_of(ev.name) == wanted) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        return base_view(events, base_of(ev.name));
      }
    }
  } else {
    PyErr_Clear();
  }
  PyErr_Restore(type, value, trace);
  return nullptr;
}

PyObject* source_getitem(PyObject* self, PyObject* key) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "event names are str");
    return nullptr;
  }
  const char* wanted = PyUnicode_AsUTF8(key);
  if (!wanted) return nullptr;
  auto events = recorder().events_of(reinterpret_cast<TraceSourceObject*>(self)->rec);
  std::string_view name = wanted;
  if (name.find('/') == std::string_view::npos) {
    for (const auto& ev : events) {
      if (base_of(ev.name) == name) return base_view(events, name);
    }
  } else if (const EventSnapshot* ev = latest(events, name)) {
    return make_view(ev->name, ev, nullptr);
  }
  PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

PyMemberDef source_members[] = {
    {"name", T_OBJECT_EX, offsetof(TraceSourceObject, name), READONLY, "the source name"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot source_slots[] = {
    {Py_tp_doc, const_cast<char*>("A trace source; attributes name the events registered on it.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(source_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(source_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(source_getattro)},
    {Py_mp_subscript, reinterpret_cast<void*>(source_getitem)},
    {Py_tp_members, source_members},
    {0, nullptr},
};

PyType_Spec source_spec = {"orvik_sdk.TraceSource", sizeof(TraceSourceObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, source_slots};

// ---------------------------------------------------------------- EventView

void view_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* view = reinterpret_cast<EventViewObject*>(self);
  Py_XDECREF(view->name);
  Py_XDECREF(view->fields);
  Py_XDECREF(view->value_tables);
  Py_XDECREF(view->sub_events);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* view_repr(PyObject* self) {
  auto* view = reinterpret_cast<EventViewObject*>(self);
  return PyUnicode_FromFormat("EventView(%R, fields=%R)", view->name, view->fields);
}

// Ordinary attributes first; otherwise a resolved field of the event.
PyObject* view_getattro(PyObject* self, PyObject* attr) {
  PyObject* found = PyObject_GenericGetAttr(self, attr);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  auto* view = reinterpret_cast<EventViewObject*>(self);
  const int present = PySequence_Contains(view->fields, attr);
  if (present <= 0) {
    if (present < 0) PyErr_Clear();
    PyErr_Restore(type, value, trace);
    return nullptr;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  PyObject* table = PyDict_GetItemWithError(view->value_tables, attr);
  if (!table && PyErr_Occurred()) return nullptr;
  Ref kwargs = Ref::steal(Py_BuildValue("{sOsOsO}", "name", attr, "event", view->name,
                                        "value_table", table ? table : Py_None));
  if (!kwargs) return nullptr;
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return nullptr;
  return PyObject_Call(g_simple_namespace, args.get(), kwargs.get());
}

PyObject* view_getitem(PyObject* self, PyObject* key) {
  auto* view = reinterpret_cast<EventViewObject*>(self);
  PyObject* sub = PyDict_GetItemWithError(view->sub_events, key);
  if (sub) return Py_NewRef(sub);
  if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

PyMemberDef view_members[] = {
    {"name", T_OBJECT_EX, offsetof(EventViewObject, name), READONLY, "the event name"},
    {"fields", T_OBJECT_EX, offsetof(EventViewObject, fields), READONLY,
     "resolved field names, in resolution order"},
    {"value_tables", T_OBJECT_EX, offsetof(EventViewObject, value_tables), READONLY,
     "field name -> {key: label}"},
    {"sub_events", T_OBJECT_EX, offsetof(EventViewObject, sub_events), READONLY,
     "suffix -> EventView of each sub-event"},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_tp_doc, const_cast<char*>("A snapshot of one registered event; attributes: its fields.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(view_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(view_getattro)},
    {Py_mp_subscript, reinterpret_cast<void*>(view_getitem)},
    {Py_tp_members, view_members},
    {0, nullptr},
};

PyType_Spec view_spec = {"orvik_sdk.EventView", sizeof(EventViewObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, view_slots};

}  // namespace

PyObject* to_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

bool init_source_types(PyObject* module) {
  Ref types = Ref::steal(PyImport_ImportModule("types"));
  if (!types) return false;
  g_simple_namespace = PyObject_GetAttrString(types.get(), "SimpleNamespace");
  g_cache = PyDict_New();
  g_source_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&source_spec));
  g_view_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&view_spec));
  if (!g_simple_namespace || !g_cache || !g_source_type || !g_view_type) return false;
  auto* source_type = reinterpret_cast<PyObject*>(g_source_type);
  auto* view_type = reinterpret_cast<PyObject*>(g_view_type);
  return PyModule_AddObjectRef(module, "TraceSource", source_type) == 0 &&
         PyModule_AddObjectRef(module, "EventView", view_type) == 0;
}

PyObject* trace_source_cache(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "TraceSourceCache() takes a str name, not '%.200s'",
                 Py_TYPE(name)->tp_name);
    return nullptr;
  }
  PyObject* cached = PyDict_GetItemWithError(g_cache, name);
  if (cached) return Py_NewRef(cached);
  if (PyErr_Occurred()) return nullptr;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
  if (!utf8) return nullptr;
  Ref self = Ref::steal(PyType_GenericAlloc(g_source_type, 0));
  if (!self) return nullptr;
  auto* src = reinterpret_cast<TraceSourceObject*>(self.get());
  src->rec = recorder().source_named(std::string(utf8, static_cast<size_t>(len)));
  src->name = Py_NewRef(name);
  if (PyDict_SetItem(g_cache, name, self.get()) < 0) return nullptr;
  return self.release();
}

SourceRec* source_of(PyObject* obj) {
  if (g_source_type == nullptr || Py_TYPE(obj) != g_source_type) return nullptr;
  return reinterpret_cast<TraceSourceObject*>(obj)->rec;
}

}  // namespace standin
