// orvalnest's own JSON export (version 1): {"version":1, "timestamp":..,
// "excluded":.., "root": node, "issues": [{"path","message"}]}, each node
// with its sizes, flags and "children". Keys may come in any order, except
// that the root's path must come before its children.
#include <algorithm>
#include <optional>

#include "json_reader.hpp"
#include "tree_import.hpp"

namespace orvalnest {
namespace {

using Token = JsonReader::Token;

// Bytes a "name_raw" or "path_raw" gives as "%XX" escapes.
std::string percent_decoded(std::string_view text) {
    const auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && digit(text[i + 1]) >= 0 && digit(text[i + 2]) >= 0) {
            bytes += static_cast<char>(digit(text[i + 1]) * 16 + digit(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

struct Node {
    std::string name;
    bool raw_name = false;
    bool is_dir = false, is_symlink = false, is_hardlink = false;
    bool in_children = false;
    std::uint64_t size = 0, disk_usage = 0;
    // du's apparent size and the time, which exports before them did not carry.
    std::optional<std::uint64_t> apparent_size;
    std::int64_t mtime = 0;
};

class JsonImport {
public:
    explicit JsonImport(JsonReader& in) : in_(in) {}

    LoadResult<LoadedTree> run() {
        ScanFacts facts;
        facts.source = TreeSource::Json;
        auto token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::BeginObject) return in_.fail("not an orvalnest JSON export");
        bool versioned = false, rooted = false;
        std::vector<std::pair<std::string, std::string>> issues;
        auto read = in_.members([&](const std::string& key, Token value) -> LoadResult<void> {
            if (key == "version" && value == Token::Number) {
                auto version = in_.unsigned_number();
                if (!version) return std::unexpected(version.error());
                if (*version != 1)
                    return in_.fail("a JSON export of version " + std::to_string(*version) +
                                    "; this reads version 1");
                versioned = true;
            } else if (key == "timestamp" && value == Token::Number) {
                auto parsed = in_.signed_number();
                if (!parsed) return std::unexpected(parsed.error());
                facts.timestamp = *parsed;
            } else if (key == "excluded" && value == Token::Number) {
                auto parsed = in_.unsigned_number();
                if (!parsed) return std::unexpected(parsed.error());
                build_.set_excluded(*parsed);
            } else if (key == "root" && value == Token::BeginObject && versioned && !rooted) {
                rooted = true;
                return read_tree();
            } else if (key == "issues" && value == Token::BeginArray) {
                return read_issues(issues);
            } else {
                return in_.skip(value);
            }
            return {};
        });
        if (!read) return std::unexpected(read.error());
        token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::End) return in_.fail("more after the end of the export");
        if (!versioned || !rooted) return std::unexpected(LoadFailure{0, "not an orvalnest JSON export"});
        for (auto& [path, message] : issues) build_.add_listed_issue(path, std::move(message));
        auto loaded = build_.finish(std::move(facts));
        if (!loaded) return std::unexpected(LoadFailure{0, loaded.error().reason});
        return loaded;
    }

private:
    LoadResult<void> read_issues(std::vector<std::pair<std::string, std::string>>& issues) {
        for (;;) {
            auto token = in_.next();
            if (!token) return std::unexpected(token.error());
            if (*token == Token::EndArray) return {};
            if (*token != Token::BeginObject) return in_.fail("expected an issue");
            std::pair<std::string, std::string> issue;
            auto read = in_.members([&](const std::string& key, Token value) -> LoadResult<void> {
                if ((key != "path" && key != "message") || value != Token::String) return in_.skip(value);
                (key == "path" ? issue.first : issue.second) = in_.text();
                return {};
            });
            if (!read) return read;
            issues.push_back(std::move(issue));
        }
    }

    // From just after the root's "{" to its "}", a frame of the builder per
    // open node, never recursing.
    LoadResult<void> read_tree() {
        build_.begin();
        nodes_.emplace_back();
        while (build_.depth() > 0) {
            auto token = in_.next();
            if (!token) return std::unexpected(token.error());
            Node& node = nodes_.back();
            LoadResult<void> done;
            if (*token == Token::Key && !node.in_children) {
                done = field(node);
            } else if (*token == Token::BeginObject && node.in_children) {
                build_.begin();
                nodes_.emplace_back();
            } else if (*token == Token::EndArray && node.in_children) {
                node.in_children = false;
            } else if (*token == Token::EndObject) {
                done = end_node();
            } else {
                return in_.fail("expected a node");
            }
            if (!done) return done;
        }
        return {};
    }

    LoadResult<void> field(Node& node) {
        const std::string key = in_.text();
        auto value = in_.next();
        if (!value) return std::unexpected(value.error());
        const bool root = build_.depth() == 1;
        const auto flag = [&](bool& field) { field = *value == Token::True; };
        const auto number = [&](std::uint64_t& field) -> LoadResult<void> {
            auto parsed = in_.unsigned_member(key, *value);
            if (!parsed) return std::unexpected(parsed.error());
            field = *parsed;
            return {};
        };
        if (*value == Token::String && (key == "name_raw" || (key == "name" && !node.raw_name))) {
            node.raw_name = key == "name_raw";
            node.name = node.raw_name ? percent_decoded(in_.text()) : in_.text();
        } else if (*value == Token::String && root && key == "path_raw") {
            root_raw_ = true;
            build_.set_root_path(percent_decoded(in_.text()));
        } else if (*value == Token::String && root && key == "path" && !root_raw_) {
            build_.set_root_path(in_.text());
        } else if (key == "size") {
            return number(node.size);
        } else if (key == "disk_usage") {
            return number(node.disk_usage);
        } else if (key == "apparent_size") {
            return number(node.apparent_size.emplace());
        } else if (key == "mtime" && *value == Token::Number) {
            auto parsed = in_.signed_number();
            if (!parsed) return std::unexpected(parsed.error());
            node.mtime = *parsed;
        } else if (key == "is_dir") {
            flag(node.is_dir);
        } else if (key == "is_symlink") {
            flag(node.is_symlink);
        } else if (key == "is_hardlink") {
            flag(node.is_hardlink);
        } else if (key == "children" && *value == Token::BeginArray) {
            node.in_children = true;
        } else {
            return in_.skip(*value);  // "path", "category": made again from the names
        }
        return {};
    }

    LoadResult<void> end_node() {
        const Node node = std::move(nodes_.back());
        nodes_.pop_back();
        auto& frame = build_.current();
        frame.name = node.name;
        EntryRow& row = frame.row;
        row.mtime = node.mtime;
        LoadResult<void> done;
        if (node.is_dir) {
            // The export gives a folder's total; its own blocks are what its entries leave.
            std::uint64_t below = 0;
            for (const EntryRow& child : frame.rows) below += child.disk_usage;
            if (below > node.disk_usage)
                return in_.fail("a folder whose disk usage is less than its entries'");
            row.disk_usage = node.disk_usage - below;
            if (node.apparent_size) {
                std::uint64_t apparent_below = 0;
                for (const EntryRow& child : frame.rows) apparent_below += child.apparent;
                if (apparent_below > *node.apparent_size)
                    return in_.fail("a folder whose apparent size is less than its entries'");
                row.apparent = *node.apparent_size - apparent_below;
            }
            done = build_.end_folder();
        } else {
            if (!frame.rows.empty()) return in_.fail("a file with children");
            row.category = category_of(node.name, false);
            row.disk_usage = node.disk_usage;
            if (node.is_symlink) {
                row.flags |= entry_flag::Symlink;
                row.apparent = node.apparent_size.value_or(0);
                row.aux = static_cast<std::uint32_t>(std::min<std::uint64_t>(row.apparent, UINT32_MAX));
            } else {
                row.size = row.apparent = node.size;
            }
            // No inode numbers here: a link the scan did not count is the one given no blocks.
            if (node.is_hardlink) row.flags |= entry_flag::Hardlink;
            done = build_.end_leaf(!node.is_hardlink || node.disk_usage > 0);
        }
        if (!done) return in_.fail(done.error().reason);
        return {};
    }

    JsonReader& in_;
    ImportBuilder build_;
    std::vector<Node> nodes_;
    bool root_raw_ = false;
};

}  // namespace

LoadResult<LoadedTree> import_orvalnest_json(int fd, std::string prefix) {
    JsonReader in(fd, std::move(prefix));
    return JsonImport(in).run();
}

}  // namespace orvalnest
