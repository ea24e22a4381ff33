#include "core/ProgramInfo.h"
#include "core/QbError.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
QString g_applicationTitle = kProductTitle;
QString g_programFolderOverride;
std::function<QString()> g_desktopLocator;
} // namespace

bool FileExists(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.exists() && info.lastModified().isValid();
}

QString GetDesktopFolder()
{
    const QString desktop = g_desktopLocator
                                ? g_desktopLocator()
                                : QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty())
        throw QbError(kQbGeneralError, QStringLiteral("GetDesktopFolder"),
                      QStringLiteral("The location of the desktop folder is not known."));
    // A desktop that was never made (a server, a minimal session) is no
    // place to put archives: the home folder stands in for it.
    QString path = QDir::toNativeSeparators(QFileInfo(desktop).isDir() ? desktop : QDir::homePath());
    const QChar sep = QDir::separator();
    while (path.size() > 1 && path.endsWith(sep))
        path.chop(1);
    if (!path.endsWith(sep))
        path += sep;
    return path;
}

QString ApplicationTitleFor(const QString &productTitle)
{
    QString title = productTitle;
    do {
        const qsizetype blank = title.lastIndexOf(QLatin1Char(' '));
        if (blank < 0)
            break; // nowhere to cut: keep what is left
        title.truncate(blank);
    } while (title.size() > 40);
    return title;
}

void SetApplicationTitle()
{
    g_applicationTitle = ApplicationTitleFor(kProductTitle);
    if (QCoreApplication::instance())
        QCoreApplication::setApplicationName(g_applicationTitle);
}

QString ApplicationTitle() { return g_applicationTitle; }

QString ProgramFolder()
{
    if (!g_programFolderOverride.isEmpty())
        return g_programFolderOverride;
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

void SetProgramFolderForTesting(const QString &folder) { g_programFolderOverride = folder; }

void SetDesktopLocatorForTesting(std::function<QString()> locator) { g_desktopLocator = std::move(locator); }
