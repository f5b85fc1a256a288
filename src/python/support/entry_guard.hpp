// The barrier between C++ and CPython. Every function that CPython calls (tp_new, methods,
// tp_iternext, ...) runs its body through one of these, so no C++ exception ever unwinds into
// the interpreter: std::bad_alloc becomes MemoryError, anything else the panic exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <utility>

#include "python/support/panic.hpp"

namespace zelto::python {
namespace detail {

inline void raise_for_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown C++ exception in zelto_sdk");
    }
}

}  // namespace detail

// For slots returning PyObject*: nullptr after an escaped exception.
template <class Body>
PyObject* guard_object(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        detail::raise_for_current_exception();
        return nullptr;
    }
}

// For slots returning int (0 / -1 convention): -1 after an escaped exception.
template <class Body>
int guard_int(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        detail::raise_for_current_exception();
        return -1;
    }
}

// For slots that cannot report (tp_dealloc): the failure goes to sys.unraisablehook.
template <class Body>
void guard_void(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        detail::raise_for_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type, value, traceback);
    }
}

}  // namespace zelto::python
