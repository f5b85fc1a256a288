// Releases the GIL for a scope. Only plain C++ may run inside it: no PyObject is touched, no
// OwnedRef is created or destroyed, until the scope ends and the GIL is taken back.
#pragma once

#include <Python.h>

namespace zelto::python {

class GilRelease {
  public:
    GilRelease() : saved_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(saved_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* saved_;
};

}  // namespace zelto::python
