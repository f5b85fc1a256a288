// An owned PyObject* reference as its own type; a borrowed one stays a plain PyObject*.
//
// Rules of use:
//  - OwnedRef holds exactly one strong reference and drops it when destroyed. Make one with
//    OwnedRef::steal(p) from a C API call documented as returning a new reference (a null p
//    gives an empty OwnedRef, so the call's failure can be tested right after), or with
//    OwnedRef::new_ref(p) to add a reference to an object you only borrow.
//  - release() gives the reference away, to a C API call that steals it or as a return value
//    to CPython.
//  - It is created, copied and destroyed only while the GIL is held.
#pragma once

#include <Python.h>

#include <utility>

namespace zelto::python {

class OwnedRef {
  public:
    OwnedRef() = default;
    static OwnedRef steal(PyObject* object) { return OwnedRef(object); }
    static OwnedRef new_ref(PyObject* object) {
        Py_XINCREF(object);
        return OwnedRef(object);
    }

    OwnedRef(const OwnedRef& other) : object_(other.object_) { Py_XINCREF(object_); }
    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

  private:
    explicit OwnedRef(PyObject* object) : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace zelto::python
