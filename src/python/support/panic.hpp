// The internal-fault exception. A broken invariant inside the extension (never ordinary bad
// input) is raised as zelto_sdk.PanicException, which derives from BaseException so that an
// `except Exception` in user code does not swallow it. The type is created on first use and
// is not a module attribute.
#pragma once

#include <Python.h>

#include <string_view>

namespace zelto::python {

// The exception type (borrowed, lives for the process), or nullptr with an exception set.
PyObject* panic_exception_type();

// Raises the panic exception with `message` as its one argument. Returns nullptr so that
// `return raise_panic(...);` ends a method. Never throws.
std::nullptr_t raise_panic(std::string_view message) noexcept;

}  // namespace zelto::python
