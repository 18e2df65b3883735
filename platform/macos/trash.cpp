// macOS: the Finder moves the item, so it lands in the right trash (per volume
// too) and the Finder's "Put Back" knows where it came from.
#include "../trash.hpp"

#include <crt_externs.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "../canonical_path.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"
#include "script_text.hpp"

namespace orvalnest::platform {

namespace {

// posix_spawn attributes and file actions, released on every way out.
struct SpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    int attributes_ok = -1;
    int actions_ok = -1;
    SpawnSetup() {
        attributes_ok = ::posix_spawnattr_init(&attributes);
        actions_ok = ::posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        if (attributes_ok == 0) ::posix_spawnattr_destroy(&attributes);
        if (actions_ok == 0) ::posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

TrashFailure spawn_failure(int code) { return TrashFailure::unknown(OsError::from_errno(code).text()); }

}  // namespace

TrashResult move_to_trash(std::string_view path, TrashSession&) {
    const auto item = canonicalize_path(path);
    if (!item) return std::unexpected(item.error());
    const std::string script = macos::finder_delete_script(item->full);

    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return std::unexpected(spawn_failure(errno));
    UniqueFd read_end(pipe_fds[0]);
    UniqueFd write_end(pipe_fds[1]);
    // macOS has no pipe2: mark them at once so children of other threads do
    // not keep the write end open (our read would then never end).
    ::fcntl(read_end.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(write_end.get(), F_SETFD, FD_CLOEXEC);

    SpawnSetup setup;
    if (setup.attributes_ok != 0) return std::unexpected(spawn_failure(setup.attributes_ok));
    if (setup.actions_ok != 0) return std::unexpected(spawn_failure(setup.actions_ok));
    // Only the three standard descriptors reach the child: the host
    // application's files and sockets stay private.
    int rc = ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
    if (rc == 0)
        rc = ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = ::posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDERR_FILENO);
    if (rc != 0) return std::unexpected(spawn_failure(rc));

    std::string program = "/usr/bin/osascript";
    std::string flag = "-e";
    char* argv[] = {program.data(), flag.data(), const_cast<char*>(script.c_str()), nullptr};
    pid_t child = 0;
    rc = ::posix_spawn(&child, program.c_str(), &setup.actions, &setup.attributes, argv, *::_NSGetEnviron());
    if (rc != 0) return std::unexpected(spawn_failure(rc));
    write_end.reset();  // so the read below ends when the child exits

    std::string stderr_bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
        if (n > 0) {
            stderr_bytes.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }

    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return std::unexpected(spawn_failure(errno));
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) return {};
        return std::unexpected(
            TrashFailure::os(WEXITSTATUS(status), macos::script_error_description(stderr_bytes)));
    }
    return std::unexpected(TrashFailure::unknown(macos::script_error_description(stderr_bytes)));
}

}  // namespace orvalnest::platform
