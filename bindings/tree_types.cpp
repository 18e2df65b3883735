// The tree's Python classes. Immutable like the scan's: getters without
// setters; an Entry, a Children view and a TreeIssue each hold a reference to
// their Tree, which never refers back, so no cycle can form.
#include "tree_types.hpp"

#include <algorithm>
#include <functional>
#include <numeric>
#include <queue>
#include <string_view>

#include "classes.hpp"
#include "orvalnest/entry_order.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest::py {
namespace {

struct EntryObject {
    PyObject ob_base;
    struct Fields {
        Ref tree;
        EntryIndex index = 0;
    } fields;
};

struct ChildrenObject {
    PyObject ob_base;
    struct Fields {
        Ref tree;
        EntryIndex first = 0;
        std::uint32_t count = 0;
    } fields;
};

struct TreeIssueObject {
    PyObject ob_base;
    struct Fields {
        Ref tree;
        std::uint32_t issue = 0;
    } fields;
};

}  // namespace

TreeObject::Fields& tree_fields(PyObject* tree) { return as<TreeObject>(tree)->fields; }
const Tree& native(PyObject* tree) { return *tree_fields(tree).tree; }

PyResult<Ref> make_entry(PyObject* tree, EntryIndex index) {
    auto cls = entry_class();
    if (!cls) return std::unexpected(cls.error());
    return make_instance<EntryObject>(*cls, EntryObject::Fields{Ref::borrow(tree), index});
}

namespace {

PyResult<Ref> make_children(PyObject* tree, ChildRange range) {
    auto cls = children_class();
    if (!cls) return std::unexpected(cls.error());
    return make_instance<ChildrenObject>(*cls,
                                         ChildrenObject::Fields{Ref::borrow(tree), range.first, range.count});
}

}  // namespace

PyResult<Ref> entry_list(PyObject* tree, const std::vector<EntryIndex>& entries) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!list) return raised();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto entry = make_entry(tree, entries[i]);
        if (!entry) return entry;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry->release());
    }
    return list;
}

std::optional<EntryView> entry_view(PyObject* object) {
    auto cls = entry_class();
    if (!cls || Py_TYPE(object) != *cls) return std::nullopt;
    const auto& fields = as<EntryObject>(object)->fields;
    return EntryView{fields.tree.get(), fields.index};
}

namespace {

PyResult<Ref> to_bytes(std::string_view bytes) {
    Ref object = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!object) return raised();
    return object;
}

PyResult<Ref> to_signed(std::int64_t value) {
    Ref object = Ref::steal(PyLong_FromLongLong(value));
    if (!object) return raised();
    return object;
}

Ref none() { return Ref::borrow(Py_None); }

PyResult<std::string_view> extract_text(PyObject* object) {
    if (!PyUnicode_Check(object)) return type_mismatch(object, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (!text) return raised();
    return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace

// ---- what entries can be ordered by ----

PyResult<SortKey> extract_sort_key(PyObject* object) {
    auto text = extract_text(object);
    if (!text) return std::unexpected(text.error());
    if (const auto key = sort_key_named(*text)) return *key;
    return failure(ExceptionKind::ValueError,
                   "unknown key '" + std::string(*text) +
                       "': expected disk_usage, apparent_size, size, mtime, entries or name");
}

namespace {

// ---- Entry ----

const EntryObject::Fields& entry(PyObject* self) { return as<EntryObject>(self)->fields; }

template <typename Read>
PyObject* read_entry(PyObject* self, Read&& read) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const auto& fields = entry(self);
        return read(native(fields.tree.get()), fields.index, fields.tree.get());
    });
}

#define ORVALNEST_ENTRY_GETTER(name, ...)                                                                  \
    PyObject* entry_##name(PyObject* self, void*) noexcept {                                               \
        return read_entry(self, [](const Tree& tree, EntryIndex index, PyObject* owner) -> PyResult<Ref> { \
            (void)tree, (void)index, (void)owner;                                                          \
            __VA_ARGS__                                                                                    \
        });                                                                                                \
    }

ORVALNEST_ENTRY_GETTER(index, return to_int(index);)
ORVALNEST_ENTRY_GETTER(name, return to_str(lossy_utf8(tree.name(index)));)
ORVALNEST_ENTRY_GETTER(name_bytes, return to_bytes(tree.name(index));)
ORVALNEST_ENTRY_GETTER(path, return to_str(lossy_utf8(tree.path(index)));)
ORVALNEST_ENTRY_GETTER(path_bytes, return to_bytes(tree.path(index));)
ORVALNEST_ENTRY_GETTER(size, return to_int(tree.size(index));)
ORVALNEST_ENTRY_GETTER(disk_usage, return to_int(tree.disk_usage(index));)
ORVALNEST_ENTRY_GETTER(apparent_size, return to_int(tree.apparent_size(index));)
ORVALNEST_ENTRY_GETTER(mtime, return to_signed(tree.mtime(index));)
ORVALNEST_ENTRY_GETTER(newest_mtime, return to_signed(tree.newest_mtime(index));)
ORVALNEST_ENTRY_GETTER(entries_below, return to_int(tree.entries_below(index));)
ORVALNEST_ENTRY_GETTER(category, return to_str(category_text(tree.category(index)));)
ORVALNEST_ENTRY_GETTER(is_dir, return to_bool(tree.is_dir(index));)
ORVALNEST_ENTRY_GETTER(is_symlink, return to_bool(tree.has(index, entry_flag::Symlink));)
ORVALNEST_ENTRY_GETTER(is_hardlink, return to_bool(tree.has(index, entry_flag::Hardlink));)
ORVALNEST_ENTRY_GETTER(counted,
                       return to_bool(tree.is_dir(index) || tree.has(index, entry_flag::CountedLink));)
ORVALNEST_ENTRY_GETTER(unreadable, return to_bool(tree.has(index, entry_flag::Unreadable));)
ORVALNEST_ENTRY_GETTER(skipped, return to_bool(tree.has(index, entry_flag::Skipped));)
ORVALNEST_ENTRY_GETTER(incomplete, return to_bool(tree.has(index, entry_flag::Incomplete));)
ORVALNEST_ENTRY_GETTER(tree, return Ref::borrow(owner);)
ORVALNEST_ENTRY_GETTER(parent, return index == 0 ? none() : make_entry(owner, tree.parent(index));)
ORVALNEST_ENTRY_GETTER(children, {
    ++tree_fields(owner).children_reads;
    return make_children(owner, tree.children(index));
})

#undef ORVALNEST_ENTRY_GETTER

constexpr std::string_view kSortedParameters[] = {"key"};
constexpr KeywordOnly kSortedKeywords[] = {{"reverse", false}};
constexpr ArgumentSpec kSortedSpec{"sorted_children", "Entry", kSortedParameters, 0, kSortedKeywords};

PyObject* entry_sorted_children(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kSortedSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        SortKey key = SortKey::DiskUsage;
        if (PyObject* given = (*bound)[0]) {
            auto parsed = convert_argument(given, "key", extract_sort_key);
            if (!parsed) return std::unexpected(parsed.error());
            key = *parsed;
        }
        bool reverse = false;
        if (PyObject* given = (*bound)[1]) {
            auto flag = convert_argument(given, "reverse", extract_bool);
            if (!flag) return std::unexpected(flag.error());
            reverse = *flag;
        }
        const auto& fields = entry(self);
        const Tree& tree = native(fields.tree.get());
        const ChildRange range = tree.children(fields.index);
        std::vector<EntryIndex> order(range.count);
        std::iota(order.begin(), order.end(), range.first);
        std::ranges::sort(order, EntryOrder{tree, key, reverse});
        return entry_list(fields.tree.get(), order);
    });
}

PyObject* entry_repr(PyObject* self) noexcept {
    return read_entry(self, [](const Tree& tree, EntryIndex index, PyObject*) {
        return to_str("Entry(path=" + quoted_form(lossy_utf8(tree.path(index))) +
                      ", disk_usage=" + std::to_string(tree.disk_usage(index)) +
                      ", is_dir=" + (tree.is_dir(index) ? "True" : "False") +
                      ", children=" + std::to_string(tree.children(index).count) + ")");
    });
}

PyObject* entry_compare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self))
            return Ref::borrow(Py_NotImplemented);
        const auto &a = entry(self), &b = entry(other);
        const bool same = a.tree.get() == b.tree.get() && a.index == b.index;
        return to_bool(same == (op == Py_EQ));
    });
}

Py_hash_t entry_hash(PyObject* self) noexcept {
    const auto& fields = entry(self);
    const auto mixed =
        reinterpret_cast<std::uintptr_t>(fields.tree.get()) * 0x9E3779B97F4A7C15ULL ^ fields.index;
    const auto hash = static_cast<Py_hash_t>(mixed >> 1);
    return hash == -1 ? -2 : hash;
}

PyGetSetDef entry_getset[] = {
    {"index", entry_index, nullptr, nullptr, nullptr},
    {"name", entry_name, nullptr, nullptr, nullptr},
    {"name_bytes", entry_name_bytes, nullptr, nullptr, nullptr},
    {"path", entry_path, nullptr, nullptr, nullptr},
    {"path_bytes", entry_path_bytes, nullptr, nullptr, nullptr},
    {"size", entry_size, nullptr, nullptr, nullptr},
    {"disk_usage", entry_disk_usage, nullptr, nullptr, nullptr},
    {"apparent_size", entry_apparent_size, nullptr, nullptr, nullptr},
    {"mtime", entry_mtime, nullptr, nullptr, nullptr},
    {"newest_mtime", entry_newest_mtime, nullptr, nullptr, nullptr},
    {"entries_below", entry_entries_below, nullptr, nullptr, nullptr},
    {"category", entry_category, nullptr, nullptr, nullptr},
    {"is_dir", entry_is_dir, nullptr, nullptr, nullptr},
    {"is_symlink", entry_is_symlink, nullptr, nullptr, nullptr},
    {"is_hardlink", entry_is_hardlink, nullptr, nullptr, nullptr},
    {"counted", entry_counted, nullptr, nullptr, nullptr},
    {"unreadable", entry_unreadable, nullptr, nullptr, nullptr},
    {"skipped", entry_skipped, nullptr, nullptr, nullptr},
    {"incomplete", entry_incomplete, nullptr, nullptr, nullptr},
    {"parent", entry_parent, nullptr, nullptr, nullptr},
    {"children", entry_children, nullptr, nullptr, nullptr},
    {"tree", entry_tree, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef entry_methods[] = {
    {"sorted_children", as_cfunction(entry_sorted_children), METH_FASTCALL | METH_KEYWORDS,
     "sorted_children($self, key='disk_usage', *, reverse=False)\n--\n\n"
     "The children as a new list ordered by `key` (disk_usage, apparent_size,\n"
     "size, mtime, entries or name): largest, newest or A first, `reverse`\n"
     "flips it; equal values by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_doc, const_cast<char*>("One entry of a Tree: a light view made on demand (the tree and an entry\n"
                                  "number). Equal to another view of the same entry of the same tree.")},
    {Py_tp_getset, entry_getset},
    {Py_tp_methods, entry_methods},
    {Py_tp_repr, as_slot(entry_repr)},
    {Py_tp_richcompare, as_slot(entry_compare)},
    {Py_tp_hash, as_slot(entry_hash)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<EntryObject>)},
    {0, nullptr},
};
PyType_Spec entry_spec = {"orvalnest._engine.Entry", sizeof(EntryObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, entry_slots};

// ---- Children ----

const ChildrenObject::Fields& children(PyObject* self) { return as<ChildrenObject>(self)->fields; }

Py_ssize_t children_length(PyObject* self) noexcept { return children(self).count; }

PyObject* children_item(PyObject* self, Py_ssize_t position) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const auto& fields = children(self);
        if (position < 0 || position >= static_cast<Py_ssize_t>(fields.count)) {
            PyErr_SetString(PyExc_IndexError, "Children index out of range");
            return raised();
        }
        return make_entry(fields.tree.get(), fields.first + static_cast<EntryIndex>(position));
    });
}

// An index, or a slice: a plain one gives a view of that range, one with a
// step a new list.
PyObject* children_subscript(PyObject* self, PyObject* key) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const auto& fields = children(self);
        if (!PySlice_Check(key)) {
            const Py_ssize_t position = PyNumber_AsSsize_t(key, PyExc_IndexError);
            if (position == -1 && PyErr_Occurred()) return raised();
            const Py_ssize_t count = fields.count;
            Ref item = Ref::steal(children_item(self, position < 0 ? position + count : position));
            if (!item) return raised();
            return item;
        }
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key, &start, &stop, &step) < 0) return raised();
        const Py_ssize_t length = PySlice_AdjustIndices(fields.count, &start, &stop, step);
        if (step == 1) {
            return make_children(fields.tree.get(), {fields.first + static_cast<EntryIndex>(start),
                                                     static_cast<std::uint32_t>(length)});
        }
        std::vector<EntryIndex> picked;
        for (Py_ssize_t i = 0, at = start; i < length; ++i, at += step)
            picked.push_back(fields.first + static_cast<EntryIndex>(at));
        return entry_list(fields.tree.get(), picked);
    });
}

PyObject* children_repr(PyObject* self) noexcept {
    return guarded_entry([&] { return to_str("Children(" + std::to_string(children(self).count) + ")"); });
}

PyType_Slot children_slots[] = {
    {Py_tp_doc, const_cast<char*>("The children of an Entry, in the tree's order: a read-only sequence view\n"
                                  "whose items are made as they are read.")},
    {Py_sq_length, as_slot(children_length)},
    {Py_sq_item, as_slot(children_item)},
    {Py_mp_length, as_slot(children_length)},
    {Py_mp_subscript, as_slot(children_subscript)},
    {Py_tp_repr, as_slot(children_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<ChildrenObject>)},
    {0, nullptr},
};
PyType_Spec children_spec = {"orvalnest._engine.Children", sizeof(ChildrenObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, children_slots};

// ---- TreeIssue ----

const TreeIssue& issue(PyObject* self) {
    const auto& fields = as<TreeIssueObject>(self)->fields;
    return native(fields.tree.get()).issues()[fields.issue];
}

PyObject* issue_path(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(lossy_utf8(issue(self).path)); });
}
PyObject* issue_path_bytes(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_bytes(issue(self).path); });
}
PyObject* issue_message(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(issue(self).message); });
}
PyObject* issue_skipped(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(issue(self).skipped); });
}
PyObject* issue_entry(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const EntryIndex index = issue(self).entry;
        if (index == kNoEntry) return none();
        return make_entry(as<TreeIssueObject>(self)->fields.tree.get(), index);
    });
}
PyObject* issue_repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        const TreeIssue& record = issue(self);
        return to_str("TreeIssue(path=" + quoted_form(lossy_utf8(record.path)) +
                      ", message=" + quoted_form(record.message) + ")");
    });
}

PyGetSetDef issue_getset[] = {
    {"path", issue_path, nullptr, nullptr, nullptr},
    {"path_bytes", issue_path_bytes, nullptr, nullptr, nullptr},
    {"message", issue_message, nullptr, nullptr, nullptr},
    {"skipped", issue_skipped, nullptr, nullptr, nullptr},
    {"entry", issue_entry, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_issue_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A path the scan could not count in full: unreadable, or skipped on purpose.")},
    {Py_tp_getset, issue_getset},
    {Py_tp_repr, as_slot(issue_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<TreeIssueObject>)},
    {0, nullptr},
};
PyType_Spec tree_issue_spec = {"orvalnest._engine.TreeIssue", sizeof(TreeIssueObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, tree_issue_slots};

// ---- Tree ----

template <typename Read>
PyObject* read_tree(PyObject* self, Read&& read) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return read(tree_fields(self), native(self)); });
}

#define ORVALNEST_TREE_GETTER(name, ...)                                                                  \
    PyObject* tree_##name(PyObject* self, void*) noexcept {                                               \
        return read_tree(self, [&](const TreeObject::Fields& fields, const Tree& tree) -> PyResult<Ref> { \
            (void)fields, (void)tree;                                                                     \
            __VA_ARGS__                                                                                   \
        });                                                                                               \
    }

ORVALNEST_TREE_GETTER(root, return make_entry(self, 0);)
ORVALNEST_TREE_GETTER(path, return to_str(lossy_utf8(tree.root_path()));)
ORVALNEST_TREE_GETTER(path_bytes, return to_bytes(tree.root_path());)
ORVALNEST_TREE_GETTER(entries, return to_int(tree.size());)
ORVALNEST_TREE_GETTER(files, return to_int(tree.files());)
ORVALNEST_TREE_GETTER(directories, return to_int(tree.directories());)
ORVALNEST_TREE_GETTER(excluded, return to_int(tree.excluded());)
ORVALNEST_TREE_GETTER(timestamp, return to_signed(fields.timestamp);)
ORVALNEST_TREE_GETTER(one_filesystem, return to_bool(fields.one_filesystem);)
ORVALNEST_TREE_GETTER(threads, return to_int(fields.threads);)
ORVALNEST_TREE_GETTER(children_reads, return to_int(fields.children_reads);)
ORVALNEST_TREE_GETTER(source, return to_str(source_text(fields.source));)
ORVALNEST_TREE_GETTER(opened_from,
                      return fields.opened_from.empty() ? none() : path_to_str(fields.opened_from);)
ORVALNEST_TREE_GETTER(exclude, {
    std::vector<Ref> patterns;
    for (const auto& pattern : fields.exclude) {
        auto text = path_to_str(pattern);
        if (!text) return text;
        patterns.push_back(std::move(*text));
    }
    return to_tuple(patterns);
})
ORVALNEST_TREE_GETTER(issues, {
    auto cls = tree_issue_class();
    if (!cls) return std::unexpected(cls.error());
    std::vector<Ref> issues;
    for (std::uint32_t i = 0; i < tree.issues().size(); ++i) {
        auto made = make_instance<TreeIssueObject>(*cls, TreeIssueObject::Fields{Ref::borrow(self), i});
        if (!made) return made;
        issues.push_back(std::move(*made));
    }
    return to_list(issues);
})

#undef ORVALNEST_TREE_GETTER

PyObject* tree_entry(PyObject* self, PyObject* argument) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto index = convert_argument(argument, "index", extract_u64);
        if (!index) return std::unexpected(index.error());
        if (*index >= native(self).size()) {
            PyErr_SetString(PyExc_IndexError, "no entry of that number in this tree");
            return raised();
        }
        return make_entry(self, static_cast<EntryIndex>(*index));
    });
}

constexpr std::string_view kLargestParameters[] = {"count", "key"};
constexpr ArgumentSpec kLargestSpec{"largest_files", "Tree", kLargestParameters, 1, {}};

// The `count` largest non-directories of the whole tree, by one pass keeping a
// heap of that many.
PyObject* tree_largest_files(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kLargestSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto count = convert_argument((*bound)[0], "count", extract_u64);
        if (!count) return std::unexpected(count.error());
        SortKey key = SortKey::DiskUsage;
        if (PyObject* given = (*bound)[1]) {
            auto parsed = convert_argument(given, "key", extract_sort_key);
            if (!parsed) return std::unexpected(parsed.error());
            key = *parsed;
        }
        const Tree& tree = native(self);
        const EntryOrder before{tree, key, false};
        std::priority_queue<EntryIndex, std::vector<EntryIndex>, EntryOrder> kept(before);  // worst on top
        if (*count > 0) {
            for (EntryIndex entry = 0; entry < tree.size(); ++entry) {
                if (tree.is_dir(entry)) continue;
                if (kept.size() < *count) {
                    kept.push(entry);
                } else if (before(entry, kept.top())) {
                    kept.pop();
                    kept.push(entry);
                }
            }
        }
        std::vector<EntryIndex> largest;
        for (; !kept.empty(); kept.pop()) largest.push_back(kept.top());
        std::ranges::reverse(largest);
        return entry_list(self, largest);
    });
}

Py_ssize_t tree_length(PyObject* self) noexcept { return native(self).size(); }

PyObject* tree_repr(PyObject* self) noexcept {
    return read_tree(self, [](const TreeObject::Fields&, const Tree& tree) {
        return to_str("Tree(path=" + quoted_form(lossy_utf8(tree.root_path())) + ", entries=" +
                      std::to_string(tree.size()) + ", disk_usage=" + std::to_string(tree.disk_usage(0)) +
                      ", issues=" + std::to_string(tree.issues().size()) + ")");
    });
}

PyGetSetDef tree_getset[] = {
    {"root", tree_root, nullptr, nullptr, nullptr},
    {"path", tree_path, nullptr, nullptr, nullptr},
    {"path_bytes", tree_path_bytes, nullptr, nullptr, nullptr},
    {"issues", tree_issues, nullptr, nullptr, nullptr},
    {"excluded", tree_excluded, nullptr, nullptr, nullptr},
    {"entries", tree_entries, nullptr, nullptr, nullptr},
    {"files", tree_files, nullptr, nullptr, nullptr},
    {"directories", tree_directories, nullptr, nullptr, nullptr},
    {"timestamp", tree_timestamp, nullptr, nullptr, nullptr},
    {"one_filesystem", tree_one_filesystem, nullptr, nullptr, nullptr},
    {"exclude", tree_exclude, nullptr, nullptr, nullptr},
    {"threads", tree_threads, nullptr, nullptr, nullptr},
    {"children_reads", tree_children_reads, nullptr, nullptr, nullptr},
    {"source", tree_source, nullptr, nullptr, nullptr},
    {"opened_from", tree_opened_from, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef tree_methods[] = {
    {"entry", tree_entry, METH_O, "entry($self, index, /)\n--\n\nThe entry of that number (the root is 0)."},
    {"save", tree_save, METH_O,
     "save($self, file, /)\n--\n\nWrites the tree in the saved-scan format to `file` (a descriptor or an\n"
     "object with fileno()) from its position; orvalnest.save_scan replaces a\nfile by name atomically."},
    {"largest_files", as_cfunction(tree_largest_files), METH_FASTCALL | METH_KEYWORDS,
     "largest_files($self, count, key='disk_usage')\n--\n\n"
     "The `count` largest entries that are not directories, largest first\n"
     "(equal values by name), by disk_usage, apparent_size, size or mtime."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>("A scanned folder tree, kept in native memory in compact form; `root` and\n"
                                  "every Entry are views made on demand. len() is the number of entries.")},
    {Py_tp_getset, tree_getset},
    {Py_tp_methods, tree_methods},
    {Py_mp_length, as_slot(tree_length)},
    {Py_tp_repr, as_slot(tree_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<TreeObject>)},
    {0, nullptr},
};
PyType_Spec tree_spec = {"orvalnest._engine.Tree", sizeof(TreeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, tree_slots};

PyTypeObject* tree_type = nullptr;
PyTypeObject* entry_type = nullptr;
PyTypeObject* children_type = nullptr;
PyTypeObject* tree_issue_type = nullptr;

}  // namespace

PyResult<PyTypeObject*> tree_class() { return class_object(tree_type, tree_spec); }
PyResult<PyTypeObject*> entry_class() { return class_object(entry_type, entry_spec); }
PyResult<PyTypeObject*> children_class() { return class_object(children_type, children_spec); }
PyResult<PyTypeObject*> tree_issue_class() { return class_object(tree_issue_type, tree_issue_spec); }

}  // namespace orvalnest::py
