#include "core/PathHelpers.h"
#include "core/FileNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

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

QString GetLastPathPart(const QString &path)
{
    const QString native = NativeSeparators(path);
    const qsizetype at = native.lastIndexOf(kNativeSeparator);
    return at < 0 ? native : native.mid(at + 1);
}

void DeleteExistingFile(const QString &path, const Yield &yield)
{
    if (yield)
        yield();
    if (RemoveFileOnce(path) == Removal::Refused)
        ForceRemoveFile(path);
}

bool IsRootPath(const QString &path) { return QDir(path).isRoot(); }

namespace {

// A root as written: empty, or any spelling of one once cleaned.
bool isRootAsWritten(const QString &path)
{
    return path.trimmed().isEmpty() || IsRootPath(QDir::cleanPath(QDir::fromNativeSeparators(path)));
}

} // namespace

bool IsRootFolder(const QString &path) { return isRootAsWritten(path) || ResolvesToRoot(path); }

bool IsRootFolder(const QString &path, const QString &resolved)
{
    return isRootAsWritten(path) || (!resolved.isEmpty() && IsFileSystemRoot(ToNativePath(resolved)));
}

QString CanonicalPath(const QString &path)
{
    if (!IsUsablePath(path))
        return QString();
    const NativePath resolved = ResolvedPath(ToNativePath(path));
    return resolved.size() == 0 ? QString() : FromNativePath(resolved);
}

QString ResolvedFolderPath(const QString &path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(kNativeSeparator))
        trimmed.chop(1);
    const qsizetype cut = trimmed.lastIndexOf(kNativeSeparator);
    const QString last = trimmed.mid(cut + 1);
    if (cut < 0 || last.isEmpty() || last == QLatin1String(".") || last == QLatin1String("..")
        || IsRootFolder(trimmed))
        return CanonicalPath(trimmed);
    // The parent as the system finds it; "/x" and "C:\x" keep their root.
    const QString parent =
        CanonicalPath(trimmed.left(cut == 0 || trimmed.at(cut - 1) == u':' ? cut + 1 : cut));
    if (parent.isEmpty())
        return QString();
    return parent.endsWith(kNativeSeparator) ? parent + last : parent + kNativeSeparator + last;
}

bool FolderIsWithin(const QString &inner, const QString &outer)
{
    return ResolvedFolderIsWithin(CanonicalPath(inner), CanonicalPath(outer));
}

bool ResolvedFolderIsWithin(const QString &in, QString out)
{
    if (in.isEmpty() || out.isEmpty())
        return false;
    if (!out.endsWith(kNativeSeparator))
        out += kNativeSeparator;
    return (in + kNativeSeparator).startsWith(out, kFileNameCase);
}

namespace {

// The full path an output-folder text stands for; empty when it stands for
// none.
QString fullOutputFolderPath(const QString &text)
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
    return full;
}

} // namespace

QString ResolveOutputFolder(const QString &text)
{
    // The text as typed must name a folder to the system first: a text the
    // system refuses (too long, a file on the way) is refused here too.
    const QString full = fullOutputFolderPath(text);
    return full.isEmpty() || !FolderExists(full) ? QString() : ResolvedFolderPath(full);
}

QString OutputFolderLookup::resolve(const QString &text)
{
    const QString full = fullOutputFolderPath(text);
    FolderId id;
    if (full.isEmpty() || !FolderIdAt(full, id)) {
        m_known.remove(full);
        return QString();
    }
    const auto known = m_known.constFind(full);
    if (known != m_known.cend() && known->id == id)
        return known->resolved;
    const QString resolved = ResolvedFolderPath(full);
    if (resolved.isEmpty())
        m_known.remove(full);
    else
        m_known.insert(full, Known{id, resolved});
    return resolved;
}
