#include "python/support/thread_binding.hpp"

#include <string>

#include "python/errors.hpp"
#include "python/support/panic.hpp"

namespace zelto::python {

bool ThreadBinding::check(const char* type_name) const {
    if (on_owner_thread()) return true;
    raise_panic(std::string(type_name) + " is unsendable, but sent to another thread");
    return false;
}

bool ThreadBinding::check_drop(const char* type_name) const {
    if (on_owner_thread()) return true;
    // Deallocation can run while another exception is in flight; keep it.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    raise_message(PyExc_RuntimeError, std::string(type_name) +
                                          " is unsendable, but is being dropped on another thread");
    // The dying object itself is not handed to the hook: the hook could keep it alive.
    PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, traceback);
    return false;
}

}  // namespace zelto::python
