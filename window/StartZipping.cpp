// "Start Zipping": the window's side of a run. The run itself is a BatchRun;
// the window checks what it needs, starts it, follows its progress and
// closes it with "Done.".
#include "core/BatchRun.h"
#include "core/FileNames.h"
#include "core/PathHelpers.h"
#include "window/Dialogs.h"
#include "window/ErrorReport.h"
#include "window/MainWindow.h"

#include <QLineEdit>
#include <QPushButton>

void MainWindow::setRunControlsEnabled(bool enabled)
{
    for (QWidget *control :
         {static_cast<QWidget *>(addOneFolderButton), static_cast<QWidget *>(addAllSubfoldersButton),
          static_cast<QWidget *>(clearListButton), static_cast<QWidget *>(loadSamplesButton),
          static_cast<QWidget *>(outputFolderEdit), static_cast<QWidget *>(chooseOutputButton)})
        control->setEnabled(enabled);
    setAcceptDrops(enabled);
}

void MainWindow::startZipping()
{
    // A press that arrives while another command yields would start a run
    // inside it: ignore it.
    if (isBusy())
        return;
    BusyScope busy(*this, Busy::Zipping);

    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton2_Click"));
    if (trap.branch(100, [&] { return rowCount() == 0; })) {
        trap(136, [&] { Dialogs().information(this, QString(), QStringLiteral("No folders added.")); });
        return;
    }
    QString outputFolder;
    if (trap.branch(102, [&] {
            outputFolder = ResolveOutputFolder(outputFolderEdit->text());
            return !FolderExists(outputFolder);
        })) {
        trap(134, [&] { Dialogs().information(this, QString(), kNoSuchOutputFolder); });
        return;
    }

    // The run works on the rows and the output folder as they are now. The
    // window keeps answering while it runs, so the controls that could change
    // either are unavailable until the run has ended.
    QStringList rows;
    trap(104, [&] { rows = m_folders.rows(); });
    setRunControlsEnabled(false);
    struct Unlock {
        MainWindow &window;
        ~Unlock() { window.setRunControlsEnabled(true); }
    } unlock{*this};

    BatchRunHooks hooks;
    hooks.reportFolderError = ShowErrorReport;
    // A folder that failed says so with the warning sign; "Done." and the
    // other notices keep the information sign.
    hooks.showEngineMessages = [this](const QString &messages) {
        Dialogs().warning(this, QString(), messages);
    };
    BatchRun run(rows, outputFolder, hooks);
    connect(&run, &BatchRun::progressChanged, progressBar, &TextProgressBar::setExactValue);
    connect(&run, &BatchRun::folderStarted, this, [this](int, const QString &folder) {
        progressBar->setText(QStringLiteral("Processing: ")
                             + FileNameForDisplay(GetLastPathPart(folder)));
    });
    connect(&run, &BatchRun::folderZipping, this, [this] { setMousePointer(kPointerBusy); });
    run.run(trap);

    trap(120, [&] { setMousePointer(kPointerDefault); });
    trap(122, [&] { progressBar->setExactValue(0); });
    trap(124, [&] { progressBar->setText(QStringLiteral("Progress Bar")); });
    trap(132, [&] {
        Dialogs().informationWithDetails(this, QString(), QStringLiteral("Done."),
                                         FileNameForDisplay(run.notes().details()));
    });
}
