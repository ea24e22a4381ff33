#include "BenchSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <cstdlib>
#include <utility>

BenchCommand::BenchCommand(QString program, QString usage)
    : m_program(std::move(program)), m_usage(std::move(usage))
{
}

void BenchCommand::fail(const QString &problem) const
{
    QTextStream err(stderr);
    err << m_program << ": " << problem << "\n"
        << "usage: " << m_usage << "\n";
    err.flush();
    std::exit(2);
}

void BenchCommand::help() const
{
    QTextStream out(stdout);
    out << "usage: " << m_usage << "\n";
    out.flush();
    std::exit(0);
}

int BenchCommand::number(const QString &option, const QString &text, int least) const
{
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < least)
        fail(QStringLiteral("%1 needs a whole number of %2 or more").arg(option).arg(least));
    return n;
}

bool readFolderList(const QString &path, QStringList &folders, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot read the folder list %1: %2").arg(path, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty())
            folders << line;
    }
    return true;
}

BatchArguments readBatchArguments(const BenchCommand &command, QStringList args, const OtherOption &other)
{
    BatchArguments result;
    while (!args.isEmpty()) {
        const QString a = args.takeFirst();
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            command.help();
        } else if (a == QLatin1String("--out") && !args.isEmpty()) {
            result.outputFolder = args.takeFirst();
        } else if (a == QLatin1String("--list") && !args.isEmpty()) {
            QString error;
            if (!readFolderList(args.takeFirst(), result.folders, error))
                command.fail(error);
        } else if (a.startsWith(QLatin1String("--"))) {
            if (!other || !other(a, args))
                command.fail(QStringLiteral("unknown option %1").arg(a));
        } else {
            result.folders << a;
        }
    }
    if (result.outputFolder.isEmpty())
        command.fail(QStringLiteral("--out is required"));
    if (!QFileInfo(result.outputFolder).isDir())
        command.fail(QStringLiteral("the output folder %1 does not exist").arg(result.outputFolder));
    if (result.folders.isEmpty())
        command.fail(QStringLiteral("no folders given"));
    for (const QString &f : result.folders) {
        if (!QDir::isAbsolutePath(f))
            command.fail(QStringLiteral("folder paths must be absolute: %1").arg(f));
    }
    return result;
}
