#include "core/PathHelpers.h"
#include "core/FileNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#  include <string>
#else
#  include <cerrno>
#  include <cstdlib>
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace {

// A path the OS would read only up to an embedded NUL names a different
// file than the text shows; such a path is never handed to the OS.
bool usablePath(const QString &path)
{
    return !path.isEmpty() && !path.contains(QChar(u'\0'));
}

// One left-to-right pass over non-overlapping pairs: a run of k separators
// becomes ceil(k/2) of them.
void appendWithPairsJoined(QString &result, QStringView text, QChar sep)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        result.append(c);
        if (c == sep && i + 1 < n && text[i + 1] == sep)
            ++i; // the second of the pair is dropped
    }
}

#ifdef _WIN32
std::wstring toWide(const QString &path)
{
    return path.toStdWString();
}
#endif

} // namespace

QString CleanBackslashes(const QString &path, PathStyle style)
{
    const QChar sep = style == PathStyle::Windows ? QChar(u'\\') : QChar(u'/');
    QString result;
    result.reserve(path.size() + 1);
    if (path.isEmpty() || path.front() != sep) {
        appendWithPairsJoined(result, path, sep);
        return result;
    }
    qsizetype restStart = 0;
    while (restStart < path.size() && path[restStart] == sep)
        ++restStart;
    // Windows keeps a network-share prefix of exactly two; POSIX has no such
    // prefix, so the leading run collapses to the one root separator.
    result.append(sep);
    if (style == PathStyle::Windows)
        result.append(sep);
    appendWithPairsJoined(result, QStringView(path).mid(restStart), sep);
    return result;
}

bool FolderExists(const QString &path)
{
    if (!usablePath(path))
        return false;
#ifdef _WIN32
    const DWORD attrs = GetFileAttributesW(toWide(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
    struct stat st;
    return ::stat(FileNameToNative(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

bool FileIsThere(const QString &path)
{
    if (!usablePath(path))
        return false;
#ifdef _WIN32
    const DWORD attrs = GetFileAttributesW(toWide(path).c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return ::lstat(FileNameToNative(path).constData(), &st) == 0 && !S_ISDIR(st.st_mode);
#endif
}

QString GetLastPathPart(const QString &path)
{
    const qsizetype at = path.lastIndexOf(kNativeSeparator);
    return at < 0 ? path : path.mid(at + 1);
}

void DeleteExistingFile(const QString &path, const Yield &yield)
{
    if (yield)
        yield();
    if (!usablePath(path))
        return;
#ifdef _WIN32
    if (DeleteFileW(toWide(path).c_str()))
        return;
#else
    // unlink never removes a directory, and removes a link rather than
    // what it points to.
    if (::unlink(FileNameToNative(path).constData()) == 0)
        return;
    if (errno == ENOENT)
        return;
#endif
    ForceDeleteFile(path);
}

void ForceDeleteFile(const QString &path)
{
    if (!usablePath(path))
        return;
#ifdef _WIN32
    const std::wstring wide = toWide(path);
    const DWORD attrs = GetFileAttributesW(wide.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY))
        return;
    const bool madeWritable = (attrs & FILE_ATTRIBUTE_READONLY)
        && SetFileAttributesW(wide.c_str(), attrs & ~DWORD(FILE_ATTRIBUTE_READONLY));
    if (DeleteFileW(wide.c_str()))
        return;
    // The file stays; so does its read-only mark.
    if (madeWritable)
        SetFileAttributesW(wide.c_str(), attrs);
#else
    const QByteArray native = FileNameToNative(path);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || S_ISDIR(st.st_mode))
        return;
    // chmod follows links, so only a plain file gets its mode changed; a
    // link is removed as it is.
    const mode_t oldMode = st.st_mode & 07777;
    const bool madeWritable = S_ISREG(st.st_mode) && !(oldMode & S_IWUSR)
        && ::chmod(native.constData(), oldMode | S_IWUSR) == 0;
    if (::unlink(native.constData()) == 0)
        return;
    // The file stays; so does its mode.
    if (madeWritable)
        ::chmod(native.constData(), oldMode);
#endif
}

bool IsRootFolder(const QString &path)
{
    if (path.trimmed().isEmpty())
        return true;
    if (QDir(QDir::cleanPath(QDir::fromNativeSeparators(path))).isRoot())
        return true;
#ifdef _WIN32
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() && QDir(canonical).isRoot();
#else
    // A link to "/" is a root too; the name's bytes are resolved as they are.
    if (!usablePath(path))
        return false;
    char *resolved = ::realpath(FileNameToNative(path).constData(), nullptr);
    const bool root = resolved && resolved[0] == '/' && resolved[1] == '\0';
    std::free(resolved);
    return root;
#endif
}

namespace {

// The system's own resolution of a path that must exist: every link and
// ".." followed. Empty when it cannot be resolved.
QString canonicalPath(const QString &path)
{
    if (!usablePath(path))
        return QString();
#ifdef _WIN32
    return QDir::toNativeSeparators(QFileInfo(path).canonicalFilePath());
#else
    char *resolved = ::realpath(FileNameToNative(path).constData(), nullptr);
    const QString out = resolved ? FileNameFromNative(QByteArray(resolved)) : QString();
    std::free(resolved);
    return out;
#endif
}

} // namespace

QString ResolvedPath(const QString &path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(kNativeSeparator))
        trimmed.chop(1);
    const qsizetype cut = trimmed.lastIndexOf(kNativeSeparator);
    const QString last = trimmed.mid(cut + 1);
    if (cut < 0 || last.isEmpty() || last == QLatin1String(".") || last == QLatin1String("..")
        || IsRootFolder(trimmed))
        return canonicalPath(trimmed);
    // The parent as the system finds it; "/x" and "C:\x" keep their root.
    const QString parent = canonicalPath(trimmed.left(cut == 0 || trimmed.at(cut - 1) == u':' ? cut + 1 : cut));
    if (parent.isEmpty())
        return QString();
    return parent.endsWith(kNativeSeparator) ? parent + last : parent + kNativeSeparator + last;
}

bool FolderIsWithin(const QString &inner, const QString &outer)
{
    const QString in = canonicalPath(inner);
    QString out = canonicalPath(outer);
    if (in.isEmpty() || out.isEmpty())
        return false;
    if (!out.endsWith(kNativeSeparator))
        out += kNativeSeparator;
    const Qt::CaseSensitivity cs =
        kNativePathStyle == PathStyle::Windows ? Qt::CaseInsensitive : Qt::CaseSensitive;
    return (in + kNativeSeparator).startsWith(out, cs);
}

QString ResolveOutputFolder(const QString &text)
{
    QString full;
    if (kNativePathStyle == PathStyle::Posix && text == QLatin1String("~"))
        full = QDir::homePath();
    else if (kNativePathStyle == PathStyle::Posix && text.startsWith(QLatin1String("~/")))
        full = QDir::homePath() + text.mid(1);
    // Checked by hand: Qt also counts its resource paths (":/...") as absolute.
    else if (kNativePathStyle == PathStyle::Posix)
        full = text.startsWith(QLatin1Char('/')) ? text : QString();
    else {
        const bool drive = text.size() >= 3 && text[0].isLetter() && text[1] == QLatin1Char(':')
            && (text[2] == QLatin1Char('\\') || text[2] == QLatin1Char('/'));
        const bool share = text.startsWith(QLatin1String("\\\\"));
        full = drive || share ? QDir::toNativeSeparators(text) : QString();
    }
    // The text as typed must name a folder to the system first: a text the
    // system refuses (too long, a file on the way) is refused here too.
    return full.isEmpty() || !FolderExists(full) ? QString() : ResolvedPath(full);
}
