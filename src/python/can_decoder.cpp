// Glue of the CanDecoder class: one decoder core behind a mutex, fed frame by frame from Python.
//
//   class CanDecoder:
//       def __init__(self, database_file=None, source_name="can", timestamp_mode="auto",
//                    log_raw_frames=None, emit_schemas_on_init=False, source=None,
//                    raw_source=None, database_bytes=None): ...
//       def decode_frame(self, arbitration_id, data, timestamp_ns=None, is_extended=False,
//                        is_fd=False, is_remote_frame=False) -> None    # GIL released
//       def decode_message(self, msg) -> None          # any object shaped like a python-can
//                                                      # Message; GIL released for the decode
//       def metrics(self) -> Metrics
//       def flush(self) -> None                        # waits for a running decode
//
// Every method borrows shared, so concurrent calls never fail to borrow; decodes serialise on
// the decoder mutex instead.
#include "python/can_decoder.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

#include "common/text.hpp"
#include "decode/frame.hpp"
#include "decode/timestamp.hpp"
#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"
#include "python/construction.hpp"
#include "python/metrics.hpp"

namespace orvik::python {

namespace {

using py::Ref;

struct CanDecoderValue {
  SharedDecoder decoder;
  SharedCounters counters;  // the core's block, read without the mutex
};
using Shared = py::Shared<CanDecoderValue>;

// Copies the payload straight into the frame: the one copy out of the Python object.
void set_payload(CanFrame& frame, PyObject* data) {
  py::assign_bytes(data, frame.data);
  frame.dlc = static_cast<std::uint8_t>(frame.data.size());  // the length modulo 256
}

// --- construction ---

constexpr py::Param kNewParams[] = {
    {"database_file"},        {"source_name"}, {"timestamp_mode"}, {"log_raw_frames"},
    {"emit_schemas_on_init"}, {"source"},      {"raw_source"},     {"database_bytes"},
};
constexpr std::size_t kFirstTailParam = 5;  // source

Ref can_decoder_new(PyTypeObject* type, const py::CallArgs& call) {
  const py::Bound a = py::bind("CanDecoder", false, kNewParams, call);
  DecoderArgs args = convert_decoder_head(a);
  convert_decoder_tail(a, kFirstTailParam, args);
  BuiltDecoder built = build_decoder(prepare_decoder(std::move(args)));
  register_schemas_if_asked(built);
  auto state = std::make_shared<DecoderState>(std::move(built.core));
  SharedCounters counters = state->counters();
  // The trace source objects are released on return; their SDK handles live on in the core.
  return py::create(type, CanDecoderValue{std::move(state), std::move(counters)});
}

// --- decoding ---

// A decoder made before a fork works in the child, unless a thread of the parent (a decode, or a
// Notifier dispatcher) held its mutex when the process forked: that hold never ends here. This
// runs with the interpreter lock held before every use that takes the mutex, and the first use
// adopts the object, so the holder found here can only be a thread of the parent.
void adopt_if_inherited(PyObject* self) {
  if (!py::inherited<CanDecoderValue>(self)) return;
  if (Shared(self)->decoder->is_held()) {
    py::raise(PyExc_RuntimeError,
              "CanDecoder was in use when the process forked and cannot be used in the child "
              "process");
  }
  py::adopt<CanDecoderValue>(self);
}

[[noreturn]] void raise_poisoned() {
  py::raise_internal_fault("decoder mutex poisoned: an earlier decode ended in an internal fault");
}

void run_step(DecoderState& decoder, const CanFrame& frame) {
  // Waiting for the mutex and decoding touch no Python object; the SDK rows need no lock.
  const DecoderState::Step step = py::allow_threads([&] { return decoder.process(frame); });
  if (step == DecoderState::Step::poisoned) raise_poisoned();
}

constexpr py::Param kFrameParams[] = {
    {"arbitration_id", true}, {"data", true}, {"timestamp_ns"},
    {"is_extended"},          {"is_fd"},      {"is_remote_frame"},
};

Ref decode_frame(PyObject* self, const py::CallArgs& call) {
  const py::Bound a = py::bind("CanDecoder.decode_frame", true, kFrameParams, call);
  adopt_if_inherited(self);
  const Shared d(self);
  CanFrame frame;
  frame.arbitration_id = py::arg(a, 0, py::to_u32);
  py::arg(a, 1, [&](PyObject* v) { set_payload(frame, v); });
  const std::optional<std::int64_t> timestamp_ns = py::arg(a, 2, py::optional(py::to_i64));
  frame.is_extended_id = py::arg_or(a, 3, py::to_flag, false);
  frame.is_fd = py::arg_or(a, 4, py::to_flag, false);
  frame.is_remote_frame = py::arg_or(a, 5, py::to_flag, false);
  frame.is_rx = true;
  if (timestamp_ns) frame.timestamp = static_cast<double>(*timestamp_ns) / 1e9;
  run_step(*d->decoder, frame);
  return Ref::borrow(Py_None);
}

// The attribute names a message is read by, interned once: a lookup by a str object skips
// building a str from a C string per read, and matches the instance's own (interned) names by
// identity.
enum class Attr {
  arbitration_id,
  data,
  is_extended_id,
  is_fd,
  is_remote_frame,
  is_error_frame,
  timestamp
};

PyObject* attr_name(Attr attr) {
  static constexpr const char* kNames[] = {"arbitration_id",  "data",           "is_extended_id",
                                           "is_fd",           "is_remote_frame", "is_error_frame",
                                           "timestamp"};
  static PyObject* names[std::size(kNames)] = {};  // kept for the process (lock held)
  const auto i = static_cast<std::size_t>(attr);
  if (names[i] == nullptr) names[i] = py::check(PyUnicode_InternFromString(kNames[i])).release();
  return names[i];
}

// Reads attribute `name` of a duck-typed message and hands it to `use`, which converts it.
// False when the lookup or the conversion fails with an Exception, which is discarded: the
// value is absent. A KeyboardInterrupt or SystemExit goes on, so Ctrl-C still stops a replay.
template <class Use>
bool read_attribute(PyObject* msg, Attr name, Use&& use) {
  const Ref value = Ref::steal(PyObject_GetAttr(msg, attr_name(name)));
  if (!value) {
    py::clear_ordinary_exception();
    return false;
  }
  try {
    use(value.get());
    return true;
  } catch (const py::Raised&) {
    py::clear_ordinary_exception();
    return false;
  }
}

bool flag_attribute(PyObject* msg, Attr name) {
  bool flag = false;
  read_attribute(msg, name, [&](PyObject* v) { flag = py::to_flag(v); });
  return flag;
}

CanFrame frame_from_message(PyObject* msg) {
  CanFrame frame;
  {
    const Ref id = py::check(PyObject_GetAttr(msg, attr_name(Attr::arbitration_id)));
    frame.arbitration_id = py::to_u32(id.get());  // its own exception, without an argument name
  }
  // An unreadable payload decodes as an empty one.
  if (!read_attribute(msg, Attr::data, [&](PyObject* v) { set_payload(frame, v); })) {
    frame.data.clear();
    frame.dlc = 0;
  }
  frame.is_extended_id = flag_attribute(msg, Attr::is_extended_id);
  frame.is_fd = flag_attribute(msg, Attr::is_fd);
  frame.is_remote_frame = flag_attribute(msg, Attr::is_remote_frame);
  // A log's bus-error records: the frame step skips them, as it does on a bus.
  frame.is_error_frame = flag_attribute(msg, Attr::is_error_frame);
  frame.is_rx = true;
  // Zero, negative and NaN mean no timestamp (python-can's unset value is 0.0). The rest keeps
  // whole nanoseconds only, as decode_frame's timestamp_ns does.
  double seconds = 0.0;
  read_attribute(msg, Attr::timestamp, [&](PyObject* v) { seconds = py::to_f64(v); });
  if (seconds > 0.0) frame.timestamp = static_cast<double>(seconds_to_ns(seconds)) / 1e9;
  return frame;
}

constexpr py::Param kMessageParams[] = {{"msg", true}};

Ref decode_message(PyObject* self, const py::CallArgs& call) {
  const py::Bound a = py::bind("CanDecoder.decode_message", true, kMessageParams, call);
  adopt_if_inherited(self);
  const Shared d(self);
  const CanFrame frame = frame_from_message(a[0]);
  run_step(*d->decoder, frame);
  return Ref::borrow(Py_None);
}

Ref metrics(PyObject* self) {
  const Shared d(self);
  return metrics_snapshot(*d->counters);
}

Ref flush(PyObject* self) {
  adopt_if_inherited(self);
  const Shared d(self);
  SharedDecoder decoder = d->decoder;
  // Only waits for a decode running on another thread or in a Notifier dispatcher.
  py::allow_threads([&] {
    decoder->wait_idle();
    decoder.reset();
  });
  return Ref::borrow(Py_None);
}

PyMethodDef kMethods[] = {
    py::method<decode_frame>(
        "decode_frame",
        "decode_frame($self, arbitration_id, data, timestamp_ns=None, is_extended=False, "
        "is_fd=False, is_remote_frame=False)\n--\n\n"
        "Decode one raw CAN frame and emit its rows to the trace SDK. The interpreter lock is\n"
        "released during decode and trace emit.\n\n"
        "Args:\n"
        "    arbitration_id: CAN identifier.\n"
        "    data: payload bytes.\n"
        "    timestamp_ns: frame time in nanoseconds; ``None`` means system time.\n"
        "    is_extended: 29-bit identifier. Default: False.\n"
        "    is_fd: CAN FD frame. Default: False.\n"
        "    is_remote_frame: remote transmission request. Default: False.\n"),
    py::method<decode_message>(
        "decode_message",
        "decode_message($self, msg)\n--\n\n"
        "Decode a python-can ``Message`` directly. ``arbitration_id``, ``data``, ``timestamp``,\n"
        "``is_extended_id``, ``is_fd``, ``is_remote_frame`` and ``is_error_frame`` are read off\n"
        "any object of that shape (duck-typed), so callers need not depend on python-can. An\n"
        "error frame gives no row and is not counted."),
    py::method_noargs<metrics>("metrics", "metrics($self)\n--\n\nGet current codec metrics."),
    py::method_noargs<flush>(
        "flush",
        "flush($self)\n--\n\n"
        "Flush buffered events through: returns once a decode running on another thread has\n"
        "finished. Call it before the owner of the trace output is closed."),
    {nullptr, nullptr, 0, nullptr},
};

constexpr std::string_view kDocHead =
    "CanDecoder(database_file=None, source_name=..., timestamp_mode=..., log_raw_frames=None, "
    "emit_schemas_on_init=False, source=None, raw_source=None, database_bytes=None)\n--\n\n"
    "Bus-decoupled CAN decoder. Accepts raw frames via `decode_frame()`.\n\n"
    "For callers with their own frame source (python-can, a log replay, ...) who want DBC\n"
    "decoding and tracing without a SocketCAN bus.\n\n"
    "Args:\n";
constexpr auto kDoc = kJoined<kDocHead, kDecoderHeadArgsDoc, kDecoderTailArgsDoc>;

const py::ClassSpec kSpec{
    .name = "builtins.CanDecoder",
    .doc = kDoc.data(),
    .constructor = &py::constructor<can_decoder_new>,
    .methods = kMethods,
};

}  // namespace

PyTypeObject* can_decoder_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<CanDecoderValue>(kSpec);
  return type;
}

SharedDecoder shared_decoder_of(PyObject* obj) {
  if (!py::is_instance(obj, can_decoder_type())) return nullptr;
  adopt_if_inherited(obj);
  return Shared(obj)->decoder;
}

}  // namespace orvik::python
