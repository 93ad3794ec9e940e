// The CanCodec class: a bus, a DBC decoder and the trace SDK tied together by one bus task.
#pragma once

#include <Python.h>

namespace orvik::python {

PyTypeObject* can_codec_type();

}  // namespace orvik::python
