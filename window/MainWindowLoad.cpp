// Start-up and end of the main window.
#include "core/ProgramInfo.h"
#include "core/QbError.h"
#include "core/SettingsStore.h"
#include "window/ErrorReport.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QPixmap>
#include <QTreeWidget>
#include <cstdlib>

namespace {

QCursor loadCursorFile(const QString &path)
{
    QPixmap picture(path);
    if (picture.isNull())
        throw QbError(kQbGeneralError, QStringLiteral("Form_Load"),
                      QStringLiteral("The cursor file %1 could not be read.").arg(path));
    // The hand's fingertip is the hot spot; the picture's top left third.
    return QCursor(picture, picture.width() / 3, 0);
}

} // namespace

void MainWindow::load()
{
    ErrorTrap trap = MainWindowTrap(QStringLiteral("Form_Load"));
    trap(100, [&] { applySkin(); });
    trap(104, [&] { setWindowTitle(kProductTitle); });
    trap(104, [&] { setWindowIcon(QIcon(QStringLiteral(":/quillbarrow.png"))); });
    trap(104, [&] { SetApplicationTitle(); });
    const QString cursorFile = ProgramFolder() + QDir::separator() + QStringLiteral("HAND-M.CUR");
    if (trap.branch(106, [&] { return FileExists(cursorFile); })) {
        trap(108, [&] { m_customCursor = loadCursorFile(cursorFile); });
    }
    trap(128, [&] { folderListView->setHeaderLabels({QStringLiteral("Folder(s)")}); });
    trap(130, [&] {
        folderListView->setColumnWidth(0, twips(7000));
        fitColumnToList();
    });
    trap(138, [&] {
        const QString fallback = GetDesktopFolder();
        outputFolderEdit->setText(
            ReadSetting(kSettingsApplication, kSettingsSection, QStringLiteral("Output Folder"), fallback));
    });
}

void MainWindow::unload()
{
    // Settings are written as they change, so there is nothing to save. When a
    // command is running, end at once: exit handlers (the engine's among them)
    // remove whatever temporary files are in flight.
    if (isBusy()) {
        if (m_endProgram)
            m_endProgram();
        else
            std::exit(0);
    }
}
