#include "python/support/lazy_type.hpp"

#include "python/support/py_ref.hpp"

namespace zelto::python {

PyTypeObject* LazyType::get() {
    if (type_ == nullptr) {
        PyObject* created = PyType_FromSpec(spec_);
        if (created == nullptr) return nullptr;
        // Creating a type can run Python code (a collection), so another thread may have
        // finished first; the first type stays the only one Python ever sees.
        if (type_ == nullptr) {
            type_ = created;
        } else {
            Py_DECREF(created);
        }
    }
    return reinterpret_cast<PyTypeObject*>(type_);
}

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
    OwnedRef name =
        OwnedRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
    return nullptr;
}

}  // namespace zelto::python
