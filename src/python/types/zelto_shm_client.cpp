// ZeltoShmClient: the shared-memory client's Python face. Construction attaches to the
// engine's region by name; infer() holds an exclusive borrow for the whole exchange and gives
// up the interpreter lock only while it sleeps on the engine's notification descriptor. Its
// short spins on the response ring keep the lock, like the polling, and check for signals.
#include <Python.h>

#include <memory>
#include <optional>

#include "python/binding/method_args.hpp"
#include "python/errors.hpp"
#include "python/support/borrow.hpp"
#include "python/support/entry_guard.hpp"
#include "python/support/instance.hpp"
#include "python/support/lazy_type.hpp"
#include "python/support/py_ref.hpp"
#include "python/types.hpp"
#include "python/types/zelto_shm_client_infer.hpp"
#include "sdk/shm/shm_client.hpp"

namespace zelto::python {
namespace {

// A call between its steps (python/types/zelto_shm_client_infer.hpp), held by the thread that holds
// the object's exclusive borrow. While it waits for its turn on the response ring it keeps its
// converted arguments (Python references, dropped by a step that holds the interpreter lock);
// once queued it refers to no Python object.
struct ShmCallInFlight {
    ExclusiveBorrow borrow;
    std::optional<ShmInferArgs> input;
    std::optional<sdk::ResponseTurn> turn;
    std::optional<sdk::PendingShmRequest> pending;
};

// Everything a ZeltoShmClient owns: the Python-free core (this process's share of the region:
// mapping, slot allocator and id counter, shared with the other client objects on it) and the
// call in flight.
struct ShmClientState {
    std::unique_ptr<sdk::ShmClientCore> core;
    std::optional<ShmCallInFlight> in_flight;
};

using ShmClientObject = PyInstance<ShmClientState>;

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
        if (!core) return raise_message(PyExc_ConnectionError, core.error());
        auto state = std::make_unique<ShmClientState>();
        state->core = std::move(*core);
        return ShmClientObject::create(type, std::move(state));
    });
}

// With a descriptor: a short spin on the ring first (lock held, signals checked). An answer
// that came meanwhile only needs its notification taken along; otherwise the documented sleep
// on the descriptor with the lock released. See sdk/shm/shm_client.hpp for why.
ShmInferStep next_step(const sdk::PendingShmRequest& pending) {
    const int fd = pending.notify_fd();
    if (fd < 0) return ShmInferStep::Answer;
    auto published = pending.spin_until_published(&no_pending_signal_exception);
    if (!published) {
        raise_shm_call_error(published.error());
        return ShmInferStep::Failed;
    }
    if (*published && pending.take_notification_now(fd)) return ShmInferStep::Answer;
    return ShmInferStep::WaitWithoutLock;
}

// Queues the request of the call in flight, which has its turn, and drops its arguments. On
// failure the call ends (slot, turn and borrow given back) with the exception pending.
ShmInferStep queue(ShmClientState& state) {
    ShmCallInFlight& call = *state.in_flight;
    const ShmInferArgs& input = *call.input;
    // The input goes from the converted argument straight into the slot.
    auto pending =
        state.core->begin(sdk::ShmInput{input.shape.data(), input.shape.size(), input.dtype,
                                        input.data.data(), input.data.size()},
                          std::move(*call.turn));
    call.turn.reset();
    call.input.reset();
    if (!pending) {
        state.in_flight.reset();
        raise_shm_call_error(pending.error());
        return ShmInferStep::Failed;
    }
    call.pending.emplace(std::move(*pending));
    const ShmInferStep step = next_step(*call.pending);
    if (step == ShmInferStep::Failed) state.in_flight.reset();
    return step;
}

// Runs `step` through the guard: Failed after an escaped C++ exception, which also ends the
// call in flight if this thread had one (`holds_call`).
template <class Step>
ShmInferStep guarded_step(ShmClientState& state, const bool& holds_call, Step&& step) {
    ShmInferStep result = ShmInferStep::Failed;
    PyObject* const done = guard_object([&]() -> PyObject* {
        result = step();
        return Py_None;  // borrowed; only tells the guard that nothing escaped
    });
    if (done != nullptr) return result;
    if (holds_call) state.in_flight.reset();
    return ShmInferStep::Failed;
}

}  // namespace

ShmInferStep shm_infer_begin(PyObject* self, PyObject* args, PyObject* kwargs) {
    ShmClientObject* client = ShmClientObject::from(self);
    ShmClientState& state = *client->state;
    bool holds_call = false;
    return guarded_step(state, holds_call, [&]() -> ShmInferStep {
        // Bound, then borrowed, then converted: a missing argument is reported before "Already
        // borrowed", a bad one after it.
        PyResult<BoundArguments> bound =
            bind_shm_infer_args("ZeltoShmClient.infer()", args, kwargs);
        if (!bound) return ShmInferStep::Failed;
        auto borrow = ExclusiveBorrow::acquire(client->borrow);
        if (!borrow) return ShmInferStep::Failed;
        PyResult<ShmInferArgs> parsed = convert_shm_infer_args(*bound);
        if (!parsed) return ShmInferStep::Failed;
        if (auto adopted = state.core->adopt_after_fork(); !adopted) {
            raise_shm_call_error(adopted.error());
            return ShmInferStep::Failed;
        }
        state.in_flight.emplace(ShmCallInFlight{std::move(*borrow), std::move(*parsed), {}, {}});
        holds_call = true;
        std::optional<sdk::ResponseTurn> turn = state.core->try_take_turn();
        if (!turn) return ShmInferStep::WaitForTurn;
        state.in_flight->turn.emplace(std::move(*turn));
        return queue(state);
    });
}

void shm_infer_wait_for_turn(PyObject* self) noexcept {
    ShmClientState& state = *ShmClientObject::from(self)->state;
    state.in_flight->turn.emplace(state.core->wait_for_turn());
}

ShmInferStep shm_infer_queue(PyObject* self) {
    ShmClientState& state = *ShmClientObject::from(self)->state;
    const bool holds_call = true;
    return guarded_step(state, holds_call, [&] { return queue(state); });
}

void shm_infer_wait(PyObject* self) noexcept {
    ShmClientState& state = *ShmClientObject::from(self)->state;
    const sdk::PendingShmRequest& pending = *state.in_flight->pending;
    pending.wait_notification(pending.notify_fd());
}

PyObject* shm_infer_finish(PyObject* self) {
    return guard_object([&]() -> PyObject* {
        ShmClientState& state = *ShmClientObject::from(self)->state;
        // The call ends with this step, whatever happens: its slot, turn and borrow go with
        // `call`.
        ShmCallInFlight call = std::move(*state.in_flight);
        state.in_flight.reset();
        sdk::PendingShmRequest& pending = *call.pending;

        auto entry = pending.poll_response(&no_pending_signal_exception);
        if (!entry) return raise_shm_call_error(entry.error());
        auto result = pending.answer(*entry);
        if (!result) return raise_shm_call_error(result.error());

        // The one copy of the result: from the region into the new bytes object. The request's
        // slot is released when `call` goes out of scope, after this copy.
        OwnedRef bytes = OwnedRef::steal(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(result->size)));
        if (!bytes) return nullptr;
        auto* destination = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes.get()));
        if (auto copied = pending.copy_result(*result, destination); !copied) {
            return raise_shm_call_error(copied.error());
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
