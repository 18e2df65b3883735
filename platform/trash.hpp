// Moving one filesystem item to the user's trash. One backend per OS sits
// behind move_to_trash; the failure kinds and their text are shared.
#pragma once

#include <sys/types.h>

#include <expected>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "orvalnest/entry_facts.hpp"
#include "orvalnest/function_ref.hpp"
#include "orvalnest/move_failure.hpp"
#include "orvalnest/user_dirs.hpp"

namespace orvalnest::platform {

enum class TrashFailureKind { Unknown, Os, CanonicalizePath };

struct TrashFailure {
    TrashFailureKind kind = TrashFailureKind::Unknown;
    int code = 0;             // Os
    std::string description;  // Unknown and Os: UTF-8 text
    std::string original;     // CanonicalizePath: the path that could not be resolved (native bytes)
    // Why, as a value; the errno behind it is `code` for Os failures.
    FailureCause cause = FailureCause::Other;

    static TrashFailure unknown(std::string description, FailureCause cause = FailureCause::Other) {
        return {TrashFailureKind::Unknown, 0, std::move(description), {}, cause};
    }
    static TrashFailure os(int code, std::string description) {
        return {TrashFailureKind::Os, code, std::move(description), {}, FailureCause::Os};
    }
    static TrashFailure canonicalize_path(std::string original) {
        return {TrashFailureKind::CanonicalizePath, 0, {}, std::move(original), FailureCause::Other};
    }

    // "Error during a `trash` operation: Os { code: 1, description: \"...\" }"
    std::string text() const;
    MoveFailure as_move_failure() const { return {cause, code, text()}; }
};

using TrashResult = std::expected<void, TrashFailure>;

// Where a moved item went: the trash folder and its name in files/ there.
struct TrashedItem {
    std::string trash_dir;  // native bytes
    std::string name;
};

// The entry to move, as the caller judged it: its name in the folder `parent`
// (a descriptor the caller opened without following links), its full path
// (for Path= and messages) and what it was when judged. The move checks
// afterwards that it moved that very entry.
struct ItemToTrash {
    int parent = -1;
    std::string_view name;
    std::string_view path;
    EntryFacts facts;
    EntryFacts parent_facts;
};

namespace linux_trash {
struct TrashLocation;
}

// What the moves of one request share: the user and the home trash, fixed
// with the interpreter lock held (the environment is read nowhere else), the
// trash folders opened so far, and where the search for a free name in a
// trash folder ended for each item name, so that 10,000 items called "x.txt"
// cost one probe each rather than one per earlier item. Owned by one request
// (one thread); a hint that has gone stale only costs probes.
class TrashSession {
public:
    TrashSession(uid_t user, std::optional<HomeTrash> home_trash);
    ~TrashSession();
    TrashSession(const TrashSession&) = delete;
    TrashSession& operator=(const TrashSession&) = delete;

    uid_t user() const { return user_; }
    const std::optional<HomeTrash>& home_trash() const { return home_trash_; }

    unsigned first_attempt(const std::string& key) const {
        const auto found = next_attempt_.find(key);
        return found == next_attempt_.end() ? 0 : found->second;
    }
    void remember(std::string key, unsigned next) {
        if (next > 1) next_attempt_.insert_or_assign(std::move(key), next);
    }

    // The trash folder opened for items of the mount `mount`, kept for the
    // request's later items.
    std::shared_ptr<linux_trash::TrashLocation> location(std::uint64_t mount) const;
    void keep_location(std::uint64_t mount, std::shared_ptr<linux_trash::TrashLocation> location);

private:
    uid_t user_;
    std::optional<HomeTrash> home_trash_;
    std::unordered_map<std::string, unsigned> next_attempt_;
    std::map<std::uint64_t, std::shared_ptr<linux_trash::TrashLocation>> locations_;
};

// Asked after a folder was moved, with its real path in the trash: a failure
// puts it back (a filesystem was mounted below it meanwhile, say).
using MovedCheck = FunctionRef<std::optional<TrashFailure>(std::string_view moved_path)>;

// Moves `item` to the trash. Blocks until the move is done or has failed;
// never follows a symbolic link. When what was moved is not the entry that was
// judged, or `check` refuses it, the item is put back and the move fails.
std::expected<TrashedItem, TrashFailure> move_to_trash(const ItemToTrash& item, TrashSession& session,
                                                       MovedCheck check);

// What moving `item` would meet, without changing anything: the permissions
// the rename needs, and a trash folder that exists or can be made on the
// item's filesystem.
std::optional<TrashFailure> probe_move(const ItemToTrash& item, TrashSession& session);

// The item at the absolute `path` (its parent resolved with realpath, the
// last component not), moved, or probed, with the home trash the environment
// names now.
TrashResult move_to_trash(std::string_view path);
std::optional<TrashFailure> probe_move(std::string_view path);

}  // namespace orvalnest::platform
