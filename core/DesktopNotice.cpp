#include "core/DesktopNotice.h"

#include <QProcess>
#include <QStandardPaths>

namespace {

// A notification has room for a few lines; the rest are counted.
constexpr qsizetype kFoldersShown = 8;

QString counted(int n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

} // namespace

DesktopNotice NoticeOf(const ConsoleRunOutcome &outcome)
{
    DesktopNotice notice;
    notice.title =
        QStringLiteral("Quillbarrow: %1 written").arg(counted(outcome.written, "archive", "archives"));
    const int failed = int(outcome.failed.size());
    if (failed > 0)
        notice.title += QStringLiteral(", %1 failed").arg(counted(failed, "folder", "folders"));
    if (outcome.stopped)
        notice.title += QStringLiteral(", stopped before the end");
    QStringList lines;
    for (qsizetype i = 0; i < failed && i < kFoldersShown; ++i)
        lines << QStringLiteral("\u2022 ") + outcome.failed.at(i);
    if (failed > kFoldersShown)
        lines << QStringLiteral("and %1 more").arg(counted(int(failed - kFoldersShown), "folder", "folders"));
    notice.body = lines.join(QLatin1Char('\n'));
    notice.urgent = failed > 0;
    return notice;
}

bool SendDesktopNotice(const DesktopNotice &notice)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("notify-send"));
    if (program.isEmpty())
        return false;
    // Notification servers may read the body as markup: names are shown as
    // they are, never taken for tags.
    QString body = notice.body;
    body.replace(QLatin1Char('&'), QLatin1String("&amp;"))
        .replace(QLatin1Char('<'), QLatin1String("&lt;"))
        .replace(QLatin1Char('>'), QLatin1String("&gt;"));
    QStringList arguments{QStringLiteral("--app-name=Quillbarrow"), QStringLiteral("--icon=quillbarrow"),
                          notice.urgent ? QStringLiteral("--urgency=critical")
                                        : QStringLiteral("--urgency=normal"),
                          QStringLiteral("--"), notice.title};
    if (!body.isEmpty())
        arguments << body;
    QProcess notify;
    notify.setStandardInputFile(QProcess::nullDevice());
    notify.start(program, arguments);
    if (!notify.waitForFinished(5000)) {
        notify.kill();
        notify.waitForFinished(1000);
        return false;
    }
    return notify.exitStatus() == QProcess::NormalExit && notify.exitCode() == 0;
}
