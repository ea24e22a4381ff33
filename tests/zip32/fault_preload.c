/* Preloaded into zip32_cli by the engine's fault tests, it makes happen at
 * a chosen moment what a disk or another program could do at any:
 *   - the listing of any folder named "breaks" fails with EIO, as on a
 *     failing disk, after the entries "." and "..";
 *   - QB_SWAP_ON_OPEN=NAME: right before the file NAME is opened, the link
 *     ".swap-NAME" beside it takes its place (as a rename would);
 *   - QB_WRITE_ON_READ=NAME: right after the first read of the file NAME,
 *     another writer puts new bytes over its old ones, keeping its size.
 * Everything else goes on as usual. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int breaks(DIR *dir)
{
    char fd[64], path[4096];
    snprintf(fd, sizeof fd, "/proc/self/fd/%d", dirfd(dir));
    const ssize_t n = readlink(fd, path, sizeof path - 1);
    if (n < 7)
        return 0;
    path[n] = '\0';
    return strcmp(path + n - 7, "/breaks") == 0;
}

#define PASS_DOTS_THEN_FAIL(name, type)                                          \
    type *name(DIR *dir)                                                         \
    {                                                                            \
        type *(*real)(DIR *) = (type * (*)(DIR *)) dlsym(RTLD_NEXT, #name);      \
        type *entry = real(dir);                                                 \
        if (entry && breaks(dir) && strcmp(entry->d_name, ".") != 0              \
            && strcmp(entry->d_name, "..") != 0) {                               \
            errno = EIO;                                                         \
            return NULL;                                                         \
        }                                                                        \
        return entry;                                                            \
    }

PASS_DOTS_THEN_FAIL(readdir, struct dirent)
PASS_DOTS_THEN_FAIL(readdir64, struct dirent64)

/* The engine reads folders with getdents64: the first read of a "breaks"
 * folder gives "." and ".." alone, every later one fails. */
struct linux_dirent64_head {
    unsigned long long ino;
    long long off;
    unsigned short reclen;
    unsigned char type;
    char name[];
};

ssize_t getdents64(int fd, void *buffer, size_t length)
{
    ssize_t (*real)(int, void *, size_t) = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "getdents64");
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 7 || (path[n] = '\0', strcmp(path + n - 7, "/breaks") != 0))
        return real(fd, buffer, length);
    if (lseek(fd, 0, SEEK_CUR) != 0) {
        errno = EIO;
        return -1;
    }
    ssize_t got = real(fd, buffer, length), kept = 0;
    for (ssize_t at = 0; got > 0 && at < got;) {
        struct linux_dirent64_head *d = (struct linux_dirent64_head *)((char *)buffer + at);
        const unsigned short size = d->reclen;
        if (strcmp(d->name, ".") == 0 || strcmp(d->name, "..") == 0) {
            memmove((char *)buffer + kept, d, size);
            kept += size;
        }
        at += size;
    }
    return got < 0 ? got : kept;
}

/* The path a descriptor is open on. */
static int pathOf(int fd, char *path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, size - 1);
    if (n < 0)
        return 0;
    path[n] = '\0';
    return 1;
}

/* Whether the last part of `path` is `name`. */
static int named(const char *path, const char *name)
{
    const char *last = strrchr(path, '/');
    return name && strcmp(last ? last + 1 : path, name) == 0;
}

static int g_swapped;

static void swapBeforeOpen(int dir, const char *path)
{
    const char *name = getenv("QB_SWAP_ON_OPEN");
    char folder[4096], swap[4200], into[4200];
    if (g_swapped || !named(path, name) || dir == AT_FDCWD || !pathOf(dir, folder, sizeof folder))
        return;
    snprintf(swap, sizeof swap, "%s/.swap-%s", folder, name);
    snprintf(into, sizeof into, "%s/%s", folder, name);
    g_swapped = rename(swap, into) == 0;
}

#define OPEN_AT(fn)                                                                    \
    int fn(int dir, const char *path, int flags, ...)                                  \
    {                                                                                  \
        va_list args;                                                                  \
        va_start(args, flags);                                                         \
        const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0; \
        va_end(args);                                                                  \
        int (*real)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, #fn); \
        swapBeforeOpen(dir, path);                                                     \
        return real(dir, path, flags, mode);                                           \
    }

OPEN_AT(openat)
OPEN_AT(openat64)

static int g_written;

ssize_t read(int fd, void *buffer, size_t length)
{
    ssize_t (*real)(int, void *, size_t) = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    const ssize_t n = real(fd, buffer, length);
    char path[4096];
    if (n > 0 && !g_written && pathOf(fd, path, sizeof path) && named(path, getenv("QB_WRITE_ON_READ"))) {
        g_written = 1;
        /* Past the file system's clock tick, as a writer a moment later. */
        const struct timespec pause = {0, 20 * 1000 * 1000};
        nanosleep(&pause, NULL);
        struct stat st;
        const int w = open(path, O_WRONLY);
        if (w >= 0 && fstat(w, &st) == 0) {
            char *bytes = malloc((size_t)st.st_size);
            memset(bytes, 'N', (size_t)st.st_size);
            pwrite(w, bytes, (size_t)st.st_size, 0);
            free(bytes);
        }
        if (w >= 0)
            close(w);
    }
    return n;
}
