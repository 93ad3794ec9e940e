// The CanDecoder class: DBC decoding and tracing of frames that Python hands in one at a time.
#pragma once

#include <Python.h>

#include "decode/decoder_state.hpp"

namespace orvik::python {

PyTypeObject* can_decoder_type();

// The decoder state of a CanDecoder object, shared with the caller (a Notifier listener keeps it
// alive after the object is gone); null when `obj` is not a CanDecoder. A CanDecoder made before
// a fork whose mutex a thread of the parent held then raises RuntimeError.
SharedDecoder shared_decoder_of(PyObject* obj);

}  // namespace orvik::python
