#include "tree_builder.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "orvalnest/saturating.hpp"

namespace orvalnest {

TreeBuilder::TreeBuilder(Tree& tree, TreeOrder order, std::string root_path) : tree_(tree), order_(order) {
    tree_.root_path_ = std::move(root_path);
    tree_.order_ = order;
    ensure_rows(1);
}

void TreeBuilder::ensure_rows(std::size_t end) {
    for (auto* column : {&tree_.parent_, &tree_.aux_}) column->ensure(end);
    for (auto* column : {&tree_.name_, &tree_.size_, &tree_.disk_usage_}) column->ensure(end);
    tree_.mtime_.ensure(end);
    tree_.flags_.ensure(end);
    tree_.category_.ensure(end);
}

std::uint64_t TreeBuilder::NameWriter::add(std::string_view name) {
    if (next_ + name.size() > end_) {
        const std::uint64_t chunk = builder_.pool_chunks_.fetch_add(1, std::memory_order_relaxed);
        next_ = chunk << Tree::kPoolChunkBits;
        end_ = next_ + (std::uint64_t{1} << Tree::kPoolChunkBits);
        if (end_ > decltype(builder_.tree_.pool_)::kCapacity) throw std::length_error("name pool full");
        builder_.tree_.pool_.ensure(end_);
    }
    std::memcpy(builder_.tree_.pool_.chunk_at(next_), name.data(), name.size());
    const std::uint64_t reference = next_ << 8 | name.size();
    next_ += name.size();
    return reference;
}

std::string_view TreeBuilder::name(std::uint64_t reference) const {
    return {tree_.pool_.chunk_at(reference >> 8), static_cast<std::size_t>(reference & 0xFF)};
}

EntryIndex TreeBuilder::reserve(std::uint32_t count) {
    const std::uint64_t first = entries_.fetch_add(count, std::memory_order_relaxed);
    if (first + count >= kNoEntry) throw std::length_error("more than 2^32 - 1 entries");
    ensure_rows(first + count);
    return static_cast<EntryIndex>(first);
}

void TreeBuilder::write(EntryIndex at, const EntryRow& row, EntryIndex parent) {
    tree_.parent_[at] = parent;
    tree_.name_[at] = row.name;
    tree_.flags_[at] = row.flags;
    tree_.category_[at] = static_cast<std::uint8_t>(row.category);
    tree_.size_[at] = row.size;
    tree_.disk_usage_[at] = row.disk_usage;
    tree_.mtime_[at] = row.mtime;
    tree_.aux_[at] = row.aux;
}

EntryRow TreeBuilder::read(EntryIndex entry) const {
    EntryRow row;
    row.name = tree_.name_[entry];
    row.flags = tree_.flags_[entry];
    row.category = tree_.category(entry);
    row.size = tree_.size_[entry];
    row.disk_usage = tree_.disk_usage_[entry];
    row.mtime = tree_.mtime_[entry];
    row.aux = tree_.aux_[entry];
    return row;
}

TreeBuilder::PlacedChildren TreeBuilder::finish_directory(EntryRow& own, const std::vector<EntryRow>& rows) {
    const auto count = static_cast<std::uint32_t>(rows.size());
    // A folder's `size` is its children's alone (as scan() counts it); its
    // disk usage and apparent size include its own blocks.
    EntryRow totals = own;
    totals.size = 0;
    totals.newest = own.mtime;
    totals.below = count;
    bool incomplete = own.has(entry_flag::Unreadable | entry_flag::Skipped);
    for (const EntryRow& row : rows) {
        totals.size = saturating_add(totals.size, row.size);
        totals.disk_usage = saturating_add(totals.disk_usage, row.disk_usage);
        totals.apparent = saturating_add(totals.apparent, row.apparent);
        totals.newest = std::max(totals.newest, row.newest);
        totals.below += row.below;
        incomplete |= row.has(entry_flag::Incomplete);
    }
    const auto order = ordered(rows);
    const EntryIndex first = count ? reserve(count) : 0;
    std::vector<EntryIndex> placed(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        const EntryRow& row = rows[order[k]];
        const EntryIndex at = first + k;
        placed[order[k]] = at;
        write(at, row, kNoEntry);
        if (row.has(entry_flag::Dir)) set_parent(tree_.children(at), at);
    }
    own.size = totals.size;
    own.disk_usage = totals.disk_usage;
    own.apparent = totals.apparent;
    own.newest = totals.newest;
    own.below = totals.below;
    if (incomplete) own.flags |= entry_flag::Incomplete;
    own.aux = add_directory({first, count}, totals);
    return {{first, count}, std::move(placed)};
}

std::uint32_t TreeBuilder::add_directory(ChildRange children, const EntryRow& totals) {
    const std::uint32_t slot = directories_.fetch_add(1, std::memory_order_relaxed);
    const std::size_t end = std::size_t{slot} + 1;
    tree_.first_child_.ensure(end);
    tree_.child_count_.ensure(end);
    tree_.dir_apparent_.ensure(end);
    tree_.dir_newest_.ensure(end);
    tree_.dir_below_.ensure(end);
    tree_.first_child_[slot] = children.first;
    tree_.child_count_[slot] = children.count;
    tree_.dir_apparent_[slot] = totals.apparent;
    tree_.dir_newest_[slot] = totals.newest;
    tree_.dir_below_[slot] = totals.below;
    return slot;
}

void TreeBuilder::set_parent(ChildRange range, EntryIndex parent) {
    for (EntryIndex child = range.first; child < range.first + range.count; ++child)
        tree_.parent_[child] = parent;
}

void TreeBuilder::rewrite_children_parent(EntryIndex entry) {
    if (tree_.is_dir(entry)) set_parent(tree_.children(entry), entry);
}

bool TreeBuilder::comes_before(const EntryRow& a, const EntryRow& b) const {
    if (a.disk_usage != b.disk_usage) return a.disk_usage > b.disk_usage;
    return name(a.name) < name(b.name);
}

namespace {

// Eight bytes of a name from `at` on, as a number that orders as the bytes do
// (a name that ends first has zeros there, which no name holds).
std::uint64_t name_key(std::string_view name, std::size_t at) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        const std::size_t position = at + i;
        key = key << 8 | (position < name.size() ? static_cast<unsigned char>(name[position]) : 0u);
    }
    return key;
}

}  // namespace

std::vector<std::uint32_t> TreeBuilder::ordered(const std::vector<EntryRow>& rows) const {
    std::vector<std::uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    if (order_ == TreeOrder::ApparentSize) {
        std::ranges::stable_sort(
            order, [&](std::uint32_t a, std::uint32_t b) { return rows[a].size > rows[b].size; });
        return order;
    }
    if (rows.size() < 64) {
        std::ranges::sort(order,
                          [&](std::uint32_t a, std::uint32_t b) { return comes_before(rows[a], rows[b]); });
        return order;
    }
    // A wide folder is mostly equal sizes whose names share a long start
    // ("IMG_2024..."): compared from the first byte they differ in, eight at a
    // time as integers, the sort costs no more per entry than a small folder's.
    std::string_view first = name(rows[0].name);
    std::size_t shared = first.size();
    for (const EntryRow& row : rows) {
        const std::string_view other = name(row.name);
        shared = std::min(shared, other.size());
        shared = static_cast<std::size_t>(std::ranges::mismatch(first.substr(0, shared), other).in1 -
                                          first.begin());
    }
    struct Key {
        std::uint64_t disk_usage;
        std::uint64_t name;
        std::uint32_t row;
    };
    std::vector<Key> keys(rows.size());
    for (std::uint32_t k = 0; k < rows.size(); ++k)
        keys[k] = {rows[k].disk_usage, name_key(name(rows[k].name), shared), k};
    std::ranges::sort(keys, [&](const Key& a, const Key& b) {
        if (a.disk_usage != b.disk_usage) return a.disk_usage > b.disk_usage;
        if (a.name != b.name) return a.name < b.name;
        const auto rest = [&](const Key& key) {
            const std::string_view whole = name(rows[key.row].name);
            return whole.substr(std::min(whole.size(), shared + 8));
        };
        return rest(a) < rest(b);
    });
    for (std::uint32_t k = 0; k < rows.size(); ++k) order[k] = keys[k].row;
    return order;
}

void TreeBuilder::adjust_upwards(EntryIndex entry, std::int64_t disk, std::int64_t apparent,
                                 std::vector<EntryIndex>& changed) {
    for (EntryIndex at = entry;; at = tree_.parent_[at]) {
        tree_.disk_usage_[at] += static_cast<std::uint64_t>(disk);
        if (tree_.is_dir(at)) tree_.dir_apparent_[tree_.aux_[at]] += static_cast<std::uint64_t>(apparent);
        if (at == 0) return;
        changed.push_back(tree_.parent_[at]);
    }
}

void TreeBuilder::finish(std::vector<TreeIssue> issues, std::uint64_t excluded, std::uint64_t examined) {
    tree_.entries_ = entries_.load(std::memory_order_relaxed);
    tree_.directories_ = directories_.load(std::memory_order_relaxed);
    tree_.issues_ = std::move(issues);
    tree_.excluded_ = excluded;
    tree_.examined_ = examined;
}

}  // namespace orvalnest
