// The Message class, and the conversions between Message objects and CanFrame for other classes.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "decode/frame.hpp"
#include "pybase/py.hpp"

namespace orvik::python {

// What a Message object holds: the frame fields as stored, plus the optional bus name.
struct MessageValue {
  CanFrame frame;
  std::optional<std::string> channel;
};

PyTypeObject* message_type();

// A new Message holding every field of `frame` as it is (dlc included), with `channel`.
py::Ref message_from_frame(const CanFrame& frame, std::optional<std::string> channel);

// Converter for a `msg` argument: a Message (else TypeError naming 'Message'), copied under a
// shared borrow into a frame with every field as stored (is_rx and dlc included, no channel).
CanFrame to_message_frame(PyObject* obj);

}  // namespace orvik::python
