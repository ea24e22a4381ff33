// Runs the "Start Zipping" archiver on folders from the command line, so the
// reliability scripts can drive the program's own code path in a process of
// its own (to kill it, limit it, or run it in a private mount namespace).
//
//   qb_archive_cli [--max-yields N] OUTPUT_TEXT FOLDER...
//
// One JSON line per folder: folder, archive, result, messages, errors.
// --max-yields ends the process with status 42 once the archiver has yielded
// more than N times: a bound for inputs that must not start a long walk.
#include "core/FolderArchiver.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    long long maxYields = -1;
    if (args.size() >= 2 && args[0] == QLatin1String("--max-yields")) {
        bool ok = false;
        maxYields = args[1].toLongLong(&ok);
        if (!ok || maxYields < 0) {
            std::fprintf(stderr, "--max-yields needs a count\n");
            return 2;
        }
        args = args.mid(2);
    }
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: qb_archive_cli [--max-yields N] OUTPUT_TEXT FOLDER...\n");
        return 2;
    }
    long long yields = 0;
    const Yield yield = [&] {
        if (maxYields >= 0 && ++yields > maxYields) {
            std::fprintf(stdout, "{\"bound\":%lld}\n", maxYields);
            std::fflush(stdout);
            ::_exit(42);
        }
        ProcessPendingEvents();
    };
    const QString output = args.takeFirst();
    for (const QString &folder : std::as_const(args)) {
        const FolderArchiveOutcome o = ArchiveFolder(output, folder, yield);
        QJsonObject line{{"folder", folder},
                         {"archive", o.archivePath},
                         {"result", int(o.result)},
                         {"messages", o.messages},
                         {"errors", QJsonArray::fromStringList(o.errors)}};
        const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact);
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}
