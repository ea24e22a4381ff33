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
    // "Start Zipping" cannot start a second run: it looks unavailable, and
    // says how to stop this one (a screen reader hears that as its description).
    startButton->setEnabled(enabled);
    startButton->setToolTip(enabled ? kStartTip : kStopTip);
}

bool MainWindow::readyToZip(ErrorTrap &trap, QString &outputFolder)
{
    if (trap.branch(100, [&] { return rowCount() == 0; })) {
        trap(136, [&] { Dialogs().information(this, QString(), QStringLiteral("No folders added.")); });
        return false;
    }
    if (trap.branch(102, [&] {
            outputFolder = ResolveOutputFolder(outputFolderEdit->text());
            return !FolderExists(outputFolder);
        })) {
        trap(134, [&] { Dialogs().information(this, QString(), kNoSuchOutputFolder); });
        return false;
    }
    return true;
}

BatchRunHooks MainWindow::runHooks()
{
    BatchRunHooks hooks;
    hooks.reportFolderError = ShowErrorReport;
    // A folder that failed says so with the warning sign ("Done." and the
    // other notices keep the information sign), and offers to stop the run:
    // with many failing folders one press ends them all.
    hooks.showEngineMessages = [this](const QString &messages) {
        if (Dialogs().choose(this, DialogSeam::Sign::Warning, QString(), TextForDisplay(messages),
                             {QStringLiteral("OK"), QStringLiteral("Stop the Run")}, 0)
                == 1
            && m_run)
            m_run->requestStop(BatchRun::Stop::AfterFolder);
    };
    return hooks;
}

void MainWindow::followRun(BatchRun &run)
{
    connect(&run, &BatchRun::progressChanged, progressBar, &TextProgressBar::setExactValue);
    connect(&run, &BatchRun::folderStarted, this, [this](int, const QString &folder) {
        progressBar->setText(QStringLiteral("Processing: ") + FileNameForDisplay(GetLastPathPart(folder)));
    });
    connect(&run, &BatchRun::folderZipping, this, [this] { setMousePointer(kPointerBusy); });
}

void MainWindow::showRunEnd(const BatchRun &run, qsizetype folderCount)
{
    const QString details = run.notes().details();
    if (!run.stopped()) {
        Dialogs().informationWithDetails(this, QString(), QStringLiteral("Done."), details);
        return;
    }
    QStringList notZipped;
    for (const QString &folder : run.notZipped())
        notZipped << FileNameForDisplay(folder);
    Dialogs().informationWithDetails(
        this, QString(),
        QStringLiteral("Stopped. %1 of %2 folders were zipped; %3 were not.")
            .arg(run.zipped().size())
            .arg(folderCount)
            .arg(notZipped.size()),
        QStringLiteral("Not zipped:\n") + notZipped.join(QLatin1Char('\n'))
            + (details.isEmpty() ? QString() : QStringLiteral("\n\n") + details));
}

void MainWindow::startZipping()
{
    // A press that arrives while another command yields would start a run
    // inside it: ignore it.
    if (isBusy())
        return;
    BusyScope busy(*this, Busy::Zipping);

    ErrorTrap trap = MainWindowTrap(QStringLiteral("PushButton2_Click"));
    QString outputFolder;
    if (!readyToZip(trap, outputFolder))
        return;

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

    BatchRun run(rows, outputFolder, runHooks());
    m_run = &run;
    struct Forget {
        BatchRun *&run;
        ~Forget() { run = nullptr; }
    } forget{m_run};
    followRun(run);
    run.run(trap);

    trap(120, [&] { setMousePointer(kPointerDefault); });
    trap(122, [&] { progressBar->setExactValue(0); });
    trap(124, [&] { progressBar->setText(QStringLiteral("Progress Bar")); });
    trap(132, [&] { showRunEnd(run, rows.size()); });
}

void MainWindow::askToStop()
{
    if (!m_run || m_askingToStop)
        return;
    m_askingToStop = true;
    // Each button says what it does; Escape keeps zipping.
    const int answer = Dialogs().choose(this, DialogSeam::Sign::Question, QString(),
                                        QStringLiteral("Stop after the current folder?"),
                                        {QStringLiteral("Finish this folder, then stop"),
                                         QStringLiteral("Stop now"), QStringLiteral("Keep zipping")},
                                        2);
    m_askingToStop = false;
    if (!m_run)
        return; // the run ended while the question was open
    if (answer == 0)
        m_run->requestStop(BatchRun::Stop::AfterFolder);
    else if (answer == 1)
        m_run->requestStop(BatchRun::Stop::Now);
}
