// The walk with the lock released, its polls, and the result objects.
#include "scan_run.hpp"

#include <chrono>

#include "gil.hpp"
#include "orvalnest/text.hpp"
#include "pending_exception.hpp"
#include "scan_types.hpp"

namespace orvalnest::py {
namespace {

// What a Node holds besides numbers: its name as lossy text in a block of
// its own, and for a directory the lossy text of its path, which its
// children share. Made with the lock released, so the part of scan() that
// holds it only makes the objects.
struct NodeText {
    PathBytes tail;  // the name; the root's whole path
    std::uint32_t tail_size = 0;
    SharedPathRef own;  // a directory's path, when it has children
};

std::vector<NodeText> node_texts(const Tree& tree) {
    std::vector<NodeText> texts(tree.size());
    std::vector<EntryIndex> stack{0};
    while (!stack.empty()) {
        const EntryIndex entry = stack.back();
        stack.pop_back();
        const std::string_view bytes = entry == 0 ? std::string_view(tree.root_path()) : tree.name(entry);
        // Nearly every name is valid UTF-8 already: only the others are decoded.
        std::string decoded;
        if (!is_valid_utf8(bytes)) decoded = lossy_utf8(bytes);
        const std::string_view tail = decoded.empty() ? bytes : std::string_view(decoded);
        NodeText& text = texts[entry];
        text.tail = copy_bytes(tail);
        text.tail_size = static_cast<std::uint32_t>(tail.size());
        const ChildRange range = tree.children(entry);
        if (range.count == 0) continue;
        if (entry == 0) {
            text.own = SharedPathRef::concat({tail});
        } else {
            const std::string_view base = texts[tree.parent(entry)].own.text();
            text.own = SharedPathRef::concat({base, base.ends_with('/') ? "" : "/", tail});
        }
        for (EntryIndex child = range.first; child < range.first + range.count; ++child)
            stack.push_back(child);
    }
    return texts;
}

class NodeBuilder {
public:
    NodeBuilder(const Tree& tree, std::vector<NodeText>& texts, PyTypeObject* node_class)
        : tree_(tree), texts_(texts), node_class_(node_class) {}

    // `directory_text`: the lossy text of the entry's directory path (none for the root).
    PyResult<Ref> build(EntryIndex entry, const SharedPathRef& directory_text) {
        NodeText& text = texts_[entry];
        const ChildRange range = tree_.children(entry);
        auto children = ChildArray::with_capacity(range.count);
        for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
            auto built = build(child, text.own);
            if (!built) return built;
            children.push(std::move(*built));
        }
        return make_instance<NodeObject>(node_class_,
                                         NodeObject::Fields{
                                             .directory = directory_text,
                                             .tail = std::move(text.tail),
                                             .children = std::move(children),
                                             .size = tree_.size(entry),
                                             .disk_usage = tree_.disk_usage(entry),
                                             .tail_size = text.tail_size,
                                             .is_dir = tree_.is_dir(entry),
                                             .category = tree_.category(entry),
                                             .is_symlink = tree_.has(entry, entry_flag::Symlink),
                                             .is_hardlink = tree_.has(entry, entry_flag::Hardlink),
                                         });
    }

private:
    const Tree& tree_;
    std::vector<NodeText>& texts_;
    PyTypeObject* node_class_;
};

PyResult<Ref> build_result(const Tree& tree, std::vector<NodeText>& texts) {
    auto node_cls = node_class();
    auto issue_cls = scan_issue_class();
    auto result_cls = scan_result_class();
    if (!node_cls) return std::unexpected(node_cls.error());
    if (!issue_cls) return std::unexpected(issue_cls.error());
    if (!result_cls) return std::unexpected(result_cls.error());

    std::vector<Ref> issues;
    issues.reserve(tree.issues().size());
    for (const TreeIssue& record : tree.issues()) {
        auto issue = make_instance<ScanIssueObject>(
            *issue_cls, ScanIssueObject::Fields{lossy_utf8(record.path), record.message});
        if (!issue) return issue;
        issues.push_back(std::move(*issue));
    }
    auto root = NodeBuilder(tree, texts, *node_cls).build(0, SharedPathRef());
    if (!root) return root;
    return make_instance<ScanResultObject>(
        *result_cls, ScanResultObject::Fields{std::move(*root), std::move(issues), tree.excluded()});
}

// The progress callback runs at most this often, and once more at the end.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

}  // namespace

PyResult<std::unique_ptr<Tree>> run_walk(const ScanRequest& request) {
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

    std::unique_ptr<Tree> tree;
    {
        GilRelease released;
        tree = walk_tree(*root, request.options, is_cancelled, poll);
        // A partial tree is never returned; free it before taking the lock back.
        if (interrupted || callback_error) {
            tree.reset();
        } else if (request.prepare) {
            request.prepare(*tree);
        }
    }
    if (callback_error) {
        callback_error.restore();
        return raised();
    }
    if (interrupted) return failure(ExceptionKind::KeyboardInterrupt, "scan interrupted");
    if (request.progress) {
        const WalkProgress final_progress{tree->examined(), tree->size(0), tree->disk_usage(0), *root};
        if (!call_progress(final_progress, true)) return raised();
    }
    return tree;
}

PyResult<Ref> run_scan(ScanRequest request) {
    request.options.order = TreeOrder::ApparentSize;
    request.options.max_depth = MAX_DEPTH;
    std::vector<NodeText> texts;
    request.prepare = [&](const Tree& tree) { texts = node_texts(tree); };
    auto tree = run_walk(request);
    if (!tree) return std::unexpected(tree.error());
    return build_result(**tree, texts);
}

}  // namespace orvalnest::py
