// Results of functions that talk to the interpreter. The error carries nothing because the
// failure itself is the interpreter's pending exception: whoever receives PyErrorSet returns
// NULL (or -1) to CPython, or re-labels the pending exception first.
#pragma once

#include "common/result.hpp"

namespace zelto::python {

struct PyErrorSet {};

template <class T>
using PyResult = Result<T, PyErrorSet>;

// `return py_error();` from a function returning PyResult<T>, right after an exception was set.
inline Unexpected<PyErrorSet> py_error() {
    return {PyErrorSet{}};
}

}  // namespace zelto::python
