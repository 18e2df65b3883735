// The cleaner's extended API in orvalnest._engine: a trash request that
// answers with one outcome per path (kinds, errnos, exact bytes, where each
// item went), and the purge of what this tool put in the trash. The front ends
// choose their own words from these values; _native's Cleaner and
// TrashReport stay as they are.
#include <time.h>
#include <unistd.h>

#include "classes.hpp"
#include "cleaner.hpp"
#include "engine_api.hpp"
#include "gil.hpp"
#include "module_support.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/trash_request.hpp"
#include "purge.hpp"
#include "record_class.hpp"
#include "trash_backend.hpp"

namespace orvalnest::py {
namespace {

// ---- values ----

std::string_view refusal_reason(RefusalKind kind) {
    switch (kind) {
        case RefusalKind::NotAbsolute:
            return "not-absolute";
        case RefusalKind::DotComponent:
            return "dot-component";
        case RefusalKind::Unresolvable:
            return "unresolvable";
        case RefusalKind::OutsideScanRoot:
            return "outside-scan-root";
        case RefusalKind::ScanRootItself:
            return "scan-root-itself";
        case RefusalKind::ProtectedLocation:
            return "protected-location";
        case RefusalKind::ContainsProtectedLocation:
            return "contains-protected-location";
        case RefusalKind::TrashFolder:
            return "trash-folder";
        case RefusalKind::ContainsTrashFolder:
            return "contains-trash-folder";
        case RefusalKind::AuditLogFolder:
            return "audit-log-folder";
        case RefusalKind::ContainsAuditLogFolder:
            return "contains-audit-log-folder";
        case RefusalKind::MountPoint:
            return "mount-point";
        case RefusalKind::ContainsMountPoint:
            return "contains-mount-point";
        case RefusalKind::MountTableUnreadable:
            return "mount-table-unreadable";
        case RefusalKind::ScanRootChanged:
            return "scan-root-changed";
        case RefusalKind::LocationUnknown:
            return "location-unknown";
        case RefusalKind::Changed:
            return "changed";
    }
    return "other";
}

std::string_view failure_reason(FailureCause cause) {
    switch (cause) {
        case FailureCause::Os:
            return "os-error";
        case FailureCause::FolderNotWritable:
            return "folder-not-writable";
        case FailureCause::NotMovable:
            return "not-movable";
        case FailureCause::NoTrashFolder:
            return "no-trash-folder";
        case FailureCause::TrashFolderUnusable:
            return "trash-folder-unusable";
        case FailureCause::MountPoint:
            return "mount-point";
        case FailureCause::ContainsMountPoint:
            return "contains-mount-point";
        case FailureCause::Changed:
            return "changed";
        case FailureCause::NoFreeName:
            return "no-free-name";
        case FailureCause::AuditLogWrite:
            return "audit-log-write";
        case FailureCause::Other:
            break;
    }
    return "other";
}

std::string_view kind_text(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Trashed:
            return "trashed";
        case OutcomeKind::WouldTrash:
            return "would-trash";
        case OutcomeKind::WouldFail:
            return "would-fail";
        case OutcomeKind::Refused:
            return "refused";
        case OutcomeKind::Failed:
            return "failed";
        case OutcomeKind::NotAttempted:
            return "not-attempted";
    }
    return "failed";
}

std::string_view purge_kind_text(platform::PurgeKind kind) {
    switch (kind) {
        case platform::PurgeKind::Purged:
            return "purged";
        case platform::PurgeKind::WouldPurge:
            return "would-purge";
        case platform::PurgeKind::Failed:
            return "failed";
        case platform::PurgeKind::NotAttempted:
            return "not-attempted";
    }
    return "failed";
}

PyResult<Ref> to_signed_int(long long value) {
    Ref number = Ref::steal(PyLong_FromLongLong(value));
    if (!number) return raised();
    return number;
}

PyResult<Ref> errno_value(int code) {
    if (code == 0) return none();
    return to_int(static_cast<std::uint64_t>(code));
}

// Collects a record's values in field order; the first failed conversion wins.
class Values {
public:
    Values& add(PyResult<Ref> value) {
        if (!error_ && !value) error_ = value.error();
        if (value) values_.push_back(std::move(*value));
        return *this;
    }
    Values& text(std::string_view utf8) { return add(to_str(utf8)); }
    Values& path(const std::optional<std::string>& bytes) {
        return add(optional_text(bytes)).add(optional_bytes(bytes));
    }
    Values& number(std::uint64_t value) { return add(to_int(value)); }
    Values& flag(bool value) { return add(to_bool(value)); }
    Values& maybe_text(const std::optional<std::string>& utf8) {
        return add(utf8 ? to_str(*utf8) : PyResult<Ref>(none()));
    }
    PyResult<std::vector<Ref>> done() {
        if (error_) return std::unexpected(*error_);
        return std::move(values_);
    }

private:
    std::vector<Ref> values_;
    std::optional<Error> error_;
};

// ---- TrashOutcome ----

constexpr RecordField kTrashOutcomeFields[] = {
    {"kind", "\"trashed\", \"would-trash\", \"would-fail\", \"refused\", \"failed\" or \"not-attempted\"."},
    {"requested", "The path as requested, as text (U+FFFD for bytes that are not UTF-8)."},
    {"requested_bytes", "The path as requested, its exact bytes."},
    {"resolved", "The entry the request judged (its real parent joined with its name), or None."},
    {"resolved_bytes", "`resolved` as exact bytes, or None."},
    {"reason",
     "Why it was refused or failed, as a value (\"outside-scan-root\", \"os-error\", ...), or None."},
    {"errno", "The OS error number behind the failure, or None."},
    {"location", "The protected location, trash folder or mount point a refusal names, or None."},
    {"message", "The reason as Cleaner.trash would give it in TrashReport.failed, or None on success."},
    {"recorded", "Whether its line was written to the audit log."},
    {"record_errno", "When it was not recorded: the OS error number of the failed write, or None."},
    {"trash_dir", "The trash folder a moved item went to, or None."},
    {"trash_dir_bytes", "`trash_dir` as exact bytes, or None."},
    {"trash_name", "Its name in that trash folder's files/, or None."},
    {"trash_name_bytes", "`trash_name` as exact bytes, or None."},
    {"device", "Device number of the entry as judged, or None."},
    {"inode", "Inode number of the entry as judged, or None."},
    {"is_dir", "Whether the entry is a folder (a link to one is not)."},
    {"links", "Its hard link count (0 when it was not judged)."},
    {"size", "Its own apparent size in bytes (0 when it was not judged)."},
    {"disk_usage", "Its own bytes on disk (0 when it was not judged)."},
    {"tree_disk_usage", "Bytes on disk of the entry and all below it, when measured; else None."},
};

constexpr RecordSpec kTrashOutcomeSpec{
    "orvalnest._engine.TrashOutcome",
    "What one path of a trash request came to. Made only by `trash_outcomes`.",
    kTrashOutcomeFields,
    2,
};

PyTypeObject* trash_outcome_type = nullptr;

PyResult<Ref> make_trash_outcome(const std::string& requested, const PathOutcome& outcome) {
    auto cls = record_class(trash_outcome_type, kTrashOutcomeSpec);
    if (!cls) return std::unexpected(cls.error());
    std::optional<std::string> reason, location;
    int code = 0;
    if (outcome.refusal) {
        reason = std::string(refusal_reason(outcome.refusal->kind()));
        code = outcome.refusal->error_code();
        const auto kind = outcome.refusal->kind();
        if (kind >= RefusalKind::ProtectedLocation && kind <= RefusalKind::ContainsMountPoint &&
            !outcome.refusal->location().empty()) {
            location = lossy_utf8(outcome.refusal->location());
        }
    } else if (outcome.failure) {
        reason = std::string(failure_reason(outcome.failure->cause));
        code = outcome.failure->error;
    }
    const auto& facts = outcome.facts;
    Values values;
    values.text(kind_text(outcome.kind))
        .path(requested)
        .path(outcome.resolved)
        .maybe_text(reason)
        .add(errno_value(code))
        .maybe_text(location)
        .maybe_text(outcome.message.empty() ? std::nullopt : std::optional(outcome.message))
        .flag(outcome.recorded)
        .add(errno_value(outcome.record_error))
        .path(outcome.moved ? std::optional(outcome.moved->trash_dir) : std::nullopt)
        .path(outcome.moved ? std::optional(outcome.moved->name) : std::nullopt)
        .add(facts ? to_int(facts->identity.device) : PyResult<Ref>(none()))
        .add(facts ? to_int(facts->identity.inode) : PyResult<Ref>(none()))
        .flag(facts && facts->is_directory())
        .number(facts ? facts->links : 0)
        .number(facts ? facts->size : 0)
        .number(facts ? facts->disk_usage : 0)
        .add(outcome.tree_size ? to_int(outcome.tree_size->disk_usage) : PyResult<Ref>(none()));
    auto done = values.done();
    if (!done) return std::unexpected(done.error());
    return make_record(*cls, kTrashOutcomeSpec, std::move(*done));
}

// ---- PurgeOutcome ----

constexpr RecordField kPurgeOutcomeFields[] = {
    {"kind", "\"purged\", \"would-purge\", \"failed\" or \"not-attempted\"."},
    {"original", "Where the item was before it was trashed, as text."},
    {"original_bytes", "`original` as exact bytes."},
    {"trash_dir", "The trash folder holding it."},
    {"trash_dir_bytes", "`trash_dir` as exact bytes."},
    {"trash_name", "Its name in that trash folder's files/."},
    {"trash_name_bytes", "`trash_name` as exact bytes."},
    {"deleted_at", "When it was trashed (seconds since the epoch, from its info file)."},
    {"reason", "Why it failed, as a value (\"os-error\", \"contains-mount-point\", ...), or None."},
    {"errno", "The OS error number behind the failure, or None."},
    {"message", "The failure as text, or None."},
    {"recorded", "Whether its line was written to the audit log."},
    {"record_errno", "When it was not recorded: the OS error number of the failed write, or None."},
    {"entries", "How many entries it held (itself included)."},
    {"disk_usage", "Bytes on disk it took (each inode once): what removing it frees."},
};

constexpr RecordSpec kPurgeOutcomeSpec{
    "orvalnest._engine.PurgeOutcome",
    "What the purge did with one item of the trash. Made only by `purge_trash`.",
    kPurgeOutcomeFields,
    2,
};

PyTypeObject* purge_outcome_type = nullptr;

PyResult<Ref> make_purge_outcome(const platform::PurgeOutcome& outcome) {
    auto cls = record_class(purge_outcome_type, kPurgeOutcomeSpec);
    if (!cls) return std::unexpected(cls.error());
    const auto& failure = outcome.failure;
    Values values;
    values.text(purge_kind_text(outcome.kind))
        .path(outcome.original)
        .path(outcome.trash_dir)
        .path(outcome.name)
        .add(to_signed_int(outcome.deleted_at))
        .maybe_text(failure ? std::optional(std::string(failure_reason(failure->cause))) : std::nullopt)
        .add(errno_value(failure ? failure->error : 0))
        .maybe_text(failure ? std::optional(failure->text) : std::nullopt)
        .flag(outcome.recorded)
        .add(errno_value(outcome.record_error))
        .number(outcome.size.entries)
        .number(outcome.size.disk_usage);
    auto done = values.done();
    if (!done) return std::unexpected(done.error());
    return make_record(*cls, kPurgeOutcomeSpec, std::move(*done));
}

// ---- AuditLogError ----

std::string_view audit_problem_reason(AuditLogProblem problem) {
    switch (problem) {
        case AuditLogProblem::Os:
            return "os-error";
        case AuditLogProblem::ForeignLink:
            return "foreign-link";
        case AuditLogProblem::ForeignFolder:
            return "foreign-folder";
        case AuditLogProblem::ForeignLog:
            return "foreign-log";
        case AuditLogProblem::LogIsLink:
            return "log-is-link";
        case AuditLogProblem::NotRegular:
            return "not-regular";
        case AuditLogProblem::HardLinked:
            return "hard-linked";
    }
    return "os-error";
}

PyObject* audit_log_error_class() {
    static PyObject* cls = nullptr;  // made once under the GIL, kept for the process
    if (!cls) {
        Ref defaults = Ref::steal(Py_BuildValue("{s:s,s:s}", "reason", "os-error", "audit_dir", ""));
        if (!defaults) return nullptr;
        cls = PyErr_NewExceptionWithDoc(
            "orvalnest._engine.AuditLogError",
            "The audit log cannot be opened, so nothing was moved or removed.\n\n"
            "`audit_dir` is the audit folder, `errno` the OS error number (or None),\n"
            "`reason` why as a value: \"os-error\", \"foreign-link\", \"foreign-folder\",\n"
            "\"foreign-log\", \"log-is-link\", \"not-regular\" or \"hard-linked\".",
            PyExc_OSError, defaults.get());
    }
    return cls;
}

// Raises AuditLogError with _native's message, and the values beside it.
std::unexpected<Error> raise_audit_log_error(const std::string& audit_dir, const AuditOpenError& error) {
    PyObject* cls = audit_log_error_class();
    if (!cls) return raised();
    const std::string message =
        "cannot open audit log in " + lossy_utf8(audit_dir) + " (nothing was deleted): " + error.text();
    auto text = to_str(message);
    if (!text) return std::unexpected(text.error());
    Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(cls, text->get(), nullptr));
    if (!exception) return raised();
    Ref filename = Ref::steal(
        PyUnicode_DecodeFSDefaultAndSize(audit_dir.data(), static_cast<Py_ssize_t>(audit_dir.size())));
    auto code = errno_value(error.error.code());
    auto reason = to_str(audit_problem_reason(error.problem));
    if (!filename || !code || !reason) return raised();
    if (PyObject_SetAttrString(exception.get(), "audit_dir", filename.get()) < 0 ||
        PyObject_SetAttrString(exception.get(), "errno", code->get()) < 0 ||
        PyObject_SetAttrString(exception.get(), "reason", reason->get()) < 0) {
        return raised();
    }
    PyErr_SetObject(cls, exception.get());
    return raised();
}

// ---- arguments ----

// A path as exact bytes: bytes as they are, str (or a path-like giving one)
// encoded as os.fsencode does, so surrogate escapes give back the bytes they
// stand for.
PyResult<std::string> extract_exact_path(PyObject* object) {
    Ref fspath = Ref::steal(PyOS_FSPath(object));
    if (!fspath) return raised();
    Ref encoded;
    if (PyBytes_Check(fspath.get())) {
        encoded = std::move(fspath);
    } else if (PyUnicode_Check(fspath.get())) {
        encoded = Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
        if (!encoded) return raised();
    } else {
        return type_mismatch(fspath.get(), "str");
    }
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &length) < 0) return raised();
    return std::string(data, static_cast<size_t>(length));
}

template <typename Item, typename Convert>
PyResult<std::vector<Item>> extract_sequence(PyObject* object, Convert&& convert) {
    if (PyUnicode_Check(object) || PyBytes_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "expected a sequence of paths, not a single path");
        return raised();
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return raised();
    std::vector<Item> items;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        // More than one request may hold is refused later; reading on would only cost memory.
        if (items.size() > kMaxPathsPerRequest) break;
        auto converted = convert(item.get());
        if (!converted) return std::unexpected(converted.error());
        items.push_back(std::move(*converted));
    }
    if (PyErr_Occurred()) return raised();
    return items;
}

// (device, inode) or None.
PyResult<std::optional<FileIdentity>> extract_identity(PyObject* object) {
    if (object == Py_None) return std::optional<FileIdentity>();
    if (!PyTuple_Check(object) || PyTuple_Size(object) != 2)
        return type_mismatch(object, "tuple[int, int] | None");
    auto device = extract_u64(PyTuple_GetItem(object, 0));
    if (!device) return std::unexpected(device.error());
    auto inode = extract_u64(PyTuple_GetItem(object, 1));
    if (!inode) return std::unexpected(inode.error());
    return std::optional(FileIdentity{static_cast<dev_t>(*device), static_cast<ino_t>(*inode)});
}

PyResult<bool> keyword_flag(PyObject* object, std::string_view name) {
    if (!object) return false;
    return convert_argument(object, name, extract_bool);
}

// ---- trash_outcomes ----

constexpr std::string_view kTrashParameters[] = {"cleaner", "paths"};
constexpr KeywordOnly kTrashKeywords[] = {{"dry_run", false}, {"expected", false}, {"measure", false}};
constexpr ArgumentSpec kTrashSpec{"trash_outcomes", {}, kTrashParameters, 2, kTrashKeywords};

PyObject* trash_outcomes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kTrashSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto fields = convert_argument((*bound)[0], "cleaner", cleaner_fields);
        if (!fields) return std::unexpected(fields.error());
        auto paths = convert_argument((*bound)[1], "paths", [](PyObject* object) {
            return extract_sequence<std::string>(object, extract_exact_path);
        });
        if (!paths) return std::unexpected(paths.error());
        RequestOptions options;
        options.extended = true;
        auto dry_run = keyword_flag((*bound)[2], "dry_run");
        auto measure = keyword_flag((*bound)[4], "measure");
        if (!dry_run || !measure) return std::unexpected(!dry_run ? dry_run.error() : measure.error());
        options.dry_run = *dry_run;
        options.measure = *measure;
        std::vector<std::optional<FileIdentity>> expected;
        if ((*bound)[3] && (*bound)[3] != Py_None) {
            auto identities = convert_argument((*bound)[3], "expected", [](PyObject* object) {
                return extract_sequence<std::optional<FileIdentity>>(object, extract_identity);
            });
            if (!identities) return std::unexpected(identities.error());
            if (identities->size() != paths->size())
                return failure(ExceptionKind::ValueError,
                               "expected must hold one identity (or None) per path");
            expected = std::move(*identities);
        }
        options.expected = expected;

        const CleanerFields& cleaner = **fields;
        auto log = AuditLog::open(cleaner.audit_dir);
        if (!log) return raise_audit_log_error(cleaner.audit_dir, log.error());
        ::tzset();  // read from the environment here, with the lock held
        std::expected<std::vector<PathOutcome>, Failure> outcomes;
        {
            GilRelease released;
            platform::PlatformTrash backend(cleaner.policy);
            outcomes = run_trash_request(cleaner.policy, *log, *paths, options, backend);
        }
        if (!outcomes) return std::unexpected(Error::failure(std::move(outcomes.error())));
        std::vector<Ref> items;
        for (size_t i = 0; i < outcomes->size(); ++i) {
            auto item = make_trash_outcome((*paths)[i], (*outcomes)[i]);
            if (!item) return item;
            items.push_back(std::move(*item));
        }
        return to_list(items);
    });
}

PyMethodDef trash_outcomes_definition = {
    "trash_outcomes",
    as_cfunction(trash_outcomes),
    METH_FASTCALL | METH_KEYWORDS,
    "trash_outcomes(cleaner, paths, *, dry_run=False, expected=None, measure=False)\n--\n\n"
    "Cleaner.trash with one TrashOutcome per path, in request order.\n\n"
    "`paths` may be str (encoded as os.fsencode does) or bytes: each is judged\n"
    "and moved by its exact bytes. A dry run also checks what the move would\n"
    "need (\"would-fail\"). `expected` holds, per path, the (device, inode) the\n"
    "caller showed, or None: another entry under that name is refused.\n"
    "`measure` fills tree_disk_usage. Raises AuditLogError when the audit log\n"
    "cannot be opened (nothing moves), ValueError past MAX_PATHS_PER_REQUEST.",
};

// ---- purge_trash ----

constexpr std::string_view kPurgeParameters[] = {"cleaner"};
constexpr KeywordOnly kPurgeKeywords[] = {{"dry_run", false}};
constexpr ArgumentSpec kPurgeSpec{"purge_trash", {}, kPurgeParameters, 1, kPurgeKeywords};

AuditOutcome purge_audit_outcome(platform::PurgeKind kind) {
    if (kind == platform::PurgeKind::Purged) return AuditOutcome::Purged;
    if (kind == platform::PurgeKind::WouldPurge) return AuditOutcome::WouldPurge;
    return AuditOutcome::Failed;
}

PyObject* purge_trash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kPurgeSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto fields = convert_argument((*bound)[0], "cleaner", cleaner_fields);
        if (!fields) return std::unexpected(fields.error());
        auto dry_run = keyword_flag((*bound)[1], "dry_run");
        if (!dry_run) return std::unexpected(dry_run.error());
        const CleanerFields& cleaner = **fields;
        auto log = AuditLog::open(cleaner.audit_dir);
        if (!log) return raise_audit_log_error(cleaner.audit_dir, log.error());
        ::tzset();
        std::vector<platform::PurgeOutcome> outcomes;
        std::optional<AuditOpenError> unreadable;
        {
            // Reading a long log and emptying folders both take their time.
            GilRelease released;
            auto records = AuditLog::read_all(cleaner.audit_dir);
            if (!records) unreadable = records.error();
            const auto candidates = records ? platform::purge_candidates(*records, cleaner.policy.scan_root())
                                            : std::vector<platform::PurgeCandidate>();
            platform::TrashSession session(::geteuid(), cleaner.policy.home_trash());
            const std::string scan_root = lossy_utf8(cleaner.policy.scan_root());
            const auto record = [&](const platform::PurgeOutcome& outcome) {
                const std::string in_trash =
                    paths::join(paths::join(outcome.trash_dir, "files"), outcome.name);
                AuditRecord line{
                    .unix_time = unix_time_now(),
                    .user = log->user(),
                    .scan_root = scan_root,
                    .requested = lossy_utf8(outcome.original),
                    .resolved = lossy_utf8(in_trash),
                    .outcome = purge_audit_outcome(outcome.kind),
                    .detail = outcome.failure ? std::optional(outcome.failure->text) : std::nullopt,
                    .extra = {}};
                add_raw_field(line, "requested", outcome.original);
                add_raw_field(line, "resolved", in_trash);
                add_path_field(line, "trash_dir", outcome.trash_dir);
                add_path_field(line, "trash_name", outcome.name);
                return log->append(line);
            };
            if (records) outcomes = platform::purge_trash(candidates, session, *dry_run, record);
        }
        if (unreadable) return raise_audit_log_error(cleaner.audit_dir, *unreadable);
        std::vector<Ref> items;
        for (const auto& outcome : outcomes) {
            auto item = make_purge_outcome(outcome);
            if (!item) return item;
            items.push_back(std::move(*item));
        }
        return to_list(items);
    });
}

PyMethodDef purge_trash_definition = {
    "purge_trash",
    as_cfunction(purge_trash),
    METH_FASTCALL | METH_KEYWORDS,
    "purge_trash(cleaner, *, dry_run=False)\n--\n\n"
    "Removes for good, from the trash, what this tool moved there from inside\n"
    "the cleaner's scan root: the items whose record in the cleaner's audit\n"
    "log and whose trash info file agree on the original path and the time;\n"
    "nothing else in the trash. One PurgeOutcome per item found, each also\n"
    "recorded in the audit log (\"purged\", \"would-purge\" or \"failed\").\n"
    "Raises AuditLogError when the audit log cannot be opened or read.",
};

}  // namespace

PyResult<int> add_cleaner_api(PyObject* module) {
    for (PyMethodDef* definition : {&trash_outcomes_definition, &purge_trash_definition}) {
        if (auto added = add_function(module, definition); !added) return added;
    }
    auto trash_outcome = record_class(trash_outcome_type, kTrashOutcomeSpec);
    auto purge_outcome = record_class(purge_outcome_type, kPurgeOutcomeSpec);
    if (!trash_outcome || !purge_outcome) return raised();
    PyObject* error = audit_log_error_class();
    if (!error) return raised();
    const std::pair<std::string_view, PyObject*> classes[] = {
        {"TrashOutcome", reinterpret_cast<PyObject*>(*trash_outcome)},
        {"PurgeOutcome", reinterpret_cast<PyObject*>(*purge_outcome)},
        {"AuditLogError", error},
    };
    for (const auto& [name, cls] : classes) {
        if (auto added = module_add(module, name, cls); !added) return added;
    }
    return 0;
}

}  // namespace orvalnest::py
