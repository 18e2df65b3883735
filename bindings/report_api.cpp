// What the reports and exports read of a Tree in orvalnest._engine, all done
// natively: a folder's first children with the rest folded, the totals by
// category, the treemap page's data, and the JSON and ncdu exports written
// straight to a descriptor with the lock released, optionally through an
// overlay of removed and replaced entries (the browser's view after trashes
// and rescans).
#include <cerrno>
#include <unordered_map>

#include "classes.hpp"
#include "engine_api.hpp"
#include "gil.hpp"
#include "module_support.hpp"
#include "orvalnest/exports.hpp"
#include "orvalnest/tree_report.hpp"
#include "orvalnest/tree_view.hpp"
#include "pending_exception.hpp"
#include "tree_types.hpp"

namespace orvalnest::py {
namespace {

PyResult<EntryView> extract_entry(PyObject* object) {
    if (auto entry = entry_view(object)) return *entry;
    return type_mismatch(object, "Entry");
}

ViewEntry view_entry(const EntryView& entry) { return {&native(entry.tree), entry.index}; }

PyResult<Ref> to_tuple_of(std::initializer_list<PyResult<Ref>*> items) {
    std::vector<Ref> values;
    for (auto* item : items) {
        if (!*item) return std::unexpected(item->error());
        values.push_back(std::move(**item));
    }
    return to_tuple(values);
}

// ---- fold_children ----

constexpr std::string_view kFoldParameters[] = {"entry", "top", "key"};
constexpr KeywordOnly kFoldKeywords[] = {{"reverse", false}};
constexpr ArgumentSpec kFoldSpec{"fold_children", "", kFoldParameters, 2, kFoldKeywords};

PyObject* fold_children_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kFoldSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto entry = convert_argument((*bound)[0], "entry", extract_entry);
        if (!entry) return std::unexpected(entry.error());
        auto top = convert_argument((*bound)[1], "top", extract_u64);
        if (!top) return std::unexpected(top.error());
        SortKey key = SortKey::DiskUsage;
        if (PyObject* given = (*bound)[2]) {
            auto parsed = convert_argument(given, "key", extract_sort_key);
            if (!parsed) return std::unexpected(parsed.error());
            key = *parsed;
        }
        bool reverse = false;
        if (PyObject* given = (*bound)[3]) {
            auto flag = convert_argument(given, "reverse", extract_bool);
            if (!flag) return std::unexpected(flag.error());
            reverse = *flag;
        }
        const Tree& tree = native(entry->tree);
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(*top, UINT32_MAX));
        const FoldedChildren folded =
            fold_children(tree, entry->index, count, EntryOrder{tree, key, reverse});
        auto shown = entry_list(entry->tree, folded.shown);
        auto rest = to_int(folded.rest);
        auto disk = to_int(folded.rest_disk_usage);
        auto apparent = to_int(folded.rest_apparent_size);
        return to_tuple_of({&shown, &rest, &disk, &apparent});
    });
}

PyMethodDef fold_children_definition = {
    "fold_children",
    as_cfunction(fold_children_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "fold_children(entry, top, key='disk_usage', *, reverse=False)\n--\n\n"
    "The first `top` children of `entry` (0: all) ordered as sorted_children()\n"
    "orders them, and the rest folded: (shown, rest count, rest disk usage,\n"
    "rest apparent size). Takes the first without sorting the whole folder.",
};

// ---- category_totals ----

PyObject* category_totals_entry(PyObject*, PyObject* argument) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto entry = convert_argument(argument, "entry", extract_entry);
        if (!entry) return std::unexpected(entry.error());
        const auto tallies = tally_categories(native(entry->tree), entry->index);
        std::vector<Ref> rows;
        for (std::size_t category = 0; category < tallies.size(); ++category) {
            const CategoryTally& tally = tallies[category];
            auto name = to_str(category_text(static_cast<Category>(category)));
            auto disk = to_int(tally.disk_usage);
            auto apparent = to_int(tally.apparent_size);
            auto count = to_int(tally.count);
            auto row = to_tuple_of({&name, &disk, &apparent, &count});
            if (!row) return row;
            rows.push_back(std::move(*row));
        }
        return to_list(rows);
    });
}

PyMethodDef category_totals_definition = {
    "category_totals",
    category_totals_entry,
    METH_O | METH_STATIC,
    "category_totals(entry, /)\n--\n\n"
    "(category, disk usage, apparent size, count) for every category, at or\n"
    "below `entry`: entries that are not folders by their category, and under\n"
    "'directory' the folders themselves with their own sizes, so the rows add\n"
    "up to the entry's totals.",
};

// ---- treemap_data ----

constexpr std::string_view kTreemapParameters[] = {"entry", "budget"};
constexpr ArgumentSpec kTreemapSpec{"treemap_data", "", kTreemapParameters, 1, {}};
constexpr std::uint64_t kDefaultBudget = 200'000;

PyObject* treemap_data_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kTreemapSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto entry = convert_argument((*bound)[0], "entry", extract_entry);
        if (!entry) return std::unexpected(entry.error());
        std::uint64_t budget = kDefaultBudget;
        if (PyObject* given = (*bound)[1]) {
            auto parsed = convert_argument(given, "budget", extract_u64);
            if (!parsed) return std::unexpected(parsed.error());
            budget = *parsed;
        }
        Treemap map;
        {
            GilRelease released;
            map = build_treemap(native(entry->tree), entry->index, budget);
        }
        PyResult<Ref> json = Ref::steal(PyBytes_FromStringAndSize(map.json.data(), std::ssize(map.json)));
        if (!*json) return raised();
        auto entries = to_int(map.entries);
        auto kept = to_int(map.kept);
        return to_tuple_of({&json, &entries, &kept});
    });
}

PyMethodDef treemap_data_definition = {
    "treemap_data",
    as_cfunction(treemap_data_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "treemap_data(entry, budget=200000)\n--\n\n"
    "The treemap page's tree at `entry`, trimmed to the `budget` best-ranked\n"
    "entries: (JSON bytes safe inside an HTML script element, entries below\n"
    "`entry`, entries kept).",
};

// ---- write_json, write_ncdu ----

constexpr std::string_view kWriteParameters[] = {"entry", "fd"};
constexpr KeywordOnly kWriteKeywords[] = {{"timestamp", false}, {"removed", false}, {"replaced", false}};

// The Entry objects an overlay names, held while it is in use, and the overlay.
struct OverlayArguments {
    std::vector<Ref> held;
    Overlay overlay;
};

PyResult<EntryView> held_entry(PyObject* object, OverlayArguments& arguments) {
    auto entry = extract_entry(object);
    if (entry) arguments.held.push_back(Ref::borrow(object));
    return entry;
}

PyResult<int> read_removed(PyObject* removed, OverlayArguments& arguments) {
    Ref iterator = Ref::steal(PyObject_GetIter(removed));
    if (!iterator) return raised();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        auto entry = held_entry(item.get(), arguments);
        if (!entry) return std::unexpected(entry.error());
        arguments.overlay.removed.push_back(view_entry(*entry));
    }
    if (PyErr_Occurred()) return raised();
    return 0;
}

PyResult<int> read_replaced(PyObject* replaced, OverlayArguments& arguments) {
    if (replaced == Py_None) return 0;
    Ref items = Ref::steal(PyMapping_Items(replaced));
    if (!items) return raised();
    const Py_ssize_t count = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed
        if (!pair || !PyTuple_Check(pair) || PyTuple_Size(pair) != 2) return type_mismatch(pair, "tuple");
        auto old = held_entry(PyTuple_GetItem(pair, 0), arguments);
        if (!old) return std::unexpected(old.error());
        auto fresh = held_entry(PyTuple_GetItem(pair, 1), arguments);
        if (!fresh) return std::unexpected(fresh.error());
        arguments.overlay.replaced.push_back({view_entry(*old), view_entry(*fresh)});
    }
    return 0;
}

enum class ExportFormat { Json, Ncdu };

PyResult<Ref> write_export(ExportFormat format, const BoundArguments& bound) {
    auto entry = convert_argument(bound[0], "entry", extract_entry);
    if (!entry) return std::unexpected(entry.error());
    const int fd = PyObject_AsFileDescriptor(bound[1]);
    if (fd < 0) {
        add_argument_note("fd");
        return raised();
    }
    std::int64_t timestamp = tree_fields(entry->tree).timestamp;
    if (PyObject* given = bound[2]; given && given != Py_None) {
        timestamp = PyLong_AsLongLong(given);
        if (timestamp == -1 && PyErr_Occurred()) {
            add_argument_note("timestamp");
            return raised();
        }
    }
    OverlayArguments arguments;
    if (PyObject* given = bound[3]) {
        if (auto read = read_removed(given, arguments); !read) {
            add_argument_note("removed");
            return std::unexpected(read.error());
        }
    }
    if (PyObject* given = bound[4]) {
        if (auto read = read_replaced(given, arguments); !read) {
            add_argument_note("replaced");
            return std::unexpected(read.error());
        }
    }
    // Each tree's exclude patterns, which the ncdu export lists again.
    std::unordered_map<const Tree*, const std::vector<std::string>*> patterns;
    for (PyObject* tree : {entry->tree}) patterns[&native(tree)] = &tree_fields(tree).exclude;
    for (const Ref& held : arguments.held) {
        PyObject* tree = entry_view(held.get())->tree;
        patterns[&native(tree)] = &tree_fields(tree).exclude;
    }
    const auto patterns_of = [&](const Tree* tree) -> const std::vector<std::string>* {
        const auto found = patterns.find(tree);
        return found == patterns.end() ? nullptr : found->second;
    };

    PendingException interruption;  // dropped only with the lock held
    const auto cancelled = [&] {
        GilAcquire lock;
        if (!interruption && PyErr_CheckSignals() < 0) interruption.fetch();
        return static_cast<bool>(interruption);
    };
    std::optional<std::string> refused;
    OsResult<void> written;
    {
        GilRelease released;
        auto view = TreeView::make(view_entry(*entry), arguments.overlay);
        if (!view) {
            refused = std::move(view.error());
        } else {
            ExportOutput out(fd, cancelled);
            const ExportHeader header{ORVALNEST_VERSION, timestamp};
            written = format == ExportFormat::Json ? write_json_export(*view, header, out)
                                                   : write_ncdu_export(*view, header, patterns_of, out);
        }
    }
    if (refused) return failure(ExceptionKind::ValueError, *refused);
    if (interruption) {
        interruption.restore();
        return raised();
    }
    if (!written) {
        if (written.error().code() == 0) return failure(ExceptionKind::OSError, written.error().text());
        errno = written.error().code();
        PyErr_SetFromErrno(PyExc_OSError);
        return raised();
    }
    return Ref::borrow(Py_None);
}

constexpr ArgumentSpec kJsonSpec{"write_json", "", kWriteParameters, 2, kWriteKeywords};
constexpr ArgumentSpec kNcduSpec{"write_ncdu", "", kWriteParameters, 2, kWriteKeywords};

PyObject* write_json_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kJsonSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        return write_export(ExportFormat::Json, *bound);
    });
}

PyObject* write_ncdu_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kNcduSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        return write_export(ExportFormat::Ncdu, *bound);
    });
}

#define ORVALNEST_WRITE_DOC(name, what)                                              \
    name "(entry, fd, *, timestamp=None, removed=(), replaced=None)\n--\n\n"         \
         "Writes " what                                                              \
         " of `entry` and everything below it to the descriptor\n"                   \
         "`fd` (an int or an object with fileno()), with the interpreter lock\n"     \
         "released. `removed`: entries left out; `replaced`: a mapping of entries\n" \
         "to what shows in their place (a newer scan's root), every folder above\n"  \
         "taking the difference. `timestamp`: the scan's start unless given.\n"      \
         "Raises OSError as the write fails, and what a signal handler raises."

PyMethodDef write_json_definition = {
    "write_json",
    as_cfunction(write_json_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    ORVALNEST_WRITE_DOC("write_json", "orvalnest's JSON export"),
};

PyMethodDef write_ncdu_definition = {
    "write_ncdu",
    as_cfunction(write_ncdu_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    ORVALNEST_WRITE_DOC("write_ncdu", "the export for `ncdu -f`"),
};

#undef ORVALNEST_WRITE_DOC

}  // namespace

PyResult<int> add_report_api(PyObject* module) {
    for (PyMethodDef* definition :
         {&fold_children_definition, &category_totals_definition, &treemap_data_definition,
          &write_json_definition, &write_ncdu_definition}) {
        if (auto added = add_function(module, definition); !added) return added;
    }
    return 0;
}

}  // namespace orvalnest::py
