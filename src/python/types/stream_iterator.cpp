// StreamIterator: yields one result tensor's bytes per stream frame. It owns its connection
// exclusively (never pooled) and is bound to the thread that created it.
#include "python/types/stream_iterator.hpp"

#include <memory>
#include <span>

#include "python/binding/result_bytes.hpp"
#include "python/errors.hpp"
#include "python/support/borrow.hpp"
#include "python/support/entry_guard.hpp"
#include "python/support/instance.hpp"
#include "python/support/lazy_type.hpp"
#include "python/support/thread_binding.hpp"
#include "sdk/socket/socket_client.hpp"

namespace zelto::python {
namespace {

constexpr const char* kTypeName = "zelto_sdk::StreamIterator";

// No position, end or error flag: every __next__ simply reads the next frame.
struct StreamIteratorState {
    explicit StreamIteratorState(transport::ReadWriteConnection stream)
        : connection(std::move(stream)) {}

    transport::ReadWriteConnection connection;
    ThreadBinding binding;
};

using StreamIteratorObject = PyInstance<StreamIteratorState>;

PyObject* stream_iterator_iter(PyObject* self) {
    return guard_object([&]() -> PyObject* {
        StreamIteratorObject* iterator = StreamIteratorObject::from(self);
        if (!iterator->state->binding.check(kTypeName)) return nullptr;
        auto borrow = SharedBorrow::acquire(iterator->borrow);
        if (!borrow) return nullptr;
        Py_INCREF(self);
        return self;
    });
}

PyObject* stream_iterator_next(PyObject* self) {
    return guard_object([&]() -> PyObject* {
        StreamIteratorObject* iterator = StreamIteratorObject::from(self);
        if (!iterator->state->binding.check(kTypeName)) return nullptr;
        auto borrow = ExclusiveBorrow::acquire(iterator->borrow);
        if (!borrow) return nullptr;
        // The GIL stays held while the read blocks; a signal interrupting recv is retried.
        // An item's data is copied at most once: from the receive buffer into the bytes, or
        // for large data by the receive itself.
        PyObject* item = nullptr;
        ResultBytes data;
        sdk::StreamStep step = sdk::next_stream_item(
            iterator->state->connection,
            [&](std::span<const std::uint8_t> received) { item = data.take(received); },
            [&](std::size_t size) { return data.make(size); });
        switch (step.kind) {
            case sdk::StreamStep::Kind::Item:
                return item;  // nullptr: the bytes could not be made, MemoryError is set
            case sdk::StreamStep::Kind::Error:
                return raise_message(PyExc_RuntimeError, step.message);
            case sdk::StreamStep::Kind::End:
                break;
        }
        return nullptr;  // no exception set: the end of the iteration
    });
}

void stream_iterator_dealloc(PyObject* self) {
    StreamIteratorObject* iterator = StreamIteratorObject::from(self);
    // Dropped on a foreign thread: the RuntimeError is reported as unraisable, and the state is
    // destroyed all the same. It is only a socket and a thread id, which are safe to release from
    // any thread, so the socket is closed rather than leaked and the engine sees the stream end
    // (test_socket_stream.py::test_drop_on_another_thread_reports_and_closes).
    iterator->state->binding.check_drop(kTypeName);
    StreamIteratorObject::dealloc(self);
}

PyType_Slot stream_iterator_slots[] = {
    {Py_tp_new, slot_function(&refuse_construction)},
    {Py_tp_iter, slot_function(&stream_iterator_iter)},
    {Py_tp_iternext, slot_function(&stream_iterator_next)},
    {Py_tp_dealloc, slot_function(&stream_iterator_dealloc)},
    {0, nullptr},
};

PyType_Spec stream_iterator_spec = {
    "builtins.StreamIterator", sizeof(StreamIteratorObject), 0,
    Py_TPFLAGS_DEFAULT,  // final: no Py_TPFLAGS_BASETYPE
    stream_iterator_slots,
};

LazyType stream_iterator_type_object(&stream_iterator_spec);

}  // namespace

PyObject* new_stream_iterator(transport::ReadWriteConnection connection) {
    auto state = std::make_unique<StreamIteratorState>(std::move(connection));
    PyTypeObject* type = stream_iterator_type_object.get();
    if (type == nullptr) return nullptr;  // `state` closes the connection
    return StreamIteratorObject::create(type, std::move(state));
}

}  // namespace zelto::python
