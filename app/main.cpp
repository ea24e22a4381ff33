#include "core/CommandLine.h"
#include "core/ConsoleRun.h"
#include "core/FileNames.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <QScreen>

#include <cstdio>
#include <unistd.h>

namespace {

void printTo(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = FileNameToNative(text);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

void setApplicationNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Kestrawin"));
    QCoreApplication::setApplicationName(QStringLiteral("Quillbarrow"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QB_VERSION));
    // The desktop entry's id, so a desktop matches the window to its entry
    // and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.kestrawin.quillbarrow"));
}

int runWindow(int argc, char *argv[], const QStringList &folders)
{
    QApplication app(argc, argv);
    setApplicationNames();

    MainWindow window;
    window.load();
    for (const QString &missing : window.addFoldersFromCommandLine(folders))
        printTo(stderr, QStringLiteral("quillbarrow: %1: not a folder; not listed.\n")
                            .arg(FileNameForDisplay(missing)));
    // Centred on the screen.
    if (const QScreen *screen = window.screen()) {
        const QRect area = screen->availableGeometry();
        const QSize frame = window.frameSize();
        window.move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
    window.show();
    return app.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line is read before any application object exists: zipping
    // from a script needs no display, so no window system is touched then.
    CommandLine line = ParseCommandLine(ArgumentsFromNative(argc, argv));
    if (line.action != CommandLine::Action::BadUsage && !line.listFile.isEmpty()) {
        QString error;
        if (!ReadFolderList(line.listFile, line.folders, error)) {
            line.action = CommandLine::Action::BadUsage;
            line.error = error;
        }
    }
    switch (line.action) {
    case CommandLine::Action::BadUsage:
        printTo(stderr, QStringLiteral("quillbarrow: %1\nTry 'quillbarrow --help' for more information.\n")
                            .arg(TextForDisplay(line.error)));
        return kExitBadUsage;
    case CommandLine::Action::Help:
        printTo(stdout, CommandLineHelp());
        return kExitAllZipped;
    case CommandLine::Action::Version:
        printTo(stdout, QStringLiteral("quillbarrow %1\n").arg(QStringLiteral(QB_VERSION)));
        return kExitAllZipped;
    case CommandLine::Action::Zip: {
        QCoreApplication app(argc, argv);
        setApplicationNames();
        ConsoleRunOptions options;
        options.outputFolder = line.outputFolder;
        options.folders = line.folders;
        options.quiet = line.quiet;
        options.followLinks = line.followLinks;
        options.terminal = isatty(STDERR_FILENO) != 0;
        return RunFromConsole(options);
    }
    case CommandLine::Action::Window:
        break;
    }
    return runWindow(argc, argv, line.folders);
}
