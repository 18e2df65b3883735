// scan(path): checks the root with the lock held, walks without it, then makes
// the Python objects in one pass, releasing each walked record as it goes.

#include "entry_points.hpp"
#include "gil.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/text.hpp"
#include "scan_types.hpp"

namespace orvalnest::py {
namespace {

constexpr std::string_view kParameters[] = {"path"};
constexpr ArgumentSpec kSpec{"scan", "", kParameters, 1, {}};

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
            .tail_size = 0,
            .is_dir = record.is_dir,
            .category = category,
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
    return make_instance<ScanResultObject>(*result_cls,
                                           ScanResultObject::Fields{std::move(*root), std::move(issues)});
}

PyObject* scan_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto path = convert_argument((*bound)[0], "path", extract_path);
        if (!path) return std::unexpected(path.error());
        auto root = resolve_root(*path);
        if (!root) return std::unexpected(Error::failure(std::move(root.error())));

        // Written and read only on this thread, by the two callbacks and below.
        bool interrupted = false;
        const auto is_cancelled = [&] { return interrupted; };
        const auto poll_signals = [&] {
            GilAcquire lock;
            if (PyErr_CheckSignals() < 0) {
                // Whatever the handler raised, the scan reports it as an interruption.
                PyErr_Clear();
                interrupted = true;
            }
        };
        WalkOutcome outcome;
        {
            GilRelease released;
            outcome = walk_tree(*root, is_cancelled, poll_signals);
            // A partial tree is never returned; free it before taking the lock back.
            if (interrupted) outcome = WalkOutcome{};
        }
        if (interrupted) return failure(ExceptionKind::KeyboardInterrupt, "scan interrupted");
        return build_result(outcome);
    });
}

PyMethodDef definition = {
    "scan",
    as_cfunction(scan_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "scan(path)\n--\n\nRecursively scans `path` and returns a size-sorted tree.\n\n"
    "Symlinks and Windows junctions are never followed (they appear as\n"
    "zero-size entries), Linux pseudo-filesystems such as /proc are skipped,\n"
    "and unreadable paths are reported in `issues` instead of raising.\n"
    "Releases the GIL while scanning; Ctrl+C raises KeyboardInterrupt.",
};

}  // namespace

PyMethodDef* scan_definition() { return &definition; }

}  // namespace orvalnest::py
