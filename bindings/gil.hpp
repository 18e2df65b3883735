// Releases the interpreter lock for the lifetime of the scope and takes it back
// on every way out, a C++ exception unwinding through it included. Nothing in
// the scope may touch a Python object.
#pragma once

#include "python.hpp"

namespace orvalnest::py {

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

// Takes the lock for the current thread from inside a released section (the
// scan's signal poll) and gives it back when the scope ends.
class GilAcquire {
public:
    GilAcquire() : state_(PyGILState_Ensure()) {}
    ~GilAcquire() { PyGILState_Release(state_); }
    GilAcquire(const GilAcquire&) = delete;
    GilAcquire& operator=(const GilAcquire&) = delete;

private:
    PyGILState_STATE state_;
};

}  // namespace orvalnest::py
