// Conversion of Python argument values to native values, with the exact texts users see.
//
// Every converter returns the value, or py_error() with the exception pending:
//  - integers go through __index__ (int and anything implementing it); 8/16/32-bit targets
//    refuse values outside their range with OverflowError "out of range integral type
//    conversion attempted" (for 8-bit tensor data, values beyond a C long keep the
//    interpreter's own OverflowError), 64-bit targets keep the interpreter's OverflowError texts;
//  - text must be a str: "'<type>' object cannot be converted to 'PyString'"; it is encoded
//    with PyUnicode_AsUTF8String, so lone surrogates raise the interpreter's UnicodeEncodeError;
//  - sequences refuse str ("Can't extract `str` to `Vec`") and non-sequences ("'<type>' object
//    cannot be converted to 'Sequence'"), and are read item by item by iteration (len() is
//    only a capacity hint), so generators and sets are refused and a sequence that only has
//    __getitem__ works.
//
// convert_argument() then names the parameter: a TypeError (exactly TypeError) becomes
// "argument '<name>': <message>"; OverflowError, UnicodeEncodeError and the rest pass unchanged.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/binding/input_bytes.hpp"
#include "python/binding/shape_arg.hpp"
#include "python/support/py_result.hpp"

namespace zelto::python {

PyResult<std::uint8_t> to_u8(PyObject* object);
PyResult<std::uint16_t> to_u16(PyObject* object);
PyResult<std::uint32_t> to_u32(PyObject* object);
PyResult<std::uint64_t> to_u64(PyObject* object);
PyResult<std::int64_t> to_i64(PyObject* object);
PyResult<std::string> to_text(PyObject* object);
// to_text for a tensor's dtype, which is nearly always the same str object call after call (a
// literal, or numpy's name for the dtype). The text of the last few exact str objects seen is
// kept: on 3.9's limited API reading a str's text needs a temporary bytes object, a noticeable
// share of a small call's work (bench: no scenario reruns this yet). Values, errors and texts
// are to_text's.
PyResult<std::string> to_dtype_text(PyObject* object);

// A sequence of int64: a tensor's shape.
PyResult<ShapeArg> to_shape(PyObject* object);

// A sequence of ints 0..255 (tensor data). Exact bytes and bytearray objects and C-contiguous
// 1-D numpy uint8 arrays are viewed in place; other 1-D numpy uint8 arrays, 1-D memoryviews of
// format 'B' and array('B') cost one copy through tobytes(); everything else is read item by
// item. Each path accepts exactly the values, and produces exactly the bytes, that item-by-item
// reading would.
PyResult<InputBytes> to_input_bytes(PyObject* object);

// None -> nullopt, anything else through `convert`.
template <class T>
PyResult<std::optional<T>> to_optional(PyObject* object, PyResult<T> (*convert)(PyObject*)) {
    if (object == Py_None) return PyResult<std::optional<T>>(std::in_place, std::nullopt);
    PyResult<T> value = convert(object);
    if (!value) return py_error();
    return PyResult<std::optional<T>>(std::in_place, std::move(*value));
}

// Raises TypeError "'<type name>' object cannot be converted to '<target>'".
std::nullptr_t raise_cannot_convert(PyObject* object, const char* target);

// Re-raises a pending exception of type exactly TypeError as
// TypeError("argument '<name>': <message>"); any other pending exception is left as it is.
void relabel_argument_error(const char* name);

// `convert(object)` with the failure re-labelled by the parameter's name.
template <class Convert>
auto convert_argument(const char* name, PyObject* object, Convert&& convert)
    -> decltype(convert(object)) {
    auto value = convert(object);
    if (!value) relabel_argument_error(name);
    return value;
}

}  // namespace zelto::python
