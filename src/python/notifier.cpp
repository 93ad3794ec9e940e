// Glue of the Notifier class: construction over a VirtualBus, and the Python callback threads.
//
//   class Notifier:
//       def __init__(self, bus, listeners=[], recv_buffer_size=4096): ...
//       def stop(self) -> None          # cancels the background tasks and lets the callback
//                                       # threads end; returns at once
//       is_active: bool                 # read-only: not yet stopped or destroyed
//
// CanDecoder listeners decode on the runtime's dispatcher task. Each callable gets its own OS
// thread fed from the callback channel, so a slow callable only loses its own frames. The object
// keeps the callables, for the garbage collector: a callable that refers back to the notifier
// (a bound method of its owner) makes a cycle that the collector breaks by clearing the notifier,
// which stops it.
#include "python/notifier.hpp"

#include <pthread.h>
#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "common/log.hpp"
#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"
#include "python/bus.hpp"
#include "python/can_decoder.hpp"
#include "python/decoder_listener.hpp"
#include "python/message.hpp"
#include "python/virtual_bus.hpp"
#include "runtime/notifier.hpp"
#include "runtime/runtime.hpp"

namespace orvik::python {

namespace {

using py::Ref;

constexpr const char* kLogTarget = "orvik_can";

// One callable, shared by the Notifier object and the thread that calls it, and touched only with
// the interpreter lock held. The object reports the callable to the collector and empties the
// cell when cleared; the thread takes a reference of its own for each call. The cell, and the
// callable with it, goes with whichever of the two lets go last: the thread lets go only once the
// callback channel has closed, so it keeps calling the callable for the frames still held for it.
class CallableCell {
 public:
  explicit CallableCell(Ref callable) : callable_(std::move(callable)) {}
  CallableCell(const CallableCell&) = delete;
  CallableCell& operator=(const CallableCell&) = delete;

  // A reference for one call; empty once the notifier has been cleared.
  Ref get() const { return callable_; }
  PyObject* peek() const { return callable_.get(); }
  Ref take() { return std::move(callable_); }
  // A further holder, for the callback thread.
  CallableCell* share() {
    ++holders_;
    return this;
  }
  void let_go() {
    if (--holders_ == 0) delete this;
  }

 private:
  ~CallableCell() = default;
  Ref callable_;
  int holders_ = 1;
};

struct LetGo {
  void operator()(CallableCell* cell) const { cell->let_go(); }
};
using CellHold = std::unique_ptr<CallableCell, LetGo>;

// Cancels the tasks before releasing anything, and never joins a callback thread: each one ends
// by itself once the callback channel closes, which stop() or destruction lets it do.
class NotifierValue {
 public:
  explicit NotifierValue(runtime::NotifierHandle handle) : handle_(std::move(handle)) {}
  // A moved-from token still shares the live state, so the source must forget its handle
  // rather than cancel it on destruction.
  NotifierValue(NotifierValue&& other) noexcept
      : handle_(std::exchange(other.handle_, std::nullopt)),
        threads_(std::move(other.threads_)),
        cells_(std::move(other.cells_)) {}
  NotifierValue& operator=(NotifierValue&&) = delete;
  ~NotifierValue() {
    if (handle_) {
      handle_->token().cancel();
      handle_.reset();
    }
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.detach();
    }
  }

  const runtime::NotifierHandle& handle() const { return *handle_; }
  runtime::NotifierHandle& handle() { return *handle_; }
  // Room for n callables, so that a started thread is never dropped joinable.
  void reserve(std::size_t n) {
    threads_.reserve(n);
    cells_.reserve(n);
  }
  CallableCell& add_cell(Ref callable) {
    cells_.push_back(CellHold(new CallableCell(std::move(callable))));
    return *cells_.back();
  }
  void add_thread(std::thread thread) { threads_.push_back(std::move(thread)); }

  const std::vector<CellHold>& cells() const { return cells_; }
  // Empties every cell; the callables go with the result.
  std::vector<Ref> take_callables() {
    std::vector<Ref> out;
    out.reserve(cells_.size());
    for (const CellHold& cell : cells_) out.push_back(cell->take());
    return out;
  }

 private:
  std::optional<runtime::NotifierHandle> handle_;
  std::vector<std::thread> threads_;
  std::vector<CellHold> cells_;
};
using Shared = py::Shared<NotifierValue>;

// --- the callback threads ---
//
// They are detached and may outlive the interpreter. Its exit shuts a gate (ExitGate, below)
// before finalisation begins; from then on a thread stops touching Python and leaks its callable.
// One still inside a callable when the exit stops waiting is ended by CPython itself when it next
// asks for the lock (pthread_exit, a forced unwind), so nothing on this stack swallows that unwind
// or touches Python objects from a destructor.

// Builds the message and calls the callable; whatever fails is discarded. Lock held. The call
// holds a reference of its own, so clearing the notifier meanwhile does not end the callable
// under it; frames that come after find the cell empty and go nowhere.
void deliver(const CallableCell& cell, const CanFrame& frame) {
  const Ref callable = cell.get();
  if (!callable) return;
  PyObject* message = nullptr;
  try {
    message = message_from_frame(frame, std::nullopt).release();
  } catch (...) {
    if (py::ending_thread()) throw;
  }
  if (message != nullptr) {
    PyObject* result = PyObject_CallFunctionObjArgs(callable.get(), message, nullptr);
    Py_XDECREF(result);
    Py_DECREF(message);
  }
  PyErr_Clear();
}

// Frames delivered under one hold of the lock at most; between batches the lock is released,
// which also hands it over to a thread that has asked for it meanwhile.
constexpr unsigned kDeliveryBatch = 64;

// The interpreter's exit, and a sub-interpreter's end. Once finalisation has begun, a callback
// thread may not create, take, give up or delete a thread state: CPython deletes the other
// threads' states at once, and a thread asking for the lock is ended on the spot. So every thread
// state is created and deleted under this gate, and each hold of the lock takes a seat in it. The
// interpreter's atexit functions run first, while it is whole; one of them shuts the gate and
// waits, lock released, for the threads inside to leave. A thread that comes later touches
// nothing and leaks its callable and its thread state, which the interpreter deletes itself.
//
// The main interpreter's exit waits only a moment, so a callable that never returns does not hold
// the process: its thread is ended by CPython the next time it asks for the lock, before it touches
// its (by then deleted) thread state. A sub-interpreter cannot end while another thread state of it
// exists, so its end waits for every thread inside. The module lives in one interpreter per
// process, so one gate serves; a fork child starts with a fresh one, as the parent's threads are
// not there.
class ExitGate {
 public:
  // Runs `attach` (a thread state's creation) and takes a seat, unless the gate is shut.
  template <class F>
  bool enter(F&& attach) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (shut_.load(std::memory_order_relaxed)) return false;
    std::forward<F>(attach)();
    ++inside_;
    return true;
  }
  // Runs `detach` (a thread state's deletion) while finalisation cannot have begun, then leaves.
  template <class F>
  void leave(F&& detach) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!released_) std::forward<F>(detach)();
    if (--inside_ == 0) left_.notify_all();
  }
  bool is_shut() const { return shut_.load(std::memory_order_acquire); }
  // Shuts the gate and waits up to `patience` (without it, for as long as it takes) for the
  // threads inside; from then on the interpreter may end.
  void shut(std::optional<std::chrono::milliseconds> patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    shut_.store(true, std::memory_order_release);
    const auto all_left = [this] { return inside_ == 0; };
    if (patience) {
      left_.wait_for(lock, *patience, all_left);
    } else {
      left_.wait(lock, all_left);
    }
    released_ = true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  std::atomic<bool> shut_{false};
  bool released_ = false;
  int inside_ = 0;
};

// Kept for the process: detached threads may still look at it while the process exits. A fork
// child gets a fresh one, in its one thread, as none of the parent's threads is there.
std::atomic<ExitGate*> g_exit_gate{new ExitGate};
[[maybe_unused]] const int g_exit_gate_fork_handler = pthread_atfork(nullptr, nullptr, [] {
  g_exit_gate.store(new ExitGate, std::memory_order_relaxed);
});

ExitGate& exit_gate() { return *g_exit_gate.load(std::memory_order_relaxed); }

// How long the main interpreter's exit waits for callbacks already running: a callable that
// returns promptly finishes its call, one that does not cannot hold the process.
constexpr std::chrono::milliseconds kExitPatience{200};

PyObject* shut_exit_gate(PyObject* /*module*/, PyObject* /*unused*/) {
  return py::guard<PyObject*>(nullptr, [] {
    if (Py_IsInitialized() == 0) {
      // The main interpreter's exit is ending this sub-interpreter: a thread that asks for the
      // lock is ended instead, and so would this one be on taking it back.
      py::note_exiting_thread();
      exit_gate().shut(std::chrono::milliseconds(0));
    } else {
      const bool main = PyInterpreterState_GetID(PyInterpreterState_Get()) == 0;
      if (main) py::note_exiting_thread();  // the process's exit, not a sub-interpreter's end
      py::allow_threads([main] {
        exit_gate().shut(main ? std::optional(kExitPatience) : std::nullopt);
      });
    }
    return Ref::borrow(Py_None).release();
  });
}

PyMethodDef kShutExitGate = {"_end_notifier_callbacks", &shut_exit_gate, METH_NOARGS, nullptr};

}  // namespace

void watch_interpreter_exit() {
  static bool registered = false;
  if (registered) return;
  const Ref atexit = py::check(PyImport_ImportModule("atexit"));
  const Ref func = py::check(PyCFunction_New(&kShutExitGate, nullptr));
  const Ref done = py::check(PyObject_CallMethod(atexit.get(), "register", "O", func.get()));
  registered = true;
}

namespace {

// The thread's interpreter thread state, in the interpreter that built the Notifier. For the
// main interpreter it is made at the first delivery and kept until the channel closes: making one
// per hold, as a bare PyGILState_Ensure/Release pair does, costs an mmap and an munmap of its frame
// stack every time. A sub-interpreter refuses to end while another thread state of it exists, so
// there the state lives only while the lock is held.
class ThreadState {
 public:
  // `main`: whether `interp` is the main interpreter, asked under the lock by the spawning
  // thread; a sub-interpreter may be gone before this thread first looks at it.
  ThreadState(PyInterpreterState* interp, bool main) : interp_(interp), keep_(main) {}
  // False, without the lock, once the interpreter has begun to end.
  [[nodiscard]] bool lock() {
    const bool entered = exit_gate().enter([this] {
      if (tstate_ == nullptr) tstate_ = PyThreadState_New(interp_);
    });
    if (!entered) return false;
    PyEval_RestoreThread(tstate_);
    if (exit_gate().is_shut()) {  // shut while this thread waited for the lock
      unlock();
      return false;
    }
    return true;
  }
  void unlock() {
    if (keep_) {
      (void)PyEval_SaveThread();
      exit_gate().leave([] {});
    } else {
      finish();
    }
  }
  // Lock held. Releases the lock and deletes the thread state, unless the interpreter may
  // already be ending, which deletes it itself.
  void finish() {
    PyThreadState_Clear(tstate_);
    (void)PyEval_SaveThread();
    exit_gate().leave([this] { PyThreadState_Delete(tstate_); });
    tstate_ = nullptr;
  }
  // Whether the thread should stop delivering and give the lock up.
  static bool exit_pending() { return exit_gate().is_shut(); }

 private:
  PyInterpreterState* interp_;
  bool keep_;
  PyThreadState* tstate_ = nullptr;
};

// Holds `cell`, let go under the lock when the channel closes.
void run_callback_thread(runtime::broadcast::Receiver<CanFrame> receiver, CallableCell* cell,
                         PyInterpreterState* interp, bool main_interpreter) {
  using Next = runtime::broadcast::RecvResult<CanFrame>;
  ThreadState thread_state(interp, main_interpreter);
  std::optional<Next> pending;  // a lag or the end, met while draining under the lock
  for (;;) {
    Next next = pending ? *std::exchange(pending, std::nullopt)
                        : runtime::recv_callback(receiver);  // without the lock
    if (auto* frame = std::get_if<CanFrame>(&next)) {
      if (!Py_IsInitialized() || !thread_state.lock()) return;
      deliver(*cell, *frame);
      // Frames already waiting go out under the same hold: one lock round trip per frame
      // would cost more than building the message and calling.
      for (unsigned n = 1; n < kDeliveryBatch && !ThreadState::exit_pending(); ++n) {
        std::optional<Next> more = runtime::try_recv_callback(receiver);
        if (!more) break;
        if (auto* queued = std::get_if<CanFrame>(&*more)) {
          deliver(*cell, *queued);
        } else {
          pending = std::move(more);
          break;
        }
      }
      thread_state.unlock();
    } else if (auto* lag = std::get_if<runtime::broadcast::Lag>(&next)) {
      log::event(log::Level::Warn, kLogTarget, "Python listener lagged, skipped {} frames",
                 lag->missed);
    } else {
      if (!Py_IsInitialized() || !thread_state.lock()) return;
      cell->let_go();
      thread_state.finish();
      return;
    }
  }
}

// Starts the thread for one callable, reading from `receiver`.
std::thread spawn_callback_thread(runtime::broadcast::Receiver<CanFrame> receiver,
                                  CallableCell& cell) {
  CallableCell* shared = cell.share();
  try {
    PyInterpreterState* const interp = PyInterpreterState_Get();
    return std::thread(run_callback_thread, std::move(receiver), shared, interp,
                       PyInterpreterState_GetID(interp) == 0);
  } catch (const std::system_error& e) {
    shared->let_go();
    py::raise_internal_fault(fmt::format("failed to spawn thread: {}", e.what()));
  } catch (...) {
    shared->let_go();
    throw;
  }
}

// --- construction ---

struct Listeners {
  runtime::FrameListeners native;
  SharedCounters counters;  // the last CanDecoder's
  std::vector<Ref> callables;
};

Listeners classify_listeners(std::vector<Ref> items) {
  Listeners out;
  for (Ref& item : items) {
    if (SharedDecoder decoder = shared_decoder_of(item.get())) {
      out.counters = decoder->counters();
      out.native.push_back(std::make_unique<CanDecoderListener>(std::move(decoder)));
    } else if (PyCallable_Check(item.get())) {
      out.callables.push_back(std::move(item));
    } else {
      py::raise(PyExc_RuntimeError, "Listener must be a CanDecoder or a callable");
    }
  }
  return out;
}

runtime::VirtualBusRx take_receiver(PyObject* bus) {
  if (is_virtual_bus(bus)) {
    std::optional<runtime::VirtualBusRx> rx = take_virtual_bus_receiver(bus);
    if (!rx) {
      py::raise(PyExc_RuntimeError, "VirtualBus already taken by another Notifier or CanCodec");
    }
    return std::move(*rx);
  }
  if (py::is_instance(bus, bus_type())) {
    raise_socketcan_refused("Notifier", bus_channel(bus),
                            "SocketCAN Bus is only available on Linux");
  }
  py::raise(PyExc_RuntimeError, "bus must be a VirtualBus or Bus instance");
}

constexpr std::size_t kDefaultRecvBufferSize = 4096;
constexpr py::Param kNewParams[] = {{"bus", true}, {"listeners"}, {"recv_buffer_size"}};

Ref notifier_new(PyTypeObject* type, const py::CallArgs& call) {
  const py::Bound a = py::bind("Notifier", false, kNewParams, call);
  std::vector<Ref> items = py::arg_or(a, 1, py::to_sequence, std::vector<Ref>{});
  const std::size_t recv_buffer_size =
      py::arg_or(a, 2, py::to_usize, kDefaultRecvBufferSize);

  Listeners listeners = classify_listeners(std::move(items));
  runtime::Runtime& rt = runtime::get();
  runtime::VirtualBusRx rx = take_receiver(a[0]);
  if (listeners.counters) rx = std::move(rx).with_metrics(listeners.counters);
  // One callback receiver per callable, subscribed before the tasks start: frames already
  // waiting on the bus reach every callable.
  auto started = runtime::Notifier::start(std::move(rx), std::move(listeners.native),
                                          std::move(listeners.counters), recv_buffer_size,
                                          rt.executor(), listeners.callables.size());
  // Only the queue of recv_buffer_size frames can be refused: the argument is at fault.
  if (!started) py::raise(PyExc_ValueError, started.error().message());

  // From here a failure cancels the tasks, as the value goes out of scope.
  NotifierValue value(std::move(*started));
  std::vector<runtime::broadcast::Receiver<CanFrame>> receivers =
      value.handle().take_callback_receivers();
  value.reserve(listeners.callables.size());
  for (std::size_t i = 0; i < listeners.callables.size(); ++i) {
    CallableCell& cell = value.add_cell(std::move(listeners.callables[i]));
    value.add_thread(spawn_callback_thread(std::move(receivers[i]), cell));
  }
  return py::create(type, std::move(value));
}

// --- garbage collection ---

int traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const CellHold& cell : py::Native<NotifierValue>::of(self)->value.cells()) {
    Py_VISIT(cell->peek());
  }
  return 0;
}

// Stops the notifier and lets go of its callables. The callables go last, once no lock is
// held, as their release may run any Python code.
int clear(PyObject* self) {
  NotifierValue& n = py::Native<NotifierValue>::of(self)->value;
  const std::vector<Ref> callables = n.take_callables();
  // A fork child's notifier does not run here, and its locks may be held by the parent's threads.
  if (!py::inherited<NotifierValue>(self)) n.handle().stop();
  return 0;
}

// --- members ---

// Also lets go of the callback channel, so that the callback threads deliver what is held for
// them and end: a callable that refers back to the notifier is then held by the notifier alone,
// in a cycle that the collector sees.
Ref stop(PyObject* self) {
  py::refuse_inherited<NotifierValue>(self, "Notifier");
  const py::Exclusive<NotifierValue> n(self);
  n->handle().stop();
  return Ref::borrow(Py_None);
}

Ref get_is_active(PyObject* self) {
  // A fork child has none of the parent's threads: this notifier does not run here.
  if (py::inherited<NotifierValue>(self)) return Ref::borrow(Py_False);
  const Shared n(self);
  return Ref::borrow(n->handle().token().is_cancelled() ? Py_False : Py_True);
}

PyMethodDef kMethods[] = {
    py::method_noargs<stop>("stop",
                            "stop($self)\n--\n\n"
                            "Stop the background recv loop and all listeners."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"is_active", &py::getter<get_is_active>, nullptr, "Whether the notifier is still running.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "Notifier(bus, listeners=..., recv_buffer_size=4096)\n--\n\n"
    "Background frame receiver that dispatches to listeners.\n\n"
    "Runs a receive loop on a background task and hands each frame to every registered\n"
    "native listener (``CanDecoder``), and optionally to Python callback functions.\n"
    "Callbacks run on a separate thread, so they never block the receive and decode path.\n\n"
    "Example::\n\n"
    "    bus = VirtualBus(\"can0\")\n"
    "    decoder = CanDecoder(database_file=\"vehicle.dbc\")\n"
    "    notifier = Notifier(bus, [decoder])\n"
    "    ...\n"
    "    notifier.stop()\n";

const py::ClassSpec kSpec{
    .name = "builtins.Notifier",
    .doc = kDoc,
    .constructor = &py::constructor<notifier_new>,
    .methods = kMethods,
    .getset = kGetSet,
    .traverse = &traverse,
    .clear = &clear,
};

}  // namespace

PyTypeObject* notifier_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<NotifierValue>(kSpec);
  return type;
}

}  // namespace orvik::python
