// Moving one filesystem item to the user's trash. One backend per OS sits
// behind move_to_trash; the failure kinds and their text are shared.
#pragma once

#include <expected>
#include <string>
#include <string_view>

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

// Moves the item at `path` (absolute, already validated by the caller) to the
// trash. Blocks until the move is done or has failed; never follows a symbolic
// link in the last component.
TrashResult move_to_trash(std::string_view path);

}  // namespace orvalnest::platform
