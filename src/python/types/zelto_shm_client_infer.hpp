// The steps of ZeltoShmClient.infer (python/types/zelto_shm_client_infer.cpp runs them). The call
// in flight, with its borrow of the object and its slot, lives in the object between the steps, so
// no frame of the steps is on the stack while the lock is released.
#pragma once

#include <Python.h>

namespace zelto::python {

enum class ShmInferStep {
    Failed,           // the exception is pending; nothing is in flight
    WaitForTurn,      // next: shm_infer_wait_for_turn without the lock, then shm_infer_queue
    WaitWithoutLock,  // next: shm_infer_wait without the lock, then shm_infer_finish
    Answer,           // next: shm_infer_finish (the answer is on the ring already)
};

// With the lock: binds and converts the arguments, takes the process's turn on the response
// ring if it is free (another object of the region may be inside a call), queues the request
// and watches the ring for a short while.
ShmInferStep shm_infer_begin(PyObject* self, PyObject* args, PyObject* kwargs);

// Without the lock: waits for the turn (the other object's call ends within its time limits).
void shm_infer_wait_for_turn(PyObject* self) noexcept;

// With the lock, once the turn is there: what shm_infer_begin does after taking it.
ShmInferStep shm_infer_queue(PyObject* self);

// Without the lock: the wait on the engine's notification descriptor. Touches only the region,
// the descriptor and the call in flight.
void shm_infer_wait(PyObject* self) noexcept;

// With the lock: polls for the answer and returns its bytes (or raises); the call in flight
// ends here, whatever happens.
PyObject* shm_infer_finish(PyObject* self);

// The method itself.
PyObject* shm_client_infer(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace zelto::python
