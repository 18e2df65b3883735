// The parts of orvalnest._engine that live in files of their own, added by
// its execution step.
#pragma once

#include "boundary.hpp"

namespace orvalnest::py {

// trash_outcomes, purge_trash, TrashOutcome, PurgeOutcome and AuditLogError.
PyResult<int> add_cleaner_api(PyObject* module);
// fold_children, category_totals, treemap_data, write_json and write_ncdu.
PyResult<int> add_report_api(PyObject* module);
// open_scan and ScanFileError.
PyResult<int> add_saved_scan_api(PyObject* module);
// compare, Comparison and Change.
PyResult<int> add_comparison_api(PyObject* module);

}  // namespace orvalnest::py
