// Error values become Python exceptions here, and only here. Each exception gets exactly one
// argument, its fully rendered message, so str(exc) is the message and exc.args has one item.
//
// Every function sets the exception and returns nullptr, so a method ends with
// `return raise_client_error(error);`. None of them throws.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "common/io_error.hpp"
#include "sdk/hybrid/hybrid_error.hpp"
#include "sdk/shm/shm_call_error.hpp"
#include "sdk/socket/client_error.hpp"

namespace zelto::python {

// Raises `type(message)`; `message` is UTF-8 (invalid sequences become U+FFFD).
std::nullptr_t raise_message(PyObject* type, std::string_view message) noexcept;

// Each client's error raised as the exception its kind maps to (the table in errors.cpp), with
// the error's message; a kind whose exception is already pending (a refused result sink, an
// interrupted wait) raises nothing more.
std::nullptr_t raise_client_error(const sdk::ClientError& error) noexcept;
std::nullptr_t raise_shm_call_error(const sdk::ShmCallError& error) noexcept;
std::nullptr_t raise_hybrid_error(const sdk::HybridError& error) noexcept;

// The OSError subclass that Python itself would pick for the error's errno (PermissionError,
// FileNotFoundError, InterruptedError, BlockingIOError, FileExistsError, BrokenPipeError,
// ConnectionAbortedError, ConnectionResetError, TimeoutError, ConnectionRefusedError), else
// OSError. Borrowed.
PyObject* os_error_type(const IoError& error) noexcept;

// Raises os_error_type(error) with the error's text as its one argument (no errno attribute).
std::nullptr_t raise_os_error(const IoError& error) noexcept;

}  // namespace zelto::python
