// ZeltoHybridClient: tensors through the engine's shared-memory pool, control records over a
// Unix socket. infer() holds an exclusive borrow and the GIL for the whole exchange: the wait is
// not interruptible from Python, and nothing else of the interpreter runs meanwhile.
#include <Python.h>

#include <memory>

#include "python/binding/method_args.hpp"
#include "python/errors.hpp"
#include "python/support/borrow.hpp"
#include "python/support/entry_guard.hpp"
#include "python/support/instance.hpp"
#include "python/support/lazy_type.hpp"
#include "python/support/py_ref.hpp"
#include "python/types.hpp"
#include "sdk/hybrid/hybrid_client.hpp"

namespace zelto::python {
namespace {

// Everything a ZeltoHybridClient owns lives in the native core: region, allocator, socket path,
// connection holder and event loop, released in that order when the object goes.
struct HybridClientState {
    std::unique_ptr<sdk::HybridClient> core;
};

using HybridClientObject = PyInstance<HybridClientState>;

// The new bytes object that the client copies the result into, straight from the region: the
// one copy of the result bytes, made while the request slot is still held.
class BytesResult final : public sdk::ResultSink {
  public:
    std::uint8_t* reserve(std::size_t size) override {
        bytes_ = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes_) return nullptr;
        return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_.get()));
    }
    PyObject* release() { return bytes_.release(); }

  private:
    OwnedRef bytes_;
};

PyObject* hybrid_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> PyObject* {
        PyResult<HybridClientNewArgs> parsed = parse_hybrid_client_new_args(args, kwargs);
        if (!parsed) return nullptr;
        auto core = sdk::HybridClient::create(parsed->shm_name, std::move(parsed->socket_path));
        if (!core) return raise_hybrid_error(core.error());
        auto state = std::make_unique<HybridClientState>();
        state->core = std::move(*core);
        return HybridClientObject::create(type, std::move(state));
    });
}

PyObject* hybrid_client_infer(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> PyObject* {
        HybridClientObject* client = HybridClientObject::from(self);
        PyResult<BoundArguments> bound =
            bind_shm_infer_args("ZeltoHybridClient.infer()", args, kwargs);
        if (!bound) return nullptr;
        auto borrow = ExclusiveBorrow::acquire(client->borrow);
        if (!borrow) return nullptr;
        PyResult<ShmInferArgs> parsed = convert_shm_infer_args(*bound);
        if (!parsed) return nullptr;

        BytesResult result;
        auto done = client->state->core->infer(parsed->shape.dims(), parsed->dtype,
                                               parsed->data.data(), parsed->data.size(), result);
        if (!done) return raise_hybrid_error(done.error());
        return result.release();
    });
}

PyMethodDef hybrid_client_methods[] = {
    {"infer", method_function(&hybrid_client_infer), METH_VARARGS | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot hybrid_client_slots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoHybridClient(shm_name, socket_path)\n--\n\n")},
    {Py_tp_new, slot_function(&hybrid_client_new)},
    {Py_tp_dealloc, slot_function(&HybridClientObject::dealloc)},
    {Py_tp_methods, hybrid_client_methods},
    {0, nullptr},
};

PyType_Spec hybrid_client_spec = {
    "builtins.ZeltoHybridClient", sizeof(HybridClientObject), 0,
    Py_TPFLAGS_DEFAULT,  // final: no Py_TPFLAGS_BASETYPE
    hybrid_client_slots,
};

LazyType hybrid_client_type_object(&hybrid_client_spec);

}  // namespace

PyTypeObject* hybrid_client_type() {
    return hybrid_client_type_object.get();
}

}  // namespace zelto::python
