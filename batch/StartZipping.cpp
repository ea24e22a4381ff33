// "Start Zipping": every listed folder becomes one archive.
#include "app/Dialogs.h"
#include "app/ErrorReport.h"
#include "app/FileNames.h"
#include "app/Form1.h"
#include "batch/ArchiveFolder.h"
#include "batch/MainModule.h"

#include <QLineEdit>
#include <QPushButton>

void Form1::setRunControlsEnabled(bool enabled)
{
    for (QWidget *control : {static_cast<QWidget *>(PushButton4), static_cast<QWidget *>(PushButton1),
                             static_cast<QWidget *>(PushButton3), static_cast<QWidget *>(PushButton5),
                             static_cast<QWidget *>(Text1), static_cast<QWidget *>(PushButton7)})
        control->setEnabled(enabled);
    setAcceptDrops(enabled);
}

void Form1::PushButton2_Click()
{
    // A press that arrives while a run yields would start a second run inside
    // the first one, in the middle of an archive: ignore it.
    if (m_zipping)
        return;
    m_zipping = true;
    CommandScope scope(*this);
    struct Reset {
        bool &flag;
        ~Reset() { flag = false; }
    } reset{m_zipping};

    ErrorTrap trap = FormTrap(QStringLiteral("PushButton2_Click"));
    if (trap.branch(100, [&] { return rowCount() == 0; })) {
        trap(136, [&] { Dialogs().information(this, QString(), QStringLiteral("No folders added.")); });
        return;
    }
    QString outputFolder;
    if (trap.branch(102, [&] {
            outputFolder = ResolveOutputFolder(Text1->text());
            return !FolderExists(outputFolder);
        })) {
        trap(134, [&] { Dialogs().information(this, QString(), kNoSuchOutputFolder); });
        return;
    }

    // The run works on the rows and the output folder as they are now. The
    // window keeps answering while it runs, so the controls that could change
    // either are unavailable until the run has ended.
    QStringList rows;
    trap(104, [&] { rows = rowTexts(); });
    setRunControlsEnabled(false);
    struct Unlock {
        Form1 &form;
        ~Unlock() { form.setRunControlsEnabled(true); }
    } unlock{*this};

    RunArchiveNames names;
    RunNotes notes;
    const qsizetype last = rows.size();
    for (qsizetype i = 1; i <= last; ++i) {
        QString folder;
        trap(106, [&] { folder = rows.at(i - 1); });
        trap(108, [&] { ProgressBar1->setExactValue(double(i) / double(last) * 100.0); });
        trap(110, [&] {
            ProgressBar1->setText(QStringLiteral("Processing: ")
                                  + FileNameForDisplay(GetLastPathPart(folder)));
        });
        trap(112, [&] { ProcessPendingEvents(); });
        trap(114, [&] { setMousePointer(kPointerBusy); });
        trap(116, [&] { ZipFolder(folder, outputFolder, names, notes); });
    }
    trap(120, [&] { setMousePointer(kPointerDefault); });
    trap(122, [&] { ProgressBar1->setExactValue(0); });
    trap(124, [&] { ProgressBar1->setText(QStringLiteral("Progress Bar")); });
    trap(132, [&] {
        Dialogs().informationWithDetails(this, QString(), QStringLiteral("Done."),
                                         FileNameForDisplay(notes.details()));
    });
}

void Form1::ZipFolder(const QString &folderPath, const QString &outputFolder, RunArchiveNames &names,
                      RunNotes &notes)
{
    ErrorTrap trap = FormTrap(QStringLiteral("ZipFolder"));
    ZipFolderHooks hooks;
    hooks.showEngineMessages = [this](const QString &messages) {
        Dialogs().information(this, QString(), messages);
    };
    hooks.names = &names;
    hooks.notes = &notes;
    ZipFolderSteps(outputFolder, folderPath, trap, hooks);
}
