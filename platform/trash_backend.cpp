#include "trash_backend.hpp"

#include <unistd.h>

namespace orvalnest::platform {

namespace {

ItemToTrash item_of(const Candidate& candidate) {
    return {candidate.parent.get(), candidate.name, candidate.resolved, candidate.facts,
            candidate.parent_facts};
}

}  // namespace

PlatformTrash::PlatformTrash(const PathPolicy& policy) : session_(::geteuid(), policy.home_trash()) {}

std::expected<MovedItem, MoveFailure> PlatformTrash::move(const Candidate& candidate, AfterMove after) {
    const auto check = [&](std::string_view moved) -> std::optional<TrashFailure> {
        auto refused = after(moved);
        if (!refused) return std::nullopt;
        return TrashFailure::unknown(std::move(refused->text), refused->cause);
    };
    auto moved = move_to_trash(item_of(candidate), session_, check);
    if (!moved) return std::unexpected(moved.error().as_move_failure());
    return MovedItem{std::move(moved->trash_dir), std::move(moved->name)};
}

std::optional<MoveFailure> PlatformTrash::probe(const Candidate& candidate) {
    auto failure = probe_move(item_of(candidate), session_);
    if (!failure) return std::nullopt;
    return failure->as_move_failure();
}

}  // namespace orvalnest::platform
