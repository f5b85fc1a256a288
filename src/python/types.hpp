// The module's registered classes, in registration order. Each getter creates its type on the
// first call and then returns the same object (borrowed); nullptr with the error pending when
// creation failed.
#pragma once

#include <Python.h>

namespace zelto::python {

PyTypeObject* zelto_client_type();
PyTypeObject* shm_client_type();
PyTypeObject* hybrid_client_type();

}  // namespace zelto::python
