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

bool FolderExists(const QString &path) { return IsFolder(path); }

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
        ForceDeleteFile(path);
}

void ForceDeleteFile(const QString &path) { ForceRemoveFile(path); }

bool IsRootFolder(const QString &path)
{
    if (path.trimmed().isEmpty())
        return true;
    if (QDir(QDir::cleanPath(QDir::fromNativeSeparators(path))).isRoot())
        return true;
    return ResolvesToRoot(path);
}

QString ResolveOutputFolder(const QString &text)
{
    if (kNativePathStyle == PathStyle::Posix) {
        if (text == QLatin1String("~"))
            return QDir::homePath();
        if (text.startsWith(QLatin1String("~/")))
            return QDir::homePath() + text.mid(1);
    }
    // Checked by hand: Qt also counts its resource paths (":/...") as absolute.
    if (kNativePathStyle == PathStyle::Posix)
        return text.startsWith(QLatin1Char('/')) ? text : QString();
    const bool drive = text.size() >= 3 && text[0].isLetter() && text[1] == QLatin1Char(':')
        && (text[2] == QLatin1Char('\\') || text[2] == QLatin1Char('/'));
    const bool share = text.startsWith(QLatin1String("\\\\"));
    return drive || share ? text : QString();
}
