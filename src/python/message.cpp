// Glue of the Message class: one CAN frame with python-can's Message attributes.
//
//   class Message:
//       def __init__(self, arbitration_id, data=b"", is_extended_id=False, is_fd=False,
//                    is_remote_frame=False, is_error_frame=False, bitrate_switch=False,
//                    error_state_indicator=False, timestamp=None, channel=None, is_rx=True): ...
//       arbitration_id: int              # settable (u32)
//       data: bytes                      # settable (bytes-like or ints 0..255); sets dlc
//       dlc: int                         # read-only: payload length in 8 bits
//       is_extended_id, is_fd, is_remote_frame, is_error_frame,
//       bitrate_switch, error_state_indicator: bool   # settable (bool or numpy bool only)
//       timestamp: float | None; channel: str | None; is_rx: bool   # read-only
//       def __repr__(self) -> str        # Message(id=0x123, dlc=2, data=[01 ab], ext, fd)
#include "python/message.hpp"

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>

#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"

namespace orvik::python {

namespace {

using py::Ref;

constexpr py::Param kParams[] = {
    {"arbitration_id", true}, {"data"},           {"is_extended_id"},        {"is_fd"},
    {"is_remote_frame"},      {"is_error_frame"}, {"bitrate_switch"},        {"error_state_indicator"},
    {"timestamp"},            {"channel"},        {"is_rx"},
};
enum Arg : std::size_t {
  kArbitrationId, kData, kIsExtendedId, kIsFd, kIsRemoteFrame, kIsErrorFrame, kBitrateSwitch,
  kErrorStateIndicator, kTimestamp, kChannel, kIsRx,
};

void set_payload(CanFrame& frame, Payload data) {
  frame.data.swap(data);  // swap, not move-assign: g++ 12 misreads the inline-storage move
  frame.dlc = static_cast<std::uint8_t>(frame.data.size());  // the length modulo 256
}

Ref message_new(PyTypeObject* type, const py::CallArgs& args) {
  const py::Bound a = py::bind("Message", false, kParams, args);
  MessageValue v;
  CanFrame& f = v.frame;
  f.arbitration_id = py::arg(a, kArbitrationId, py::to_u32);
  set_payload(f, py::arg_or(a, kData, py::to_bytes<Payload>, Payload{}));
  f.is_extended_id = py::arg_or(a, kIsExtendedId, py::to_flag, false);
  f.is_fd = py::arg_or(a, kIsFd, py::to_flag, false);
  f.is_remote_frame = py::arg_or(a, kIsRemoteFrame, py::to_flag, false);
  f.is_error_frame = py::arg_or(a, kIsErrorFrame, py::to_flag, false);
  f.bitrate_switch = py::arg_or(a, kBitrateSwitch, py::to_flag, false);
  f.error_state_indicator = py::arg_or(a, kErrorStateIndicator, py::to_flag, false);
  f.timestamp = py::arg(a, kTimestamp, py::optional(py::to_f64));
  v.channel = py::arg(a, kChannel, py::optional(py::to_str));
  f.is_rx = py::arg_or(a, kIsRx, py::to_flag, true);
  return py::create(type, std::move(v));
}

using Shared = py::Shared<MessageValue>;
using Exclusive = py::Exclusive<MessageValue>;

Ref get_arbitration_id(PyObject* self) {
  return py::check(PyLong_FromUnsignedLong(Shared(self)->frame.arbitration_id));
}
void set_arbitration_id(PyObject* self, PyObject* value) {
  const std::uint32_t id = py::argument("arbitration_id", value, py::to_u32);
  Exclusive(self)->frame.arbitration_id = id;
}

Ref get_data(PyObject* self) {
  const Shared m(self);
  return py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m->frame.data.data()),
                                             static_cast<Py_ssize_t>(m->frame.data.size())));
}
void set_data(PyObject* self, PyObject* value) {
  Payload data = py::argument("data", value, py::to_bytes<Payload>);
  set_payload(Exclusive(self)->frame, std::move(data));
}

Ref get_dlc(PyObject* self) { return py::check(PyLong_FromLong(Shared(self)->frame.dlc)); }

template <bool CanFrame::*Field>
Ref get_flag(PyObject* self) {
  return py::check(PyBool_FromLong(Shared(self)->frame.*Field));
}
template <bool CanFrame::*Field, std::size_t Param>
void set_flag(PyObject* self, PyObject* value) {
  const bool flag = py::argument(kParams[Param].name, value, py::to_flag);
  Exclusive(self)->frame.*Field = flag;
}

Ref get_timestamp(PyObject* self) {
  const Shared m(self);
  if (!m->frame.timestamp) return Ref::borrow(Py_None);
  return py::check(PyFloat_FromDouble(*m->frame.timestamp));
}

Ref get_channel(PyObject* self) {
  const Shared m(self);
  if (!m->channel) return Ref::borrow(Py_None);
  return py::check(PyUnicode_FromStringAndSize(m->channel->data(),
                                               static_cast<Py_ssize_t>(m->channel->size())));
}

Ref message_repr(PyObject* self) {
  const Shared m(self);
  const CanFrame& f = m->frame;
  const std::string text =
      fmt::format("Message(id=0x{:x}, dlc={}, data=[{:02x}]{}{})", f.arbitration_id, f.dlc,
                  fmt::join(f.data, " "), f.is_extended_id ? ", ext" : "", f.is_fd ? ", fd" : "");
  return py::check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

template <bool CanFrame::*Field, std::size_t Param>
constexpr PyGetSetDef flag_attribute() {
  return {kParams[Param].name, &py::getter<get_flag<Field>>, &py::setter<set_flag<Field, Param>>,
          nullptr, nullptr};
}

PyGetSetDef kGetSet[] = {
    {"arbitration_id", &py::getter<get_arbitration_id>, &py::setter<set_arbitration_id>, nullptr,
     nullptr},
    {"data", &py::getter<get_data>, &py::setter<set_data>,
     "The payload as ``bytes``, as python-can's ``Message.data``, so that a received message's\n"
     "payload goes to ``CanDecoder.decode_message`` without a list-to-bytes conversion.",
     nullptr},
    {"dlc", &py::getter<get_dlc>, nullptr, nullptr, nullptr},
    flag_attribute<&CanFrame::is_extended_id, kIsExtendedId>(),
    flag_attribute<&CanFrame::is_fd, kIsFd>(),
    flag_attribute<&CanFrame::is_remote_frame, kIsRemoteFrame>(),
    flag_attribute<&CanFrame::is_error_frame, kIsErrorFrame>(),
    flag_attribute<&CanFrame::bitrate_switch, kBitrateSwitch>(),
    flag_attribute<&CanFrame::error_state_indicator, kErrorStateIndicator>(),
    {"timestamp", &py::getter<get_timestamp>, nullptr, nullptr, nullptr},
    {"channel", &py::getter<get_channel>, nullptr, nullptr, nullptr},
    {"is_rx", &py::getter<get_flag<&CanFrame::is_rx>>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "Message(arbitration_id, data=..., is_extended_id=False, is_fd=False, is_remote_frame=False, "
    "is_error_frame=False, bitrate_switch=False, error_state_indicator=False, timestamp=None, "
    "channel=None, is_rx=True)\n--\n\n"
    "A CAN message, matching the python-can ``Message`` interface.\n\n"
    "Args:\n"
    "    arbitration_id: CAN identifier.\n"
    "    data: payload bytes (up to 8 for CAN 2.0, 64 for CAN FD). Default: empty.\n"
    "    is_extended_id: 29-bit identifier. Default: False.\n"
    "    is_fd: CAN FD frame. Default: False.\n"
    "    is_remote_frame: remote transmission request. Default: False.\n"
    "    timestamp: seconds; filled in on receive. Default: None.\n"
    "    channel: interface name; filled in on receive. Default: None.\n"
    "    is_rx: True if received, False for an echo of a transmitted frame. Default: True.\n";

const py::ClassSpec kSpec{
    .name = "builtins.Message",
    .doc = kDoc,
    .constructor = &py::constructor<message_new>,
    .getset = kGetSet,
    .repr = &py::unary<message_repr>,
};

}  // namespace

PyTypeObject* message_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<MessageValue>(kSpec);
  return type;
}

Ref message_from_frame(const CanFrame& frame, std::optional<std::string> channel) {
  return py::create(message_type(), MessageValue{frame, std::move(channel)});
}

CanFrame to_message_frame(PyObject* obj) {
  return py::borrow_instance<MessageValue>(obj, message_type(), "Message")->frame;
}

}  // namespace orvik::python
