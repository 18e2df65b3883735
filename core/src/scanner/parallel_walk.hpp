// The walk on several threads: workers list directories taken from a shared
// queue while the calling thread coordinates. The tree, the issues and their
// order are those of the sequential walk.
#pragma once

#include <string_view>

#include "orvalnest/function_ref.hpp"
#include "orvalnest/scanner.hpp"

namespace orvalnest::scanner_detail {

// How often the calling thread polls while the workers walk.
inline constexpr unsigned kParallelPollMilliseconds = 20;

// Walks with `options.threads` workers. `is_cancelled` and `poll` run only on
// the calling thread, once as the workers start and then every
// kParallelPollMilliseconds while the walk lasts;
// once `is_cancelled` says so, every worker stops at its next entry. Every
// thread is joined and every descriptor closed before it returns or throws
// (a worker's exception is rethrown here). Open descriptors stay below
// 2 x threads + 2 whatever the tree's shape.
WalkOutcome parallel_walk(std::string_view root, const WalkOptions& options, FunctionRef<bool()> is_cancelled,
                          FunctionRef<void(const WalkProgress&)> poll);

}  // namespace orvalnest::scanner_detail
