#include "core/CommandLine.h"

#include "core/FileNames.h"
#include "core/PathHelpers.h"
#include "core/Platform.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const QCommandLineOption kOutputOption({QStringLiteral("o"), QStringLiteral("output")},
                                       QStringLiteral("Zip without the window, into DIR."),
                                       QStringLiteral("DIR"));
const QCommandLineOption kBesideOption(
    QStringLiteral("beside"),
    QStringLiteral("Zip without the window, each folder into the folder that holds it."));
const QCommandLineOption kNotifyOption(
    QStringLiteral("notify"), QStringLiteral("When done, tell the outcome in a desktop notification."));
const QCommandLineOption kListOption({QStringLiteral("l"), QStringLiteral("list")},
                                     QStringLiteral("Read folders from FILE, one per line."),
                                     QStringLiteral("FILE"));
const QCommandLineOption kFollowLinksOption(
    QStringLiteral("follow-links"),
    QStringLiteral("Follow links that lead out of a folder, and archive what they lead to."));
const QCommandLineOption kQuietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                      QStringLiteral("Show no progress, only problems."));
const QCommandLineOption kHelpOption({QStringLiteral("h"), QStringLiteral("help")},
                                     QStringLiteral("Show this help and exit."));
const QCommandLineOption kVersionOption({QStringLiteral("v"), QStringLiteral("version")},
                                        QStringLiteral("Show the version and exit."));

CommandLine badUsage(const QString &error)
{
    CommandLine line;
    line.action = CommandLine::Action::BadUsage;
    line.error = error;
    return line;
}

} // namespace

QString FullFolderPath(const QString &given, QString *error)
{
    QString absolute = QDir::toNativeSeparators(given);
    if (QDir::isRelativePath(given)) {
        // Never taken from "/" when the working folder cannot be told.
        QString why;
        const QString working = WorkingFolder(&why);
        if (working.isEmpty()) {
            if (error)
                *error = QStringLiteral(
                             "%1: the working folder cannot be read (%2); give the folder as a full path")
                             .arg(FileNameForDisplay(given), why);
            return QString();
        }
        absolute = QDir::toNativeSeparators(QDir(working).absoluteFilePath(given));
    }
    const QString resolved = ResolvedFolderPath(absolute);
    // A path the system cannot follow ("nosuch/..") stays as given, so that
    // it is reported as missing rather than tidied into another folder.
    return resolved.isEmpty() ? absolute : resolved;
}

CommandLine ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.addOptions({kOutputOption, kBesideOption, kNotifyOption, kListOption, kFollowLinksOption,
                       kQuietOption, kHelpOption, kVersionOption});
    parser.addPositionalArgument(QStringLiteral("folders"), QString(), QStringLiteral("[FOLDER...]"));
    if (!parser.parse(arguments))
        return badUsage(parser.errorText());

    CommandLine line;
    if (parser.isSet(kHelpOption)) {
        line.action = CommandLine::Action::Help;
        return line;
    }
    if (parser.isSet(kVersionOption)) {
        line.action = CommandLine::Action::Version;
        return line;
    }
    // An option given twice would leave one of its values unused.
    for (const QCommandLineOption &option : {kOutputOption, kListOption}) {
        if (parser.values(option).size() > 1)
            return badUsage(QStringLiteral("--%1 may be given only once.").arg(option.names().last()));
    }
    line.quiet = parser.isSet(kQuietOption);
    line.followLinks = parser.isSet(kFollowLinksOption);
    for (const QString &folder : parser.positionalArguments()) {
        if (folder.isEmpty())
            return badUsage(QStringLiteral("An empty folder name was given."));
        QString error;
        const QString full = FullFolderPath(folder, &error);
        if (full.isEmpty())
            return badUsage(error);
        line.folders << full;
    }
    if (parser.isSet(kListOption)) {
        line.listFile = parser.value(kListOption);
        if (line.listFile.isEmpty())
            return badUsage(QStringLiteral("--list needs a file name."));
    }
    if (parser.isSet(kOutputOption) && parser.isSet(kBesideOption))
        return badUsage(QStringLiteral("--output and --beside cannot be given together."));
    if (parser.isSet(kOutputOption)) {
        line.outputFolder = parser.value(kOutputOption);
        if (line.outputFolder.isEmpty())
            return badUsage(QStringLiteral("--output needs a folder name."));
    }
    line.beside = parser.isSet(kBesideOption);
    line.notify = parser.isSet(kNotifyOption);
    const QString mode = line.beside ? QStringLiteral("--beside") : QStringLiteral("--output");
    if (parser.isSet(kOutputOption) || line.beside) {
        line.action = CommandLine::Action::Zip;
        if (line.folders.isEmpty() && line.listFile.isEmpty())
            return badUsage(QStringLiteral("%1 needs folders to zip, or --list FILE.").arg(mode));
    } else if (line.notify) {
        return badUsage(QStringLiteral("--notify goes with --output or --beside."));
    }
    return line;
}

QString CommandLineHelp()
{
    return QStringLiteral(
        "Usage: quillbarrow [FOLDER...]\n"
        "       quillbarrow --output DIR [OPTION...] [FOLDER...]\n"
        "       quillbarrow --beside [OPTION...] [FOLDER...]\n"
        "\n"
        "Zips each folder into an archive of its own, FOLDER.zip.\n"
        "Without --output or --beside, the window opens with the folders listed.\n"
        "\n"
        "Options:\n"
        "  -o, --output DIR  Zip without the window, into the folder DIR.\n"
        "      --beside      Zip without the window, each folder into the folder that\n"
        "                    holds it: /photos/Trip becomes /photos/Trip.zip.\n"
        "  -l, --list FILE   Read folders from FILE (\"-\": standard input), one per line;\n"
        "                    blank lines and lines starting with \"#\" are skipped.\n"
        "      --follow-links  Follow links that lead out of a folder and archive what\n"
        "                    they lead to. Without it such a link is stored as a link.\n"
        "                    Links are never followed to the folder itself, a folder\n"
        "                    holding it, the root or a system file system.\n"
        "  -q, --quiet       Show no progress, only problems.\n"
        "      --notify      When done, also tell how many archives were written and\n"
        "                    which folders failed in a desktop notification (notify-send).\n"
        "  -h, --help        Show this help and exit.\n"
        "  -v, --version     Show the version and exit.\n"
        "\n"
        "Exit status: 0 when every archive was written with all its files,\n"
        "1 when a folder was missing or not archived in full (a file or folder that\n"
        "could not be read; sockets, FIFOs and devices hold no data and are only named),\n"
        "2 for a wrong command line or list, 130 (143, 129) when stopped by Ctrl+C\n"
        "(SIGTERM, SIGHUP): the archive being written is given up, its earlier one kept.\n");
}

namespace {

// A list is a text a person or a script wrote: a line or a list far past
// these is not one (a device, a binary file) and is refused before it can
// fill the memory.
constexpr qint64 kMaxListBytes = qint64(64) << 20;
constexpr qsizetype kMaxLineBytes = 64 << 10;

QString listProblem(const QString &listFile, const QString &why)
{
    return QStringLiteral("%1: list not read (%2)").arg(FileNameForDisplay(listFile), why);
}

} // namespace

bool ReadFolderList(const QString &listFile, QStringList &folders, QString &error)
{
    // The file is opened by its bytes: a list's name need not be UTF-8.
    std::FILE *handle =
        listFile == QStringLiteral("-") ? stdin : std::fopen(FileNameToNative(listFile).constData(), "rb");
    if (!handle) {
        error = listProblem(listFile, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    QFile file;
    file.open(handle, QIODevice::ReadOnly,
              handle == stdin ? QFileDevice::DontCloseHandle : QFileDevice::AutoCloseHandle);
    QByteArray all;
    while (all.size() <= kMaxListBytes) {
        const QByteArray piece = file.read(1 << 20);
        if (piece.isEmpty())
            break;
        all += piece;
    }
    if (file.error() != QFileDevice::NoError) {
        error = listProblem(listFile, file.errorString());
        return false;
    }
    if (all.size() > kMaxListBytes) {
        error = listProblem(listFile, QStringLiteral("it is larger than 64 MiB"));
        return false;
    }
    const qsizetype before = folders.size();
    for (QByteArray line : all.split('\n')) {
        if (line.size() > kMaxLineBytes) {
            error = listProblem(listFile, QStringLiteral("a line is longer than 64 KiB"));
            return false;
        }
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        QString why;
        const QString full = FullFolderPath(FileNameFromNative(line), &why);
        if (full.isEmpty()) {
            error = listProblem(listFile, why);
            return false;
        }
        folders << full;
    }
    // An empty list is a mistake made upstream (a find that found nothing, a
    // wrong file): zipping nothing and saying "all zipped" would hide it.
    if (folders.size() == before) {
        error = listProblem(listFile, QStringLiteral("it names no folders"));
        return false;
    }
    return true;
}

QStringList ArgumentsFromNative(int argc, const char *const *argv) { return ProgramArguments(argc, argv); }
