// ncdu's JSON export (format version 1, as `ncdu -o` and orvalnest's --ncdu
// write it): [1, minor, {metadata}, [root info, entries...]], where a folder
// is an array (its info object first) and anything else an object.
#include <algorithm>
#include <set>

#include "json_reader.hpp"
#include "tree_import.hpp"

namespace orvalnest {
namespace {

using Token = JsonReader::Token;

// What an info object says.
struct Info {
    std::string name;
    std::uint64_t asize = 0, dsize = 0, dev = 0, ino = 0, nlink = 0;
    std::int64_t mtime = 0;
    bool has_dev = false, has_ino = false, hlnkc = false, notreg = false, read_error = false;
    std::string excluded;
};

constexpr std::string_view kNoReason = "could not be read (the export gives no reason)";

// The fields of an info object whose "{" was just read.
LoadResult<Info> read_fields(JsonReader& in) {
    Info info;
    bool named = false;
    auto read = in.members([&](const std::string& key, Token value) -> LoadResult<void> {
        const auto number = [&](std::uint64_t& field) -> LoadResult<void> {
            auto parsed = in.unsigned_member(key, value);
            if (!parsed) return std::unexpected(parsed.error());
            field = *parsed;
            return {};
        };
        if (key == "name" && value == Token::String) {
            info.name = in.text();
            named = true;
        } else if (key == "asize") {
            return number(info.asize);
        } else if (key == "dsize") {
            return number(info.dsize);
        } else if (key == "dev") {
            info.has_dev = true;
            return number(info.dev);
        } else if (key == "ino") {
            info.has_ino = true;
            return number(info.ino);
        } else if (key == "nlink") {
            return number(info.nlink);
        } else if (key == "mtime" && value == Token::Number) {
            auto parsed = in.signed_number();
            if (!parsed) return std::unexpected(parsed.error());
            info.mtime = *parsed;
        } else if (key == "hlnkc" || key == "notreg" || key == "read_error") {
            const bool flag = value == Token::True;
            (key == "hlnkc" ? info.hlnkc : key == "notreg" ? info.notreg : info.read_error) = flag;
        } else if (key == "excluded" && value == Token::String) {
            info.excluded = in.text();
        } else {
            return in.skip(value);  // uid, gid, mode and what later versions add
        }
        return {};
    });
    if (!read) return std::unexpected(read.error());
    if (!named) return in.fail("an entry without a name");
    return info;
}

LoadResult<Info> read_info(JsonReader& in) {
    auto token = in.next();
    if (!token) return std::unexpected(token.error());
    if (*token != Token::BeginObject) return in.fail("expected an entry's info object");
    return read_fields(in);
}

class NcduImport {
public:
    explicit NcduImport(JsonReader& in) : in_(in) {}

    LoadResult<LoadedTree> run() {
        ScanFacts facts;
        facts.source = TreeSource::Ncdu;
        auto token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::BeginArray) return in_.fail("not an ncdu export");
        token = in_.next();
        if (!token) return std::unexpected(token.error());
        auto major = *token == Token::Number ? in_.unsigned_number() : in_.fail("not an ncdu export");
        if (!major) return std::unexpected(major.error());
        if (*major != 1)
            return in_.fail("an ncdu export of major version " + std::to_string(*major) +
                            "; this reads version 1");
        token = in_.next();  // the minor version: later minors only add fields
        if (!token) return std::unexpected(token.error());
        if (*token != Token::Number) return in_.fail("not an ncdu export");
        token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::BeginObject) return in_.fail("expected the export's metadata");
        auto metadata = in_.members([&](const std::string& key, Token value) -> LoadResult<void> {
            if (key != "timestamp" || value != Token::Number) return in_.skip(value);
            auto parsed = in_.signed_number();
            if (!parsed) return std::unexpected(parsed.error());
            facts.timestamp = *parsed;
            return {};
        });
        if (!metadata) return std::unexpected(metadata.error());
        token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::BeginArray) return in_.fail("expected the root folder");
        if (auto tree = read_tree(); !tree) return std::unexpected(tree.error());
        token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::EndArray) return in_.fail("expected the end of the export");
        token = in_.next();
        if (!token) return std::unexpected(token.error());
        if (*token != Token::End) return in_.fail("more after the end of the export");
        auto loaded = build_.finish(std::move(facts));
        if (!loaded) return std::unexpected(LoadFailure{0, loaded.error().reason});
        return loaded;
    }

private:
    // Reads from just after the root's "[" to its "]", one folder level per
    // frame of the builder, never recursing.
    LoadResult<void> read_tree() {
        if (auto opened = open_folder(true); !opened) return opened;
        while (build_.depth() > 0) {
            auto token = in_.next();
            if (!token) return std::unexpected(token.error());
            LoadResult<void> done;
            if (*token == Token::BeginArray) {
                done = open_folder(false);
            } else if (*token == Token::EndArray) {
                devices_.pop_back();
                done = built(build_.end_folder());
            } else if (*token == Token::BeginObject) {
                done = leaf();
            } else {
                return in_.fail("expected an entry");
            }
            if (!done) return done;
        }
        return {};
    }

    LoadResult<void> built(LoadResult<void> step) {
        if (!step) return in_.fail(step.error().reason);
        return {};
    }

    LoadResult<void> open_folder(bool root) {
        auto info = read_info(in_);
        if (!info) return std::unexpected(info.error());
        if (root) build_.set_root_path(info->name);
        build_.begin();
        auto& frame = build_.current();
        frame.name = info->name;
        frame.row.flags = entry_flag::Dir;
        frame.row.mtime = info->mtime;
        frame.row.apparent = info->asize;
        frame.row.disk_usage = info->dsize;
        devices_.push_back(info->has_dev || devices_.empty() ? info->dev : devices_.back());
        if (!info->excluded.empty()) build_.mark_current(skip_reason(info->excluded), true);
        if (info->read_error) build_.mark_current(std::string(kNoReason), false);
        return {};
    }

    static std::string skip_reason(std::string_view excluded) {
        if (excluded == "kernfs") return "skipped: pseudo-filesystem";
        if (excluded == "frmlnk") return "skipped: firmlink";
        return "skipped: other filesystem";
    }

    // An object inside a folder's array: a file, a link, a folder left out,
    // or an entry that could not be examined.
    LoadResult<void> leaf() {
        auto info = read_fields(in_);
        if (!info) return std::unexpected(info.error());
        if (!info->excluded.empty() && info->excluded != "otherfs" && info->excluded != "othfs" &&
            info->excluded != "kernfs" && info->excluded != "frmlnk") {
            build_.add_excluded();  // "pattern", and any reason later versions add
            return {};
        }
        if (info->read_error) {
            build_.add_missing(info->name, std::string(kNoReason));
            return {};
        }
        // A device, pipe or socket takes no room; the scan leaves them out too.
        if (info->notreg && info->asize == 0 && info->dsize == 0 && info->excluded.empty()) return {};
        build_.begin();
        auto& frame = build_.current();
        frame.name = info->name;
        EntryRow& row = frame.row;
        row.mtime = info->mtime;
        bool counted = true;
        if (!info->excluded.empty()) {
            row.flags = entry_flag::Dir;
            build_.mark_current(skip_reason(info->excluded), true);
        } else {
            row.category = category_of(info->name, false);
            row.apparent = info->asize;
            row.disk_usage = info->dsize;
            if (info->notreg) {
                // ncdu cannot tell a link from a device; a link is what has a length.
                row.flags |= entry_flag::Symlink;
                row.aux = static_cast<std::uint32_t>(std::min<std::uint64_t>(info->asize, UINT32_MAX));
            } else {
                row.size = info->asize;
            }
            if (info->hlnkc || info->nlink > 1) {
                row.flags |= entry_flag::Hardlink;
                if (info->has_ino) {
                    const std::uint64_t device = info->has_dev ? info->dev : devices_.back();
                    counted = linked_.insert({device, info->ino}).second;
                }
            }
        }
        return built(build_.end_leaf(counted));
    }

    JsonReader& in_;
    ImportBuilder build_;
    std::vector<std::uint64_t> devices_;  // of each open folder, for hard links' identity
    std::set<std::pair<std::uint64_t, std::uint64_t>> linked_;
};

}  // namespace

LoadResult<LoadedTree> import_ncdu(int fd, std::string prefix) {
    JsonReader in(fd, std::move(prefix));
    return NcduImport(in).run();
}

}  // namespace orvalnest
