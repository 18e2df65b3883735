// Linked with -Wl,--wrap=<name> for each function below, so the extension
// binds none of the glibc symbol versions newer than 2.17 that the build
// machine's headers would pick: the wheel then loads on every manylinux2014
// system. Each wrapper does what glibc's own function does on 64-bit Linux:
// the same system call (with the same struct layout), or the same message
// table read through a locale that is never translated.
#include <fcntl.h>
#include <locale.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "orvalnest/eintr.hpp"

// The symbol version every 64-bit glibc has had from the start on this
// architecture; functions that glibc 2.34 moved from libpthread into libc
// still answer to it.
#if defined(__x86_64__)
#define ORVALNEST_GLIBC_BASE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define ORVALNEST_GLIBC_BASE "GLIBC_2.17"
#endif

extern "C" {

// glibc >= 2.33 exports the stat family as functions; before, they were inline
// calls to __xstat & co, which newer headers no longer offer.
int __wrap_stat(const char* path, struct stat* out) {
    return static_cast<int>(::syscall(SYS_newfstatat, AT_FDCWD, path, out, 0));
}
int __wrap_lstat(const char* path, struct stat* out) {
    return static_cast<int>(::syscall(SYS_newfstatat, AT_FDCWD, path, out, AT_SYMLINK_NOFOLLOW));
}
int __wrap_fstat(int fd, struct stat* out) { return static_cast<int>(::syscall(SYS_fstat, fd, out)); }
int __wrap_fstatat(int dirfd, const char* path, struct stat* out, int flags) {
    return static_cast<int>(::syscall(SYS_newfstatat, dirfd, path, out, flags));
}

// 2.30
ssize_t __wrap_getdents64(int fd, void* buffer, size_t size) {
    return static_cast<ssize_t>(::syscall(SYS_getdents64, fd, buffer, size));
}

// 2.28; callers already handle ENOSYS from kernels without them.
int __wrap_renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    return static_cast<int>(::syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}
int __wrap_statx(int dirfd, const char* path, int flags, unsigned int mask, struct statx* out) {
    return static_cast<int>(::syscall(SYS_statx, dirfd, path, flags, mask, out));
}

// 2.32. strerror_l under the "C" locale gives the same untranslated text; for
// an unknown code it gives "Unknown error N", which is what the caller makes
// of a null answer anyway.
const char* __wrap_strerrordesc_np(int code) {
    static const locale_t untranslated = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (untranslated == static_cast<locale_t>(nullptr)) return nullptr;
    return ::strerror_l(code, untranslated);
}

// The statically linked C++ runtime refers to these even though the module
// never starts a thread or reads std::random_device; they stay real all the
// same in case a later change does.

// 2.32. Zero means "maybe several threads", so reference counts always use
// atomic operations: slower by a hair, never wrong.
char __wrap___libc_single_threaded = 0;

// The thread functions glibc 2.34 moved into libc, bound to the version they
// have always had (the thread-specific data ones serve the C++ runtime's
// thread-local state and std::once_flag).
#if defined(ORVALNEST_GLIBC_BASE)
#define ORVALNEST_OLD(name, returns, parameters) \
    returns old_##name parameters;               \
    __asm__(".symver old_" #name "," #name "@" ORVALNEST_GLIBC_BASE);
#else
#define ORVALNEST_OLD(name, returns, parameters) \
    returns __real_##name parameters;            \
    static constexpr auto old_##name = __real_##name;
#endif
ORVALNEST_OLD(pthread_create, int, (pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))
ORVALNEST_OLD(pthread_join, int, (pthread_t, void**))
ORVALNEST_OLD(pthread_detach, int, (pthread_t))
ORVALNEST_OLD(pthread_once, int, (pthread_once_t*, void (*)()))
ORVALNEST_OLD(pthread_key_create, int, (pthread_key_t*, void (*)(void*)))
ORVALNEST_OLD(pthread_key_delete, int, (pthread_key_t))
ORVALNEST_OLD(pthread_getspecific, void*, (pthread_key_t))
ORVALNEST_OLD(pthread_setspecific, int, (pthread_key_t, const void*))

// 2.34
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                          void* arg) {
    return old_pthread_create(thread, attributes, start, arg);
}
int __wrap_pthread_join(pthread_t thread, void** result) { return old_pthread_join(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return old_pthread_detach(thread); }
int __wrap_pthread_once(pthread_once_t* once, void (*routine)()) { return old_pthread_once(once, routine); }
int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return old_pthread_key_create(key, destructor);
}
int __wrap_pthread_key_delete(pthread_key_t key) { return old_pthread_key_delete(key); }
void* __wrap_pthread_getspecific(pthread_key_t key) { return old_pthread_getspecific(key); }
int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    return old_pthread_setspecific(key, value);
}

// 2.30: condition_variable::wait_for waits against the steady clock. The same
// deadline on the real-time clock, taken just now, waits as long; a clock
// change during that one short wait can only stretch or shorten it.
int __wrap_pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return ::pthread_cond_timedwait(condition, mutex, deadline);
    struct timespec now {};
    struct timespec real {};
    ::clock_gettime(clock, &now);
    ::clock_gettime(CLOCK_REALTIME, &real);
    constexpr long long kBillion = 1000000000LL;
    const long long remaining = (static_cast<long long>(deadline->tv_sec) - now.tv_sec) * kBillion +
                                (deadline->tv_nsec - now.tv_nsec);
    const long long total = real.tv_nsec + (remaining > 0 ? remaining : 0);
    struct timespec until {};
    until.tv_sec = real.tv_sec + static_cast<time_t>(total / kBillion);
    until.tv_nsec = static_cast<long>(total % kBillion);
    return ::pthread_cond_timedwait(condition, mutex, &until);
}

// 2.25 and 2.36: the kernel's random source, as glibc reads it.
int __wrap_getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const long n =
            orvalnest::retry_on_eintr([&] { return ::syscall(SYS_getrandom, out + done, length - done, 0); });
        if (n < 0) return -1;
        done += static_cast<size_t>(n);
    }
    return 0;
}
uint32_t __wrap_arc4random() {
    uint32_t value = 0;
    while (__wrap_getentropy(&value, sizeof value) != 0) {
    }
    return value;
}
}
