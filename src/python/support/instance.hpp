// The memory layout shared by the extension's objects: the Python header, the borrow flag, and
// a pointer to the native state that the object owns. The state is plain C++ (sockets, pools,
// regions); it is created before the Python object and destroyed in tp_dealloc.
//
//     struct ZeltoClientState { ... };
//     using ZeltoClientObject = PyInstance<ZeltoClientState>;
//     return ZeltoClientObject::create(type, std::move(state));       // in tp_new
//     {Py_tp_dealloc, slot_function(&ZeltoClientObject::dealloc)},   // in the type's slots
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <type_traits>

#include "python/support/borrow.hpp"
#include "python/support/entry_guard.hpp"

namespace zelto::python {

// Frees the memory of a heap-type instance and drops the reference that every instance holds
// on its type (tp_alloc took it), as heap types must.
inline void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
}

template <class State>
struct PyInstance {
    PyObject_HEAD BorrowFlag borrow;
    State* state;  // owned; never null in a live object

    static PyInstance* from(PyObject* self) { return reinterpret_cast<PyInstance*>(self); }

    // A new instance of `type` (a type whose instances are PyInstance<State>) owning `state`;
    // nullptr with an exception set when allocation fails (the state is destroyed then).
    static PyObject* create(PyTypeObject* type, std::unique_ptr<State> state) {
        // CPython sees only the leading PyObject; the cast in from() relies on this layout.
        static_assert(std::is_standard_layout_v<PyInstance>);
        auto allocate = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = allocate(type, 0);
        if (self == nullptr) return nullptr;
        PyInstance* instance = from(self);
        new (&instance->borrow) BorrowFlag();
        instance->state = state.release();
        return self;
    }

    // tp_dealloc: destroys the native state (closing what it owns), then the object.
    static void dealloc(PyObject* self) noexcept {
        PyInstance* instance = from(self);
        guard_void([&] { delete instance->state; });
        instance->state = nullptr;
        instance->borrow.~BorrowFlag();
        free_instance(self);
    }
};

// Function pointers go into PyType_Slot and PyMethodDef as untyped pointers; the detour through
// a plain function type keeps -Wcast-function-type quiet about the deliberate cast.
template <class Function>
void* slot_function(Function* function) {
    return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(function));
}

template <class Function>
PyCFunction method_function(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace zelto::python
