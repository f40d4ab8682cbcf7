// How the extension drops a reference. This header comes first in every translation unit of the
// extension and of nanobind (CMakeLists.txt includes it on the command line), so that every
// reference the extension owns, those in nanobind's handles included, is dropped here.
//
// A reference is dropped only on a thread that has a thread state. CPython 3.13 ends a daemon
// thread that wants the GIL back after finalization began with pthread_exit, whose unwinding runs
// the destructors of the C++ frames on its way with no thread state attached: touching the
// interpreter then crashes it, so such a thread leaves its references to the exiting process.
// Outside finalization the extension runs only with the GIL held, so the cheap test of
// finalization comes first. Immortal objects need neither a count nor the tests.
#pragma once

#include <Python.h>
#include <unistd.h>

// From 3.14 on such a thread hangs instead of unwinding.
#if PY_VERSION_HEX < 0x030E0000

static inline __attribute__((noinline)) void velmor_release_mortal(PyObject* op) {
    if (!Py_IsFinalizing() || PyThreadState_GetUnchecked()) Py_DECREF(op);
}

static inline void velmor_release(PyObject* op) {
    if (!_Py_IsImmortal(op)) velmor_release_mortal(op);
}

static inline void velmor_release_nullable(PyObject* op) {
    if (op) velmor_release(op);
}

#undef Py_DECREF
#undef Py_XDECREF
#define Py_DECREF(op) velmor_release(_PyObject_CAST(op))
#define Py_XDECREF(op) velmor_release_nullable(_PyObject_CAST(op))

// nanobind attaches a thread state where it must touch the interpreter from a thread that may
// have none, as when it drops the error held by a C++ exception. On a thread that the host is
// ending, that runs in a destructor on the unwinding's way, and ending the thread a second time
// there aborts the process: such a thread waits for the process to exit instead, as the host
// itself parks such threads from 3.14 on.
static inline PyGILState_STATE velmor_ensure_thread_state(void) {
    if (!PyThreadState_GetUnchecked() && Py_IsFinalizing())
        for (;;) pause();
    return PyGILState_Ensure();
}

#define PyGILState_Ensure velmor_ensure_thread_state

#endif
