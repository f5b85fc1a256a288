// StreamIterator: the iterator that ZeltoClient.infer_stream returns. Not a module attribute;
// its type is created with the first instance.
#pragma once

#include <Python.h>

#include "transport/connection.hpp"

namespace zelto::python {

// A new iterator that owns `connection` (on which the stream request has been written); nullptr
// with an exception set if the object cannot be created, the connection then closed.
PyObject* new_stream_iterator(transport::ReadWriteConnection connection);

}  // namespace zelto::python
