// The saved format, written and read. A reader trusts nothing: every count
// and offset is checked against the file's size before it is used, every
// section against its checksum, and the tree against the same invariants a
// walk leaves (in-range, acyclic references; one contiguous child range per
// directory; single-component names; children in order; totals that add up),
// so a damaged or hostile file is refused, never read out of bounds.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <numeric>

#include "orvalnest/saturating.hpp"
#include "orvalnest/saved_scan.hpp"
#include "orvalnest/write_all.hpp"
#include "orvalnest/xxhash64.hpp"

namespace orvalnest {

std::string_view source_text(TreeSource source) {
    switch (source) {
        case TreeSource::Scan:
            return "scan";
        case TreeSource::Ncdu:
            return "ncdu";
        case TreeSource::Json:
            return "json";
    }
    return "scan";
}

namespace {

constexpr std::uint32_t kByteOrderMark = 0x01020304;
constexpr std::size_t kHeaderBytes = 96;
constexpr std::size_t kTableEntryBytes = 32;
constexpr std::size_t kMaxSections = 64;
constexpr std::size_t kAlignment = 64;
constexpr std::uint32_t kRequired = 1;  // a section a reader must know to read the file

constexpr std::uint32_t tag(std::string_view text) {
    return std::uint32_t(std::uint8_t(text[0])) | std::uint32_t(std::uint8_t(text[1])) << 8 |
           std::uint32_t(std::uint8_t(text[2])) << 16 | std::uint32_t(std::uint8_t(text[3])) << 24;
}

std::string tag_text(std::uint32_t value) {
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>(value >> shift);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

// Keys of the META section's records.
enum MetaKey : std::uint32_t { RootPath = 1, Exclude = 2, Source = 3 };

template <typename T>
void put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

template <typename T>
T get(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
}

void put_record(std::string& out, std::uint32_t key, std::string_view value) {
    put<std::uint32_t>(out, key);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(value.size()));
    out += value;
}

// A section as the writer produces it: its bytes handed over in pieces.
struct OutSection {
    std::uint32_t tag;
    std::uint64_t bytes;
    std::function<void(const std::function<void(const void*, std::size_t)>&)> feed;
    std::uint64_t offset = 0;
    std::uint64_t checksum = 0;
};

// A buffered sink over write_all: the columns arrive in chunk-sized pieces.
class FileSink {
public:
    explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(kSize); }
    void write(const void* data, std::size_t size) {
        if (!status_) return;
        if (buffer_.size() + size > kSize) flush();
        if (size >= kSize) {
            status_ = write_all(fd_, {static_cast<const char*>(data), size});
            return;
        }
        buffer_.append(static_cast<const char*>(data), size);
    }
    OsResult<void> finish() {
        flush();
        return status_;
    }

private:
    static constexpr std::size_t kSize = 1 << 20;
    void flush() {
        if (buffer_.empty() || !status_) return;
        status_ = write_all(fd_, buffer_);
        buffer_.clear();
    }
    int fd_;
    std::string buffer_;
    OsResult<void> status_;
};

std::uint64_t aligned(std::uint64_t offset) { return (offset + kAlignment - 1) / kAlignment * kAlignment; }

}  // namespace

// The one place that sees a Tree's columns as columns.
struct SavedScanAccess {
    template <typename Column>
    static OutSection column(std::uint32_t name, const Column& values, std::size_t count) {
        using T = std::remove_cvref_t<decltype(values[0])>;
        return {name, std::uint64_t{count} * sizeof(T), [&values, count](const auto& sink) {
                    for (std::size_t at = 0; at < count; at += Column::kChunkSize)
                        sink(values.chunk_at(at), std::min(Column::kChunkSize, count - at) * sizeof(T));
                }};
    }

    static OsResult<void> write(int fd, const Tree& tree, const ScanFacts& facts) {
        const std::size_t entries = tree.size(), directories = tree.directories();
        // Names are laid end to end in entry order; a walk's pool has a
        // partly filled chunk per thread.
        std::vector<std::uint64_t> names(entries, 0);
        std::string pool;
        for (EntryIndex entry = 1; entry < entries; ++entry) {
            const std::string_view name = tree.name(entry);
            names[entry] = std::uint64_t{pool.size()} << 8 | name.size();
            pool += name;
        }
        std::string meta;
        put_record(meta, RootPath, tree.root_path());
        for (const auto& pattern : facts.exclude) put_record(meta, Exclude, pattern);
        put_record(meta, Source, source_text(facts.source));
        std::string issues;
        put<std::uint32_t>(issues, static_cast<std::uint32_t>(tree.issues().size()));
        for (const TreeIssue& issue : tree.issues()) {
            put<std::uint32_t>(issues, issue.entry);
            put<std::uint32_t>(issues, issue.skipped ? 1 : 0);
            put<std::uint32_t>(issues, static_cast<std::uint32_t>(issue.path.size()));
            put<std::uint32_t>(issues, static_cast<std::uint32_t>(issue.message.size()));
            issues += issue.path;
            issues += issue.message;
        }
        const auto blob = [](std::uint32_t name, const std::string& bytes) {
            return OutSection{name, bytes.size(),
                              [&bytes](const auto& sink) { sink(bytes.data(), bytes.size()); }};
        };
        std::vector<OutSection> sections = {
            blob(tag("META"), meta),
            blob(tag("ISSU"), issues),
            column(tag("PRNT"), tree.parent_, entries),
            OutSection{tag("NAME"), entries * 8,
                       [&names](const auto& sink) { sink(names.data(), names.size() * 8); }},
            column(tag("FLAG"), tree.flags_, entries),
            column(tag("CATG"), tree.category_, entries),
            column(tag("SIZE"), tree.size_, entries),
            column(tag("DISK"), tree.disk_usage_, entries),
            column(tag("MTIM"), tree.mtime_, entries),
            column(tag("AUXV"), tree.aux_, entries),
            column(tag("DFST"), tree.first_child_, directories),
            column(tag("DCNT"), tree.child_count_, directories),
            column(tag("DAPP"), tree.dir_apparent_, directories),
            column(tag("DNEW"), tree.dir_newest_, directories),
            column(tag("DBLW"), tree.dir_below_, directories),
            blob(tag("POOL"), pool),
        };
        std::uint64_t offset = kHeaderBytes + sections.size() * kTableEntryBytes;
        for (OutSection& section : sections) {
            section.offset = offset = aligned(offset);
            offset += section.bytes;
            Xxh64 hash;
            section.feed([&](const void* data, std::size_t size) { hash.update(data, size); });
            section.checksum = hash.digest();
        }

        std::string head;
        head.append(reinterpret_cast<const char*>(kSavedScanMagic), sizeof kSavedScanMagic);
        put<std::uint32_t>(head, kSavedScanVersion);
        put<std::uint32_t>(head, kByteOrderMark);
        put<std::uint32_t>(head, kHeaderBytes);
        put<std::uint32_t>(head, static_cast<std::uint32_t>(sections.size()));
        put<std::uint64_t>(head, offset);  // the file's size
        put<std::uint32_t>(head, static_cast<std::uint32_t>(entries));
        put<std::uint32_t>(head, static_cast<std::uint32_t>(directories));
        put<std::uint64_t>(head, pool.size());
        put<std::uint64_t>(head, tree.excluded());
        put<std::uint64_t>(head, tree.examined());
        put<std::int64_t>(head, facts.timestamp);
        put<std::uint32_t>(head, facts.threads);
        put<std::uint32_t>(head, facts.one_filesystem ? 1 : 0);
        put<std::uint32_t>(head, static_cast<std::uint32_t>(tree.order()));
        put<std::uint32_t>(head, 0);
        std::string table;
        for (const OutSection& section : sections) {
            put<std::uint32_t>(table, section.tag);
            put<std::uint32_t>(table, kRequired);
            put<std::uint64_t>(table, section.offset);
            put<std::uint64_t>(table, section.bytes);
            put<std::uint64_t>(table, section.checksum);
        }
        Xxh64 hash;
        hash.update(head.data(), head.size());
        hash.update(table.data(), table.size());
        put<std::uint64_t>(head, hash.digest());

        FileSink sink(fd);
        sink.write(head.data(), head.size());
        sink.write(table.data(), table.size());
        std::uint64_t written = head.size() + table.size();
        static constexpr char kZeros[kAlignment] = {};
        for (OutSection& section : sections) {
            sink.write(kZeros, section.offset - written);
            section.feed([&](const void* data, std::size_t size) { sink.write(data, size); });
            written = section.offset + section.bytes;
        }
        return sink.finish();
    }

    struct InSection {
        std::uint32_t flags = 0;
        std::string_view bytes;
        bool present = false;
    };

    static LoadResult<LoadedTree> read(std::string_view file, std::shared_ptr<const void> keep,
                                       const ReadOptions& options) {
        const auto fail = [](std::string reason) {
            return std::unexpected(LoadFailure{0, std::move(reason)});
        };
        if (reinterpret_cast<std::uintptr_t>(file.data()) % 8 != 0)
            return fail("internal: a misaligned buffer");
        if (file.size() < sizeof kSavedScanMagic || std::memcmp(file.data(), kSavedScanMagic, 8) != 0)
            return fail("not a saved scan");
        if (file.size() < kHeaderBytes)
            return fail("truncated: " + std::to_string(file.size()) + " bytes, less than a header");
        const char* head = file.data();
        const auto version = get<std::uint32_t>(head + 8);
        const auto mark = get<std::uint32_t>(head + 12);
        if (mark == std::byteswap(kByteOrderMark))
            return fail("saved on a machine of the other byte order; export it as JSON there to move it");
        if (mark != kByteOrderMark) return fail("damaged header: no byte-order mark");
        if (version > kSavedScanVersion)
            return fail("saved in format version " + std::to_string(version) +
                        " by a newer orvalnest; this one reads version " + std::to_string(kSavedScanVersion));
        if (version == 0) return fail("damaged header: format version 0");
        const auto header_bytes = get<std::uint32_t>(head + 16);
        const auto section_count = get<std::uint32_t>(head + 20);
        const auto file_size = get<std::uint64_t>(head + 24);
        if (header_bytes != kHeaderBytes || section_count > kMaxSections)
            return fail("damaged header: impossible header or section count");
        const std::uint64_t table_end = kHeaderBytes + std::uint64_t{section_count} * kTableEntryBytes;
        if (file_size != file.size()) {
            return fail(file.size() < file_size ? "truncated: " + std::to_string(file.size()) + " of " +
                                                      std::to_string(file_size) + " bytes"
                                                : "damaged: " + std::to_string(file.size() - file_size) +
                                                      " bytes past the end the header gives");
        }
        if (table_end > file.size()) return fail("truncated: the section table runs past the end");
        Xxh64 header_hash;
        header_hash.update(head, kHeaderBytes - 8);
        header_hash.update(head + kHeaderBytes, table_end - kHeaderBytes);
        if (options.verify_checksums && header_hash.digest() != get<std::uint64_t>(head + kHeaderBytes - 8))
            return fail("damaged: the header's checksum does not match");

        std::array<std::pair<std::uint32_t, InSection>, 16> known = {{
            {tag("META"), {}},
            {tag("ISSU"), {}},
            {tag("PRNT"), {}},
            {tag("NAME"), {}},
            {tag("FLAG"), {}},
            {tag("CATG"), {}},
            {tag("SIZE"), {}},
            {tag("DISK"), {}},
            {tag("MTIM"), {}},
            {tag("AUXV"), {}},
            {tag("DFST"), {}},
            {tag("DCNT"), {}},
            {tag("DAPP"), {}},
            {tag("DNEW"), {}},
            {tag("DBLW"), {}},
            {tag("POOL"), {}},
        }};
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;  // each section's [start, end)
        for (std::uint32_t i = 0; i < section_count; ++i) {
            const char* row = head + kHeaderBytes + i * kTableEntryBytes;
            const auto name = get<std::uint32_t>(row);
            const auto flags = get<std::uint32_t>(row + 4);
            const auto offset = get<std::uint64_t>(row + 8);
            const auto bytes = get<std::uint64_t>(row + 16);
            const std::string which = "section " + tag_text(name);
            if (offset < table_end || offset > file.size() || bytes > file.size() - offset || offset % 8 != 0)
                return fail("damaged: " + which + " lies outside the file");
            const std::string_view content = file.substr(offset, bytes);
            spans.emplace_back(offset, offset + bytes);
            auto slot = std::ranges::find(known, name, &std::pair<std::uint32_t, InSection>::first);
            if (slot == known.end()) {
                if (flags & kRequired)
                    return fail("needs a newer orvalnest: it has a required " + which +
                                " this one does not know");
                continue;
            }
            if (slot->second.present) return fail("damaged: " + which + " appears twice");
            if (options.verify_checksums && xxh64(content) != get<std::uint64_t>(row + 24))
                return fail("damaged: " + which + "'s checksum does not match");
            slot->second = {flags, content, true};
        }
        // Every byte is in a checksummed part or is zero padding between them.
        std::ranges::sort(spans);
        std::uint64_t covered = table_end;
        for (const auto& [start, end] : spans) {
            if (start < covered) return fail("damaged: sections overlap");
            if (file.substr(covered, start - covered).find_first_not_of('\0') != std::string_view::npos)
                return fail("damaged: bytes between sections");
            covered = end;
        }
        if (covered != file.size()) return fail("damaged: bytes after the last section");
        for (const auto& [name, section] : known) {
            if (!section.present) return fail("damaged: section " + tag_text(name) + " is missing");
        }
        const auto section = [&](std::string_view text) {
            return std::ranges::find(known, tag(text), &std::pair<std::uint32_t, InSection>::first)
                ->second.bytes;
        };

        const auto entries = get<std::uint32_t>(head + 32);
        const auto directories = get<std::uint32_t>(head + 36);
        const auto pool_bytes = get<std::uint64_t>(head + 40);
        const auto order = get<std::uint32_t>(head + 80);
        if (entries == 0 || entries == kNoEntry || directories > entries)
            return fail("damaged: impossible entry or folder count");
        if (order > static_cast<std::uint32_t>(TreeOrder::ApparentSize))
            return fail("damaged: unknown order");
        if (pool_bytes != section("POOL").size() || pool_bytes > decltype(Tree::pool_)::kCapacity)
            return fail("damaged: the name pool's size does not match");
        const auto sized = [&](std::string_view text, std::uint64_t count, std::size_t width) {
            return section(text).size() == count * width;
        };
        for (const auto& [name, width] : {std::pair{"PRNT", 4},
                                          {"NAME", 8},
                                          {"FLAG", 1},
                                          {"CATG", 1},
                                          {"SIZE", 8},
                                          {"DISK", 8},
                                          {"MTIM", 8},
                                          {"AUXV", 4}}) {
            if (section(name).size() != std::uint64_t{entries} * width)
                return fail("damaged: section " + std::string(name) + " does not hold one value per entry");
        }
        if (!sized("DFST", directories, 4) || !sized("DCNT", directories, 4) ||
            !sized("DAPP", directories, 8) || !sized("DNEW", directories, 8) ||
            !sized("DBLW", directories, 4))
            return fail("damaged: a folder section does not hold one value per folder");

        LoadedTree loaded{std::make_unique<Tree>(), {}};
        Tree& tree = *loaded.tree;
        ScanFacts& facts = loaded.facts;
        facts.timestamp = get<std::int64_t>(head + 64);
        facts.threads = get<std::uint32_t>(head + 72);
        facts.one_filesystem = (get<std::uint32_t>(head + 76) & 1) != 0;
        tree.entries_ = entries;
        tree.directories_ = directories;
        tree.excluded_ = get<std::uint64_t>(head + 48);
        tree.examined_ = get<std::uint64_t>(head + 56);
        tree.order_ = static_cast<TreeOrder>(order);
        if (auto problem = read_meta(section("META"), tree, facts); !problem.empty()) return fail(problem);
        if (auto problem = read_issues(section("ISSU"), tree); !problem.empty()) return fail(problem);

        const auto adopt = [](auto& column, std::string_view bytes) {
            using T = std::remove_cvref_t<decltype(column[0])>;
            column.adopt(reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T));
        };
        adopt(tree.parent_, section("PRNT"));
        adopt(tree.name_, section("NAME"));
        adopt(tree.flags_, section("FLAG"));
        adopt(tree.category_, section("CATG"));
        adopt(tree.size_, section("SIZE"));
        adopt(tree.disk_usage_, section("DISK"));
        adopt(tree.mtime_, section("MTIM"));
        adopt(tree.aux_, section("AUXV"));
        adopt(tree.first_child_, section("DFST"));
        adopt(tree.child_count_, section("DCNT"));
        adopt(tree.dir_apparent_, section("DAPP"));
        adopt(tree.dir_newest_, section("DNEW"));
        adopt(tree.dir_below_, section("DBLW"));
        adopt(tree.pool_, section("POOL"));
        tree.backing_ = std::move(keep);
        if (auto problem = validate(tree, pool_bytes); !problem.empty()) return fail("damaged: " + problem);
        return loaded;
    }

    static std::string read_meta(std::string_view meta, Tree& tree, ScanFacts& facts) {
        bool has_root = false;
        while (!meta.empty()) {
            if (meta.size() < 8) return "damaged: a record of the META section is cut short";
            const auto key = get<std::uint32_t>(meta.data());
            const auto length = get<std::uint32_t>(meta.data() + 4);
            if (length > meta.size() - 8) return "damaged: a record of the META section is cut short";
            const std::string_view value = meta.substr(8, length);
            meta.remove_prefix(8 + std::size_t{length});
            if (key == RootPath) {
                tree.root_path_ = value;
                has_root = true;
            } else if (key == Exclude) {
                facts.exclude.emplace_back(value);
            } else if (key == Source) {
                for (TreeSource source : {TreeSource::Scan, TreeSource::Ncdu, TreeSource::Json}) {
                    if (value == source_text(source)) facts.source = source;
                }
            }
        }
        const std::string& root = tree.root_path_;
        if (!has_root || !root.starts_with('/') || root.find('\0') != std::string::npos)
            return "damaged: no absolute root path";
        return {};
    }

    static std::string read_issues(std::string_view bytes, Tree& tree) {
        if (bytes.size() < 4) return "damaged: the issues are cut short";
        const auto count = get<std::uint32_t>(bytes.data());
        bytes.remove_prefix(4);
        // Each issue takes at least 16 bytes: no count can make the reader reserve more than the file.
        if (count > bytes.size() / 16) return "damaged: the issues are cut short";
        tree.issues_.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            if (bytes.size() < 16) return "damaged: the issues are cut short";
            TreeIssue issue;
            issue.entry = get<std::uint32_t>(bytes.data());
            issue.skipped = (get<std::uint32_t>(bytes.data() + 4) & 1) != 0;
            const std::uint64_t path = get<std::uint32_t>(bytes.data() + 8);
            const std::uint64_t message = get<std::uint32_t>(bytes.data() + 12);
            bytes.remove_prefix(16);
            if (path + message > bytes.size()) return "damaged: the issues are cut short";
            if (issue.entry != kNoEntry && issue.entry >= tree.entries_)
                return "damaged: an issue names no entry";
            issue.path = bytes.substr(0, path);
            issue.message = bytes.substr(path, message);
            bytes.remove_prefix(path + message);
            tree.issues_.push_back(std::move(issue));
        }
        return {};
    }

    // The invariants of a walk's tree, checked in an order that never reads
    // through a reference before it is known to be in range.
    static std::string validate(const Tree& tree, std::uint64_t pool_bytes) {
        const std::uint32_t entries = tree.entries_, directories = tree.directories_;
        constexpr std::uint8_t kKnownFlags = 0x7F;
        std::vector<EntryIndex> owner(directories, kNoEntry);
        std::uint32_t seen_directories = 0;
        for (EntryIndex entry = 0; entry < entries; ++entry) {
            const std::uint8_t bits = tree.flags_[entry];
            const bool dir = bits & entry_flag::Dir;
            if (bits & ~kKnownFlags) return "unknown flags on an entry";
            if (tree.category_[entry] > static_cast<std::uint8_t>(Category::Other) ||
                dir != (tree.category(entry) == Category::Directory))
                return "an entry of an unknown category";
            if (dir && (bits & (entry_flag::Symlink | entry_flag::Hardlink | entry_flag::CountedLink)))
                return "a folder marked as a link";
            if (!dir) continue;
            const std::uint32_t slot = tree.aux_[entry];
            if (slot >= directories || owner[slot] != kNoEntry)
                return "a folder's row is out of range or shared";
            owner[slot] = entry;
            ++seen_directories;
        }
        if (seen_directories != directories) return "the folder count does not match the folders";
        if (tree.parent_[0] != kNoEntry) return "the root has a parent";

        std::uint64_t children_total = 0;
        for (std::uint32_t slot = 0; slot < directories; ++slot) {
            const std::uint64_t first = tree.first_child_[slot], count = tree.child_count_[slot];
            if (count && (first == 0 || first + count > entries))
                return "a folder's children lie outside the tree";
            children_total += count;
            for (std::uint64_t child = first; child < first + count; ++child) {
                if (tree.parent_[child] != owner[slot]) return "a child's parent is not its folder";
            }
        }
        if (children_total != entries - 1u) return "entries belong to no folder, or to several";

        // Ranges now partition the entries: a walk from the root reaches each
        // at most once, and all of them only if no folder holds an ancestor.
        std::vector<EntryIndex> folders;  // in the order the walk meets them
        folders.reserve(directories);
        std::uint64_t reached = 1;
        if (tree.is_dir(0)) folders.push_back(0);
        for (std::size_t next = 0; next < folders.size(); ++next) {
            const ChildRange range = tree.children(folders[next]);
            reached += range.count;
            for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
                if (tree.is_dir(child)) folders.push_back(child);
            }
        }
        if (reached != entries) return "folders that contain themselves (a cycle)";

        for (EntryIndex entry = 1; entry < entries; ++entry) {
            const std::uint64_t reference = tree.name_[entry];
            const std::uint64_t offset = reference >> 8, length = reference & 0xFF;
            if (length == 0 || offset > pool_bytes || length > pool_bytes - offset)
                return "a name outside the pool";
            const std::string_view name = tree.name(entry);
            if (name == "." || name == ".." ||
                name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos)
                return "a name that is not a single path component";
        }

        // Deepest folders first, so that every child's totals are checked before its folder's.
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
            const EntryIndex dir = *folder;
            const ChildRange range = tree.children(dir);
            std::uint64_t size = 0, disk = 0, apparent = 0;
            std::uint64_t below = range.count;
            std::int64_t newest = tree.mtime(dir);
            bool incomplete = tree.has(dir, entry_flag::Unreadable | entry_flag::Skipped);
            for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
                size = saturating_add(size, tree.size(child));
                disk = saturating_add(disk, tree.disk_usage(child));
                apparent = saturating_add(apparent, tree.apparent_size(child));
                newest = std::max(newest, tree.newest_mtime(child));
                below += tree.entries_below(child);
                incomplete |= tree.has(child, entry_flag::Incomplete);
                if (child > range.first && tree.order_ == TreeOrder::DiskUsage) {
                    const EntryIndex before = child - 1;
                    if (tree.disk_usage(before) < tree.disk_usage(child) ||
                        (tree.disk_usage(before) == tree.disk_usage(child) &&
                         tree.name(before) > tree.name(child)))
                        return "a folder's children out of order";
                }
            }
            if (size != tree.size(dir) || disk > tree.disk_usage(dir) || apparent > tree.apparent_size(dir) ||
                newest != tree.newest_mtime(dir) || below != tree.entries_below(dir) ||
                incomplete != tree.has(dir, entry_flag::Incomplete))
                return "a folder's totals do not add up";
        }
        return {};
    }
};

OsResult<void> write_saved_scan(int fd, const Tree& tree, const ScanFacts& facts) {
    return SavedScanAccess::write(fd, tree, facts);
}

LoadResult<LoadedTree> read_saved_scan(std::string_view bytes, std::shared_ptr<const void> keep,
                                       const ReadOptions& options) {
    return SavedScanAccess::read(bytes, std::move(keep), options);
}

}  // namespace orvalnest
