// The part of a scan shared by scan(), the scan with options and measure():
// the walk with the lock released, the interruption and progress polls.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "boundary.hpp"
#include "orvalnest/scanner.hpp"

namespace orvalnest::py {

// Makes a progress object for the callback (the scan with options supplies it).
using ProgressFactory = PyResult<Ref> (*)(const WalkProgress& progress, bool done);

struct ScanRequest {
    std::string path;  // as the caller gave it; checked by resolve_root first
    WalkOptions options;
    PyObject* progress = nullptr;  // borrowed callable, or null
    ProgressFactory make_progress = nullptr;
    // Runs on the finished tree before the lock is taken back.
    std::function<void(const Tree&)> prepare;
};

// Called with the lock held; returns it held. A bad root raises as resolve_root
// says, before anything is walked. A callback's exception propagates
// unchanged, Ctrl+C raises KeyboardInterrupt("scan interrupted"), and no
// partial tree is ever returned.
PyResult<std::unique_ptr<Tree>> run_walk(const ScanRequest& request);

// scan() and the scan with options: the walk made into Node, ScanIssue and
// ScanResult objects (children by apparent size, at most MAX_DEPTH levels).
PyResult<Ref> run_scan(ScanRequest request);

}  // namespace orvalnest::py
