// ZeltoShmClient: the shared-memory client's Python face. Construction attaches to the
// engine's region by name; infer() holds an exclusive borrow for the whole exchange and gives
// up the interpreter lock only while it sleeps on the engine's notification descriptor. Its
// short spins on the response ring keep the lock, like the polling, and check for signals.
#include "sdk/shm_client.hpp"

#include <Python.h>

#include <memory>
#include <optional>

#include "python/borrow.hpp"
#include "python/entry_guard.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/lazy_type.hpp"
#include "python/method_args.hpp"
#include "python/py_ref.hpp"
#include "python/shm_infer_steps.hpp"
#include "python/types.hpp"

namespace zelto::python {
namespace {

// A call between its steps (python/shm_infer_steps.hpp): the object's exclusive borrow and the
// queued request, which holds the slot. Nothing in it refers to a Python object.
struct ShmCallInFlight {
    ExclusiveBorrow borrow;
    sdk::PendingShmRequest pending;
};

// Everything a ZeltoShmClient owns: the attached region, its private allocator and the id
// counter, all inside the Python-free core; and the call in flight, which only the thread that
// holds the object's exclusive borrow touches.
struct ShmClientState {
    std::unique_ptr<sdk::ShmClientCore> core;
    std::optional<ShmCallInFlight> in_flight;
};

using ShmClientObject = PyInstance<ShmClientState>;

std::nullptr_t raise_call_error(const sdk::ShmCallError& error) {
    switch (error.kind) {
        case sdk::ShmCallError::Kind::InvalidArgument:
            return raise_message(PyExc_ValueError, error.message);
        case sdk::ShmCallError::Kind::Timeout:
            return raise_message(PyExc_TimeoutError, error.message);
        case sdk::ShmCallError::Kind::Interrupted:
            return nullptr;  // the signal handler's exception is already pending
        case sdk::ShmCallError::Kind::Runtime:
            break;
    }
    return raise_message(PyExc_RuntimeError, error.message);
}

// Runs between two looks at the response ring (spinning or polling), with the interpreter lock
// held: a signal handler that raises (Ctrl-C) ends the wait with its exception.
bool no_pending_signal_exception() {
    return PyErr_CheckSignals() == 0;
}

PyObject* shm_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> PyObject* {
        PyResult<ShmClientNewArgs> parsed = parse_shm_client_new_args(args, kwargs);
        if (!parsed) return nullptr;
        auto core = sdk::ShmClientCore::connect(parsed->shm_name);
        if (!core) return raise_message(PyExc_ConnectionError, core.error().display());
        auto state = std::make_unique<ShmClientState>();
        state->core = std::move(*core);
        return ShmClientObject::create(type, std::move(state));
    });
}

// Binds and converts the arguments, takes the borrow in between (a missing argument is reported
// before "Already borrowed", a bad one after it) and queues the request. The Python objects of
// the arguments live only in here. Empty with the exception pending on failure.
std::optional<ShmCallInFlight> queue_call(ShmClientObject* client, PyObject* args,
                                          PyObject* kwargs) {
    PyResult<BoundArguments> bound = bind_shm_infer_args("ZeltoShmClient.infer()", args, kwargs);
    if (!bound) return std::nullopt;
    auto borrow = ExclusiveBorrow::acquire(client->borrow);
    if (!borrow) return std::nullopt;
    PyResult<ShmInferArgs> parsed = convert_shm_infer_args(*bound);
    if (!parsed) return std::nullopt;

    // The input goes from the converted argument straight into the slot.
    const ShmInferArgs& input = *parsed;
    auto pending = client->state->core->begin(sdk::ShmInput{
        input.shape.data(), input.shape.size(), input.dtype, input.data.data(), input.data.size()});
    if (!pending) {
        raise_call_error(pending.error());
        return std::nullopt;
    }
    return ShmCallInFlight{std::move(*borrow), std::move(*pending)};
}

// With a descriptor: a short spin on the ring first (lock held, signals checked). An answer
// that came meanwhile only needs its notification taken along; otherwise the documented sleep
// on the descriptor with the lock released. See sdk/shm_client.hpp for why.
std::optional<ShmInferStep> next_step(const sdk::PendingShmRequest& pending) {
    const int fd = pending.notify_fd();
    if (fd < 0) return ShmInferStep::Answer;
    auto published = pending.spin_until_published(&no_pending_signal_exception);
    if (!published) {
        raise_call_error(published.error());
        return std::nullopt;
    }
    if (*published && pending.take_notification_now(fd)) return ShmInferStep::Answer;
    return ShmInferStep::WaitWithoutLock;
}

}  // namespace

ShmInferStep shm_infer_begin(PyObject* self, PyObject* args, PyObject* kwargs) {
    ShmInferStep step = ShmInferStep::Failed;
    guard_object([&]() -> PyObject* {
        ShmClientObject* client = ShmClientObject::from(self);
        std::optional<ShmCallInFlight> call = queue_call(client, args, kwargs);
        if (!call) return nullptr;
        std::optional<ShmInferStep> next = next_step(call->pending);
        if (!next) return nullptr;  // `call` ends here: slot and borrow released
        client->state->in_flight.emplace(std::move(*call));
        step = *next;
        return Py_None;  // borrowed; only tells the guard that no exception is pending
    });
    return step;
}

void shm_infer_wait(PyObject* self) noexcept {
    ShmClientState& state = *ShmClientObject::from(self)->state;
    const sdk::PendingShmRequest& pending = state.in_flight->pending;
    pending.wait_notification(pending.notify_fd());
}

PyObject* shm_infer_finish(PyObject* self) {
    return guard_object([&]() -> PyObject* {
        ShmClientState& state = *ShmClientObject::from(self)->state;
        // The call ends with this step, whatever happens: its slot and borrow go with `call`.
        ShmCallInFlight call = std::move(*state.in_flight);
        state.in_flight.reset();

        auto entry = call.pending.poll_response(&no_pending_signal_exception);
        if (!entry) return raise_call_error(entry.error());
        auto result = call.pending.answer(*entry);
        if (!result) return raise_call_error(result.error());

        // The one copy of the result: from the region into the new bytes object. The request's
        // slot is released when `call` goes out of scope, after this copy.
        OwnedRef bytes = OwnedRef::steal(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(result->size)));
        if (!bytes) return nullptr;
        auto* destination = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
        if (auto copied = call.pending.copy_result(*result, destination); !copied) {
            return raise_call_error(copied.error());
        }
        return bytes.release();
    });
}

namespace {

PyMethodDef shm_client_methods[] = {
    {"infer", method_function(&shm_client_infer), METH_VARARGS | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot shm_client_slots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoShmClient(shm_name)\n--\n\n"
                                  "Wrapper for the shared memory client.")},
    {Py_tp_new, slot_function(&shm_client_new)},
    {Py_tp_dealloc, slot_function(&ShmClientObject::dealloc)},
    {Py_tp_methods, shm_client_methods},
    {0, nullptr},
};

PyType_Spec shm_client_spec = {
    "builtins.ZeltoShmClient", sizeof(ShmClientObject), 0,
    Py_TPFLAGS_DEFAULT,  // final: no Py_TPFLAGS_BASETYPE
    shm_client_slots,
};

LazyType shm_client_type_object(&shm_client_spec);

}  // namespace

PyTypeObject* shm_client_type() {
    return shm_client_type_object.get();
}

}  // namespace zelto::python
