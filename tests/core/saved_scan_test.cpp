// Saved scans and imported exports: a round trip keeps every value, and no
// damage to a file (cut short, any byte changed, counts and offsets made huge,
// folders made to contain themselves) gets past the reader as a crash or as a
// tree that breaks the tree's own rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "../../core/src/tree/tree_import.hpp"
#include "cleaner_test_support.hpp"
#include "orvalnest/saved_scan.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/unique_fd.hpp"
#include "orvalnest/xxhash64.hpp"

namespace orvalnest {
namespace {

using testing::TempDir;

TEST(Xxh64, MatchesTheReferenceValues) {
    std::string long_input;
    for (int i = 0; i < 768; ++i) long_input += static_cast<char>(i % 256);
    const std::tuple<std::string, std::uint64_t, std::uint64_t> cases[] = {
        {"", 0, 0xef46db3751d8e999},
        {"a", 0, 0xd24ec4f1a98c6e5b},
        {"abc", 0, 0x44bc2cf5ad770999},
        {long_input, 0, 0x8e03c838c596036f},
        {"orvalnest saved scan", 7, 0x83ffe4493d0a05c6},
    };
    for (const auto& [input, seed, expected] : cases) {
        EXPECT_EQ(xxh64(input, seed), expected) << input.size();
        Xxh64 pieces(seed);  // fed in uneven pieces, as the writer feeds chunks
        for (std::size_t at = 0; at < input.size(); at += 7)
            pieces.update(input.data() + at, std::min<std::size_t>(7, input.size() - at));
        EXPECT_EQ(pieces.digest(), expected) << input.size();
    }
}

// A small tree with every kind of entry, walked with two threads.
std::unique_ptr<Tree> sample_tree(const TempDir& dir) {
    dir.file("big.bin", 70000);
    dir.file("docs/a.txt", 3000);
    dir.file("docs/b.txt", 3000);
    dir.file("docs/deep/er/x.c", 10);
    dir.file("empty-file", 0);
    std::filesystem::create_directories(dir / "empty");
    std::filesystem::create_symlink("big.bin", dir / "link");
    std::filesystem::create_hard_link(dir / "big.bin", dir / "docs/hard");
    dir.file(std::string("caf\xe9"), 5);
    WalkOptions options;
    options.threads = 2;
    options.exclude = {"*.skip"};
    options.max_depth = 3;  // docs/deep/er is skipped: an issue of the skipped kind
    dir.file("x.skip", 1);
    return walk_tree(
        dir.path(), options, [] { return false; }, [](const WalkProgress&) {});
}

std::string saved_bytes(const Tree& tree, const ScanFacts& facts, const TempDir& dir) {
    const std::string path = dir / "saved.orvs";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    EXPECT_TRUE(write_saved_scan(fd.get(), tree, facts).has_value());
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The reader wants 8-byte alignment, as a mapping gives.
LoadResult<LoadedTree> read_bytes(const std::string& bytes, bool verify = true) {
    auto buffer = std::make_shared<std::vector<std::uint64_t>>(bytes.size() / 8 + 1);
    std::memcpy(buffer->data(), bytes.data(), bytes.size());
    return read_saved_scan({reinterpret_cast<const char*>(buffer->data()), bytes.size()}, buffer,
                           ReadOptions{verify});
}

// Reads every value of every entry, as the faces would: under the sanitizers
// a reference out of range shows here.
std::string everything(const Tree& tree) {
    std::ostringstream out;
    out << tree.root_path() << ' ' << tree.size() << ' ' << tree.directories() << ' ' << tree.excluded()
        << '\n';
    for (EntryIndex entry = 0; entry < tree.size(); ++entry) {
        const ChildRange range = tree.children(entry);
        out << tree.path(entry) << ' ' << int(tree.flags(entry)) << ' ' << int(tree.category(entry)) << ' '
            << tree.size(entry) << ' ' << tree.disk_usage(entry) << ' ' << tree.apparent_size(entry) << ' '
            << tree.mtime(entry) << ' ' << tree.newest_mtime(entry) << ' ' << tree.entries_below(entry) << ' '
            << tree.parent(entry) << ' ' << range.first << '+' << range.count << '\n';
    }
    for (const TreeIssue& issue : tree.issues())
        out << issue.path << ": " << issue.message << ' ' << issue.skipped << ' ' << issue.entry << '\n';
    return out.str();
}

TEST(SavedScan, ReadsBackEveryValueAndFact) {
    TempDir dir;
    const auto tree = sample_tree(dir);
    const ScanFacts facts{{"*.skip", "a/b"}, 1700000000, 2, true, TreeSource::Scan};
    const std::string bytes = saved_bytes(*tree, facts, dir);
    // The pool holds the names alone, not the partly filled chunks of two threads.
    EXPECT_LT(bytes.size(), 4096u);
    auto loaded = load_tree_file(dir / "saved.orvs");
    ASSERT_TRUE(loaded) << loaded.error().reason;
    EXPECT_EQ(everything(*loaded->tree), everything(*tree));
    EXPECT_EQ(loaded->tree->excluded(), 1u);
    EXPECT_EQ(loaded->facts.exclude, facts.exclude);
    EXPECT_EQ(std::tuple(loaded->facts.timestamp, loaded->facts.threads, loaded->facts.one_filesystem),
              std::tuple(facts.timestamp, facts.threads, facts.one_filesystem));
    // A file another user could change is copied, not mapped: it reads the same
    // whatever is written to the file later.
    ASSERT_EQ(::chmod((dir / "saved.orvs").c_str(), 0666), 0);
    auto copied = load_tree_file(dir / "saved.orvs");
    ASSERT_TRUE(copied);
    std::ofstream(dir / "saved.orvs", std::ios::in | std::ios::binary) << std::string(bytes.size(), '\0');
    EXPECT_EQ(everything(*copied->tree), everything(*tree));
}

// The section table's row for `name`: {offset of the row, section offset, size}.
std::tuple<std::size_t, std::uint64_t, std::uint64_t> section(const std::string& bytes,
                                                              std::string_view name) {
    std::uint32_t count;
    std::memcpy(&count, bytes.data() + 20, 4);
    for (std::size_t row = 96; row < 96 + count * 32u; row += 32) {
        if (bytes.compare(row, 4, name) != 0) continue;
        std::uint64_t offset, size;
        std::memcpy(&offset, bytes.data() + row + 8, 8);
        std::memcpy(&size, bytes.data() + row + 16, 8);
        return {row, offset, size};
    }
    throw std::out_of_range(std::string(name));
}

std::uint32_t get_u32(const std::string& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

template <typename T>
void poke(std::string& bytes, std::size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

TEST(SavedScanFuzz, EveryTruncationAndEveryByteFlipIsRefusedOrStillValid) {
    TempDir dir;
    const auto tree = sample_tree(dir);
    const std::string bytes = saved_bytes(*tree, {}, dir);
    for (std::size_t length = 0; length < bytes.size(); ++length) {
        auto loaded = read_bytes(bytes.substr(0, length));
        ASSERT_FALSE(loaded) << length;
        EXPECT_FALSE(loaded.error().reason.empty());
    }
    std::size_t survived = 0;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
        ASSERT_FALSE(read_bytes(damaged)) << "a flipped byte at " << at << " passed the checksums";
        // Without checksums, validation alone stands between the bytes and the faces.
        if (auto loaded = read_bytes(damaged, false)) {
            everything(*loaded->tree);
            ++survived;
        }
    }
    // Sizes, times and padding may change freely; references may not.
    EXPECT_GT(survived, 0u);
    EXPECT_LT(survived, bytes.size());
}

TEST(SavedScanFuzz, RandomDamageNeverCrashes) {
    TempDir dir;
    const auto tree = sample_tree(dir);
    const std::string bytes = saved_bytes(*tree, {}, dir);
    const unsigned seeds[] = {20261101u, std::random_device{}()};
    for (const unsigned seed : seeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        for (int round = 0; round < 3000; ++round) {
            std::string damaged = bytes;
            const int changes = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < changes; ++i) {
                const std::size_t at = 96 + random() % (damaged.size() - 96);  // past the header: deep damage
                damaged[at] = static_cast<char>(random());
            }
            if (auto loaded = read_bytes(damaged, false)) everything(*loaded->tree);
        }
    }
}

TEST(SavedScanFuzz, HugeCountsOffsetsAndCyclesAreRefused) {
    TempDir dir;
    std::filesystem::create_directories(dir / "d1/d2");
    WalkOptions options;
    options.max_depth = 2;  // d1/d2 is skipped: an issue that names its entry
    const auto tree = walk_tree(
        dir.path(), options, [] { return false; }, [](const WalkProgress&) {});
    const std::string bytes = saved_bytes(*tree, {}, dir);
    ASSERT_TRUE(read_bytes(bytes, false));
    std::vector<std::pair<std::string, std::function<void(std::string&)>>> damages = {
        {"entries", [](std::string& b) { poke<std::uint32_t>(b, 32, 0xFFFFFFF0u); }},
        {"folders", [](std::string& b) { poke<std::uint32_t>(b, 36, 0xFFFFFFF0u); }},
        {"pool", [](std::string& b) { poke<std::uint64_t>(b, 40, ~0ull); }},
        {"sections", [](std::string& b) { poke<std::uint32_t>(b, 20, 0xFFFFFFFFu); }},
        {"offset",
         [&](std::string& b) { poke<std::uint64_t>(b, std::get<0>(section(b, "PRNT")) + 8, ~0ull - 7); }},
        {"size",
         [&](std::string& b) { poke<std::uint64_t>(b, std::get<0>(section(b, "NAME")) + 16, ~0ull); }},
        {"issues",
         [&](std::string& b) { poke<std::uint32_t>(b, std::get<1>(section(b, "ISSU")), 0xFFFFFFFFu); }},
        {"issue entry",
         [&](std::string& b) { poke<std::uint32_t>(b, std::get<1>(section(b, "ISSU")) + 4, 3u); }},
        {"child range",
         [&](std::string& b) { poke<std::uint32_t>(b, std::get<1>(section(b, "DCNT")), 0xFFFFFFFFu); }},
        // The root's children start at entry 2 and run one past the last.
        {"one past",
         [&](std::string& b) {
             const auto slot = get_u32(b, std::get<1>(section(b, "AUXV")));
             poke<std::uint32_t>(b, std::get<1>(section(b, "DFST")) + 4 * slot, 2);
             poke<std::uint32_t>(b, std::get<1>(section(b, "DCNT")) + 4 * slot, 2);
         }},
        {"name", [&](std::string& b) { poke<std::uint64_t>(b, std::get<1>(section(b, "NAME")) + 8, ~0ull); }},
        // Entry 1's name, two bytes from the pool's last byte.
        {"name past pool",
         [&](std::string& b) { poke<std::uint64_t>(b, std::get<1>(section(b, "NAME")) + 8, 3 << 8 | 2); }},
        {"dot dot", [&](std::string& b) { b.replace(std::get<1>(section(b, "POOL")), 2, ".."); }},
        {"incomplete",
         [&](std::string& b) {
             b[std::get<1>(section(b, "FLAG"))] ^= static_cast<char>(entry_flag::Incomplete);
         }},
        {"folder row",
         [&](std::string& b) { poke<std::uint32_t>(b, std::get<1>(section(b, "AUXV")) + 4, 77u); }},
        // The root loses its child and d1 and d2 hold each other: every
        // range and parent agrees, but nothing below the root is reachable.
        {"cycle",
         [&](std::string& b) {
             const auto parents = std::get<1>(section(b, "PRNT")), aux = std::get<1>(section(b, "AUXV"));
             const auto firsts = std::get<1>(section(b, "DFST")), counts = std::get<1>(section(b, "DCNT"));
             const auto slot = [&](EntryIndex e) { return get_u32(b, aux + 4 * e); };
             poke<std::uint32_t>(b, counts + 4 * slot(0), 0);
             poke<std::uint32_t>(b, firsts + 4 * slot(1), 2);  // d2 (entry 1) holds d1 (entry 2)
             poke<std::uint32_t>(b, counts + 4 * slot(1), 1);
             poke<std::uint32_t>(b, parents + 4 * 2, 1);
         }},
    };
    ASSERT_EQ(std::pair(tree->name(1), tree->name(2)),
              std::pair(std::string_view("d2"), std::string_view("d1")));
    // Where a looser check would refuse the file later for another reason, the reason is checked too.
    const std::map<std::string, std::string> reasons = {
        {"cycle", "folders that contain themselves (a cycle)"},
        {"one past", "a folder's children lie outside the tree"},
        {"name past pool", "a name outside the pool"},
        {"dot dot", "a name that is not a single path component"},
        {"incomplete", "a folder's totals do not add up"},
        {"issue entry", "an issue names no entry"},
    };
    for (auto& [what, damage] : damages) {
        std::string damaged = bytes;
        damage(damaged);
        auto loaded = read_bytes(damaged, false);
        ASSERT_FALSE(loaded) << what;
        if (reasons.contains(what)) {
            EXPECT_EQ(loaded.error().reason, "damaged: " + reasons.at(what)) << what;
        }
    }
}

TEST(SavedScan, ForeignAndFutureFilesSayWhatTheyAre) {
    TempDir dir;
    dir.file("f", 1);
    const auto tree = walk_tree(
        dir.path(), {}, [] { return false; }, [](const WalkProgress&) {});
    const std::string bytes = saved_bytes(*tree, {}, dir);
    const std::pair<std::function<void(std::string&)>, std::string> cases[] = {
        {[](std::string& b) { poke<std::uint32_t>(b, 8, 2); }, "format version 2 by a newer orvalnest"},
        {[](std::string& b) { poke<std::uint32_t>(b, 12, 0x04030201u); }, "other byte order"},
        {[](std::string& b) { b[0] = 'x'; }, "not a saved scan"},
        {[](std::string& b) { b += "tail"; }, "bytes past the end"},
    };
    for (const auto& [damage, expected] : cases) {
        std::string changed = bytes;
        damage(changed);
        auto loaded = read_bytes(changed);
        ASSERT_FALSE(loaded);
        EXPECT_NE(loaded.error().reason.find(expected), std::string::npos) << loaded.error().reason;
    }
}

// A small ncdu export, cut and changed everywhere: each read ends in a tree
// or a reason, never a crash.
TEST(ImportFuzz, NcduAndJsonExportsSurviveTruncationAndFlips) {
    const std::string ncdu =
        R"([1,2,{"progname":"ncdu","timestamp":5},[{"name":"/r","asize":4096,"dsize":4096,"dev":7},)"
        R"([{"name":"d","asize":10,"dsize":4096,"read_error":true},{"name":"a\u00e9\"\ud83d\ude00\udc00","asize":3,"dsize":4096,)"
        R"("ino":9,"nlink":2,"hlnkc":true,"mtime":12}],{"name":"b","asize":3,"dsize":4096,"ino":9,"hlnkc":true},)"
        R"({"name":"l","asize":4,"dsize":0,"notreg":true},{"name":"x","excluded":"pattern"},)"
        R"({"name":"m","excluded":"otherfs"},{"name":"gone","read_error":true}]])";
    const std::string json =
        R"({"version":1,"timestamp":3,"excluded":1,"root":{"name":"r","path":"/r","size":3,"disk_usage":8192,)"
        R"("is_dir":true,"children":[{"name":"a","path":"/r/a","size":3,"disk_usage":4096,"is_dir":false,)"
        R"("is_hardlink":true,"name_raw":"%E9","children":[]}]},"issues":[{"path":"/r/z","message":"denied"}]})";
    auto ncdu_tree = import_ncdu(-1, ncdu);
    ASSERT_TRUE(ncdu_tree) << ncdu_tree.error().reason;
    const Tree& tree = *ncdu_tree->tree;
    EXPECT_EQ(tree.size(), 6u);                // the root, d, a, b, l and m
    EXPECT_EQ(tree.disk_usage(0), 3 * 4096u);  // the hard link once
    EXPECT_EQ(tree.excluded(), 1u);
    EXPECT_EQ(tree.issues().size(), 3u);
    // Escapes decoded, a surrogate pair to its one character, a lone one to U+FFFD.
    EXPECT_NE(everything(tree).find("/r/d/a\xc3\xa9\"\xf0\x9f\x98\x80\xef\xbf\xbd "), std::string::npos);
    EXPECT_TRUE(tree.has(0, entry_flag::Unreadable | entry_flag::Incomplete));
    auto json_tree = import_orvalnest_json(-1, json);
    ASSERT_TRUE(json_tree) << json_tree.error().reason;
    EXPECT_EQ(json_tree->tree->name(1), "\xe9");
    EXPECT_TRUE(json_tree->tree->has(0, entry_flag::Unreadable));
    for (const std::string* text : {&ncdu, &json}) {
        for (std::size_t length = 0; length < text->size(); ++length) {
            const std::string cut = text->substr(0, length);
            EXPECT_FALSE(text == &ncdu ? import_ncdu(-1, cut) : import_orvalnest_json(-1, cut)) << cut;
        }
        for (std::size_t at = 0; at < text->size(); ++at) {
            for (const char with : {'[', '{', '"', '\\', '9', ',', '/', '\0'}) {
                std::string changed = *text;
                changed[at] = with;
                auto loaded = text == &ncdu ? import_ncdu(-1, changed) : import_orvalnest_json(-1, changed);
                if (loaded) everything(*loaded->tree);
            }
        }
    }
}

}  // namespace
}  // namespace orvalnest
