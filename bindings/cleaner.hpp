// What the extended API needs of a Cleaner: its policy and audit folder, as
// fixed when it was made.
#pragma once

#include <string>

#include "boundary.hpp"
#include "orvalnest/policy.hpp"

namespace orvalnest::py {

struct CleanerFields {
    PathPolicy policy;
    std::string audit_dir;  // lexical absolute form; need not exist
};

// The fields of `object`, or a TypeError when it is no Cleaner.
PyResult<const CleanerFields*> cleaner_fields(PyObject* object);

}  // namespace orvalnest::py
