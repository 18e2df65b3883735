// Method definitions of the module's functions; the execution step turns them
// into built-in function objects.
#pragma once

#include "python.hpp"

namespace orvalnest::py {

PyMethodDef* scan_definition();
PyMethodDef* format_bytes_definition();

}  // namespace orvalnest::py
