#include "python/binding/method_args.hpp"

#include <array>

#include "python/binding/binder.hpp"
#include "python/binding/convert.hpp"
#include "python/support/py_ref.hpp"

namespace zelto::python {
namespace {

constexpr ParamKind kKeywordOnly = ParamKind::KeywordOnly;
constexpr ParamKind kPositional = ParamKind::PositionalOrKeyword;

// Converts the bound argument `index` (when given) into `out`, naming `param` in TypeErrors.
template <class T, class Convert>
bool convert_into(const BoundArguments& bound, std::size_t index, const Param& param, T& out,
                  Convert convert) {
    if (!bound.given(index)) return true;
    auto value = convert_argument(param.name, bound.get(index), convert);
    if (!value) return false;
    out = std::move(*value);
    return true;
}

PyResult<std::optional<std::string>> to_optional_text(PyObject* object) {
    return to_optional<std::string>(object, &to_text);
}

PyResult<std::optional<std::uint16_t>> to_optional_u16(PyObject* object) {
    return to_optional<std::uint16_t>(object, &to_u16);
}

// A dict value: exactly a tuple (shape, dtype, data).
PyResult<TensorArgs> to_tensor_tuple(PyObject* object) {
    if (!PyTuple_Check(object)) {
        raise_cannot_convert(object, "PyTuple");
        return py_error();
    }
    const Py_ssize_t length = PyTuple_Size(object);
    if (length != 3) {
        PyErr_Format(PyExc_TypeError, "expected tuple of length 3, but got tuple of length %zd",
                     length);
        return py_error();
    }
    TensorArgs tensor;
    PyResult<ShapeArg> shape = to_shape(PyTuple_GetItem(object, 0));
    if (!shape) return py_error();
    tensor.shape = std::move(*shape);
    PyResult<std::string> dtype = to_dtype_text(PyTuple_GetItem(object, 1));
    if (!dtype) return py_error();
    tensor.dtype = std::move(*dtype);
    PyResult<InputBytes> data = to_input_bytes(PyTuple_GetItem(object, 2));
    if (!data) return py_error();
    tensor.data = std::move(*data);
    return tensor;
}

using AdditionalInputs = std::vector<std::pair<std::string, TensorArgs>>;

PyResult<AdditionalInputs> to_additional_inputs(PyObject* object) {
    AdditionalInputs inputs;
    if (object == Py_None) return inputs;
    if (!PyDict_Check(object)) {
        raise_cannot_convert(object, "PyDict");
        return py_error();
    }
    // A snapshot of the items: converting a value runs Python code (__index__, __iter__) that
    // could otherwise change the dict under our feet.
    OwnedRef items = OwnedRef::steal(PyDict_Items(object));
    if (!items) return py_error();
    const Py_ssize_t count = PyList_Size(items.get());
    inputs.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        PyResult<std::string> name = to_text(PyTuple_GetItem(item, 0));
        if (!name) return py_error();
        PyResult<TensorArgs> tensor = to_tensor_tuple(PyTuple_GetItem(item, 1));
        if (!tensor) return py_error();
        inputs.emplace_back(std::move(*name), std::move(*tensor));
    }
    return inputs;
}

constexpr std::array<Param, 8> kClientNewParams = {{
    {"endpoint", kPositional},
    {"protocol", kKeywordOnly},
    {"host", kKeywordOnly},
    {"port", kKeywordOnly},
    {"socket_path", kKeywordOnly},
    {"pipe_name", kKeywordOnly},
    {"max_pool_size", kKeywordOnly},
    {"api_token", kKeywordOnly},
}};

constexpr std::array<Param, 6> kInferParams = {{
    {"model_id", kPositional, true},
    {"shape", kPositional, true},
    {"dtype", kPositional, true},
    {"data", kPositional, true},
    {"additional_inputs", kPositional},
    {"session_id", kPositional},
}};

constexpr std::array<Param, 3> kShmInferParams = {{
    {"shape", kPositional, true},
    {"dtype", kPositional, true},
    {"data", kPositional, true},
}};

constexpr std::array<Param, 1> kShmClientNewParams = {{{"shm_name", kPositional, true}}};

constexpr std::array<Param, 2> kHybridClientNewParams = {{
    {"shm_name", kPositional, true},
    {"socket_path", kPositional, true},
}};

}  // namespace

PyResult<ClientNewArgs> parse_client_new_args(PyObject* args, PyObject* kwargs) {
    const auto& p = kClientNewParams;
    PyResult<BoundArguments> bound = bind_arguments({"ZeltoClient.__new__()", p}, args, kwargs);
    if (!bound) return py_error();
    ClientNewArgs out;
    sdk::EndpointArgs& e = out.endpoint;
    const bool converted = convert_into(*bound, 0, p[0], e.endpoint, &to_optional_text) &&
                           convert_into(*bound, 1, p[1], e.protocol, &to_optional_text) &&
                           convert_into(*bound, 2, p[2], e.host, &to_optional_text) &&
                           convert_into(*bound, 3, p[3], e.port, &to_optional_u16) &&
                           convert_into(*bound, 4, p[4], e.socket_path, &to_optional_text) &&
                           convert_into(*bound, 5, p[5], e.pipe_name, &to_optional_text) &&
                           convert_into(*bound, 6, p[6], out.max_pool_size, &to_u64) &&
                           convert_into(*bound, 7, p[7], out.api_token, &to_optional_text);
    if (!converted) return py_error();
    return out;
}

PyResult<InferArgs> parse_infer_args(const char* full_name, PyObject* args, PyObject* kwargs) {
    const auto& p = kInferParams;
    PyResult<BoundArguments> bound = bind_arguments({full_name, p}, args, kwargs);
    if (!bound) return py_error();
    InferArgs out;
    const bool converted =
        convert_into(*bound, 0, p[0], out.model_id, &to_u32) &&
        convert_into(*bound, 1, p[1], out.shape, &to_shape) &&
        convert_into(*bound, 2, p[2], out.dtype, &to_dtype_text) &&
        convert_into(*bound, 3, p[3], out.data, &to_input_bytes) &&
        convert_into(*bound, 4, p[4], out.additional_inputs, &to_additional_inputs) &&
        convert_into(*bound, 5, p[5], out.session_id, &to_optional_text);
    if (!converted) return py_error();
    return out;
}

PyResult<BoundArguments> bind_shm_infer_args(const char* full_name, PyObject* args,
                                             PyObject* kwargs) {
    return bind_arguments({full_name, kShmInferParams}, args, kwargs);
}

PyResult<ShmInferArgs> convert_shm_infer_args(const BoundArguments& bound) {
    const auto& p = kShmInferParams;
    ShmInferArgs out;
    const bool converted = convert_into(bound, 0, p[0], out.shape, &to_shape) &&
                           convert_into(bound, 1, p[1], out.dtype, &to_dtype_text) &&
                           convert_into(bound, 2, p[2], out.data, &to_input_bytes);
    if (!converted) return py_error();
    return out;
}

PyResult<ShmClientNewArgs> parse_shm_client_new_args(PyObject* args, PyObject* kwargs) {
    const auto& p = kShmClientNewParams;
    PyResult<BoundArguments> bound = bind_arguments({"ZeltoShmClient.__new__()", p}, args, kwargs);
    if (!bound) return py_error();
    ShmClientNewArgs out;
    if (!convert_into(*bound, 0, p[0], out.shm_name, &to_text)) return py_error();
    return out;
}

PyResult<HybridClientNewArgs> parse_hybrid_client_new_args(PyObject* args, PyObject* kwargs) {
    const auto& p = kHybridClientNewParams;
    PyResult<BoundArguments> bound =
        bind_arguments({"ZeltoHybridClient.__new__()", p}, args, kwargs);
    if (!bound) return py_error();
    HybridClientNewArgs out;
    const bool converted = convert_into(*bound, 0, p[0], out.shm_name, &to_text) &&
                           convert_into(*bound, 1, p[1], out.socket_path, &to_text);
    if (!converted) return py_error();
    return out;
}

}  // namespace zelto::python
