#include "python/binding/convert.hpp"

#include <algorithm>
#include <climits>

#include "python/support/py_ref.hpp"

namespace zelto::python {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// A length reported by an arbitrary __len__ is a hint, not a promise: reserve no more than
// this many items for it. Lists and tuples report their true length and get it all.
constexpr Py_ssize_t kUntrustedReserve = 4096;

// The value as a C long; values beyond it keep the interpreter's OverflowError. An exact int is
// its own __index__, so it is read directly.
PyResult<long> index_as_long(PyObject* object) {
    OwnedRef index = PyLong_CheckExact(object) ? OwnedRef::new_ref(object)
                                               : OwnedRef::steal(PyNumber_Index(object));
    if (!index) return py_error();
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) return py_error();
    return value;
}

// Values beyond a C long keep the interpreter's OverflowError (the rule for tensor data) or
// raise the out-of-range text like any other value outside the target (`BeyondLong::OutOfRange`,
// the rule for the 16- and 32-bit parameters).
enum class BeyondLong { InterpreterText, OutOfRange };

template <class Narrow, BeyondLong beyond>
PyResult<Narrow> to_narrow_unsigned(PyObject* object) {
    static_assert(sizeof(Narrow) < sizeof(long), "a C long must hold every value of the target");
    PyResult<long> value = [&]() -> PyResult<long> {
        if constexpr (beyond == BeyondLong::InterpreterText) {
            return index_as_long(object);
        } else {
            OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
            if (!index) return py_error();
            int overflow = 0;
            const long read = PyLong_AsLongAndOverflow(index.get(), &overflow);
            if (overflow != 0) return -1L;  // out of range either way: refused below
            if (read == -1 && PyErr_Occurred()) return py_error();
            return read;
        }
    }();
    if (!value) return py_error();
    if (*value < 0 ||
        static_cast<unsigned long>(*value) > static_cast<unsigned long>(Narrow(~Narrow(0)))) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return py_error();
    }
    return static_cast<Narrow>(*value);
}

// Reads a sequence item by item. str is refused up front because it is a sequence of str,
// which no numeric parameter wants and which users pass by mistake.
template <class T>
PyResult<std::vector<T>> to_vector(PyObject* object, PyResult<T> (*convert_item)(PyObject*)) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return py_error();
    }
    if (!PySequence_Check(object)) {
        raise_cannot_convert(object, "Sequence");
        return py_error();
    }
    std::vector<T> items;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();  // no usable length: read until the iterator ends
    } else if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        items.reserve(static_cast<std::size_t>(hint));
    } else {
        items.reserve(static_cast<std::size_t>(std::min(hint, kUntrustedReserve)));
    }
    OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) return py_error();
    while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        PyResult<T> value = convert_item(item.get());
        if (!value) return py_error();
        items.push_back(*value);
    }
    if (PyErr_Occurred()) return py_error();
    return items;
}

bool text_equals(PyObject* text, const char* expected) {
    return text != nullptr && PyUnicode_Check(text) &&
           PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// The class `module`.`name` as the already imported module exports it, or null. sys.modules is
// only read: a module the program never imported cannot have made the object, and we never
// import one ourselves.
OwnedRef imported_class(const char* module, const char* name) {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    if (modules == nullptr || !PyDict_Check(modules)) return OwnedRef();
    PyObject* found = PyDict_GetItemString(modules, module);  // borrowed
    if (found == nullptr) return OwnedRef();
    OwnedRef type = OwnedRef::steal(PyObject_GetAttrString(found, name));
    if (!type) PyErr_Clear();
    if (!type || !PyType_Check(type.get())) return OwnedRef();
    return type;
}

// True when `object`'s type is exactly (not a subclass of) that class, compared by identity: a
// class written in Python can give itself any __name__ and __module__, so names prove nothing.
// Subclasses are left to item-by-item reading because they may change what iteration yields.
bool has_exact_type(PyObject* object, const char* module, const char* name) {
    OwnedRef type = imported_class(module, name);
    return type && reinterpret_cast<PyObject*>(Py_TYPE(object)) == type.get();
}

// The qualified name that a type defined in C was compiled with. Python code cannot change the
// __name__ or __module__ of such a type (it is immutable), unlike those of a class it makes.
bool static_type_is_named(PyTypeObject* type, const char* module, const char* name) {
    if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0) return false;
    PyObject* object = reinterpret_cast<PyObject*>(type);
    OwnedRef type_name = OwnedRef::steal(PyObject_GetAttrString(object, "__name__"));
    OwnedRef type_module = OwnedRef::steal(PyObject_GetAttrString(object, "__module__"));
    if (PyErr_Occurred()) PyErr_Clear();
    return text_equals(type_name.get(), name) && text_equals(type_module.get(), module);
}

// numpy's ndarray, whose __array_interface__ we take as an address to read. Identity with what
// sys.modules["numpy"] exports is not enough on its own (a program may have put any module
// there, exporting a class of its own, or a built-in type whose instances carry a __dict__), so
// the type must also be numpy's own C type: every class made by Python code is a heap type.
bool is_numpy_array(PyObject* object) {
    return static_type_is_named(Py_TYPE(object), "numpy", "ndarray") &&
           has_exact_type(object, "numpy", "ndarray");
}

bool attribute_is_long(PyObject* object, const char* attribute, long expected) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(object, attribute));
    if (!value || !PyLong_Check(value.get())) return false;
    return PyLong_AsLong(value.get()) == expected;
}

bool attribute_is_text(PyObject* object, const char* attribute, const char* expected) {
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(object, attribute));
    return text_equals(value.get(), expected);
}

// The one-dimensional containers of unsigned bytes whose tobytes() equals what iterating them
// yields.
enum class FlatBytes { No, MemoryView, NumpyArray, Array };

FlatBytes flat_byte_container_kind(PyObject* object) {
    if (PyMemoryView_Check(object)) {
        return attribute_is_long(object, "ndim", 1) && attribute_is_text(object, "format", "B")
                   ? FlatBytes::MemoryView
                   : FlatBytes::No;
    }
    if (is_numpy_array(object)) {
        if (!attribute_is_long(object, "ndim", 1)) return FlatBytes::No;
        OwnedRef dtype = OwnedRef::steal(PyObject_GetAttrString(object, "dtype"));
        return dtype && attribute_is_text(dtype.get(), "char", "B") ? FlatBytes::NumpyArray
                                                                    : FlatBytes::No;
    }
    if (has_exact_type(object, "array", "array")) {
        return attribute_is_text(object, "typecode", "B") ? FlatBytes::Array : FlatBytes::No;
    }
    return FlatBytes::No;
}

// A C-contiguous numpy array of bytes, read where it lies: its array interface names the data
// pointer (the limited API of 3.9 has no buffer access). The view keeps a reference to the array;
// with it (and the caller's) numpy refuses to resize the array during the call unless told
// refcheck=False, so the pointer stays valid. Empty when the interface says anything unexpected
// (a strided view, for one).
//
// Besides the copy, tobytes() allocated a fresh block as large as the tensor on every call;
// freed beside the result `bytes`, the two made glibc give the top of the heap back to the
// kernel and fault it in again on the next call (bench: no scenario reruns this yet).
std::optional<InputBytes> numpy_in_place(PyObject* array) {
    OwnedRef interface = OwnedRef::steal(PyObject_GetAttrString(array, "__array_interface__"));
    if (!interface || !PyDict_Check(interface.get())) return std::nullopt;
    PyObject* strides = PyDict_GetItemString(interface.get(), "strides");  // borrowed
    PyObject* shape = PyDict_GetItemString(interface.get(), "shape");
    PyObject* data = PyDict_GetItemString(interface.get(), "data");
    if (strides != Py_None || shape == nullptr || !PyTuple_Check(shape) ||
        PyTuple_Size(shape) != 1 || data == nullptr || !PyTuple_Check(data) ||
        PyTuple_Size(data) != 2) {
        return std::nullopt;  // strides None: C-contiguous
    }
    const Py_ssize_t length = PyLong_AsSsize_t(PyTuple_GetItem(shape, 0));
    void* const pointer = PyLong_AsVoidPtr(PyTuple_GetItem(data, 0));
    if (PyErr_Occurred() || length < 0 || (pointer == nullptr && length > 0)) return std::nullopt;
    return InputBytes::view(OwnedRef::new_ref(array), static_cast<const std::uint8_t*>(pointer),
                            static_cast<std::size_t>(length));
}

// numpy arrays in place where they allow it, otherwise one copy through tobytes(), then a view
// on the new bytes object. Empty when the object is not such a container or when asking it
// failed; the caller then reads it item by item, which raises whatever that path raises.
std::optional<InputBytes> try_flat_byte_container(PyObject* object) {
    const FlatBytes kind = flat_byte_container_kind(object);
    if (PyErr_Occurred()) PyErr_Clear();
    if (kind == FlatBytes::No) return std::nullopt;
    if (kind == FlatBytes::NumpyArray) {
        std::optional<InputBytes> in_place = numpy_in_place(object);
        if (PyErr_Occurred()) PyErr_Clear();
        if (in_place) return in_place;
    }
    OwnedRef bytes = OwnedRef::steal(PyObject_CallMethod(object, "tobytes", nullptr));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || !PyBytes_Check(bytes.get()) ||
        PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
        if (PyErr_Occurred()) PyErr_Clear();
        return std::nullopt;
    }
    return InputBytes::view(std::move(bytes), reinterpret_cast<const std::uint8_t*>(data),
                            static_cast<std::size_t>(size));
}

}  // namespace

PyResult<std::uint8_t> to_u8(PyObject* object) {
    return to_narrow_unsigned<std::uint8_t, BeyondLong::InterpreterText>(object);
}
PyResult<std::uint16_t> to_u16(PyObject* object) {
    return to_narrow_unsigned<std::uint16_t, BeyondLong::OutOfRange>(object);
}
PyResult<std::uint32_t> to_u32(PyObject* object) {
    return to_narrow_unsigned<std::uint32_t, BeyondLong::OutOfRange>(object);
}

PyResult<std::uint64_t> to_u64(PyObject* object) {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
    if (!index) return py_error();
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return py_error();
    return static_cast<std::uint64_t>(value);
}

PyResult<std::int64_t> to_i64(PyObject* object) {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
    if (!index) return py_error();
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return py_error();
    return static_cast<std::int64_t>(value);
}

PyResult<std::string> to_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        return py_error();
    }
    OwnedRef encoded = OwnedRef::steal(PyUnicode_AsUTF8String(object));
    if (!encoded) return py_error();
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return py_error();
    return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// The texts of the last few exact str objects to_dtype_text read, each with a strong reference
// to its object. Identity proves the text: a str never changes, and an object we hold cannot be
// freed, so its address cannot come back as another object. Only the interpreter that imported
// the module calls in (module.cpp), always with the GIL held, which serialises every use.
class RecentTexts {
  public:
    // Only short texts are kept (dtype names), so the cache stays a few hundred bytes.
    static constexpr Py_ssize_t kLongestKept = 32;

    const std::string* find(PyObject* object) const {
        for (const Entry& entry : entries_) {
            if (entry.object == object) return &entry.text;
        }
        return nullptr;
    }

    void keep(PyObject* object, const std::string& text) {
        Entry& entry = entries_[next_];
        next_ = (next_ + 1) % kEntries;
        Py_XDECREF(entry.object);
        Py_INCREF(object);
        entry.object = object;
        entry.text = text;
    }

  private:
    static constexpr std::size_t kEntries = 4;
    struct Entry {
        PyObject* object = nullptr;  // strong reference; never dropped at exit on purpose
        std::string text;
    };
    Entry entries_[kEntries];
    std::size_t next_ = 0;
};

// An exact int converts directly: __index__ of an exact int is the int itself, so the value and
// the OverflowError text are those of to_i64.
PyResult<std::int64_t> exact_int_to_i64(PyObject* item) {
    if (!PyLong_CheckExact(item)) return to_i64(item);
    const long long value = PyLong_AsLongLong(item);
    if (value == -1 && PyErr_Occurred()) return py_error();
    return static_cast<std::int64_t>(value);
}

// Exact lists and tuples (what shapes nearly always are) read by index instead of through an
// iterator object. A list is re-measured at every step, exactly as its iterator does, so an
// __index__ that changes the list sees the same outcome; each item is held while it converts.
PyResult<ShapeArg> indexed_to_shape(PyObject* object, bool is_list) {
    ShapeArg shape;
    const Py_ssize_t length = is_list ? 0 : PyTuple_Size(object);
    for (Py_ssize_t i = 0; i < (is_list ? PyList_Size(object) : length); ++i) {
        OwnedRef item =
            OwnedRef::new_ref(is_list ? PyList_GetItem(object, i) : PyTuple_GetItem(object, i));
        if (!item) return py_error();
        PyResult<std::int64_t> value = exact_int_to_i64(item.get());
        if (!value) return py_error();
        shape.push_back(*value);
    }
    return shape;
}

}  // namespace

PyResult<ShapeArg> to_shape(PyObject* object) {
    if (PyList_CheckExact(object)) return indexed_to_shape(object, true);
    if (PyTuple_CheckExact(object)) return indexed_to_shape(object, false);
    PyResult<std::vector<std::int64_t>> dims = to_vector<std::int64_t>(object, &to_i64);
    if (!dims) return py_error();
    return ShapeArg(std::move(*dims));
}

PyResult<std::string> to_dtype_text(PyObject* object) {
    static RecentTexts recent;  // constructed once; never destroyed while Python can call in
    if (!PyUnicode_CheckExact(object)) return to_text(object);
    if (const std::string* known = recent.find(object)) return *known;
    PyResult<std::string> text = to_text(object);
    if (text && PyUnicode_GetLength(object) <= RecentTexts::kLongestKept) {
        recent.keep(object, *text);
    }
    return text;
}

PyResult<InputBytes> to_input_bytes(PyObject* object) {
    if (PyBytes_CheckExact(object)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return py_error();
        return InputBytes::view(OwnedRef::new_ref(object),
                                reinterpret_cast<const std::uint8_t*>(data),
                                static_cast<std::size_t>(size));
    }
    if (PyByteArray_CheckExact(object)) {
        // A memoryview is an export of the bytearray: while it lives the bytearray cannot be
        // resized, so the pointer stays valid even if Python code runs before we copy.
        OwnedRef pin = OwnedRef::steal(PyMemoryView_FromObject(object));
        if (!pin) return py_error();
        const char* data = PyByteArray_AsString(object);
        const Py_ssize_t size = PyByteArray_Size(object);
        if (data == nullptr || size < 0) return py_error();
        return InputBytes::view(std::move(pin), reinterpret_cast<const std::uint8_t*>(data),
                                static_cast<std::size_t>(size));
    }
    if (std::optional<InputBytes> flat = try_flat_byte_container(object)) return std::move(*flat);
    PyResult<std::vector<std::uint8_t>> items = to_vector<std::uint8_t>(object, &to_u8);
    if (!items) return py_error();
    return InputBytes::owned(std::move(*items));
}

std::nullptr_t raise_cannot_convert(PyObject* object, const char* target) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    OwnedRef name = OwnedRef::steal(PyObject_GetAttrString(type, "__qualname__"));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
    return nullptr;
}

void relabel_argument_error(const char* name) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    OwnedRef original_type = OwnedRef::steal(type);
    OwnedRef original = OwnedRef::steal(value);
    OwnedRef original_traceback = OwnedRef::steal(traceback);
    if (!original) {
        PyErr_Format(PyExc_TypeError, "argument '%s': ", name);
        return;
    }
    // The new error replaces the original (it is not chained to it) but keeps its cause.
    OwnedRef cause = OwnedRef::steal(PyException_GetCause(original.get()));
    PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, original.get());
    if (!cause) return;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) PyException_SetCause(value, cause.release());
    PyErr_Restore(type, value, traceback);
}

}  // namespace zelto::python
