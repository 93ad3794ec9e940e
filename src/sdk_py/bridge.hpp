// The Python half of the SDK bridge: capsule discovery, exception conversion, source acquisition
// and trace-source resolution. Every function here except abi_table() needs the interpreter lock.
#pragma once

#include "pybase/py.hpp"

#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "sdk/abi.hpp"
#include "sdk/handles.hpp"
#include "sdk/sink_error.hpp"

namespace orvik::sdk {

// The SDK table behind the capsule in sys.modules, found on first success and cached for the
// life of the process. Any thread, with or without the interpreter lock (pass `lock_held` when the
// caller holds it, perhaps through a sub-interpreter); failures are not cached.
SinkResult<const SdkAbiTable*> abi_table(bool lock_held = false);

// Takes the pending Python exception and renders it as "{type qualname}: {str()}" (or
// "{type qualname}: <exception str() failed>"). No exception is pending afterwards.
std::string take_exception_text();

// The pending Python exception as a Python-kind SinkError; the exception is discarded.
SinkError sink_error_from_python();

// Acquires the SDK source for a Python trace source object (borrowed; the SDK takes its own
// reference if it keeps one). The first call in the process finds the table.
SinkResult<SourceHandle> src_handle_from_py(PyObject* source);

struct AcquiredSources {
  SourceHandle main;
  std::optional<SourceHandle> raw;
};

// Acquires the main source, then the raw one when given. A failure reads
// "acquire source handle: {}", and nothing acquired before it stays held.
Result<AcquiredSources> acquire_sources(PyObject* main, PyObject* raw_or_null);

// The trace source object for `name`: the given object as is (null or None count as not given),
// else orvik_sdk.TraceSourceCache(name). Returns null with a Python exception set on failure.
py::Ref resolve_trace_source(PyObject* given_or_null, std::string_view name);

}  // namespace orvik::sdk
