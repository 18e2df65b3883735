#include "../purge.hpp"

namespace orvalnest::platform {

// The Finder keeps its own trash and its own records of what went there; items
// are emptied from it by the Finder, never behind its back.
std::vector<PurgeOutcome> purge_trash(std::span<const PurgeCandidate>, TrashSession&, bool, PurgeRecorder) {
    return {};
}

}  // namespace orvalnest::platform
