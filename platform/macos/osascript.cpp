#include "osascript.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "orvalnest/eintr.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"
#include "script_text.hpp"

#if defined(__APPLE__)
#include <crt_externs.h>
#define ORVALNEST_ENVIRON (*::_NSGetEnviron())
#else
extern char** environ;
#define ORVALNEST_ENVIRON ::environ
#endif

namespace orvalnest::platform::macos {

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

TrashFailure start_failure(int code) { return TrashFailure::unknown(OsError::from_errno(code).text()); }

}  // namespace

TrashResult run_osascript(std::string_view script_view) {
    const std::string script(script_view);
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return std::unexpected(start_failure(errno));
    UniqueFd read_end(pipe_fds[0]);
    UniqueFd write_end(pipe_fds[1]);
    // macOS has no pipe2: mark them at once so children of other threads do
    // not keep the write end open (our read would then never end).
    ::fcntl(read_end.get(), F_SETFD, FD_CLOEXEC);
    ::fcntl(write_end.get(), F_SETFD, FD_CLOEXEC);

    SpawnSetup setup;
    if (setup.attributes_ok != 0) return std::unexpected(start_failure(setup.attributes_ok));
    if (setup.actions_ok != 0) return std::unexpected(start_failure(setup.actions_ok));
    int rc = 0;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    // Only the three standard descriptors reach the child: the host
    // application's files and sockets stay private.
    rc = ::posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_CLOEXEC_DEFAULT);
#endif
    if (rc == 0)
        rc = ::posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0)
        rc = ::posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDERR_FILENO);
    if (rc != 0) return std::unexpected(start_failure(rc));

    std::string program = "osascript";
    std::string flag = "-e";
    char* argv[] = {program.data(), flag.data(), const_cast<char*>(script.c_str()), nullptr};
    pid_t child = 0;
    rc = ::posix_spawnp(&child, program.c_str(), &setup.actions, &setup.attributes, argv, ORVALNEST_ENVIRON);
    if (rc != 0) return std::unexpected(start_failure(rc));
    write_end.reset();  // so the read below ends when the child exits

    std::string stderr_bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t n = retry_on_eintr([&] { return ::read(read_end.get(), buffer, sizeof buffer); });
        if (n <= 0) break;
        stderr_bytes.append(buffer, static_cast<size_t>(n));
    }

    int status = 0;
    if (retry_on_eintr([&] { return ::waitpid(child, &status, 0); }) < 0)
        return std::unexpected(start_failure(errno));
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) return {};
        return std::unexpected(TrashFailure::os(WEXITSTATUS(status), script_error_description(stderr_bytes)));
    }
    return std::unexpected(TrashFailure::unknown(script_error_description(stderr_bytes)));
}

}  // namespace orvalnest::platform::macos
