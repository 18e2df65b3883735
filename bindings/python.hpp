// The one way this module includes Python.h: always against the 3.10 stable ABI.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
// PyMemberDef's type codes live here up to 3.11 (3.12 renamed them with the
// same values).
#include <structmember.h>
