// ZeltoShmClient: the shared-memory client's Python face. Construction attaches to the
// engine's region by name; infer() holds an exclusive borrow for the whole exchange and gives
// up the interpreter lock only while it sleeps on the engine's notification descriptor. Its
// short spins on the response ring keep the lock, like the polling, and check for signals.
#include "sdk/shm_client.hpp"

#include <Python.h>

#include <memory>

#include "python/borrow.hpp"
#include "python/bytes_copy.hpp"
#include "python/entry_guard.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/instance.hpp"
#include "python/lazy_type.hpp"
#include "python/method_args.hpp"
#include "python/types.hpp"

namespace zelto::python {
namespace {

// Everything a ZeltoShmClient owns: the attached region, its private allocator and the id
// counter, all inside the Python-free core.
struct ShmClientState {
    std::unique_ptr<sdk::ShmClientCore> core;
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

PyObject* shm_client_infer(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> PyObject* {
        ShmClientObject* client = ShmClientObject::from(self);
        PyResult<BoundArguments> bound =
            bind_shm_infer_args("ZeltoShmClient.infer()", args, kwargs);
        if (!bound) return nullptr;
        auto borrow = ExclusiveBorrow::acquire(client->borrow);
        if (!borrow) return nullptr;
        PyResult<ShmInferArgs> parsed = convert_shm_infer_args(*bound);
        if (!parsed) return nullptr;

        // The input goes from the converted argument straight into the slot.
        const ShmInferArgs& input = *parsed;
        auto pending = client->state->core->begin(
            sdk::ShmInput{input.shape.data(), input.shape.size(), input.dtype, input.data.data(),
                          input.data.size()});
        if (!pending) return raise_call_error(pending.error());

        if (const int fd = pending->notify_fd(); fd >= 0) {
            // A short spin on the ring first (lock held, signals checked). An answer that came
            // meanwhile only needs its notification taken along; otherwise the documented sleep
            // on the descriptor with the lock released. See shm_client.hpp for why.
            auto published = pending->spin_until_published(&no_pending_signal_exception);
            if (!published) return raise_call_error(published.error());
            if (!*published || !pending->take_notification_now(fd)) {
                const GilRelease released;
                pending->wait_notification(fd);
            }
        }
        auto entry = pending->poll_response(&no_pending_signal_exception);
        if (!entry) return raise_call_error(entry.error());
        auto result = pending->answer(*entry);
        if (!result) return raise_call_error(result.error());

        // The one copy of the result: from the region into the new bytes object. The request's
        // slot is released when `pending` goes out of scope, after this copy.
        return new_bytes_copy(result->data, result->size);
    });
}

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
