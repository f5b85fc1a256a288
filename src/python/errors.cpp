#include "python/errors.hpp"

#include <cerrno>

#include "python/support/py_ref.hpp"

namespace zelto::python {

std::nullptr_t raise_message(PyObject* type, std::string_view message) noexcept {
    // "replace": engine texts arrive as arbitrary bytes and must still reach the user.
    OwnedRef text = OwnedRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

std::nullptr_t raise_client_error(const sdk::ClientError& error) noexcept {
    using Kind = sdk::ClientError::Kind;
    PyObject* type = PyExc_RuntimeError;
    switch (error.kind) {
        case Kind::Io:
            type = PyExc_ConnectionError;
            break;
        case Kind::Config:
        case Kind::InvalidRequest:
            type = PyExc_ValueError;
            break;
        case Kind::Protocol:
        case Kind::Remote:
            type = PyExc_RuntimeError;
            break;
    }
    return raise_message(type, error.message);
}

PyObject* os_error_type(const IoError& error) noexcept {
    if (error.kind != IoErrorKind::Os) return PyExc_OSError;
    switch (error.code) {
        case EPERM:
        case EACCES:
            return PyExc_PermissionError;
        case ENOENT:
            return PyExc_FileNotFoundError;
        case EINTR:
            return PyExc_InterruptedError;
        case EAGAIN:
            return PyExc_BlockingIOError;
        case EEXIST:
            return PyExc_FileExistsError;
        case EPIPE:
            return PyExc_BrokenPipeError;
        case ECONNABORTED:
            return PyExc_ConnectionAbortedError;
        case ECONNRESET:
            return PyExc_ConnectionResetError;
        case ETIMEDOUT:
            return PyExc_TimeoutError;
        case ECONNREFUSED:
            return PyExc_ConnectionRefusedError;
        default:
            return PyExc_OSError;
    }
}

std::nullptr_t raise_os_error(const IoError& error) noexcept {
    return raise_message(os_error_type(error), error.message);
}

}  // namespace zelto::python
