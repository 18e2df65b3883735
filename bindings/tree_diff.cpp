// compare(), Comparison and Change: two trees matched by path, and light views
// of what changed, made on demand like an Entry. A Comparison holds both
// trees; a Change holds its Comparison; nothing refers back.
#include <memory>

#include "classes.hpp"
#include "engine_api.hpp"
#include "gil.hpp"
#include "module_support.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/tree_diff.hpp"
#include "tree_types.hpp"

namespace orvalnest::py {
namespace {

struct ComparisonObject {
    PyObject ob_base;
    struct Fields {
        Ref old_tree, new_tree;
        std::unique_ptr<TreeDiff> diff;
    } fields;
};

struct ChangeObject {
    PyObject ob_base;
    struct Fields {
        Ref comparison;
        TreeDiff::Pair pair;
    } fields;
};

PyTypeObject* comparison_type = nullptr;
PyTypeObject* change_type = nullptr;
PyResult<PyTypeObject*> comparison_class();
PyResult<PyTypeObject*> change_class();

const ComparisonObject::Fields& comparison(PyObject* self) { return as<ComparisonObject>(self)->fields; }
const ChangeObject::Fields& change(PyObject* self) { return as<ChangeObject>(self)->fields; }

PyResult<Ref> make_change(PyObject* owner, TreeDiff::Pair pair) {
    auto cls = change_class();
    if (!cls) return std::unexpected(cls.error());
    return make_instance<ChangeObject>(*cls, ChangeObject::Fields{Ref::borrow(owner), pair});
}

PyResult<DiffKey> extract_diff_key(PyObject* object) {
    if (!PyUnicode_Check(object)) return type_mismatch(object, "str");
    const char* text = PyUnicode_AsUTF8AndSize(object, nullptr);
    if (!text) return raised();
    const std::string_view key(text);
    if (key == "disk_usage") return DiffKey::DiskUsage;
    if (key == "apparent_size") return DiffKey::ApparentSize;
    if (key == "size") return DiffKey::Size;
    if (key == "entries") return DiffKey::Entries;
    return failure(ExceptionKind::ValueError, "unknown key '" + std::string(key) +
                                                  "': expected disk_usage, apparent_size, size or entries");
}

PyResult<Ref> to_signed(std::int64_t value) {
    Ref object = Ref::steal(PyLong_FromLongLong(value));
    if (!object) return raised();
    return object;
}

// ---- Change ----

// The side an entry's name and path are read from: the new one when present.
std::pair<const Tree*, EntryIndex> shown_side(const TreeDiff& diff, TreeDiff::Pair pair) {
    if (pair.new_entry != kNoEntry) return {&diff.new_tree(), pair.new_entry};
    return {&diff.old_tree(), pair.old_entry};
}

std::string_view status_of(const TreeDiff& diff, TreeDiff::Pair pair) {
    if (pair.old_entry == kNoEntry) return "appeared";
    if (pair.new_entry == kNoEntry) return "disappeared";
    const std::int64_t delta = diff.delta(pair);
    if (delta > 0) return "grew";
    if (delta < 0) return "shrank";
    return diff.changed(pair) ? "changed" : "unchanged";
}

template <typename Read>
PyObject* read_change(PyObject* self, Read&& read) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const auto& fields = change(self);
        return read(*comparison(fields.comparison.get()).diff, fields.pair, fields.comparison.get());
    });
}

#define ORVALNEST_CHANGE_GETTER(name, ...)                                                                   \
    PyObject* change_##name(PyObject* self, void*) noexcept {                                                \
        return read_change(self,                                                                             \
                           [](const TreeDiff& diff, TreeDiff::Pair pair, PyObject* owner) -> PyResult<Ref> { \
                               (void)diff, (void)pair, (void)owner;                                          \
                               __VA_ARGS__                                                                   \
                           });                                                                               \
    }

ORVALNEST_CHANGE_GETTER(name, {
    const auto [tree, entry] = shown_side(diff, pair);
    return to_str(lossy_utf8(tree->name(entry)));
})
ORVALNEST_CHANGE_GETTER(name_bytes, {
    const auto [tree, entry] = shown_side(diff, pair);
    const auto name = tree->name(entry);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!bytes) return raised();
    return bytes;
})
ORVALNEST_CHANGE_GETTER(path, {
    const auto [tree, entry] = shown_side(diff, pair);
    return to_str(lossy_utf8(tree->path(entry)));
})
ORVALNEST_CHANGE_GETTER(path_bytes, {
    const auto [tree, entry] = shown_side(diff, pair);
    const auto path = tree->path(entry);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!bytes) return raised();
    return bytes;
})
ORVALNEST_CHANGE_GETTER(old, {
    if (pair.old_entry == kNoEntry) return Ref::borrow(Py_None);
    return make_entry(comparison(owner).old_tree.get(), pair.old_entry);
})
ORVALNEST_CHANGE_GETTER(new, {
    if (pair.new_entry == kNoEntry) return Ref::borrow(Py_None);
    return make_entry(comparison(owner).new_tree.get(), pair.new_entry);
})
ORVALNEST_CHANGE_GETTER(status, return to_str(status_of(diff, pair));)
ORVALNEST_CHANGE_GETTER(changed, return to_bool(diff.changed(pair));)
ORVALNEST_CHANGE_GETTER(is_dir, return to_bool(diff.is_dir(pair));)
ORVALNEST_CHANGE_GETTER(disk_usage_delta, return to_signed(diff.delta(pair, DiffKey::DiskUsage));)
ORVALNEST_CHANGE_GETTER(apparent_size_delta, return to_signed(diff.delta(pair, DiffKey::ApparentSize));)
ORVALNEST_CHANGE_GETTER(size_delta, return to_signed(diff.delta(pair, DiffKey::Size));)
ORVALNEST_CHANGE_GETTER(entries_delta, return to_signed(diff.delta(pair, DiffKey::Entries));)
ORVALNEST_CHANGE_GETTER(comparison, return Ref::borrow(owner);)

#undef ORVALNEST_CHANGE_GETTER

PyResult<Ref> change_list(PyObject* owner, const std::vector<TreeDiff::Pair>& pairs) {
    std::vector<Ref> items;
    items.reserve(pairs.size());
    for (const auto pair : pairs) {
        auto made = make_change(owner, pair);
        if (!made) return made;
        items.push_back(std::move(*made));
    }
    return to_list(items);
}

PyObject* change_children(PyObject* self, void*) noexcept {
    return read_change(self, [](const TreeDiff& diff, TreeDiff::Pair pair, PyObject* owner) {
        return change_list(owner, diff.children(pair));
    });
}

constexpr std::string_view kSortedParameters[] = {"key"};
constexpr ArgumentSpec kSortedSpec{"sorted_children", "Change", kSortedParameters, 0, {}};

PyObject* change_sorted_children(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kSortedSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        DiffKey key = DiffKey::DiskUsage;
        if (PyObject* given = (*bound)[0]) {
            auto parsed = convert_argument(given, "key", extract_diff_key);
            if (!parsed) return std::unexpected(parsed.error());
            key = *parsed;
        }
        const auto& fields = change(self);
        const TreeDiff& diff = *comparison(fields.comparison.get()).diff;
        return change_list(fields.comparison.get(), diff.children(fields.pair, key));
    });
}

PyObject* change_repr(PyObject* self) noexcept {
    return read_change(self, [](const TreeDiff& diff, TreeDiff::Pair pair, PyObject*) {
        const auto [tree, entry] = shown_side(diff, pair);
        return to_str("Change(path=" + quoted_form(lossy_utf8(tree->path(entry))) +
                      ", status=" + std::string(status_of(diff, pair)) +
                      ", disk_usage_delta=" + std::to_string(diff.delta(pair)) + ")");
    });
}

PyObject* change_compare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self))
            return Ref::borrow(Py_NotImplemented);
        const auto &a = change(self), &b = change(other);
        const bool same = a.comparison.get() == b.comparison.get() && a.pair == b.pair;
        return to_bool(same == (op == Py_EQ));
    });
}

Py_hash_t change_hash(PyObject* self) noexcept {
    const auto& fields = change(self);
    const auto mixed = reinterpret_cast<std::uintptr_t>(fields.comparison.get()) * 0x9E3779B97F4A7C15ULL ^
                       (std::uint64_t{fields.pair.old_entry} << 32 | fields.pair.new_entry);
    const auto hash = static_cast<Py_hash_t>(mixed >> 1);
    return hash == -1 ? -2 : hash;
}

PyGetSetDef change_getset[] = {
    {"name", change_name, nullptr, nullptr, nullptr},
    {"name_bytes", change_name_bytes, nullptr, nullptr, nullptr},
    {"path", change_path, nullptr, nullptr, nullptr},
    {"path_bytes", change_path_bytes, nullptr, nullptr, nullptr},
    {"old", change_old, nullptr, nullptr, nullptr},
    {"new", change_new, nullptr, nullptr, nullptr},
    {"status", change_status, nullptr, nullptr, nullptr},
    {"changed", change_changed, nullptr, nullptr, nullptr},
    {"is_dir", change_is_dir, nullptr, nullptr, nullptr},
    {"disk_usage_delta", change_disk_usage_delta, nullptr, nullptr, nullptr},
    {"apparent_size_delta", change_apparent_size_delta, nullptr, nullptr, nullptr},
    {"size_delta", change_size_delta, nullptr, nullptr, nullptr},
    {"entries_delta", change_entries_delta, nullptr, nullptr, nullptr},
    {"children", change_children, nullptr, nullptr, nullptr},
    {"comparison", change_comparison, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef change_methods[] = {
    {"sorted_children", as_cfunction(change_sorted_children), METH_FASTCALL | METH_KEYWORDS,
     "sorted_children($self, key='disk_usage')\n--\n\n"
     "What is inside, on either side, largest change by `key` (disk_usage,\n"
     "apparent_size, size or entries) first, then changed before unchanged,\n"
     "then by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot change_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("One path of a Comparison: its entry in the old tree, the new one or both,\n"
                       "and how it changed. A light view made on demand.")},
    {Py_tp_getset, change_getset},
    {Py_tp_methods, change_methods},
    {Py_tp_repr, as_slot(change_repr)},
    {Py_tp_richcompare, as_slot(change_compare)},
    {Py_tp_hash, as_slot(change_hash)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<ChangeObject>)},
    {0, nullptr},
};
PyType_Spec change_spec = {"orvalnest._engine.Change", sizeof(ChangeObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, change_slots};

// ---- Comparison ----

PyObject* comparison_old(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return Ref::borrow(comparison(self).old_tree.get()); });
}
PyObject* comparison_new(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return Ref::borrow(comparison(self).new_tree.get()); });
}
PyObject* comparison_root(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return make_change(self, comparison(self).diff->root()); });
}

PyResult<Ref> amount(const TreeDiff::Amount& amount) {
    auto count = to_int(amount.entries);
    auto bytes = to_int(amount.bytes);
    if (!count || !bytes) return raised();
    const Ref items[] = {std::move(*count), std::move(*bytes)};
    return to_tuple(items);
}

PyObject* comparison_appeared(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return amount(comparison(self).diff->totals().appeared); });
}
PyObject* comparison_disappeared(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return amount(comparison(self).diff->totals().disappeared); });
}
PyObject* comparison_grew(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return amount(comparison(self).diff->totals().grew); });
}
PyObject* comparison_shrank(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return amount(comparison(self).diff->totals().shrank); });
}

// The pair of an Entry of either tree.
PyResult<TreeDiff::Pair> pair_of(PyObject* self, PyObject* object) {
    const auto view = entry_view(object);
    if (!view) return type_mismatch(object, "Entry");
    const auto& fields = comparison(self);
    if (view->tree == fields.new_tree.get()) return fields.diff->pair_of_new(view->index);
    if (view->tree == fields.old_tree.get()) return fields.diff->pair_of_old(view->index);
    return failure(ExceptionKind::ValueError, "the entry belongs to neither tree of this comparison");
}

PyObject* comparison_change(PyObject* self, PyObject* entry) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto pair = convert_argument(entry, "entry", [&](PyObject* object) { return pair_of(self, object); });
        if (!pair) return std::unexpected(pair.error());
        return make_change(self, *pair);
    });
}

constexpr std::string_view kDeltaParameters[] = {"entry", "key"};
constexpr ArgumentSpec kDeltaSpec{"delta", "Comparison", kDeltaParameters, 1, {}};

PyObject* comparison_delta(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kDeltaSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto pair =
            convert_argument((*bound)[0], "entry", [&](PyObject* object) { return pair_of(self, object); });
        if (!pair) return std::unexpected(pair.error());
        DiffKey key = DiffKey::DiskUsage;
        if (PyObject* given = (*bound)[1]) {
            auto parsed = convert_argument(given, "key", extract_diff_key);
            if (!parsed) return std::unexpected(parsed.error());
            key = *parsed;
        }
        return to_signed(comparison(self).diff->delta(*pair, key));
    });
}

PyObject* comparison_repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        const TreeDiff& diff = *comparison(self).diff;
        return to_str("Comparison(old=" + quoted_form(lossy_utf8(diff.old_tree().root_path())) +
                      ", new=" + quoted_form(lossy_utf8(diff.new_tree().root_path())) +
                      ", disk_usage_delta=" + std::to_string(diff.delta(diff.root())) + ")");
    });
}

PyGetSetDef comparison_getset[] = {
    {"old", comparison_old, nullptr, nullptr, nullptr},
    {"new", comparison_new, nullptr, nullptr, nullptr},
    {"root", comparison_root, nullptr, nullptr, nullptr},
    {"appeared", comparison_appeared, nullptr, nullptr, nullptr},
    {"disappeared", comparison_disappeared, nullptr, nullptr, nullptr},
    {"grew", comparison_grew, nullptr, nullptr, nullptr},
    {"shrank", comparison_shrank, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef comparison_methods[] = {
    {"change", comparison_change, METH_O,
     "change($self, entry, /)\n--\n\nThe Change of an Entry of either tree."},
    {"delta", as_cfunction(comparison_delta), METH_FASTCALL | METH_KEYWORDS,
     "delta($self, entry, key='disk_usage')\n--\n\n"
     "New minus old for an Entry of either tree (a missing side counts as 0),\n"
     "by disk_usage, apparent_size, size or entries: a browser's change column."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot comparison_slots[] = {
    {Py_tp_doc, const_cast<char*>("Two trees matched by path: `root` is the Change of the two roots.")},
    {Py_tp_getset, comparison_getset},
    {Py_tp_methods, comparison_methods},
    {Py_tp_repr, as_slot(comparison_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<ComparisonObject>)},
    {0, nullptr},
};
PyType_Spec comparison_spec = {"orvalnest._engine.Comparison", sizeof(ComparisonObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, comparison_slots};

PyResult<PyTypeObject*> comparison_class() { return class_object(comparison_type, comparison_spec); }
PyResult<PyTypeObject*> change_class() { return class_object(change_type, change_spec); }

PyResult<PyObject*> extract_tree(PyObject* object) {
    auto cls = tree_class();
    if (!cls) return std::unexpected(cls.error());
    if (Py_TYPE(object) != *cls) return type_mismatch(object, "Tree");
    return object;
}

constexpr std::string_view kCompareParameters[] = {"old", "new"};
constexpr ArgumentSpec kCompareSpec{"compare", "", kCompareParameters, 2, {}};

PyObject* compare_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kCompareSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto old_tree = convert_argument((*bound)[0], "old", extract_tree);
        if (!old_tree) return std::unexpected(old_tree.error());
        auto new_tree = convert_argument((*bound)[1], "new", extract_tree);
        if (!new_tree) return std::unexpected(new_tree.error());
        auto cls = comparison_class();
        if (!cls) return std::unexpected(cls.error());
        const Tree& a = *as<TreeObject>(*old_tree)->fields.tree;
        const Tree& b = *as<TreeObject>(*new_tree)->fields.tree;
        std::unique_ptr<TreeDiff> diff;
        {
            GilRelease released;
            diff = std::make_unique<TreeDiff>(a, b);
        }
        return make_instance<ComparisonObject>(
            *cls, ComparisonObject::Fields{Ref::borrow(*old_tree), Ref::borrow(*new_tree), std::move(diff)});
    });
}

PyMethodDef compare_definition = {
    "compare",
    as_cfunction(compare_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "compare(old, new)\n--\n\n"
    "Matches two Trees by path (the exact bytes of each name, folder by\n"
    "folder: a renamed folder is one gone and one new) and returns a\n"
    "Comparison. Releases the GIL while matching.",
};

}  // namespace

PyResult<int> add_comparison_api(PyObject* module) {
    if (auto added = add_function(module, &compare_definition); !added) return added;
    using ClassGetter = PyResult<PyTypeObject*> (*)();
    const std::pair<std::string_view, ClassGetter> classes[] = {{"Comparison", comparison_class},
                                                                {"Change", change_class}};
    for (const auto& [name, getter] : classes) {
        auto cls = getter();
        if (!cls) return std::unexpected(cls.error());
        if (auto added = module_add(module, name, reinterpret_cast<PyObject*>(*cls)); !added) return added;
    }
    return 0;
}

}  // namespace orvalnest::py
