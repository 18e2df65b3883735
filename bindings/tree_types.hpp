// Tree, Entry, Children and TreeIssue: Python's view of a compact tree. The
// tree stays in native memory; an Entry is the tree and an entry number, made
// when read, so a scan of millions of entries makes no object per entry.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "boundary.hpp"
#include "orvalnest/entry_order.hpp"
#include "orvalnest/saved_scan.hpp"
#include "orvalnest/tree.hpp"

namespace orvalnest::py {

struct TreeObject {
    PyObject ob_base;
    struct Fields {
        std::unique_ptr<Tree> tree;
        std::vector<std::string> exclude;  // the options the scan used
        std::int64_t timestamp = 0;        // when the scan started, seconds since the epoch
        std::uint64_t children_reads = 0;  // Entry.children reads, so a face's tests can count them
        unsigned threads = 1;
        bool one_filesystem = false;
        TreeSource source = TreeSource::Scan;  // where the numbers came from
        std::string opened_from;               // the file it was read from; empty for a scan
    } fields;
};

PyResult<PyTypeObject*> tree_class();
PyResult<PyTypeObject*> entry_class();
PyResult<PyTypeObject*> children_class();
PyResult<PyTypeObject*> tree_issue_class();

// The tree object behind a Tree, an Entry's tree, and the native tree it holds.
TreeObject::Fields& tree_fields(PyObject* tree);
const Tree& native(PyObject* tree);

// An Entry: the Tree object it holds (borrowed) and its entry number.
struct EntryView {
    PyObject* tree;
    EntryIndex index;
};
// None unless `object` is an Entry.
std::optional<EntryView> entry_view(PyObject* object);
PyResult<Ref> make_entry(PyObject* tree, EntryIndex index);
PyResult<Ref> entry_list(PyObject* tree, const std::vector<EntryIndex>& entries);
// A key name of sorted_children(), or ValueError.
PyResult<SortKey> extract_sort_key(PyObject* object);

// Tree.save and Tree.source/opened_from, kept with the saved format's bindings.
PyObject* tree_save(PyObject* self, PyObject* file) noexcept;

}  // namespace orvalnest::py
