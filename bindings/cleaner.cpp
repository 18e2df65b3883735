// Cleaner: moves what a user picked from a scan to the OS trash, under the
// path policy, with one audit record per path.
#include "cleaner.hpp"

#include <time.h>

#include "orvalnest/audit.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/policy.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/trash_request.hpp"

#include "classes.hpp"
#include "gil.hpp"
#include "trash_backend.hpp"
#include "trash_report.hpp"

namespace orvalnest::py {
namespace {

struct CleanerObject {
    PyObject_HEAD using Fields = CleanerFields;
    Fields fields;
};

const CleanerFields& fields_of(PyObject* self) { return as<CleanerObject>(self)->fields; }

// ---- Construction ----

constexpr std::string_view kNewParameters[] = {"scan_root", "audit_log_dir"};
constexpr ArgumentSpec kNewSpec{"__new__", "Cleaner", kNewParameters, 2, {}};

PyResult<Ref> construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    auto bound = bind_arguments(kNewSpec, args, kwargs);
    if (!bound) return std::unexpected(bound.error());
    auto scan_root = convert_argument((*bound)[0], "scan_root", extract_path);
    if (!scan_root) return std::unexpected(scan_root.error());
    auto audit_log_dir = convert_argument((*bound)[1], "audit_log_dir", extract_path);
    if (!audit_log_dir) return std::unexpected(audit_log_dir.error());

    auto root = resolve_root(*scan_root);
    if (!root) return std::unexpected(Error::failure(std::move(root.error())));
    // The policy keeps the audit folder out of the trash, so it needs the
    // folder; a bad scan root is still the error reported first.
    auto audit_dir = paths::lexical_absolute(*audit_log_dir);
    auto policy = PathPolicy::build(*root, audit_dir ? std::string_view(*audit_dir) : std::string_view());
    if (!policy) return failure(ExceptionKind::OSError, lossy_utf8(*root) + ": " + policy.error().text());
    if (!audit_dir) {
        return failure(ExceptionKind::OSError, lossy_utf8(*audit_log_dir) + ": " + audit_dir.error().text());
    }
    // The class actually called, so a Python subclass gets its own instances.
    return make_instance<CleanerObject>(cls, CleanerFields{std::move(*policy), std::move(*audit_dir)});
}

PyObject* cleaner_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return guarded_entry([&] { return construct(cls, args, kwargs); });
}

// ---- check ----

constexpr std::string_view kCheckParameters[] = {"path"};
constexpr ArgumentSpec kCheckSpec{"check", "Cleaner", kCheckParameters, 1, {}};

PyObject* check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kCheckSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto path = convert_argument((*bound)[0], "path", extract_path);
        if (!path) return std::unexpected(path.error());

        // The exact bytes the caller passed, not their lossy text.
        auto resolved = fields_of(self).policy.validate(*path);
        if (resolved) return path_to_str(*resolved);
        const PolicyRefusal& refusal = resolved.error();
        if (refusal.is_unresolvable()) {
            return failure(ExceptionKind::FileNotFoundError,
                           lossy_utf8(*path) + ": " + refusal.os_error_text());
        }
        return failure(ExceptionKind::PermissionError, lossy_utf8(*path) + ": " + refusal.message());
    });
}

// ---- trash ----

constexpr std::string_view kTrashParameters[] = {"paths"};
constexpr KeywordOnly kTrashKeywords[] = {{"dry_run", false}};
constexpr ArgumentSpec kTrashSpec{"trash", "Cleaner", kTrashParameters, 1, kTrashKeywords};

PyObject* trash(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kTrashSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto paths = convert_argument((*bound)[0], "paths", extract_path_list);
        if (!paths) return std::unexpected(paths.error());
        bool dry_run = false;
        if ((*bound)[1]) {
            auto flag = convert_argument((*bound)[1], "dry_run", extract_bool);
            if (!flag) return std::unexpected(flag.error());
            dry_run = *flag;
        }

        const CleanerFields& fields = fields_of(self);
        // The log is opened before any path is looked at: if it cannot be
        // written, nothing may be deleted.
        auto log = AuditLog::open(fields.audit_dir);
        if (!log) {
            return failure(ExceptionKind::OSError, "cannot open audit log in " +
                                                       lossy_utf8(fields.audit_dir) +
                                                       " (nothing was deleted): " + log.error().text());
        }
        std::string audit_log_text = lossy_utf8(log->path());
        // The time zone is read from the environment here, with the lock
        // held, not by the first info file's date in the released section.
        ::tzset();

        std::expected<std::vector<PathOutcome>, Failure> outcomes;
        {
            // Cleaner fields never change after construction, so they are read
            // in place while other threads run.
            GilRelease released;
            platform::PlatformTrash backend(fields.policy);
            RequestOptions options;
            options.dry_run = dry_run;
            outcomes = run_trash_request(fields.policy, *log, *paths, options, backend);
        }
        if (!outcomes) return std::unexpected(Error::failure(std::move(outcomes.error())));
        auto split = split_outcomes(*paths, *outcomes);
        return make_trash_report(TrashReportFields{std::move(split.trashed), std::move(split.failed), dry_run,
                                                   std::move(audit_log_text)});
    });
}

// ---- Attributes ----

PyObject* get_scan_root(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return path_to_str(fields_of(self).policy.scan_root()); });
}

PyObject* get_audit_log(PyObject* self, void*) noexcept {
    return guarded_entry(
        [&] { return path_to_str(paths::join(fields_of(self).audit_dir, kAuditLogFileName)); });
}

PyObject* repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        return to_str("Cleaner(scan_root=" + quoted_form(lossy_utf8(fields_of(self).policy.scan_root())) +
                      ")");
    });
}

PyMethodDef methods[] = {
    {"check", as_cfunction(check), METH_FASTCALL | METH_KEYWORDS,
     "check($self, path)\n--\n\nReturns the resolved path that `trash()` would move, or raises\n"
     "PermissionError (refused by policy) / FileNotFoundError. Touches\nnothing and writes no audit record."},
    {"trash", as_cfunction(trash), METH_FASTCALL | METH_KEYWORDS,
     "trash($self, paths, *, dry_run=False)\n--\n\nMoves each path to the OS trash if policy allows it, "
     "recording every\nattempt in the audit log. Never raises for an individual path; see\n"
     "`TrashReport.failed`. With `dry_run=True` nothing is moved, but the\nwould-be outcome is still checked "
     "and audited."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"scan_root", get_scan_root, nullptr, "The scan root after resolving symlinks.", nullptr},
    {"audit_log", get_audit_log, nullptr, "Full path of the audit log this cleaner writes to.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Cleaner(scan_root, audit_log_dir)\n--\n\n"
                       "Moves files to the OS trash, but only inside `scan_root`, never\n"
                       "protected system locations, and always with an audit record.\n\n"
                       "The module validates every path itself, whatever the caller checked\n"
                       "before: it must resolve, through its real parent directory so that no\n"
                       "symbolic link can lead out, strictly inside `scan_root`; it must not\n"
                       "contain `..`; and it must not be an OS directory, a volume root or a\n"
                       "profile root, nor hold one, nor be or hold a trash folder, the audit\n"
                       "log or a mount point. Every attempt (trashed, refused, failed, or dry run) is\n"
                       "appended to `deletions.jsonl` in `audit_log_dir`; if that log cannot be\n"
                       "written, nothing is deleted.")},
    {Py_tp_new, as_slot(cleaner_new)},
    {Py_tp_repr, as_slot(repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<CleanerObject>)},
    {0, nullptr},
};

PyType_Spec spec = {"orvalnest._native.Cleaner", sizeof(CleanerObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};

PyTypeObject* type = nullptr;

}  // namespace

PyResult<PyTypeObject*> cleaner_class() { return class_object(type, spec); }

PyResult<const CleanerFields*> cleaner_fields(PyObject* object) {
    auto cls = cleaner_class();
    if (!cls) return std::unexpected(cls.error());
    if (!PyObject_TypeCheck(object, *cls)) return type_mismatch(object, "Cleaner");
    return &fields_of(object);
}

}  // namespace orvalnest::py
