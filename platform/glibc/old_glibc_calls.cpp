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

#include <cerrno>
#include <cstddef>
#include <cstdint>

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

#if defined(ORVALNEST_GLIBC_BASE)
int old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int old_pthread_join(pthread_t, void**);
int old_pthread_detach(pthread_t);
__asm__(".symver old_pthread_create,pthread_create@" ORVALNEST_GLIBC_BASE);
__asm__(".symver old_pthread_join,pthread_join@" ORVALNEST_GLIBC_BASE);
__asm__(".symver old_pthread_detach,pthread_detach@" ORVALNEST_GLIBC_BASE);
#else
int __real_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __real_pthread_join(pthread_t, void**);
int __real_pthread_detach(pthread_t);
#define old_pthread_create __real_pthread_create
#define old_pthread_join __real_pthread_join
#define old_pthread_detach __real_pthread_detach
#endif

// 2.34
int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                          void* arg) {
    return old_pthread_create(thread, attributes, start, arg);
}
int __wrap_pthread_join(pthread_t thread, void** result) { return old_pthread_join(thread, result); }
int __wrap_pthread_detach(pthread_t thread) { return old_pthread_detach(thread); }

// 2.25 and 2.36: the kernel's random source, as glibc reads it.
int __wrap_getentropy(void* buffer, size_t length) {
    if (length > 256) {
        errno = EIO;
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const long n = ::syscall(SYS_getrandom, out + done, length - done, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
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
