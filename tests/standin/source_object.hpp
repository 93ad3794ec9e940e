// The Python trace source objects that TraceSourceCache hands out, and their event navigation.
#pragma once

#include <Python.h>

#include <string>

#include "recorder.hpp"

namespace standin {

// Creates the TraceSource and EventView types; false with a Python error set on failure.
bool init_source_types(PyObject* module);

// The same object for the same name, for the life of the process.
PyObject* trace_source_cache(PyObject* name);  // new reference or null with an error set

// The recorder's source behind a TraceSource object, or null for any other object.
// Reads no Python state beyond the object's type, so it is safe with the interpreter lock held.
SourceRec* source_of(PyObject* obj);

// Text from the SDK (UTF-8, possibly not quite) as a Python str that never fails to decode.
PyObject* to_str(const std::string& text);

}  // namespace standin
