// The walk: each directory is listed whole (every entry's metadata read
// relative to its descriptor), then its subdirectories become tasks on a
// last-in-first-out queue, which one thread or several take from. A directory
// is finished, its children sorted and written to the tree in one range, when
// the last of its subdirectories is; so the tree grows as the walk goes and no
// second copy of it is ever held.
//
// Issues and hard links carry their place in a depth-first walk in listing
// order (a key of listing positions), so however the work was shared out,
// issues come out in that order and each hard-linked inode is counted at the
// link that order meets first. Links are counted provisionally where first met
// and corrected at the end in the rare case another link comes first.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../tree/tree_builder.hpp"
#include "dir_reader.hpp"
#include "orvalnest/eintr.hpp"
#include "orvalnest/open_beneath.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/saturating.hpp"
#include "orvalnest/scanner.hpp"
#include "visit_rules.hpp"

namespace orvalnest {

std::string_view root_name(std::string_view root) {
    if (const auto final = paths::final_name(root)) return *final;
    return root;
}

namespace scanner_detail {
namespace {

// Listing positions from the root: a directory's key is its parent's plus
// 2 x its index + 1; whatever happens between two children of a directory
// gets that directory's key plus 2 x the index of the next child.
using Key = std::vector<std::uint32_t>;

// Depth-first order: a key comes before the keys it is a prefix of.
bool key_before(const Key& a, const Key& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

constexpr std::uint32_t kOwnRow = 0xFFFFFFFFu;  // a note about the directory itself
constexpr std::uint32_t kNoRow = 0xFFFFFFFEu;   // a note about an entry that has no row

struct IssueNote {
    Key key;
    std::uint32_t sequence;  // order among the notes of one directory with the same key
    std::uint32_t row;       // the child it concerns, kOwnRow or kNoRow
    TreeIssue issue;
};

struct LinkNote {
    Key key;
    InodeKey inode;
    std::uint64_t disk_usage;
    std::uint64_t apparent;
    bool counted;
    std::uint32_t row;
    EntryIndex entry = kNoEntry;
};

// One directory from the moment it is found until it is finished.
struct DirTask {
    DirTask* parent = nullptr;
    std::uint32_t row_in_parent = 0;
    unsigned depth = 0;
    dev_t device = 0;
    Key key;
    std::vector<EntryRow> rows;  // the children, in listing order
    std::vector<IssueNote> notes;
    std::vector<LinkNote> links;
    std::uint32_t sequence = 0;
    std::mutex handed_up;   // guards `notes` once the listing is over (children hand theirs up)
    UniqueFd fd;            // held while subdirectories still have to open below it
    bool holds_fd = false;  // set before the subdirectories are queued
    std::atomic<std::uint32_t> unopened{0};
    std::atomic<std::uint32_t> unfinished{0};
};

// One worker's own state. The counters are published for the coordinator's
// progress; the rest is read only once the worker is joined.
struct alignas(64) Worker {
    explicit Worker(TreeBuilder& builder) : names(builder) {}
    std::atomic<std::uint64_t> entries{0};
    std::atomic<std::uint64_t> size{0};
    std::atomic<std::uint64_t> disk_usage{0};
    std::unique_ptr<std::byte[]> buffer = std::make_unique_for_overwrite<std::byte[]>(kDirBufferSize);
    TreeBuilder::NameWriter names;
    std::string path;            // of the directory being listed, then of an entry in it
    std::size_t dir_length = 0;  // of the directory's path in `path`
    std::vector<IssueNote> issues;
    std::vector<LinkNote> links;
    std::uint64_t excluded = 0;
    DirTask* current = nullptr;  // being listed, for the clean-up after a failure
    std::mutex shown_mutex;
    std::string shown;  // the directory last started, for the progress
};

class Walk {
public:
    Walk(std::string_view root, const WalkOptions& options, Tree& tree)
        : root_(root),
          options_(options),
          rules_(options),
          exclude_(options.exclude),
          builder_(tree, options.order, std::string(root)) {
        const unsigned threads = std::max(1u, options.threads);
        for (unsigned i = 0; i < threads; ++i) workers_.push_back(std::make_unique<Worker>(builder_));
    }

    ~Walk() { abandon_unfinished(); }

    void run(FunctionRef<bool()> is_cancelled, FunctionRef<void(const WalkProgress&)> poll) {
        if (start()) {
            if (workers_.size() == 1) {
                work_here(is_cancelled, poll);
            } else {
                coordinate(is_cancelled, poll);
            }
            if (failure_) std::rethrow_exception(failure_);
        }
        settle();
    }

private:
    // ---- the root ----

    // Writes the root's row, or queues it; true when there is a walk to do.
    bool start() {
        struct stat metadata {};
        const auto c_root = rules_.read_root(root_, metadata);
        root_row_.category = Category::Directory;
        if (!c_root) {
            root_row_.flags = entry_flag::Dir | entry_flag::Unreadable | entry_flag::Incomplete;
            root_task_.notes.push_back(
                own_note(root_task_, std::string(root_), c_root.error().text(), false));
            finish(root_task_, *workers_[0]);
            return false;
        }
        Examined examined = rules_.examine(root_, metadata, 0, nullptr, builder_);
        if (examined.kind == Examined::Kind::Skip) {
            root_row_.flags = entry_flag::Dir;
            finish(root_task_, *workers_[0]);
            return false;
        }
        root_row_ = examined.row;
        if (examined.kind == Examined::Kind::Leaf) {
            if (!root_row_.has(entry_flag::Dir)) root_row_.flags |= entry_flag::CountedLink;
            builder_.write(0, root_row_, kNoEntry);
            return false;
        }
        root_task_.device = metadata.st_dev;
        root_task_.fd = UniqueFd(retry_on_eintr(
            [&] { return ::open(c_root->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
        root_open_error_ = errno;
        queue_.push_back(&root_task_);
        pending_ = 1;
        return true;
    }

    // ---- scheduling ----

    void work_here(FunctionRef<bool()> is_cancelled, FunctionRef<void(const WalkProgress&)> poll) {
        Worker& self = *workers_[0];
        const auto tick = [&] {
            const std::uint64_t examined = 1 + self.entries.load(std::memory_order_relaxed);
            if (examined % SIGNAL_POLL_INTERVAL != 0) return;
            poll(WalkProgress{examined, self.size.load(std::memory_order_relaxed),
                              self.disk_usage.load(std::memory_order_relaxed),
                              std::string_view(self.path).substr(0, self.dir_length)});
            if (is_cancelled()) stop_.store(true, std::memory_order_relaxed);
        };
        while (!queue_.empty() && !stop_.load(std::memory_order_relaxed)) {
            if (is_cancelled()) break;
            DirTask* task = queue_.back();
            queue_.pop_back();
            list(*task, self, tick);
        }
    }

    // Starts the workers, polls until they are done or told to stop, and joins
    // them on every way out.
    void coordinate(FunctionRef<bool()> is_cancelled, FunctionRef<void(const WalkProgress&)> poll) {
        std::vector<std::thread> threads;
        struct Joiner {
            Walk& walk;
            std::vector<std::thread>& threads;
            ~Joiner() {
                walk.stop();
                for (auto& thread : threads) thread.join();
            }
        } joiner{*this, threads};
        threads.reserve(workers_.size());
        for (auto& worker : workers_) threads.emplace_back([this, &worker] { work(*worker); });

        // A poll at once, as the one-thread walk's first comes early too: Ctrl+C
        // pressed before the scan started stops it before any waiting.
        poll(progress());
        if (is_cancelled()) return;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                const auto interval = std::chrono::milliseconds(20);
                if (all_done_.wait_for(lock, interval, [&] { return pending_ == 0 || stopping_; })) return;
            }
            poll(progress());
            if (is_cancelled()) return;  // the joiner stops the workers
        }
    }

    WalkProgress progress() {
        WalkProgress so_far;
        so_far.entries = 1;
        for (const auto& worker : workers_) {
            so_far.entries += worker->entries.load(std::memory_order_relaxed);
            so_far.size = saturating_add(so_far.size, worker->size.load(std::memory_order_relaxed));
            so_far.disk_usage =
                saturating_add(so_far.disk_usage, worker->disk_usage.load(std::memory_order_relaxed));
        }
        shown_.clear();
        for (const auto& worker : workers_) {
            std::lock_guard lock(worker->shown_mutex);
            if (!worker->shown.empty()) {
                shown_ = worker->shown;
                break;
            }
        }
        so_far.directory = shown_.empty() ? root_ : std::string_view(shown_);
        return so_far;
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        stop_.store(true, std::memory_order_relaxed);
        work_ready_.notify_all();
        all_done_.notify_all();
    }

    void work(Worker& self) {
        const auto tick = [] {};
        for (;;) {
            DirTask* task;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [&] { return stopping_ || pending_ == 0 || !queue_.empty(); });
                if (stopping_ || queue_.empty()) return;
                task = queue_.back();
                queue_.pop_back();
            }
            try {
                list(*task, self, tick);
            } catch (...) {
                {
                    std::lock_guard lock(mutex_);
                    if (!failure_) failure_ = std::current_exception();
                }
                stop();
                return;
            }
            bool done;
            {
                std::lock_guard lock(mutex_);
                done = --pending_ == 0;
            }
            if (done) {
                work_ready_.notify_all();
                all_done_.notify_all();
            }
        }
    }

    void enqueue(std::vector<DirTask*>& found) {
        {
            std::lock_guard lock(mutex_);
            queue_.insert(queue_.end(), found.rbegin(), found.rend());  // the first listed comes out first
            pending_ += found.size();
        }
        if (workers_.size() > 1) work_ready_.notify_all();
    }

    // ---- listing one directory ----

    EntryRow& own_row(DirTask& task) {
        return task.parent ? task.parent->rows[task.row_in_parent] : root_row_;
    }

    // The directory's path into self.path, its names taken from the rows above it.
    void build_path(const DirTask& task, Worker& self) {
        std::vector<std::string_view> names;
        for (const DirTask* at = &task; at->parent; at = at->parent)
            names.push_back(builder_.name(at->parent->rows[at->row_in_parent].name));
        self.path.assign(root_);
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            if (!self.path.ends_with('/')) self.path += '/';
            self.path += *name;
        }
        self.dir_length = self.path.size();
    }

    const std::string& directory_path(Worker& self) {
        self.path.resize(self.dir_length);
        return self.path;
    }

    const std::string& entry_path(Worker& self, std::string_view name) {
        self.path.resize(self.dir_length);
        if (!self.path.ends_with('/')) self.path += '/';
        self.path += name;
        return self.path;
    }

    // Opens a directory below its parent's descriptor, or, when the parent
    // kept none, below the root's, never following a link. On failure errno
    // tells why.
    UniqueFd open_directory(DirTask& task, const Worker& self) {
        DirTask& parent = *task.parent;
        UniqueFd fd;
        if (parent.holds_fd || !parent.parent) {
            const char* name = self.path.c_str() + self.path.size() -
                               builder_.name(parent.rows[task.row_in_parent].name).size();
            fd = UniqueFd(retry_on_eintr([&] {
                return ::openat(parent.fd.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }));
        } else {
            std::string_view below = std::string_view(self.path).substr(root_.size());
            if (below.starts_with('/')) below.remove_prefix(1);
            auto opened = open_beneath(root_task_.fd.get(), below, O_RDONLY | O_DIRECTORY);
            if (opened)
                fd = std::move(*opened);
            else
                errno = opened.error().code();
        }
        const int error = errno;
        if (parent.holds_fd && parent.unopened.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            parent.fd.reset();
            held_.fetch_sub(1, std::memory_order_relaxed);
        }
        errno = error;
        return fd;
    }

    IssueNote own_note(DirTask& task, std::string path, std::string message, bool skipped) {
        return {task.key, task.sequence++, kOwnRow, {std::move(path), std::move(message), skipped}};
    }

    template <typename Tick>
    void list(DirTask& task, Worker& self, Tick&& tick) {
        self.current = &task;
        build_path(task, self);
        if (workers_.size() > 1) {
            std::lock_guard lock(self.shown_mutex);
            self.shown = self.path;
        }
        EntryRow& own = own_row(task);
        UniqueFd opened;
        const bool is_root = !task.parent;
        if (!is_root) opened = open_directory(task, self);
        const int fd = is_root ? task.fd.get() : opened.get();
        if (fd < 0) {
            own.flags |= entry_flag::Unreadable | entry_flag::Incomplete;
            const OsError error = is_root ? OsError::from_errno(root_open_error_) : OsError::last();
            task.notes.push_back(own_note(task, self.path, error.text(), false));
            return finish_upwards(task, self);
        }
        const dev_t* parent_device = is_root ? nullptr : &task.parent->device;
        if (auto skipped = check_entered(fd, own, task.device, parent_device)) {
            task.notes.push_back(own_note(task, self.path, std::move(*skipped), true));
            return finish_upwards(task, self);
        }

        std::vector<std::pair<std::uint32_t, dev_t>> subdirectories;
        // One writer each: plain loads and stores, read by the coordinator's progress.
        const auto add = [](std::atomic<std::uint64_t>& counter, std::uint64_t value) {
            counter.store(counter.load(std::memory_order_relaxed) + value, std::memory_order_relaxed);
        };
        const auto between = [&] {
            Key key = task.key;
            key.push_back(2 * static_cast<std::uint32_t>(task.rows.size()));
            return key;
        };
        DirReader reader(fd, self.buffer.get(), options_.read_directory);
        struct stat metadata {};
        while (!stop_.load(std::memory_order_relaxed)) {
            const DirReader::Next next = reader.next();
            if (next.step == DirReader::Step::End) break;
            const std::string_view name(next.name, next.name_size);
            if (next.step == DirReader::Step::Error) {
                own.flags |= entry_flag::Unreadable | entry_flag::Incomplete;
                task.notes.push_back({between(),
                                      task.sequence++,
                                      kOwnRow,
                                      {directory_path(self), OsError::from_errno(next.error).text()}});
                continue;
            }
            if (!exclude_.empty() && exclude_.excludes(entry_path(self, name), name.size())) {
                ++self.excluded;
                continue;
            }
            if (retry_on_eintr([&] { return ::fstatat(fd, next.name, &metadata, AT_SYMLINK_NOFOLLOW); }) !=
                0) {
                const std::string message = OsError::last().text();
                own.flags |= entry_flag::Unreadable | entry_flag::Incomplete;
                task.notes.push_back({between(), task.sequence++, kNoRow, {entry_path(self, name), message}});
                continue;
            }
            add(self.entries, 1);
            Examined examined = rules_.examine(name, metadata, task.depth + 1, &self.names, builder_);
            if (examined.kind != Examined::Kind::Skip) {
                EntryRow& row = examined.row;
                const auto index = static_cast<std::uint32_t>(task.rows.size());
                if (examined.linked) {
                    const InodeKey inode{metadata.st_dev, metadata.st_ino};
                    const bool counted = links_.first_meeting(inode);
                    Key key = task.key;
                    key.push_back(2 * index + 1);
                    task.links.push_back(
                        {std::move(key), inode, row.disk_usage, row.apparent, counted, index});
                    if (!counted) row.disk_usage = row.apparent = 0;
                }
                if (!row.has(entry_flag::Dir) && (!examined.linked || task.links.back().counted))
                    row.flags |= entry_flag::CountedLink;
                if (examined.issue) {
                    Key key = task.key;
                    key.push_back(2 * index + 1);
                    task.notes.push_back({std::move(key),
                                          task.sequence++,
                                          index,
                                          {entry_path(self, name), std::move(*examined.issue), true}});
                }
                if (examined.kind == Examined::Kind::Enter)
                    subdirectories.push_back({index, metadata.st_dev});
                add(self.size, row.size);
                add(self.disk_usage, row.disk_usage);
                task.rows.push_back(row);
            }
            tick();
        }
        directory_path(self);
        if (subdirectories.empty()) return finish_upwards(task, self);

        // Subdirectories open below this one's descriptor while few are held.
        if (!is_root) {
            if (held_.fetch_add(1, std::memory_order_relaxed) < kHeldDescriptors) {
                task.fd = std::move(opened);
                task.holds_fd = true;
                task.unopened.store(static_cast<std::uint32_t>(subdirectories.size()),
                                    std::memory_order_relaxed);
            } else {
                held_.fetch_sub(1, std::memory_order_relaxed);
            }
        }
        task.unfinished.store(static_cast<std::uint32_t>(subdirectories.size()), std::memory_order_relaxed);
        std::vector<DirTask*> found;
        found.reserve(subdirectories.size());
        for (const auto& [index, device] : subdirectories) {
            auto child = std::make_unique<DirTask>();
            child->parent = &task;
            child->row_in_parent = index;
            child->depth = task.depth + 1;
            child->device = device;
            child->key = task.key;
            child->key.push_back(2 * index + 1);
            found.push_back(child.release());
        }
        self.current = nullptr;
        enqueue(found);  // from here on the children may finish this task
    }

    // ---- finishing ----

    // Finishes `task` and every directory above it whose last subdirectory it was.
    void finish_upwards(DirTask& task, Worker& self) {
        self.current = nullptr;
        for (DirTask* at = &task;;) {
            DirTask* parent = at->parent;
            finish(*at, self);
            if (!parent) return;
            delete at;
            if (parent->unfinished.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
            at = parent;
        }
    }

    // Sums and sorts a listed directory's children and writes them to the tree.
    void finish(DirTask& task, Worker& self) {
        EntryRow& own = own_row(task);
        const auto& rows = task.rows;
        const auto [range, placed] = builder_.finish_directory(own, rows);

        for (LinkNote& link : task.links) {
            link.entry = placed[link.row];
            self.links.push_back(std::move(link));
        }
        std::vector<IssueNote> own_notes;
        {
            std::lock_guard lock(task.handed_up);
            for (IssueNote& note : task.notes) {
                if (note.row == kOwnRow) {
                    own_notes.push_back(std::move(note));
                    continue;
                }
                if (note.row != kNoRow) note.issue.entry = placed[note.row];
                self.issues.push_back(std::move(note));
            }
        }
        if (!task.parent) {
            builder_.write(0, own, kNoEntry);
            builder_.set_parent(range, 0);
            for (IssueNote& note : own_notes) {
                note.issue.entry = 0;
                self.issues.push_back(std::move(note));
            }
        } else if (!own_notes.empty()) {
            std::lock_guard lock(task.parent->handed_up);
            for (IssueNote& note : own_notes) {
                note.row = task.row_in_parent;
                task.parent->notes.push_back(std::move(note));
            }
        }
        std::vector<EntryRow>().swap(task.rows);
        std::vector<IssueNote>().swap(task.notes);
        std::vector<LinkNote>().swap(task.links);
    }

    // Once every directory is finished: each hard-linked inode counted at the
    // link a one-thread depth-first walk meets first, and the issues in that
    // walk's order.
    void settle() {
        std::vector<LinkNote> links;
        std::vector<IssueNote> notes;
        std::uint64_t excluded = 0, examined = 1;
        for (auto& worker : workers_) {
            std::ranges::move(worker->links, std::back_inserter(links));
            std::ranges::move(worker->issues, std::back_inserter(notes));
            excluded += worker->excluded;
            examined += worker->entries.load(std::memory_order_relaxed);
        }
        std::vector<TreeIssue> issues;
        std::stable_sort(notes.begin(), notes.end(), [](const IssueNote& a, const IssueNote& b) {
            if (key_before(a.key, b.key)) return true;
            if (key_before(b.key, a.key)) return false;
            return a.sequence < b.sequence;
        });
        issues.reserve(notes.size());
        for (IssueNote& note : notes) issues.push_back(std::move(note.issue));
        recount_links(links, issues);
        builder_.finish(std::move(issues), excluded, examined);
    }

    void recount_links(std::vector<LinkNote>& links, std::vector<TreeIssue>& issues) {
        std::ranges::sort(links, [](const LinkNote& a, const LinkNote& b) {
            if (a.inode != b.inode) return a.inode < b.inode;
            return key_before(a.key, b.key);
        });
        std::vector<EntryIndex> changed;
        for (std::size_t start = 0; start < links.size();) {
            std::size_t end = start + 1;
            while (end < links.size() && links[end].inode == links[start].inode) ++end;
            const LinkNote& first = links[start];
            if (!first.counted) {
                for (std::size_t i = start + 1; i < end; ++i) {
                    if (!links[i].counted) continue;
                    move_count(links[i], first, changed);
                    break;
                }
            }
            start = end;
        }
        if (changed.empty() || options_.order != TreeOrder::DiskUsage) return;
        // Deepest first: sorting a directory's children moves no entry below them.
        const Tree& tree = builder_.tree();
        std::vector<std::pair<unsigned, EntryIndex>> by_depth;
        std::ranges::sort(changed);
        changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
        for (EntryIndex directory : changed) {
            unsigned depth = 0;
            for (EntryIndex at = directory; at != 0; at = tree.parent(at)) ++depth;
            by_depth.push_back({depth, directory});
        }
        std::ranges::sort(by_depth, std::greater{});
        for (const auto& [depth, directory] : by_depth) {
            std::unordered_map<EntryIndex, EntryIndex> moves;
            builder_.reorder_children(directory, [&](EntryIndex from, EntryIndex to) { moves[from] = to; });
            for (TreeIssue& issue : issues) {
                if (const auto moved = moves.find(issue.entry); moved != moves.end())
                    issue.entry = moved->second;
            }
        }
    }

    void move_count(const LinkNote& from, const LinkNote& to, std::vector<EntryIndex>& changed) {
        const Tree& tree = builder_.tree();
        builder_.set_flags(from.entry, tree.flags(from.entry) & ~entry_flag::CountedLink);
        builder_.adjust_upwards(from.entry, -static_cast<std::int64_t>(from.disk_usage),
                                -static_cast<std::int64_t>(from.apparent), changed);
        builder_.set_flags(to.entry, tree.flags(to.entry) | entry_flag::CountedLink);
        builder_.adjust_upwards(to.entry, static_cast<std::int64_t>(to.disk_usage),
                                static_cast<std::int64_t>(to.apparent), changed);
    }

    // After a stop: frees the tasks that were never finished (those queued and
    // every directory above them, and any a failing worker held).
    void abandon_unfinished() {
        std::unordered_set<DirTask*> unfinished;
        const auto add_with_parents = [&](DirTask* task) {
            for (; task && task != &root_task_; task = task->parent) {
                if (!unfinished.insert(task).second) break;
            }
        };
        for (DirTask* task : queue_) add_with_parents(task);
        for (const auto& worker : workers_) add_with_parents(worker->current);
        for (DirTask* task : unfinished) delete task;
    }

    const std::string_view root_;
    const WalkOptions& options_;
    VisitRules rules_;
    const ExcludeRules exclude_;
    TreeBuilder builder_;
    LinkedInodes links_;
    std::vector<std::unique_ptr<Worker>> workers_;
    DirTask root_task_;
    EntryRow root_row_;
    std::atomic<int> held_{0};
    int root_open_error_ = 0;
    std::string shown_;

    std::mutex mutex_;  // guards the queue and the fields up to failure_
    std::condition_variable work_ready_;
    std::condition_variable all_done_;
    std::vector<DirTask*> queue_;  // last in, first out: depth first, so few tasks wait at once
    std::size_t pending_ = 0;      // tasks queued or being listed
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::atomic<bool> stop_{false};  // read at every entry, without the lock
};

}  // namespace
}  // namespace scanner_detail

std::unique_ptr<Tree> walk_tree(std::string_view root, const WalkOptions& options,
                                FunctionRef<bool()> is_cancelled,
                                FunctionRef<void(const WalkProgress&)> poll) {
    auto tree = std::make_unique<Tree>();
    scanner_detail::Walk(root, options, *tree).run(is_cancelled, poll);
    return tree;
}

}  // namespace orvalnest
