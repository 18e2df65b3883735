// The walk with the lock released, its polls, and the result objects.
#include "scan_run.hpp"

#include <chrono>

#include "gil.hpp"
#include "orvalnest/text.hpp"
#include "scan_types.hpp"

namespace orvalnest::py {
namespace {

// Paths reach Python as lossy text. Nearly every path is valid UTF-8 already,
// so the objects adopt the walk's buffers and shared directory paths as they
// are; only invalid ones are copied.
class TreeBuilder {
public:
    explicit TreeBuilder(PyTypeObject* node_class) : node_class_(node_class) {}

    // `directory_text`: the lossy text of the record's directory path.
    PyResult<Ref> build(NodeRecord& record, const SharedPathRef& directory_text) {
        // The root's tail is its whole path, a child's its name: either way
        // category_of finds the final component without the full path being built.
        const Category category = category_of(record.tail(), record.is_dir);

        auto children = ChildArray::with_capacity(static_cast<std::uint32_t>(record.children.size()));
        if (!record.children.empty()) {
            const SharedPathRef& own_path = record.children.front().directory;  // shared by all of them
            const SharedPathRef own_text = is_valid_utf8(own_path.text())
                                               ? own_path
                                               : SharedPathRef::concat({lossy_utf8(own_path.text())});
            for (NodeRecord& child : record.children) {
                auto built = build(child, own_text);
                if (!built) return built;
                children.push(std::move(*built));
            }
            std::vector<NodeRecord>().swap(record.children);  // the records go as their objects arrive
        }

        NodeObject::Fields fields{
            .directory = directory_text,
            .tail = nullptr,
            .children = std::move(children),
            .size = record.size,
            .disk_usage = record.disk_usage,
            .tail_size = 0,
            .is_dir = record.is_dir,
            .category = category,
            .is_symlink = record.is_symlink,
            .is_hardlink = record.is_hardlink,
        };
        if (is_valid_utf8(record.tail())) {
            fields.tail_size = record.tail_size;
            fields.tail = std::move(record.tail_data);
        } else {
            const std::string text = lossy_utf8(record.tail());
            fields.tail_size = static_cast<std::uint32_t>(text.size());
            fields.tail = copy_bytes(text);
        }
        return make_instance<NodeObject>(node_class_, std::move(fields));
    }

private:
    PyTypeObject* node_class_;
};

PyResult<Ref> build_result(WalkOutcome& outcome) {
    auto node_cls = node_class();
    auto issue_cls = scan_issue_class();
    auto result_cls = scan_result_class();
    if (!node_cls) return std::unexpected(node_cls.error());
    if (!issue_cls) return std::unexpected(issue_cls.error());
    if (!result_cls) return std::unexpected(result_cls.error());

    std::vector<Ref> issues;
    issues.reserve(outcome.issues.size());
    for (IssueRecord& record : outcome.issues) {
        auto issue = make_instance<ScanIssueObject>(
            *issue_cls, ScanIssueObject::Fields{lossy_utf8(record.path), std::move(record.message)});
        if (!issue) return issue;
        issues.push_back(std::move(*issue));
    }
    auto root = TreeBuilder(*node_cls).build(outcome.root, SharedPathRef());
    if (!root) return root;
    return make_instance<ScanResultObject>(
        *result_cls, ScanResultObject::Fields{std::move(*root), std::move(issues), outcome.excluded});
}

// An exception taken out of the interpreter while the lock is released, and
// put back unchanged once it is held again.
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

// The progress callback runs at most this often, and once more at the end.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

}  // namespace

PyResult<Ref> run_scan(const ScanRequest& request) {
    const auto root = resolve_root(request.path);
    if (!root) return std::unexpected(Error::failure(root.error()));
    // Written and read only on this thread, by the two callbacks and below.
    bool interrupted = false;
    PendingException
        callback_error;  // released only with the lock held (declared outside the released scope)
    // The first poll reports at once, so even a short scan shows where it is.
    auto last_report = std::chrono::steady_clock::now() - kProgressInterval;

    const auto call_progress = [&](const WalkProgress& progress, bool done) -> bool {
        auto object = request.make_progress(progress, done);
        if (!object) return false;
        Ref returned = Ref::steal(PyObject_CallFunctionObjArgs(request.progress, object->get(), nullptr));
        return static_cast<bool>(returned);
    };
    const auto is_cancelled = [&] { return interrupted || static_cast<bool>(callback_error); };
    const auto poll = [&](const WalkProgress& progress) {
        GilAcquire lock;
        if (PyErr_CheckSignals() < 0) {
            // Whatever the handler raised, the scan reports it as an interruption.
            PyErr_Clear();
            interrupted = true;
            return;
        }
        if (!request.progress || callback_error) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_report < kProgressInterval) return;
        last_report = now;
        if (!call_progress(progress, false)) callback_error.fetch();
    };

    WalkOutcome outcome;
    {
        GilRelease released;
        outcome = walk_tree(*root, request.options, is_cancelled, poll);
        // A partial tree is never returned; free it before taking the lock back.
        if (interrupted || callback_error) outcome = WalkOutcome{};
    }
    if (callback_error) {
        callback_error.restore();
        return raised();
    }
    if (interrupted) return failure(ExceptionKind::KeyboardInterrupt, "scan interrupted");
    if (request.progress) {
        const WalkProgress final_progress{outcome.entries, outcome.root.size, outcome.root.disk_usage, *root};
        if (!call_progress(final_progress, true)) return raised();
    }
    return build_result(outcome);
}

}  // namespace orvalnest::py
