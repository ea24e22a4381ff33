// Commands that bring folders in: "Add One Folder", "Add All Subfolders
// Within Folder", the output folder's "..." button and its text box.
#include "core/FolderWalk.h"
#include "core/PathHelpers.h"
#include "core/ProgramInfo.h"
#include "core/QbError.h"
#include "core/SettingsStore.h"
#include "window/Dialogs.h"
#include "window/ErrorReport.h"
#include "window/FolderBrowser.h"
#include "window/MainWindow.h"

#include <QLineEdit>

namespace {

QString readLastFolderDot()
{
    return ReadSetting(kSettingsApplication, kSettingsSection, QStringLiteral("LastFolderDot"), QString());
}
} // namespace

void MainWindow::addOneFolder()
{
    if (isBusy())
        return;
    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton4_Click"));
    QString path;
    trap(100, [&] { path = BrowseFolder(this, kBrowseTitle, readLastFolderDot()); });
    addOneFolderRow(trap, path);
}

void MainWindow::addOneFolderRow(ErrorTrap &trap, const QString &path)
{
    if (trap.guard(102, [&] { return IsRootOrTooShort(path); }))
        return;
    // The duplicate test compares the path as chosen; the row gets it cleaned.
    if (trap.guard(104, [&] { return IsFolderListed(path); }))
        return;
    // Rows hold the system's separators: "C:/x" from a typed or dropped
    // path is listed as "C:\x" on Windows.
    trap(106, [&] { appendRow(CleanBackslashes(NativeSeparators(path))); });
}

void MainWindow::addAllSubfolders()
{
    if (isBusy())
        return;
    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton1_Click"));
    QString path;
    trap(100, [&] { path = BrowseFolder(this, kBrowseTitle, QString()); });
    if (trap.guard(102, [&] { return path.isEmpty(); }))
        return;
    {
        AddingFolders adding(*this);
        trap(104, [&] { setMousePointer(kPointerBusy); });
        QStringList gathered;
        trap(106, [&] { CollectSubFolders(path + kNativeSeparator, gathered, true); });
        for (const QString &folder : std::as_const(gathered)) {
            trap(110, [&] { setMousePointer(kPointerBusy); });
            trap(112, [&] { ProcessPendingEvents(); });
            QString row;
            trap(114, [&] { row = folder.left(folder.size() - 1); });
            trap(116, [&] { appendRow(row); });
        }
    } // every row shown, the bar as before
    trap(118, [&] { setMousePointer(kPointerDefault); });
}

void MainWindow::chooseOutputFolder()
{
    if (isBusy())
        return;
    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton7_Click"));
    QString path;
    trap(100, [&] {
        // Before any output folder was chosen, the chooser opens where the
        // archives go by default.
        QString start = readLastFolderDot();
        if (start.isEmpty())
            start = GetDesktopFolder();
        path = BrowseFolder(this, kBrowseTitle, start);
    });
    if (trap.guard(102, [&] { return path.isEmpty(); }))
        return;
    bool endsInSeparator = false;
    trap(104, [&] {
        WriteSetting(kSettingsApplication, kSettingsSection, QStringLiteral("LastFolderDot"), path);
    });
    trap(104, [&] { endsInSeparator = path.endsWith(kNativeSeparator); });
    if (!endsInSeparator)
        trap(106, [&] { outputFolderEdit->setText(path + kNativeSeparator); });
    else
        trap(108, [&] { outputFolderEdit->setText(path); });
}

void MainWindow::outputFolderChanged()
{
    try {
        WriteSetting(kSettingsApplication, kSettingsSection, QStringLiteral("Output Folder"),
                     outputFolderEdit->text());
    } catch (const QbError &e) {
        // No trap here: say it once, not at every keystroke.
        if (!m_settingsWarningShown) {
            m_settingsWarningShown = true;
            Dialogs().warning(this, QString(), e.description());
        }
    }
}
