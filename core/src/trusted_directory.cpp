#include "orvalnest/trusted_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>

#include "orvalnest/eintr.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

#if defined(O_PATH)
constexpr int kLookFlags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kLookFlags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
#endif

// Linux's own limit on links in one lookup.
constexpr int kMaxLinks = 40;

struct Step {
    std::string name;
    bool may_create;
};

void push_components(std::deque<Step>& steps, std::string_view path, std::size_t create_last) {
    std::deque<Step> parts;
    for (const auto& component : paths::components(path)) {
        if (component.kind == paths::ComponentKind::Root) continue;
        parts.push_back({std::string(component.text), false});
    }
    for (std::size_t i = 0; i < parts.size(); ++i) parts[i].may_create = parts.size() - i <= create_last;
    steps.insert(steps.begin(), parts.begin(), parts.end());
}

std::unexpected<TrustError> os_failure(const std::string& where) {
    return std::unexpected(TrustError{TrustProblem::Os, OsError::last(), where, 0});
}

struct Looked {
    UniqueFd fd;         // the entry itself (not for a link where O_PATH is missing)
    struct stat status;  // of the entry, a link not followed
    std::string target;  // a link's target
};

std::expected<Looked, TrustError> look(int dir, const Step& step, const std::string& here) {
    Looked out{};
    const char* name = step.name.c_str();
#if defined(O_PATH)
    // O_PATH | O_NOFOLLOW opens a link as itself: its owner and target are then
    // read from the very link that was looked at, not from a name that could
    // be replaced in between.
    out.fd.reset(retry_on_eintr([&] { return ::openat(dir, name, kLookFlags); }));
    if (!out.fd && errno == ENOENT && step.may_create) {
        if (::mkdirat(dir, name, 0700) != 0 && errno != EEXIST) return os_failure(here);
        out.fd.reset(retry_on_eintr([&] { return ::openat(dir, name, kLookFlags); }));
    }
    if (!out.fd) return os_failure(here);
    if (::fstat(out.fd.get(), &out.status) != 0) return os_failure(here);
    if (!S_ISLNK(out.status.st_mode)) return out;
    const int at = out.fd.get();
    const char* link_name = "";
#else
    if (::fstatat(dir, name, &out.status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT && step.may_create) {
        if (::mkdirat(dir, name, 0700) != 0 && errno != EEXIST) return os_failure(here);
    }
    if (::fstatat(dir, name, &out.status, AT_SYMLINK_NOFOLLOW) != 0) return os_failure(here);
    if (!S_ISLNK(out.status.st_mode)) {
        out.fd.reset(retry_on_eintr([&] { return ::openat(dir, name, kLookFlags | O_DIRECTORY); }));
        if (!out.fd || ::fstat(out.fd.get(), &out.status) != 0) return os_failure(here);
        return out;
    }
    const int at = dir;
    const char* link_name = name;
#endif
    out.target.assign(static_cast<std::size_t>(out.status.st_size) + 1, '\0');
    const ssize_t n = ::readlinkat(at, link_name, out.target.data(), out.target.size());
    if (n < 0) return os_failure(here);
    // A link that grew since it was looked at is not the one whose owner was checked.
    if (static_cast<std::size_t>(n) >= out.target.size())
        return std::unexpected(TrustError{TrustProblem::Os, OsError::from_errno(ELOOP), here});
    out.target.resize(static_cast<std::size_t>(n));
    return out;
}

}  // namespace

std::string TrustError::text() const {
    const std::string shown = lossy_utf8(path);
    switch (problem) {
        case TrustProblem::Os:
            return shown + ": " + error.text();
        case TrustProblem::ForeignLink:
            return shown + " is a symbolic link owned by user " + std::to_string(owner) +
                   "; only links of the user running this or of root are followed";
        case TrustProblem::ForeignFolder:
            return shown + " is owned by user " + std::to_string(owner) + ", not by the user running this (" +
                   std::to_string(::geteuid()) + ")";
    }
    return shown;
}

std::expected<UniqueFd, TrustError> open_trusted_folder(std::string_view absolute_path,
                                                        const TrustedFolder& how) {
    if (!paths::is_absolute(absolute_path)) {
        return std::unexpected(
            TrustError{TrustProblem::Os, OsError::from_errno(EINVAL), std::string(absolute_path)});
    }
    if (auto c = paths::c_path(absolute_path); !c)
        return std::unexpected(TrustError{TrustProblem::Os, c.error(), std::string(absolute_path)});
    UniqueFd current(retry_on_eintr([] { return ::open("/", kLookFlags | O_DIRECTORY); }));
    if (!current) return os_failure("/");
    std::string reached = "/";  // for messages: where the walk is

    std::deque<Step> steps;
    push_components(steps, absolute_path, how.create_last);
    int links = 0;
    while (!steps.empty()) {
        const Step step = std::move(steps.front());
        steps.pop_front();
        const std::string here = paths::join(reached, step.name);
        auto looked = look(current.get(), step, here);
        if (!looked) return std::unexpected(looked.error());
        if (S_ISLNK(looked->status.st_mode)) {
            if (looked->status.st_uid != how.user && looked->status.st_uid != 0) {
                return std::unexpected(TrustError{TrustProblem::ForeignLink, OsError::from_errno(0), here,
                                                  looked->status.st_uid});
            }
            if (++links > kMaxLinks)
                return std::unexpected(TrustError{TrustProblem::Os, OsError::from_errno(ELOOP), here});
            // What the link names is no longer the path as written: nothing
            // there is created on our behalf.
            push_components(steps, looked->target, 0);
            if (paths::is_absolute(looked->target)) {
                current.reset(retry_on_eintr([] { return ::open("/", kLookFlags | O_DIRECTORY); }));
                if (!current) return os_failure("/");
                reached = "/";
            }
            continue;
        }
        const struct stat& st = looked->status;
        UniqueFd next = std::move(looked->fd);
        // As mkdir -p says it: a file where a folder is to be made exists already.
        if (!S_ISDIR(st.st_mode)) {
            return std::unexpected(
                TrustError{TrustProblem::Os, OsError::from_errno(step.may_create ? EEXIST : ENOTDIR), here});
        }
        current = std::move(next);
        reached = step.name == ".." ? std::string(paths::parent(reached).value_or("/")) : here;
    }
    struct stat st {};
    if (::fstat(current.get(), &st) != 0) return os_failure(reached);
    if (how.must_own && st.st_uid != how.user)
        return std::unexpected(TrustError{TrustProblem::ForeignFolder, OsError::from_errno(0),
                                          std::string(absolute_path), st.st_uid});
    return current;
}

}  // namespace orvalnest
