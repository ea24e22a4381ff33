// What the core's system calls share on every system (see core/Platform.h);
// the calls themselves are in PlatformPosix.cpp and PlatformWindows.cpp.
#include "core/Platform.h"

bool IsUsablePath(const QString &path) { return !path.isEmpty() && !path.contains(QChar(u'\0')); }

bool IsWithin(const NativePath &path, const NativePath &folder)
{
    const auto sep = static_cast<NativePath::value_type>(kNativeSeparator.unicode());
    if (folder.size() == 0)
        return false;
    if (path.size() < folder.size())
        return false;
    const QString head = FromNativePath(NativePath(path.data(), folder.size()));
    if (QString::compare(head, FromNativePath(folder), kFileNameCase) != 0)
        return false;
    // A root ends in its separator; any other folder is followed by one.
    return folder.back() == sep || path.size() == folder.size() || path[folder.size()] == sep;
}
