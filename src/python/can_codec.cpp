// Glue of the CanCodec class: construction spawns the bus task; the object keeps the counters,
// the token, the trace source object and a sending end of the transmit queue.
//
//   class CanCodec:
//       def __init__(self, database_file=None, source_name="can", timestamp_mode="auto",
//                    log_raw_frames=None, emit_schemas_on_init=False, fd=False, bus=None,
//                    channel=None, rcvbuf_size=None, source=None, raw_source=None,
//                    database_bytes=None): ...    # GIL released around the spawn
//       def send(self, msg) -> None               # never waits
//       def send_periodic(self, msg, period) -> CyclicSendTask
//       def stop(self) -> None                    # later sends raise; queued frames still go out
//       def flush(self) -> None                   # no-op
//       def metrics(self) -> Metrics
//       cache                                     # read-only: the trace source object
//       # any other attribute: looked up on the trace source object
//
// The decoder state belongs to the bus task alone; no method touches it.
#include "python/can_codec.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/text.hpp"
#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"
#include "python/bus.hpp"
#include "python/construction.hpp"
#include "python/cyclic_send_task.hpp"
#include "python/message.hpp"
#include "python/metrics.hpp"
#include "python/periodic_args.hpp"
#include "python/virtual_bus.hpp"
#include "runtime/codec_task.hpp"
#include "runtime/periodic.hpp"
#include "runtime/runtime.hpp"

namespace orvik::python {

namespace {

using py::Ref;

struct CanCodecValue {
  SharedCounters counters;
  runtime::CancellationToken token;
  Ref source;
  runtime::bounded::Sender<CanFrame> tx;
  bool owns_task = true;  // false once moved from: only the last holder stops the task

  CanCodecValue(SharedCounters c, runtime::CancellationToken t, Ref s,
                runtime::bounded::Sender<CanFrame> q)
      : counters(std::move(c)), token(std::move(t)), source(std::move(s)), tx(std::move(q)) {}
  CanCodecValue(CanCodecValue&& other) noexcept
      : counters(std::move(other.counters)),
        token(other.token),
        source(std::move(other.source)),
        tx(std::move(other.tx)),
        owns_task(std::exchange(other.owns_task, false)) {}
  CanCodecValue(const CanCodecValue&) = delete;
  CanCodecValue& operator=(const CanCodecValue&) = delete;
  CanCodecValue& operator=(CanCodecValue&&) = delete;
  // Cancels before releasing anything, and waits for nothing: the task ends on its next pass
  // and releases the receiver, the SDK handles and the decoder state itself.
  ~CanCodecValue() {
    if (owns_task) token.cancel();
    counters.reset();
  }
};
using Shared = py::Shared<CanCodecValue>;

// The trace source object is the caller's and may refer back to the codec (a wrapper that keeps
// its codec), so the class takes part in garbage collection.
int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(py::Native<CanCodecValue>::of(self)->value.source.get());
  return 0;
}

int clear(PyObject* self) {
  const Ref gone = std::move(py::Native<CanCodecValue>::of(self)->value.source);
  return 0;
}

// --- construction ---

constexpr py::Param kNewParams[] = {
    {"database_file"}, {"source_name"}, {"timestamp_mode"}, {"log_raw_frames"},
    {"emit_schemas_on_init"}, {"fd"}, {"bus"}, {"channel"}, {"rcvbuf_size"},
    {"source"}, {"raw_source"}, {"database_bytes"},
};
constexpr std::size_t kFd = 5;
constexpr std::size_t kBus = 6;
constexpr std::size_t kChannel = 7;
constexpr std::size_t kRcvbufSize = 8;
constexpr std::size_t kFirstTailParam = 9;  // source

Ref to_virtual_bus(PyObject* obj) {
  if (!is_virtual_bus(obj)) py::raise_cannot_convert(obj, "VirtualBus");
  return Ref::borrow(obj);
}

Ref can_codec_new(PyTypeObject* type, const py::CallArgs& call) {
  const py::Bound a = py::bind("CanCodec", false, kNewParams, call);
  DecoderArgs args = convert_decoder_head(a);
  // fd and rcvbuf_size configure a SocketCAN socket; without SocketCAN they are only converted.
  (void)py::arg_or(a, kFd, py::to_flag, false);
  Ref bus = py::arg(a, kBus, py::optional(to_virtual_bus)).value_or(Ref());
  const std::optional<std::string> channel = py::arg(a, kChannel, py::optional(py::to_str));
  (void)py::arg(a, kRcvbufSize, py::optional(py::to_i32));
  convert_decoder_tail(a, kFirstTailParam, args);

  PreparedDecoder prepared = prepare_decoder(std::move(args));
  runtime::CancellationToken token;

  std::optional<runtime::VirtualBusRx> receiver;
  if (bus) {
    receiver = take_virtual_bus_receiver(bus.get());
    if (!receiver) {
      py::raise(PyExc_RuntimeError, "VirtualBus already consumed by another CanCodec or Notifier");
    }
    bus.reset();
  } else if (!channel) {
    py::raise(PyExc_RuntimeError,
              "Either 'bus' (VirtualBus) or 'channel' (SocketCAN interface) must be provided");
  }

  BuiltDecoder built = build_decoder(std::move(prepared));
  register_schemas_if_asked(built);
  runtime::DecodePipeline pipeline = runtime::make_decode_pipeline(std::move(built.core), token);
  SharedCounters counters = pipeline.counters;
  runtime::bounded::Sender<CanFrame> tx = pipeline.tx;
  runtime::Runtime& rt = runtime::get();

  bool spawned = false;
  // The spawn and, on the SocketCAN path, the release of the SDK handles touch no Python.
  py::allow_threads([&] {
    if (receiver) {
      // Attached before the spawn, so every frame the task loses to lag is counted.
      runtime::VirtualBusRx rx = std::move(*receiver).with_metrics(counters);
      receiver.reset();
      runtime::spawn_codec_task(std::move(pipeline), std::move(rx), rt.executor());
      spawned = true;
    } else {
      pipeline.release();
    }
  });
  if (!spawned) {
    raise_socketcan_refused("CanCodec", *channel, "SocketCAN is only available on Linux");
  }

  return py::create(type, CanCodecValue(std::move(counters), std::move(token),
                                        std::move(built.source), std::move(tx)));
}

// --- methods ---

constexpr py::Param kSendParams[] = {{"msg", true}};

Ref send(PyObject* self, const py::CallArgs& call) {
  const py::Bound a = py::bind("CanCodec.send", true, kSendParams, call);
  py::refuse_inherited<CanCodecValue>(self, "CanCodec");
  const Shared codec(self);
  CanFrame frame = py::arg(a, 0, to_message_frame);
  auto offered = codec->tx.try_send(std::move(frame));
  if (!offered) {
    if (offered.error().reason == runtime::bounded::OfferError::full) {
      codec->counters->add(Counter::tx_overflows);
      py::raise(PyExc_RuntimeError, "CanCodec TX buffer full");
    }
    py::raise(PyExc_RuntimeError, "CanCodec stopped");
  }
  return Ref::borrow(Py_None);
}

constexpr py::Param kPeriodicParams[] = {{"msg", true}, {"period", true}};

Ref send_periodic(PyObject* self, const py::CallArgs& call) {
  const py::Bound a = py::bind("CanCodec.send_periodic", true, kPeriodicParams, call);
  py::refuse_inherited<CanCodecValue>(self, "CanCodec");
  const Shared codec(self);
  CanFrame frame = py::arg(a, 0, to_message_frame);
  const runtime::Duration period = to_period(py::arg(a, 1, py::to_f64));
  // A task on a closed queue would end at its first tick having sent nothing.
  if (codec->tx.is_closed()) py::raise(PyExc_RuntimeError, "CanCodec stopped");
  runtime::Runtime& rt = runtime::get();
  return make_cyclic_send_task(
      runtime::start_periodic(std::move(frame), period, codec->tx, rt.executor()));
}

Ref stop(PyObject* self) {
  py::refuse_inherited<CanCodecValue>(self, "CanCodec");
  const Shared codec(self);
  // Closed before the cancel, so a send after stop() raises at once; the bus task still sends
  // every frame queued before, then ends.
  codec->tx.close();
  codec->token.cancel();
  return Ref::borrow(Py_None);
}

Ref flush(PyObject* /*self*/) { return Ref::borrow(Py_None); }

Ref metrics(PyObject* self) {
  const Shared codec(self);
  return metrics_snapshot(*codec->counters);
}

Ref get_cache(PyObject* self) {
  const Shared codec(self);
  // Null only once the collector has cleared the codec.
  return codec->source ? codec->source : Ref::borrow(Py_None);
}

// The codec's own attributes first; a name it lacks (AttributeError or a subclass) is looked up
// on the trace source object, whose failure is the caller's. Other failures pass unchanged.
Ref getattr(PyObject* self, PyObject* name) {
  if (PyObject* found = PyObject_GenericGetAttr(self, name)) return Ref::steal(found);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::raise_current();
  PyErr_Clear();
  Ref source;
  {
    const Shared codec(self);
    source = codec->source;
  }
  // Cleared by the collector: nothing to fall back on, so the codec's own AttributeError stands.
  if (!source) return py::check(PyObject_GenericGetAttr(self, name));
  return py::check(PyObject_GetAttr(source.get(), name));
}

PyMethodDef kMethods[] = {
    py::method<send>(
        "send",
        "send($self, msg)\n--\n\n"
        "Send one CAN frame through the codec's own bus without blocking.\n\n"
        "The frame goes onto the codec's transmit queue, which the bus task drains in the same\n"
        "task that receives, so receiving and transmitting never run at the same time. A full\n"
        "queue raises ``RuntimeError`` and bumps ``tx_overflows``; repeated refusals mean that\n"
        "the bus task is not keeping up."),
    py::method<send_periodic>(
        "send_periodic",
        "send_periodic($self, msg, period)\n--\n\n"
        "Schedule a transmit of ``msg`` every ``period`` seconds.\n\n"
        "On a codec the periodic task pushes its frames into the same transmit queue that\n"
        "``send()`` uses. The returned ``CyclicSendTask`` has ``stop()``, ``modify_data()`` and\n"
        "``is_active``."),
    py::method_noargs<stop>("stop", "stop($self)\n--\n\nStop the codec gracefully."),
    py::method_noargs<flush>(
        "flush",
        "flush($self)\n--\n\n"
        "No-op: buffering and flushing belong to the trace SDK. To flush, flush the trace source\n"
        "object passed in, or close the writer that owns it."),
    py::method_noargs<metrics>("metrics", "metrics($self)\n--\n\nGet current codec metrics."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"cache", &py::getter<get_cache>, nullptr,
     "The trace SDK source this codec emits into. Its attribute navigation (a message, then one\n"
     "of its signals) is exposed on the codec too.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr std::string_view kDocHead =
    "CanCodec(database_file=None, source_name=..., timestamp_mode=..., log_raw_frames=None, "
    "emit_schemas_on_init=False, fd=False, bus=None, channel=None, rcvbuf_size=None, "
    "source=None, raw_source=None, database_bytes=None)\n--\n\n"
    "CAN codec: reads frames from a bus, decodes them against a DBC database and emits them to\n"
    "the trace SDK.\n\n"
    "Once construction is over, the whole per-frame path runs on the runtime without the\n"
    "interpreter lock. The SDK is found through its capsule in ``sys.modules`` when the SDK\n"
    "package is loaded in the same process.\n\n"
    "Args:\n";
constexpr std::string_view kDocOwnArgs =
    "    fd: CAN FD on a SocketCAN interface. Default: False.\n"
    "    bus: a ``VirtualBus`` to receive from and transmit on; the codec takes its receiver.\n"
    "    channel: SocketCAN interface name, used when no ``bus`` is given.\n"
    "    rcvbuf_size: socket receive buffer size of a SocketCAN interface.\n";
constexpr auto kDoc = kJoined<kDocHead, kDecoderHeadArgsDoc, kDocOwnArgs, kDecoderTailArgsDoc>;

const py::ClassSpec kSpec{
    .name = "builtins.CanCodec",
    .doc = kDoc.data(),
    .constructor = &py::constructor<can_codec_new>,
    .methods = kMethods,
    .getset = kGetSet,
    .getattro = &py::getattro<getattr>,
    .traverse = &traverse,
    .clear = &clear,
};

}  // namespace

PyTypeObject* can_codec_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<CanCodecValue>(kSpec);
  return type;
}

}  // namespace orvik::python
