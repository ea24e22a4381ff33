#include "app/CommandLineModes.h"

#include "core/ConsoleRun.h"
#include "core/DesktopNotice.h"
#include "core/FileNames.h"
#include "core/Platform.h"

#include <QCoreApplication>

void PrintTo(std::FILE *stream, const QString &text) { WriteText(stream, FileNameToNative(text)); }

void SetApplicationNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrawin"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillbarrow"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QB_VERSION));
}

CommandLine ReadProgramCommandLine(int argc, char *argv[])
{
    CommandLine line = ParseCommandLine(ArgumentsFromNative(argc, argv));
    if (line.action != CommandLine::Action::BadUsage && !line.listFile.isEmpty()) {
        QString error;
        if (!ReadFolderList(line.listFile, line.folders, error)) {
            line.action = CommandLine::Action::BadUsage;
            line.error = error;
        }
    }
    return line;
}

namespace {

int zipFromConsole(const CommandLine &line, int argc, char *argv[])
{
    // The run's signals need an application object, but no display.
    QCoreApplication app(argc, argv);
    SetApplicationNames();
    ConsoleRunOptions options;
    options.outputFolder = line.outputFolder;
    options.beside = line.beside;
    if (line.notify)
        options.finished = [](const ConsoleRunOutcome &outcome) { SendDesktopNotice(NoticeOf(outcome)); };
    options.folders = line.folders;
    options.quiet = line.quiet;
    options.followLinks = line.followLinks;
    options.terminal = IsTerminal(stderr);
    return RunFromConsole(options);
}

} // namespace

int RunWithoutWindow(const CommandLine &line, int argc, char *argv[])
{
    switch (line.action) {
    case CommandLine::Action::BadUsage:
        PrintTo(stderr, QStringLiteral("quillbarrow: %1\nTry 'quillbarrow --help' for more information.\n")
                            .arg(TextForDisplay(line.error)));
        return kExitBadUsage;
    case CommandLine::Action::Help:
        PrintTo(stdout, CommandLineHelp());
        return kExitAllZipped;
    case CommandLine::Action::Version:
        PrintTo(stdout, QStringLiteral("quillbarrow %1\n").arg(QStringLiteral(QB_VERSION)));
        return kExitAllZipped;
    case CommandLine::Action::Zip:
        return zipFromConsole(line, argc, argv);
    case CommandLine::Action::Window:
        break;
    }
    // The window is its callers' own business.
    return kExitBadUsage;
}
