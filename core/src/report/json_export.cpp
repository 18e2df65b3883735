// orvalnest's JSON export. A folder's children are written largest `size`
// first, equal ones by name, as the format has always promised its readers.
#include <algorithm>
#include <utility>
#include <vector>

#include "orvalnest/audit.hpp"
#include "orvalnest/exports.hpp"
#include "orvalnest/json_text.hpp"
#include "orvalnest/text.hpp"
#include "write_number.hpp"

namespace orvalnest {
namespace {

struct Frame {
    std::vector<ViewEntry> children;
    std::size_t next = 0;
    std::size_t path_size = 0;  // the folder's path, to go back to after each child
    bool path_valid = true;     // the folder's path is UTF-8
};

class JsonWriter {
public:
    JsonWriter(const TreeView& view, ExportOutput& out) : view_(view), out_(out) {}

    OsResult<void> write(const ExportHeader& header) {
        std::string& text = out_.text();
        const ViewEntry root = view_.root();
        text += "{\"version\":";
        append_number(text, kJsonFormatVersion);
        text += ",\"orvalnest\":";
        append_json_text(text, header.version);
        text += ",\"timestamp\":";
        append_number(text, header.timestamp);
        text += ",\"excluded\":";
        append_number(text, root.tree->excluded());
        text += ",\"root\":";
        path_ = view_.path(root);
        const bool valid = is_valid_utf8(path_);
        head(root, view_.name(root), valid, valid ? std::string_view() : std::string_view(path_),
             "\"path_raw\":");
        if (!open(root, valid)) text += "]}";
        while (depth_ > 0) {
            Frame& frame = stack_[depth_ - 1];
            if (frame.next == frame.children.size()) {
                text += "]}";
                --depth_;
                continue;
            }
            if (frame.next > 0) text.push_back(',');
            const ViewEntry child = frame.children[frame.next++];
            path_.resize(frame.path_size);
            const std::string_view name = view_.name(child);
            if (!path_.ends_with('/')) path_.push_back('/');
            path_ += name;
            const bool name_valid = is_valid_utf8(name);
            head(child, name, frame.path_valid && name_valid, name_valid ? std::string_view() : name,
                 "\"name_raw\":");
            if (!open(child, frame.path_valid && name_valid)) text += "]}";
            if (auto paced = out_.pace(); !paced) return paced;
        }
        text += ",\"issues\":[";
        bool first = true;
        for (const TreeIssue* issue : view_.issues()) {
            if (!first) text.push_back(',');
            first = false;
            text += "{\"path\":";
            append_json_text(text, issue->path);
            text += ",\"message\":";
            append_json_text(text, issue->message);
            text += "}";
            if (auto paced = out_.pace(); !paced) return paced;
        }
        text += "]}\n";
        return out_.flush();
    }

private:
    // The entry's object up to the opening bracket of its children; `raw` is
    // the name (or the root's path) when its text is lossy.
    void head(ViewEntry entry, std::string_view name, bool path_valid, std::string_view raw,
              std::string_view raw_key) {
        const Tree& tree = *entry.tree;
        const EntryIndex index = entry.index;
        const ViewSizes sizes = view_.sizes(entry);
        const bool is_dir = tree.is_dir(index);
        std::string& text = out_.text();
        text += "{\"name\":";
        append_json_text(text, name);
        text += ",\"path\":";
        if (path_valid) {
            append_json_string(text, path_);
        } else {
            append_json_text(text, path_);
        }
        text += ",\"size\":";
        append_number(text, sizes.size);
        text += ",\"disk_usage\":";
        append_number(text, sizes.disk_usage);
        text += ",\"apparent_size\":";
        append_number(text, sizes.apparent_size);
        text += is_dir ? ",\"is_dir\":true,\"category\":" : ",\"is_dir\":false,\"category\":";
        append_json_string(text, category_text(tree.category(index)));
        text += ",\"mtime\":";
        append_number(text, tree.mtime(index));
        if (is_dir) {
            text += ",\"newest_mtime\":";
            append_number(text, sizes.newest_mtime);
        }
        if (tree.has(index, entry_flag::Symlink)) text += ",\"is_symlink\":true";
        if (tree.has(index, entry_flag::Hardlink)) text += ",\"is_hardlink\":true";
        if (!raw.empty()) {
            text.push_back(',');
            text += raw_key;
            append_json_string(text, raw_form(raw));
        }
        text += ",\"children\":[";
    }

    // Starts writing the children of a folder; false for anything else.
    bool open(ViewEntry entry, bool path_valid) {
        if (!entry.tree->is_dir(entry.index)) return false;
        if (depth_ == stack_.size()) stack_.emplace_back();
        Frame& frame = stack_[depth_++];
        frame.children.clear();
        frame.next = 0;
        frame.path_size = path_.size();
        frame.path_valid = path_valid;
        view_.children(entry, frame.children);
        sort_children(frame.children);
        return true;
    }

    void sort_children(std::vector<ViewEntry>& children) const {
        if (children.size() < 2) return;
        sizes_.clear();
        for (std::size_t i = 0; i < children.size(); ++i)
            sizes_.push_back({view_.sizes(children[i]).size, i});
        std::ranges::sort(sizes_, [&](const auto& a, const auto& b) {
            if (a.first != b.first) return a.first > b.first;
            return view_.name(children[a.second]) < view_.name(children[b.second]);
        });
        sorted_.clear();
        for (const auto& [size, at] : sizes_) sorted_.push_back(children[at]);
        children.swap(sorted_);
    }

    const TreeView& view_;
    ExportOutput& out_;
    std::string path_;
    // Frames are kept when a folder ends, so their vectors are reused.
    std::vector<Frame> stack_;
    std::size_t depth_ = 0;
    mutable std::vector<std::pair<std::uint64_t, std::size_t>> sizes_;
    mutable std::vector<ViewEntry> sorted_;
};

}  // namespace

OsResult<void> write_json_export(const TreeView& view, const ExportHeader& header, ExportOutput& out) {
    return JsonWriter(view, out).write(header);
}

}  // namespace orvalnest
