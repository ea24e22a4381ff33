/* Preloaded into zip32_cli by the engine's fault tests: the listing of any
 * folder named "breaks" fails with EIO, as on a failing disk, after the
 * entries "." and "..". Every other folder lists as usual. */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
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
