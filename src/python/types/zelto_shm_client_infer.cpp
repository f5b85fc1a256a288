// ZeltoShmClient.infer as CPython calls it: the one frame of ours that is on the stack while the
// call gives up the interpreter lock.
//
// Taking the lock back may end the thread: while the interpreter finalises, CPython (up to 3.13)
// ends every other thread that asks for the lock with pthread_exit, which unwinds the thread's
// stack. Pure Python threads simply go; a C++ frame on that stack would run its cleanups without
// the lock, and with the C++ runtime linked into the module its unwinder cannot even take part
// in the system's unwind (the process aborts). So the call is cut into steps that each return
// before the lock is released (shm_infer_steps.hpp), and this file is built without exception
// support (CMakeLists.txt): its frames have nothing to run on an unwind, like a C frame's.
#include <Python.h>

#include "python/types/zelto_shm_client_infer.hpp"

namespace zelto::python {

PyObject* shm_client_infer(PyObject* self, PyObject* args, PyObject* kwargs) {
    ShmInferStep step = shm_infer_begin(self, args, kwargs);
    if (step == ShmInferStep::WaitForTurn) {
        PyThreadState* const saved = PyEval_SaveThread();
        shm_infer_wait_for_turn(self);
        PyEval_RestoreThread(saved);  // may end this thread (see above)
        step = shm_infer_queue(self);
    }
    switch (step) {
        case ShmInferStep::Failed:
        case ShmInferStep::WaitForTurn:  // not returned by shm_infer_queue
            return nullptr;
        case ShmInferStep::WaitWithoutLock: {
            PyThreadState* const saved = PyEval_SaveThread();
            shm_infer_wait(self);
            PyEval_RestoreThread(saved);  // may end this thread (see above)
            break;
        }
        case ShmInferStep::Answer:
            break;
    }
    return shm_infer_finish(self);
}

}  // namespace zelto::python
