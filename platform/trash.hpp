// Moving one filesystem item to the user's trash. One backend per OS sits
// behind move_to_trash; the failure kinds and their text are shared.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>

namespace orvalnest::platform {

enum class TrashFailureKind { Unknown, Os, CanonicalizePath };

struct TrashFailure {
    TrashFailureKind kind = TrashFailureKind::Unknown;
    int code = 0;             // Os
    std::string description;  // Unknown and Os: UTF-8 text
    std::string original;     // CanonicalizePath: the path that could not be resolved (native bytes)

    static TrashFailure unknown(std::string description) {
        return {TrashFailureKind::Unknown, 0, std::move(description), {}};
    }
    static TrashFailure os(int code, std::string description) {
        return {TrashFailureKind::Os, code, std::move(description), {}};
    }
    static TrashFailure canonicalize_path(std::string original) {
        return {TrashFailureKind::CanonicalizePath, 0, {}, std::move(original)};
    }

    // "Error during a `trash` operation: Os { code: 1, description: \"...\" }"
    std::string text() const;
};

using TrashResult = std::expected<void, TrashFailure>;

// What one request's moves learn for the next ones: where the search for a
// free name in a trash folder ended for each item name, so that 10,000 items
// called "x.txt" cost one probe each rather than one per earlier item. Owned
// by one request (one thread); a hint that has gone stale only costs probes.
class TrashSession {
public:
    unsigned first_attempt(const std::string& key) const {
        const auto found = next_attempt_.find(key);
        return found == next_attempt_.end() ? 0 : found->second;
    }
    void remember(std::string key, unsigned next) {
        if (next > 1) next_attempt_.insert_or_assign(std::move(key), next);
    }

private:
    std::unordered_map<std::string, unsigned> next_attempt_;
};

// Moves the item at `path` (absolute, already validated by the caller) to the
// trash. Blocks until the move is done or has failed; never follows a symbolic
// link in the last component.
TrashResult move_to_trash(std::string_view path, TrashSession& session);
inline TrashResult move_to_trash(std::string_view path) {
    TrashSession session;
    return move_to_trash(path, session);
}

}  // namespace orvalnest::platform
