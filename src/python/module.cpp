// The module's initialisation: one module object per process, bound to the interpreter that
// first imported it, with the three client classes registered in a fixed order.
//
// The whole Python surface (each type in python/types/, typed in stubs/zelto_sdk-stubs):
//   ZeltoClient(endpoint=None, *, protocol, host, port, socket_path, pipe_name, max_pool_size,
//               api_token)                         Unix or TCP sockets, length-prefixed frames
//       .protocol() -> str   .endpoint() -> str
//       .infer(model_id, shape, dtype, data, additional_inputs=None, session_id=None) -> bytes
//       .infer_tensor(...same...) -> (bytes, list[int], str)
//       .infer_stream(...same...) -> StreamIterator   (yields bytes, one per stream frame)
//   ZeltoShmClient(shm_name)                        request and response rings in the region
//       .infer(shape, dtype, data) -> bytes
//   ZeltoHybridClient(shm_name, socket_path)        tensors in the region, records on a socket
//       .infer(shape, dtype, data) -> bytes
// A broken invariant inside the extension raises zelto_sdk.PanicException (a BaseException,
// made on first use, not a module attribute; python/support/panic.hpp).
#include <Python.h>

#include <cstdint>

#include "python/support/entry_guard.hpp"
#include "python/support/py_ref.hpp"
#include "python/types.hpp"

namespace zelto::python {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zelto_sdk",  // m_name
    "",           // m_doc
    0,            // m_size
    nullptr,      // m_methods
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

// The types, the panic exception and every client's native state are process-wide, so the
// module is too: a second initialisation (after `del sys.modules["zelto_sdk"]`) hands back the
// same object instead of registering new, distinct classes.
PyObject* g_module = nullptr;  // strong reference, never dropped
constexpr std::int64_t kNoInterpreter = -1;
std::int64_t g_interpreter_id = kNoInterpreter;

struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

// Registration order is visible to Python (the module's __dict__ order).
constexpr Registration kClasses[] = {
    {"ZeltoClient", &zelto_client_type},
    {"ZeltoShmClient", &shm_client_type},
    {"ZeltoHybridClient", &hybrid_client_type},
};

PyObject* create_module() {
    OwnedRef module = OwnedRef::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    for (const Registration& registration : kClasses) {
        PyTypeObject* type = registration.type();
        if (type == nullptr) return nullptr;
        if (PyObject_SetAttrString(module.get(), registration.name,
                                   reinterpret_cast<PyObject*>(type)) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

PyObject* init_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1 && PyErr_Occurred()) return nullptr;
    if (g_interpreter_id == kNoInterpreter) {
        g_interpreter_id = interpreter;
    } else if (g_interpreter_id != interpreter) {
        // Our objects belong to the first interpreter; sharing them with another one would
        // mix objects across interpreters.
        PyErr_SetString(PyExc_ImportError,
                        "zelto_sdk: sub-interpreters are not supported (the module can only be "
                        "imported in the interpreter that first imported it)");
        return nullptr;
    }
    if (g_module == nullptr) {
        g_module = create_module();
        if (g_module == nullptr) return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
}

}  // namespace
}  // namespace zelto::python

PyMODINIT_FUNC PyInit_zelto_sdk(void) {
    return zelto::python::guard_object([] { return zelto::python::init_module(); });
}
