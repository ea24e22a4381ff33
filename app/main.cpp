#include "app/CommandLineModes.h"
#include "core/FileNames.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <QScreen>

namespace {

int runWindow(int argc, char *argv[], const QStringList &folders)
{
    QApplication app(argc, argv);
    SetApplicationNames();
    // The desktop entry's id, so a desktop matches the window to its entry
    // and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.kestrawin.quillbarrow"));

    MainWindow window;
    window.load();
    for (const QString &missing : window.addFoldersFromCommandLine(folders))
        PrintTo(
            stderr,
            QStringLiteral("quillbarrow: %1: not a folder; not listed.\n").arg(FileNameForDisplay(missing)));
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
    const CommandLine line = ReadProgramCommandLine(argc, argv);
    if (line.action != CommandLine::Action::Window)
        return RunWithoutWindow(line, argc, argv);
    return runWindow(argc, argv, line.folders);
}
