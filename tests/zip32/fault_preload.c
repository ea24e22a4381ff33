/* Preloaded into zip32_cli by the engine's fault tests, it makes happen at
 * a chosen moment what a disk or another program could do at any:
 *   - the listing of any folder named "breaks" fails with EIO, as on a
 *     failing disk, after the entries "." and "..";
 *   - QB_SWAP_ON_OPEN=NAME: right before the file NAME is opened, the link
 *     ".swap-NAME" beside it takes its place (as a rename would);
 *   - QB_WRITE_ON_READ=NAME: right after the first read of the file NAME,
 *     another writer puts new bytes over its old ones, keeping its size.
 *   - QB_SYNC_LOG=FILE: every flush to disk and every rename to a ".zip"
 *     name is written to FILE as a line ("file", "folder", "rename"), in
 *     the order they happen.
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
#include <sys/syscall.h>
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
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 7 || (path[n] = '\0', strcmp(path + n - 7, "/breaks") != 0))
        return syscall(SYS_getdents64, fd, buffer, length);
    if (lseek(fd, 0, SEEK_CUR) != 0) {
        errno = EIO;
        return -1;
    }
    ssize_t got = syscall(SYS_getdents64, fd, buffer, length), kept = 0;
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

/* Once each, from whichever worker gets there first. */
static int g_swapped, g_written;

static int once(int *flag)
{
    return __atomic_exchange_n(flag, 1, __ATOMIC_SEQ_CST) == 0;
}

static void swapBeforeOpen(int dir, const char *path)
{
    const char *name = getenv("QB_SWAP_ON_OPEN");
    char folder[4096], swap[4200], into[4200];
    if (!named(path, name) || dir == AT_FDCWD || !pathOf(dir, folder, sizeof folder) || !once(&g_swapped))
        return;
    snprintf(swap, sizeof swap, "%s/.swap-%s", folder, name);
    snprintf(into, sizeof into, "%s/%s", folder, name);
    rename(swap, into);
}

/* A file of that name that hangs for a second and then refuses, as one on
 * a share gone away does: a worker is held inside its open meanwhile. */
static int stalls(const char *path, int flags)
{
    if ((flags & O_DIRECTORY) || !named(path, getenv("QB_STALL_OPEN")))
        return 0;
    const struct timespec pause = {1, 0};
    nanosleep(&pause, NULL);
    errno = EACCES;
    return 1;
}

/* The system calls themselves, not the C library's (or a sanitizer's)
 * wrappers found through dlsym: these run from the process's first read. */
#define OPEN_AT(fn)                                                                    \
    int fn(int dir, const char *path, int flags, ...)                                  \
    {                                                                                  \
        va_list args;                                                                  \
        va_start(args, flags);                                                         \
        const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0; \
        va_end(args);                                                                  \
        swapBeforeOpen(dir, path);                                                     \
        if (stalls(path, flags))                                                       \
            return -1;                                                                 \
        return (int)syscall(SYS_openat, dir, path, flags, mode);                       \
    }

OPEN_AT(openat)
OPEN_AT(openat64)

ssize_t read(int fd, void *buffer, size_t length)
{
    const ssize_t n = syscall(SYS_read, fd, buffer, length);
    const char *name = getenv("QB_WRITE_ON_READ");
    char path[4096];
    if (n <= 0 || !name || !pathOf(fd, path, sizeof path) || !named(path, name) || !once(&g_written))
        return n;
    /* Past the file system's clock tick, as a writer a moment later. */
    const struct timespec pause = {0, 20 * 1000 * 1000};
    nanosleep(&pause, NULL);
    struct stat st;
    const int w = open(path, O_WRONLY);
    if (w >= 0 && fstat(w, &st) == 0) {
        char bytes[4096];
        memset(bytes, 'N', sizeof bytes);
        for (off_t at = 0; at < st.st_size; at += (off_t)sizeof bytes)
            pwrite(w, bytes, (size_t)(st.st_size - at < (off_t)sizeof bytes ? st.st_size - at : (off_t)sizeof bytes), at);
    }
    if (w >= 0)
        close(w);
    return n;
}

static void logSync(const char *what)
{
    const char *log = getenv("QB_SYNC_LOG");
    if (!log)
        return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char line[16];
    const int n = snprintf(line, sizeof line, "%s\n", what);
    syscall(SYS_write, fd, line, (size_t)n);
    syscall(SYS_close, fd);
}

int fsync(int fd)
{
    struct stat st;
    if (fstat(fd, &st) == 0)
        logSync(S_ISDIR(st.st_mode) ? "folder" : "file");
    return (int)syscall(SYS_fsync, fd);
}

int renameat(int from, const char *old, int to, const char *new)
{
    const int result = (int)syscall(SYS_renameat, from, old, to, new);
    const size_t n = strlen(new);
    if (result == 0 && n > 4 && strcmp(new + n - 4, ".zip") == 0)
        logSync("rename");
    return result;
}
