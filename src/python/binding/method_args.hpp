// The converted arguments of each Python method, ready for the native clients. Parsing binds
// (args, kwargs) to the method's parameters (arity errors first), then converts every
// parameter in signature order; the first failure is raised and later parameters are not
// looked at. The structs hold InputBytes views on Python objects: destroy them with the GIL held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/binding/binder.hpp"
#include "python/binding/input_bytes.hpp"
#include "python/binding/shape_arg.hpp"
#include "python/support/py_result.hpp"
#include "sdk/socket/client_config.hpp"
#include "sdk/socket/endpoint.hpp"

namespace zelto::python {

// ZeltoClient.__new__(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None,
//                     pipe_name=None, max_pool_size=8, api_token=None)
struct ClientNewArgs {
    sdk::EndpointArgs endpoint;  // endpoint, protocol, host, port, socket_path, pipe_name
    std::uint64_t max_pool_size = sdk::ClientConfig::kDefaultMaxPoolSize;
    std::optional<std::string> api_token;
};

// One tensor given as (shape, dtype, data).
struct TensorArgs {
    ShapeArg shape;
    std::string dtype;  // parsed later, so that a bad dtype is reported at its proper step
    InputBytes data;
};

// ZeltoClient.infer / infer_tensor / infer_stream(model_id, shape, dtype, data,
//                                                 additional_inputs=None, session_id=None)
struct InferArgs {
    std::uint32_t model_id = 0;
    ShapeArg shape;
    std::string dtype;
    InputBytes data;
    // additional_inputs in the dict's order; None gives an empty list.
    std::vector<std::pair<std::string, TensorArgs>> additional_inputs;
    std::optional<std::string> session_id;
};

// ZeltoShmClient.infer / ZeltoHybridClient.infer(shape, dtype, data)
struct ShmInferArgs {
    ShapeArg shape;
    std::string dtype;
    InputBytes data;
};

// ZeltoShmClient.__new__(shm_name)
struct ShmClientNewArgs {
    std::string shm_name;
};

// ZeltoHybridClient.__new__(shm_name, socket_path)
struct HybridClientNewArgs {
    std::string shm_name;
    std::string socket_path;
};

PyResult<ClientNewArgs> parse_client_new_args(PyObject* args, PyObject* kwargs);
// `full_name` names the method in arity errors: "ZeltoClient.infer()",
// "ZeltoClient.infer_tensor()", "ZeltoClient.infer_stream()".
PyResult<InferArgs> parse_infer_args(const char* full_name, PyObject* args, PyObject* kwargs);
// ZeltoShmClient.infer and ZeltoHybridClient.infer bind and convert in two steps, because
// their exclusive borrow is taken in between: a missing argument is reported before "Already
// borrowed", a bad argument after it. `full_name`: "ZeltoShmClient.infer()" or
// "ZeltoHybridClient.infer()".
PyResult<BoundArguments> bind_shm_infer_args(const char* full_name, PyObject* args,
                                             PyObject* kwargs);
PyResult<ShmInferArgs> convert_shm_infer_args(const BoundArguments& bound);
PyResult<ShmClientNewArgs> parse_shm_client_new_args(PyObject* args, PyObject* kwargs);
PyResult<HybridClientNewArgs> parse_hybrid_client_new_args(PyObject* args, PyObject* kwargs);

}  // namespace zelto::python
