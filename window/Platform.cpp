#include "window/Platform.h"
#include "core/FileNames.h"

#include <QUrl>

#ifdef Q_OS_WIN
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#endif

#ifdef Q_OS_WIN

QString LocalPathOf(const QUrl &url) { return url.toLocalFile(); }

bool IsSystemFile(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<LPCWSTR>(path.utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_SYSTEM);
}

#else

QString LocalPathOf(const QUrl &url)
{
    return FileNameFromNative(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

bool IsSystemFile(const QString &) { return false; }

#endif
