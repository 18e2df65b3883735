// An exception taken out of the interpreter while the lock is released (a
// callback's, or Ctrl+C's from a signal poll), and put back unchanged once
// the work is over and the lock is held again.
#pragma once

#include "ref.hpp"

namespace orvalnest::py {

class PendingException {
public:
    void fetch() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    explicit operator bool() const { return static_cast<bool>(type_); }
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }

private:
    Ref type_, value_, traceback_;
};

}  // namespace orvalnest::py
