// ZeltoClient: the socket/TCP client's Python face. Construction resolves the endpoint; the
// inference methods convert their arguments and hand them to the socket client core.
#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "python/binding/method_args.hpp"
#include "python/binding/result_bytes.hpp"
#include "python/errors.hpp"
#include "python/support/borrow.hpp"
#include "python/support/entry_guard.hpp"
#include "python/support/instance.hpp"
#include "python/support/lazy_type.hpp"
#include "python/support/py_ref.hpp"
#include "python/types.hpp"
#include "python/types/stream_iterator.hpp"
#include "sdk/socket/client_config.hpp"
#include "sdk/socket/endpoint.hpp"
#include "sdk/socket/socket_client.hpp"

namespace zelto::python {
namespace {

// Everything a ZeltoClient owns: the socket client core (target, token, pool limit, pool).
struct ZeltoClientState {
    explicit ZeltoClientState(sdk::ClientConfig resolved)
        : core(std::move(resolved)), config(core.config()) {}

    sdk::SocketClient core;
    const sdk::ClientConfig& config;  // the core's, read by endpoint() and protocol()
};

using ZeltoClientObject = PyInstance<ZeltoClientState>;

PyObject* zelto_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> PyObject* {
        PyResult<ClientNewArgs> parsed = parse_client_new_args(args, kwargs);
        if (!parsed) return nullptr;
        Result<sdk::ConnectionTarget, sdk::ClientError> target =
            sdk::resolve_endpoint(parsed->endpoint);
        if (!target) return raise_client_error(target.error());
        sdk::ClientConfig config;
        config.target = std::move(*target);
        config.api_token = std::move(parsed->api_token);
        config.max_pool_size = parsed->max_pool_size;
        auto state = std::make_unique<ZeltoClientState>(std::move(config));
        return ZeltoClientObject::create(type, std::move(state));
    });
}

PyObject* new_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* zelto_client_protocol(PyObject* self, PyObject*) {
    return guard_object([&]() -> PyObject* {
        ZeltoClientObject* client = ZeltoClientObject::from(self);
        auto borrow = SharedBorrow::acquire(client->borrow);
        if (!borrow) return nullptr;
        return new_str(client->state->config.target.protocol());
    });
}

PyObject* zelto_client_endpoint(PyObject* self, PyObject*) {
    return guard_object([&]() -> PyObject* {
        ZeltoClientObject* client = ZeltoClientObject::from(self);
        auto borrow = SharedBorrow::acquire(client->borrow);
        if (!borrow) return nullptr;
        return new_str(client->state->config.target.url());
    });
}

// The converted arguments as the core's borrowed view. The view points into `args` (shape,
// dtype, data, names) and into `named`, which must outlive it.
sdk::InferInput infer_input(const InferArgs& args, std::vector<sdk::NamedTensorInput>& named) {
    named.clear();
    named.reserve(args.additional_inputs.size());
    for (const auto& [name, tensor] : args.additional_inputs) {
        named.push_back({name, {tensor.shape.dims(), tensor.dtype, tensor.data.bytes()}});
    }
    return {args.model_id,
            {args.shape.dims(), args.dtype, args.data.bytes()},
            named,
            args.session_id ? std::optional<std::string_view>(*args.session_id) : std::nullopt};
}

// (data, shape, dtype) with the canonical dtype name, whatever form the engine wrote.
PyObject* tensor_tuple(const engine_api::TensorPacketView& packet, ResultBytes& bytes) {
    OwnedRef data = OwnedRef::steal(bytes.take(packet.data()));
    if (!data) return nullptr;
    OwnedRef shape = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(packet.rank())));
    if (!shape) return nullptr;
    for (std::size_t i = 0; i < packet.rank(); ++i) {
        PyObject* dim = PyLong_FromLongLong(packet.dim(i));
        if (dim == nullptr) return nullptr;
        PyList_SetItem(shape.get(), static_cast<Py_ssize_t>(i), dim);  // steals `dim`
    }
    OwnedRef dtype = OwnedRef::steal(new_str(engine_api::dtype_name(packet.dtype())));
    if (!dtype) return nullptr;
    return PyTuple_Pack(3, data.get(), shape.get(), dtype.get());
}

// Runs one unary call whose result `make_result` builds from the reply tensor while it is still
// where it arrived, taking the data bytes from `ResultBytes`: at most one copy, straight into the
// Python object. `make_result` returns a new reference, or nullptr with an exception set.
template <class MakeResult>
PyObject* run_unary(PyObject* self, PyObject* args, PyObject* kwargs, const char* full_name,
                    MakeResult make_result) {
    return guard_object([&]() -> PyObject* {
        ZeltoClientObject* client = ZeltoClientObject::from(self);
        auto borrow = SharedBorrow::acquire(client->borrow);
        if (!borrow) return nullptr;
        PyResult<InferArgs> parsed = parse_infer_args(full_name, args, kwargs);
        if (!parsed) return nullptr;
        std::vector<sdk::NamedTensorInput> named;
        OwnedRef result;
        ResultBytes data;
        auto done = client->state->core.infer(
            infer_input(*parsed, named),
            [&](const engine_api::TensorPacketView& packet) {
                result = OwnedRef::steal(make_result(packet, data));
            },
            [&](std::size_t size) { return data.make(size); });
        if (!done) return raise_client_error(done.error());
        return result.release();  // nullptr: building the result failed, its exception is set
    });
}

PyObject* zelto_client_infer(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_unary(self, args, kwargs, "ZeltoClient.infer()",
                     [](const engine_api::TensorPacketView& packet, ResultBytes& data) {
                         return data.take(packet.data());
                     });
}

PyObject* zelto_client_infer_tensor(PyObject* self, PyObject* args, PyObject* kwargs) {
    return run_unary(self, args, kwargs, "ZeltoClient.infer_tensor()", &tensor_tuple);
}

PyObject* zelto_client_infer_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard_object([&]() -> PyObject* {
        ZeltoClientObject* client = ZeltoClientObject::from(self);
        auto borrow = SharedBorrow::acquire(client->borrow);
        if (!borrow) return nullptr;
        PyResult<InferArgs> parsed = parse_infer_args("ZeltoClient.infer_stream()", args, kwargs);
        if (!parsed) return nullptr;
        std::vector<sdk::NamedTensorInput> named;
        auto stream = client->state->core.open_stream(infer_input(*parsed, named));
        if (!stream) {
            // A failed request write is an OSError by its errno (BrokenPipeError, ...); every
            // earlier failure goes through ClientError.
            const sdk::StreamOpenError& failure = stream.error();
            if (failure.while_writing) return raise_os_error(failure.error.io);
            return raise_client_error(failure.error);
        }
        return new_stream_iterator(std::move(*stream));
    });
}

PyMethodDef zelto_client_methods[] = {
    {"protocol", method_function(&zelto_client_protocol), METH_NOARGS, "protocol($self)\n--\n\n"},
    {"endpoint", method_function(&zelto_client_endpoint), METH_NOARGS, "endpoint($self)\n--\n\n"},
    {"infer", method_function(&zelto_client_infer), METH_VARARGS | METH_KEYWORDS,
     "infer($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)\n--\n\n"},
    {"infer_tensor", method_function(&zelto_client_infer_tensor), METH_VARARGS | METH_KEYWORDS,
     "infer_tensor($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)"
     "\n--\n\n"
     "Like `infer` but returns `(data, shape, dtype)` so the caller knows\n"
     "how to interpret the output bytes without hardcoding dimensions.\n"
     "Essential for models whose output shape varies (diffusion, video, TTS)."},
    {"infer_stream", method_function(&zelto_client_infer_stream), METH_VARARGS | METH_KEYWORDS,
     "infer_stream($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)"
     "\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot zelto_client_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "ZeltoClient(endpoint=None, *, protocol=None, host=None, port=None, "
         "socket_path=None, pipe_name=None, max_pool_size=..., api_token=None)\n--\n\n")},
    {Py_tp_new, slot_function(&zelto_client_new)},
    {Py_tp_dealloc, slot_function(&ZeltoClientObject::dealloc)},
    {Py_tp_methods, zelto_client_methods},
    {0, nullptr},
};

PyType_Spec zelto_client_spec = {
    "builtins.ZeltoClient", sizeof(ZeltoClientObject), 0,
    Py_TPFLAGS_DEFAULT,  // final: no Py_TPFLAGS_BASETYPE
    zelto_client_slots,
};

LazyType zelto_client_type_object(&zelto_client_spec);

}  // namespace

PyTypeObject* zelto_client_type() {
    return zelto_client_type_object.get();
}

}  // namespace zelto::python
