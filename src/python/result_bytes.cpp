#include "python/result_bytes.hpp"

#include "python/bytes_copy.hpp"

namespace zelto::python {

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
