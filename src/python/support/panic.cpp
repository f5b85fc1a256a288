#include "python/support/panic.hpp"

#include "python/errors.hpp"

namespace zelto::python {
namespace {

// Strong reference kept for the life of the process: the module refuses sub-interpreters, so
// one interpreter owns every object the extension ever creates.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc(
            "zelto_sdk.PanicException",
            "Raised when the extension detects a broken internal invariant.\n\n"
            "Derives from BaseException so that it is not silenced by `except Exception`.",
            PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

std::nullptr_t raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return nullptr;  // creating the type failed; its error is pending
    return raise_message(type, message);
}

}  // namespace zelto::python
