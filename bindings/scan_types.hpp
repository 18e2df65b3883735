// Native layouts of Node, ScanIssue and ScanResult, for the scan entry point
// that makes them. A scan can make millions of nodes, so a Node is kept to 64
// bytes plus its name: a directory's path is stored once and shared by its
// entries, and text becomes a str only when read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "orvalnest/category.hpp"
#include "orvalnest/scanner.hpp"

namespace orvalnest::py {

// The child nodes of a node: an exact-size malloc'd array of new references.
class ChildArray {
public:
    ChildArray() = default;
    // Room for `capacity` children, added in order with push().
    static ChildArray with_capacity(std::uint32_t capacity);
    ChildArray(ChildArray&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    ChildArray& operator=(ChildArray&&) = delete;
    ChildArray(const ChildArray&) = delete;
    ChildArray& operator=(const ChildArray&) = delete;
    ~ChildArray();

    // Takes over the reference.
    void push(Ref child) { items_[count_++] = child.release(); }
    std::uint32_t size() const { return count_; }
    std::span<PyObject* const> items() const { return {items_, count_}; }

private:
    PyObject** items_ = nullptr;
    std::uint32_t count_ = 0;  // slots filled so far, each an owned reference
};

struct NodeObject {
    PyObject ob_base;
    struct Fields {
        SharedPathRef directory;  // lossy text of the directory's path, shared; none for the root
        PathBytes tail;           // lossy text of the name; the whole path for the root
        ChildArray children;
        std::uint64_t size = 0;
        std::uint32_t tail_size = 0;
        bool is_dir = false;
        Category category = Category::Other;

        std::string_view tail_text() const { return {tail.get(), tail_size}; }
        std::string path_text() const;
        std::string_view name_text() const;
    } fields;
};

struct ScanIssueObject {
    PyObject ob_base;
    struct Fields {
        std::string path;  // lossy text
        std::string message;
    } fields;
};

struct ScanResultObject {
    PyObject ob_base;
    struct Fields {
        Ref root;  // first, and a bare PyObject* inside: read in place by the `root` member
        std::vector<Ref> issues;
    } fields;
};

}  // namespace orvalnest::py
