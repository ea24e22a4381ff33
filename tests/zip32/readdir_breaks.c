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
