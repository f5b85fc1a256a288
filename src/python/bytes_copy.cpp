#include "python/bytes_copy.hpp"

#include "shm/bulk_copy.hpp"

namespace zelto::python {

PyObject* new_bytes_copy(const std::uint8_t* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr || size == 0) return bytes;
    shm::copy_for_other_process(PyBytes_AsString(bytes), data, size);
    return bytes;
}

}  // namespace zelto::python
