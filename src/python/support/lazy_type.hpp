// Heap types created from a PyType_Spec the first time they are needed and kept for the life
// of the process (the module refuses sub-interpreters, so there is one interpreter to serve).
//
// The registered client types are created during module initialisation; a type that is not a
// module attribute (StreamIterator) is created by its first instance:
//
//     static PyType_Spec stream_iterator_spec = {"builtins.StreamIterator", ...};
//     static LazyType stream_iterator_type_object(&stream_iterator_spec);
//     PyTypeObject* type = stream_iterator_type_object.get();  // nullptr: exception set
#pragma once

#include <Python.h>

namespace zelto::python {

class LazyType {
  public:
    explicit constexpr LazyType(PyType_Spec* spec) : spec_(spec) {}
    LazyType(const LazyType&) = delete;
    LazyType& operator=(const LazyType&) = delete;

    // The type (borrowed), created on the first call; nullptr with the pending error when
    // creating it failed (memory exhaustion and similar internal faults only).
    PyTypeObject* get();

  private:
    PyType_Spec* spec_;
    PyObject* type_ = nullptr;  // strong reference, never dropped
};

// A Py_tp_new for types that Python code must not instantiate: raises
// TypeError "No constructor defined for <Name>".
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace zelto::python
