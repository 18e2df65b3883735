/* The floor a folder walk can reach on this machine: every directory listed
 * with getdents64 and every entry's metadata read with fstatat, nothing kept.
 * Directories wait on a shared stack as open descriptors; THREADS threads take
 * from it.
 *
 *     cc -O2 -pthread -o walk_floor walk_floor.c && ./walk_floor ROOT [THREADS]
 *
 * Prints the entries met (the root included), the allocated bytes (each inode
 * as often as it is met) and the seconds the walk took. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ready = PTHREAD_COND_INITIALIZER;
static int* stack;
static size_t depth, capacity, pending;
static uint64_t total_entries = 1, total_bytes;

static void push(int fd) {
    pthread_mutex_lock(&lock);
    if (depth == capacity) {
        capacity = capacity ? 2 * capacity : 1024;
        stack = realloc(stack, capacity * sizeof *stack);
        if (!stack) abort();
    }
    stack[depth++] = fd;
    ++pending;
    pthread_cond_signal(&ready);
    pthread_mutex_unlock(&lock);
}

static void* work(void* unused) {
    (void)unused;
    char* buffer = malloc(32 * 1024);
    uint64_t entries = 0, bytes = 0;
    for (;;) {
        pthread_mutex_lock(&lock);
        while (depth == 0 && pending > 0) pthread_cond_wait(&ready, &lock);
        if (depth == 0) {
            pthread_mutex_unlock(&lock);
            break;
        }
        int fd = stack[--depth];
        pthread_mutex_unlock(&lock);
        for (;;) {
            long filled = getdents64(fd, buffer, 32 * 1024);
            if (filled <= 0) break;
            for (long at = 0; at < filled;) {
                struct dirent64* entry = (struct dirent64*)(buffer + at);
                at += entry->d_reclen;
                const char* name = entry->d_name;
                if (name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]))) continue;
                struct stat metadata;
                if (fstatat(fd, name, &metadata, AT_SYMLINK_NOFOLLOW) != 0) continue;
                ++entries;
                bytes += (uint64_t)metadata.st_blocks * 512;
                if (S_ISDIR(metadata.st_mode)) {
                    int child = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                    if (child >= 0) push(child);
                }
            }
        }
        close(fd);
        pthread_mutex_lock(&lock);
        if (--pending == 0) pthread_cond_broadcast(&ready);
        pthread_mutex_unlock(&lock);
    }
    pthread_mutex_lock(&lock);
    total_entries += entries;
    total_bytes += bytes;
    pthread_mutex_unlock(&lock);
    free(buffer);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s ROOT [THREADS]\n", argv[0]);
        return 2;
    }
    int threads = argc > 2 ? atoi(argv[2]) : 1;
    if (threads < 1 || threads > 256) threads = 1;
    /* Waiting directories hold a descriptor each. */
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        perror(argv[1]);
        return 1;
    }
    push(root);
    pthread_t workers[256];
    for (int i = 0; i < threads; ++i) pthread_create(&workers[i], NULL, work, NULL);
    for (int i = 0; i < threads; ++i) pthread_join(workers[i], NULL);
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%llu %llu %.6f\n", (unsigned long long)total_entries, (unsigned long long)total_bytes,
           (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
    return 0;
}
