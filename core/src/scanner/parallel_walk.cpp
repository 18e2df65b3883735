#include "parallel_walk.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dir_reader.hpp"
#include "orvalnest/open_beneath.hpp"
#include "visit_rules.hpp"

namespace orvalnest::scanner_detail {
namespace {

// A directory waiting to be listed. Its node sits in its parent's finished
// children (or is the root), so the address stays put until the final pass.
struct DirTask {
    NodeRecord* node;
    unsigned depth;
    dev_t device;
    dev_t parent_device;  // the root's own, which spares it the pseudo-filesystem check made already
};

// What the final pass needs of a listed directory to replay the sequential
// order: issues and multiply linked files, by their place in the listing.
struct DirNotes {
    std::vector<std::pair<std::size_t, IssueRecord>> issues;  // met before the child at that index
    std::vector<std::pair<std::size_t, InodeKey>> links;      // the child at that index
    bool empty() const { return issues.empty() && links.empty(); }
};

// One worker's own state. The counters are published for the coordinator's
// progress; the rest is read only once the worker is joined.
struct alignas(64) Worker {
    std::atomic<std::uint64_t> entries{0};
    std::atomic<std::uint64_t> size{0};
    std::atomic<std::uint64_t> disk_usage{0};
    std::unique_ptr<std::byte[]> buffer = std::make_unique_for_overwrite<std::byte[]>(kDirBufferSize);
    std::vector<std::pair<const NodeRecord*, DirNotes>> notes;
    std::uint64_t excluded = 0;
};

// Workers publish their counters this often (in entries) and after each directory.
constexpr std::uint64_t kPublishInterval = 256;

class ParallelWalk {
public:
    ParallelWalk(std::string_view root, const WalkOptions& options)
        : root_(root), rules_(options), exclude_(options.exclude), workers_(options.threads) {
        for (auto& worker : workers_) worker = std::make_unique<Worker>();
    }

    WalkOutcome run(FunctionRef<bool()> is_cancelled, FunctionRef<void(const WalkProgress&)> poll) {
        const EntryPath root_path{nullptr, root_};
        struct stat metadata {};
        const auto c_root = rules_.read_root(root_, metadata);
        if (!c_root) return unlisted_root(root_path, c_root.error());
        Examined examined = rules_.examine(root_path, metadata, 0, nullptr);
        if (examined.kind == Examined::Kind::Skip) return outcome(root_path.make_node(true), 1);
        root_node_ = std::move(examined.node);
        if (examined.kind == Examined::Kind::Leaf) return outcome(std::move(root_node_), 1);

        // Every directory is opened again below this descriptor.
        base_fd_ = open_listed_directory(AT_FDCWD, c_root->c_str());
        if (auto issue = check_entered(base_fd_, root_node_, metadata.st_dev, nullptr)) {
            issues_.push_back({std::string(root_), std::move(*issue)});
            return outcome(std::move(root_node_), 1);
        }
        if (is_cancelled()) return outcome(std::move(root_node_), 1);
        queue_.push_back(DirTask{&root_node_, 0, metadata.st_dev, metadata.st_dev});
        unfinished_ = 1;

        coordinate(is_cancelled, poll);
        if (failure_) std::rethrow_exception(failure_);
        base_fd_.reset();
        settle_all();
        std::uint64_t entries = 1;
        for (const auto& worker : workers_) {
            entries += worker->entries.load(std::memory_order_relaxed);
            excluded_ += worker->excluded;
        }
        return outcome(std::move(root_node_), entries);
    }

private:
    WalkOutcome unlisted_root(const EntryPath& root, const OsError& error) {
        issues_.push_back({root.joined(), error.text()});
        return outcome(root.make_node(true), 0);
    }

    WalkOutcome outcome(NodeRecord root, std::uint64_t entries) {
        return {std::move(root), std::move(issues_), excluded_, entries};
    }

    // Starts the workers, polls until they are done or told to stop, and joins
    // them on every way out.
    void coordinate(FunctionRef<bool()> is_cancelled, FunctionRef<void(const WalkProgress&)> poll) {
        std::vector<std::thread> threads;
        struct Joiner {
            ParallelWalk& walk;
            std::vector<std::thread>& threads;
            ~Joiner() {
                walk.stop();
                for (auto& thread : threads) thread.join();
            }
        } joiner{*this, threads};
        threads.reserve(workers_.size());
        for (auto& worker : workers_) threads.emplace_back([this, &worker] { work(*worker); });

        // A poll at once, as the sequential walk's first comes early too: Ctrl+C
        // pressed before the scan started stops it before any waiting.
        poll(progress());
        if (is_cancelled()) return;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                const auto interval = std::chrono::milliseconds(kParallelPollMilliseconds);
                if (finished_.wait_for(lock, interval, [&] { return unfinished_ == 0 || stopping_; })) return;
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
        {
            std::lock_guard lock(current_mutex_);
            polled_directory_ = current_;
        }
        so_far.directory = polled_directory_ ? polled_directory_.text() : std::string_view(root_);
        return so_far;
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        stop_requested_.store(true, std::memory_order_relaxed);
        work_ready_.notify_all();
        finished_.notify_all();
    }

    void work(Worker& self) {
        std::vector<DirTask> found;
        for (;;) {
            DirTask task;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [&] { return stopping_ || unfinished_ == 0 || !queue_.empty(); });
                if (stopping_ || queue_.empty()) return;
                task = queue_.back();
                queue_.pop_back();
            }
            found.clear();
            try {
                list(task, self, found);
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
                queue_.insert(queue_.end(), found.rbegin(),
                              found.rend());  // the first listed comes out first
                unfinished_ += found.size();
                done = --unfinished_ == 0;
            }
            if (done) {
                work_ready_.notify_all();
                finished_.notify_all();
            } else if (found.size() > 1) {
                work_ready_.notify_all();  // this worker takes one itself
            }
        }
    }

    // The path below the root descriptor of a directory's full path.
    std::string_view relative(std::string_view full) const {
        std::string_view below = full.substr(root_.size());
        if (below.starts_with('/')) below.remove_prefix(1);
        return below.empty() ? "." : below;
    }

    // Lists one directory into its node and gathers its subdirectories.
    void list(const DirTask& task, Worker& self, std::vector<DirTask>& found) {
        NodeRecord& dir = *task.node;
        const SharedPathRef path = dir.is_root() ? SharedPathRef::concat({root_})
                                                 : EntryPath{&dir.directory, dir.tail()}.make_shared();
        {
            std::lock_guard lock(current_mutex_);
            current_ = path;
        }
        DirNotes notes;
        auto opened = open_beneath(base_fd_.get(), relative(path.text()), O_RDONLY | O_DIRECTORY);
        if (!opened) errno = opened.error().code();  // what check_entered reports
        UniqueFd fd = opened ? std::move(*opened) : UniqueFd();
        if (auto issue = check_entered(fd, dir, task.device, &task.parent_device)) {
            notes.issues.push_back({0, {std::string(path.text()), std::move(*issue)}});
            self.notes.emplace_back(&dir, std::move(notes));
            return;
        }

        std::vector<std::pair<std::size_t, dev_t>> subdirectories;
        std::uint64_t entries = 0, size = 0, disk = 0;
        const auto publish = [&] {
            self.entries.fetch_add(std::exchange(entries, 0), std::memory_order_relaxed);
            self.size.fetch_add(std::exchange(size, 0), std::memory_order_relaxed);
            self.disk_usage.fetch_add(std::exchange(disk, 0), std::memory_order_relaxed);
        };
        auto& children = dir.children;
        DirReader reader(std::move(fd), self.buffer.get());
        struct stat metadata {};
        while (!stop_requested_.load(std::memory_order_relaxed)) {
            const DirReader::Next next = reader.next();
            if (next.step == DirReader::Step::End) break;
            if (next.step == DirReader::Step::Error) {
                notes.issues.push_back(
                    {children.size(), {std::string(path.text()), OsError::from_errno(next.error).text()}});
                continue;
            }
            const EntryPath entry{&path, {next.name, next.name_size}};
            if (!exclude_.empty() && exclude_.excludes(next.name, [&] { return entry.joined(); })) {
                ++self.excluded;
                continue;
            }
            if (::fstatat(reader.fd(), next.name, &metadata, AT_SYMLINK_NOFOLLOW) != 0) {
                notes.issues.push_back({children.size(), {entry.joined(), OsError::last().text()}});
                continue;
            }
            if (++entries == kPublishInterval) publish();
            Examined examined = rules_.examine(entry, metadata, task.depth + 1, &task.device);
            if (examined.kind == Examined::Kind::Skip) continue;
            NodeRecord& node = examined.node;
            if (examined.issue) notes.issues.push_back({children.size(), {entry.joined(), *examined.issue}});
            size += node.size;
            if (node.is_hardlink) {
                // Which link counts is settled at the end; meanwhile each shows its share.
                notes.links.push_back({children.size(), {metadata.st_dev, metadata.st_ino}});
                disk += node.disk_usage / metadata.st_nlink;
            } else {
                disk += node.disk_usage;
            }
            if (examined.kind == Examined::Kind::Enter)
                subdirectories.push_back({children.size(), metadata.st_dev});
            children.push_back(std::move(node));
        }
        publish();
        children.shrink_to_fit();  // from here on the children stay where they are
        for (const auto& [index, device] : subdirectories) {
            found.push_back(DirTask{&children[index], task.depth + 1, device, task.device});
        }
        if (!notes.empty()) self.notes.emplace_back(&dir, std::move(notes));
    }

    // Once the workers are joined: replays the sequential walk's order over the
    // tree to count each hard-linked inode at its first link and to put the
    // issues in order, then sums and sorts every directory, deepest first.
    void settle_all() {
        for (auto& worker : workers_) {
            for (auto& [node, notes] : worker->notes) notes_.emplace(node, &notes);
        }
        settle(root_node_);
        notes_.clear();
        for (auto& worker : workers_) worker->notes.clear();
    }

    void settle(NodeRecord& dir) {
        const auto found = notes_.find(&dir);
        DirNotes* notes = found == notes_.end() ? nullptr : found->second;
        std::size_t next_issue = 0, next_link = 0;
        const auto issues_before = [&](std::size_t index) {
            for (; notes && next_issue < notes->issues.size() && notes->issues[next_issue].first <= index;
                 ++next_issue) {
                issues_.push_back(std::move(notes->issues[next_issue].second));
            }
        };
        std::uint64_t total = 0, disk = dir.disk_usage;
        auto& children = dir.children;
        for (std::size_t index = 0; index < children.size(); ++index) {
            issues_before(index);
            NodeRecord& child = children[index];
            if (notes && next_link < notes->links.size() && notes->links[next_link].first == index) {
                if (!links_.first_meeting(notes->links[next_link].second)) child.disk_usage = 0;
                ++next_link;
            }
            if (child.is_dir) settle(child);
            total = saturating_add(total, child.size);
            disk = saturating_add(disk, child.disk_usage);
        }
        issues_before(children.size());
        dir.size = total;
        dir.disk_usage = disk;
        sort_largest_first(children);
    }

    const std::string_view root_;
    VisitRules rules_;
    const ExcludeRules exclude_;
    std::vector<std::unique_ptr<Worker>> workers_;
    NodeRecord root_node_;
    UniqueFd base_fd_;

    std::mutex mutex_;  // guards the queue and the fields up to stop_requested_
    std::condition_variable work_ready_;
    std::condition_variable finished_;
    std::vector<DirTask> queue_;  // last in, first out: depth first, so few tasks wait at once
    std::size_t unfinished_ = 0;  // tasks queued or being listed
    bool stopping_ = false;
    std::exception_ptr failure_;
    std::atomic<bool> stop_requested_{false};  // read at every entry, without the lock

    std::mutex current_mutex_;
    SharedPathRef current_;  // the directory a worker started last
    SharedPathRef polled_directory_;

    // The final pass, on the calling thread.
    std::unordered_map<const NodeRecord*, DirNotes*> notes_;
    LinkedInodes links_;
    std::vector<IssueRecord> issues_;
    std::uint64_t excluded_ = 0;
};

}  // namespace

WalkOutcome parallel_walk(std::string_view root, const WalkOptions& options, FunctionRef<bool()> is_cancelled,
                          FunctionRef<void(const WalkProgress&)> poll) {
    return ParallelWalk(root, options).run(is_cancelled, poll);
}

}  // namespace orvalnest::scanner_detail
