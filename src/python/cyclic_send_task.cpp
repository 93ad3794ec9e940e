// Glue of the CyclicSendTask class: python-can's handle on one periodic transmit.
//
//   class CyclicSendTask:            # made by send_periodic only; calling the class raises
//       def stop(self) -> None
//       def modify_data(self, msg) -> None     # only msg.data is used
//       is_active: bool                         # read-only; false once the send can send no more
//
// Dropping the handle stops the send.
#include "python/cyclic_send_task.hpp"

#include <memory>
#include <utility>

#include "python/binding/classes.hpp"
#include "python/binding/convert.hpp"
#include "python/message.hpp"

namespace orvik::python {
namespace {

using py::Ref;

// Owns the send: only the object's own value cancels it when destroyed. A moved-from value
// still shares the token (tokens copy on move), so it must not cancel.
class TaskValue {
 public:
  explicit TaskValue(runtime::PeriodicSend send) : send_(std::move(send)) {}
  TaskValue(TaskValue&& other) noexcept
      : send_(other.send_), armed_(std::exchange(other.armed_, false)) {}
  TaskValue(const TaskValue&) = delete;
  TaskValue& operator=(const TaskValue&) = delete;
  TaskValue& operator=(TaskValue&&) = delete;
  ~TaskValue() {
    if (armed_) send_.token.cancel();
  }

  const runtime::CancellationToken& token() const { return send_.token; }
  bool is_active() const { return send_.is_active(); }
  runtime::PeriodicPayload& payload() const { return *send_.payload; }

 private:
  runtime::PeriodicSend send_;
  bool armed_ = true;
};
using Shared = py::Shared<TaskValue>;

Ref task_stop(PyObject* self) {
  py::refuse_inherited<TaskValue>(self, "CyclicSendTask");
  const Shared task(self);
  task->token().cancel();
  return Ref::borrow(Py_None);
}

constexpr py::Param kModifyParams[] = {{"msg", true}};
Ref task_modify_data(PyObject* self, const py::CallArgs& args) {
  const py::Bound a = py::bind("CyclicSendTask.modify_data", true, kModifyParams, args);
  py::refuse_inherited<TaskValue>(self, "CyclicSendTask");
  const Shared task(self);
  // Copied before the swap, so a tick never waits on this copy. The copy is built straight into
  // the argument: moving an inline small_vector trips a false -Wstringop-overread in GCC.
  task->payload().replace(py::arg(a, 0, [](PyObject* obj) {
    return Payload(py::borrow_instance<MessageValue>(obj, message_type(), "Message")->frame.data);
  }));
  return Ref::borrow(Py_None);
}

Ref get_is_active(PyObject* self) {
  // A fork child has none of the parent's tasks: this send cannot send here.
  if (py::inherited<TaskValue>(self)) return Ref::borrow(Py_False);
  const Shared task(self);
  return Ref::borrow(task->is_active() ? Py_True : Py_False);
}

PyMethodDef kMethods[] = {
    py::method_noargs<task_stop>("stop", "stop($self)\n--\n\nStop the periodic transmit."),
    py::method<task_modify_data>(
        "modify_data",
        "modify_data($self, msg)\n--\n\n"
        "Update the frame payload. Takes effect on the next transmit cycle."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"is_active", &py::getter<get_is_active>, nullptr, "Whether the task is still running.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const py::ClassSpec kSpec{
    .name = "builtins.CyclicSendTask",
    .doc = "Handle for a periodic CAN transmit task.\n\n"
           "Matches the python-can ``CyclicSendTask`` interface: ``stop()``,\n"
           "``modify_data(msg)`` and ``is_active``.",
    .methods = kMethods,
    .getset = kGetSet,
};

}  // namespace

PyTypeObject* cyclic_send_task_type() {
  static PyTypeObject* type = nullptr;  // created once, kept for the process (lock held)
  if (type == nullptr) type = py::create_class<TaskValue>(kSpec);
  return type;
}

Ref make_cyclic_send_task(runtime::PeriodicSend send) {
  return py::create(cyclic_send_task_type(), TaskValue(std::move(send)));
}

}  // namespace orvik::python
