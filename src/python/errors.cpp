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

namespace {

// The one table of error kinds and the exceptions they become. nullptr: the exception is
// already pending. Each switch names every kind, so a new kind without an exception does not
// compile quietly (-Wswitch).
PyObject* exception_for(sdk::ClientError::Kind kind) noexcept {
    using Kind = sdk::ClientError::Kind;
    switch (kind) {
        case Kind::Io:
            return PyExc_ConnectionError;
        case Kind::Config:
            return PyExc_ValueError;
        case Kind::InvalidRequest:
            return PyExc_ValueError;
        case Kind::Protocol:
            return PyExc_RuntimeError;
        case Kind::Remote:
            return PyExc_RuntimeError;
    }
    return PyExc_RuntimeError;
}

PyObject* exception_for(sdk::ShmCallError::Kind kind) noexcept {
    using Kind = sdk::ShmCallError::Kind;
    switch (kind) {
        case Kind::InvalidArgument:
            return PyExc_ValueError;
        case Kind::Runtime:
            return PyExc_RuntimeError;
        case Kind::Timeout:
            return PyExc_TimeoutError;
        case Kind::Interrupted:
            return nullptr;  // the signal handler's exception
    }
    return PyExc_RuntimeError;
}

PyObject* exception_for(sdk::HybridError::Kind kind) noexcept {
    using Kind = sdk::HybridError::Kind;
    switch (kind) {
        case Kind::Connection:
            return PyExc_ConnectionError;
        case Kind::Value:
            return PyExc_ValueError;
        case Kind::Runtime:
            return PyExc_RuntimeError;
        case Kind::Sink:
            return nullptr;  // the bytes object could not be made: MemoryError
        case Kind::Io:
            return PyExc_RuntimeError;
        case Kind::Remote:
            return PyExc_RuntimeError;
        case Kind::Decode:
            return PyExc_RuntimeError;
    }
    return PyExc_RuntimeError;
}

template <class Error>
std::nullptr_t raise_error(const Error& error) noexcept {
    PyObject* type = exception_for(error.kind);
    if (type == nullptr) return nullptr;
    return raise_message(type, error.message);
}

}  // namespace

std::nullptr_t raise_client_error(const sdk::ClientError& error) noexcept {
    return raise_error(error);
}

std::nullptr_t raise_shm_call_error(const sdk::ShmCallError& error) noexcept {
    return raise_error(error);
}

std::nullptr_t raise_hybrid_error(const sdk::HybridError& error) noexcept {
    return raise_error(error);
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
