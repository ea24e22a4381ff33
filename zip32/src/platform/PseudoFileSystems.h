#pragma once
// The one rule for the file systems the kernel makes up (/proc, /sys, /dev,
// and file systems of those kinds mounted elsewhere): their entries are no
// data to archive, and a link followed onto one leads through thousands of
// them. The engine (platform/PlatformPosix.cpp) and the program's core
// (core/PlatformPosix.cpp) both judge by it. POSIX systems only; it includes
// no other part of the engine.
#include <cstddef>
#include <cstring>
#ifdef __linux__
#  include <linux/magic.h>
#  include <sys/vfs.h>
#endif

namespace zip32 {

// True when the resolved, absolute path `resolved` (`size` bytes, a NUL
// after them) is /proc, /sys or /dev or lies below one of them, or lies on
// a file system of the kernel's making.
inline bool liesOnPseudoFileSystem(const char *resolved, std::size_t size)
{
    for (const char *top : {"/proc", "/sys", "/dev"}) {
        const std::size_t length = std::strlen(top);
        if (size >= length && std::memcmp(resolved, top, length) == 0
            && (size == length || resolved[length] == '/'))
            return true;
    }
#ifdef __linux__
    struct statfs fs;
    if (::statfs(resolved, &fs) == 0) {
        switch (static_cast<unsigned long>(fs.f_type)) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case DEVPTS_SUPER_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case BPF_FS_MAGIC:
            return true;
        default:
            break;
        }
    }
#endif
    return false;
}

} // namespace zip32
