#include "python/binding/result_bytes.hpp"

#include "shm/bulk_copy.hpp"

namespace zelto::python {

PyObject* new_bytes_copy(const std::uint8_t* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr || size == 0) return bytes;
    shm::copy_for_other_process(PyBytes_AsString(bytes), data, size);
    return bytes;
}

std::span<std::uint8_t> ResultBytes::make(std::size_t size) {
    bytes_ = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes_) {
        PyErr_Clear();
        destination_ = {};
    } else {
        destination_ = {reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_.get())), size};
    }
    return destination_;
}

PyObject* ResultBytes::take(std::span<const std::uint8_t> data) {
    if (bytes_ && data.data() == destination_.data() && data.size() == destination_.size()) {
        destination_ = {};
        return bytes_.release();
    }
    return new_bytes_copy(data.data(), data.size());
}

}  // namespace zelto::python
