// Native layouts of Node, ScanIssue and ScanResult, for the scan entry points
// that make them. A scan can make millions of nodes, so a Node is kept to 64
// bytes plus its name: a directory's path is stored once and shared by its
// entries, the child list is one pointer, and text becomes a str only when read.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "orvalnest/category.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/shared_path.hpp"

namespace orvalnest::py {

struct FreeDeleter {
    void operator()(char* bytes) const { std::free(bytes); }
};
// Bytes from malloc, without a terminating NUL: a node keeps its name in one
// exact-size block.
using PathBytes = std::unique_ptr<char[], FreeDeleter>;

// A malloc'd copy of `bytes` (never a null buffer, even when empty).
PathBytes copy_bytes(std::string_view bytes);

// The child nodes of a node: one exact-size malloc'd block holding the count
// and the new references, so a node without children pays one null pointer.
class ChildArray {
public:
    ChildArray() = default;
    // Room for `capacity` children, added in order with push().
    static ChildArray with_capacity(std::uint32_t capacity);
    ChildArray(ChildArray&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
    ChildArray& operator=(ChildArray&&) = delete;
    ChildArray(const ChildArray&) = delete;
    ChildArray& operator=(const ChildArray&) = delete;
    ~ChildArray();

    // Takes over the reference.
    void push(Ref child) { slots()[block_->count++] = child.release(); }
    std::uint32_t size() const { return block_ ? block_->count : 0; }
    std::span<PyObject* const> items() const {
        if (!block_) return {};
        return {slots(), block_->count};
    }

private:
    struct Block {
        std::uint32_t count;  // slots filled so far, each an owned reference
        std::uint32_t capacity;
    };
    PyObject** slots() const { return reinterpret_cast<PyObject**>(block_ + 1); }
    Block* block_ = nullptr;
};

struct NodeObject {
    PyObject ob_base;
    struct Fields {
        SharedPathRef directory;  // lossy text of the directory's path, shared; none for the root
        PathBytes tail;           // lossy text of the name; the whole path for the root
        ChildArray children;
        std::uint64_t size = 0;
        std::uint64_t disk_usage = 0;
        std::uint32_t tail_size = 0;
        bool is_dir = false;
        Category category = Category::Other;
        bool is_symlink = false;
        bool is_hardlink = false;

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
        std::uint64_t excluded = 0;
    } fields;
};

static_assert(sizeof(NodeObject) <= 64, "a Node stays within one 64-byte allocation");

}  // namespace orvalnest::py
