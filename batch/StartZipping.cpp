// "Start Zipping": every listed folder becomes one archive.
#include "app/Dialogs.h"
#include "app/ErrorReport.h"
#include "app/Form1.h"
#include "batch/ArchiveFolder.h"
#include "batch/MainModule.h"

#include <QLineEdit>

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
    if (trap.branch(102, [&] { return !FolderExists(Text1->text()); })) {
        trap(134, [&] {
            Dialogs().information(this, QString(),
                                  QStringLiteral("Folder does not exist. Please select another folder."));
        });
        return;
    }
    int last = 0;
    trap(104, [&] { last = rowCount(); });
    for (int i = 1; i <= last; ++i) {
        QString folder;
        trap(106, [&] { folder = rowText(i); });
        trap(108, [&] { ProgressBar1->setExactValue(double(i) / double(rowCount()) * 100.0); });
        trap(110, [&] { ProgressBar1->setText(QStringLiteral("Processing: ") + GetLastPathPart(folder)); });
        trap(112, [&] { ProcessPendingEvents(); });
        trap(114, [&] { setMousePointer(kPointerBusy); });
        trap(116, [&] { ZipFolder(folder); });
    }
    trap(120, [&] { setMousePointer(kPointerDefault); });
    trap(122, [&] { ProgressBar1->setExactValue(0); });
    trap(124, [&] { ProgressBar1->setText(QStringLiteral("Progress Bar")); });
    trap(132, [&] { Dialogs().information(this, QString(), QStringLiteral("Done.")); });
}

void Form1::ZipFolder(const QString &folderPath)
{
    ErrorTrap trap = FormTrap(QStringLiteral("ZipFolder"));
    ZipFolderHooks hooks;
    hooks.showEngineMessages = [this](const QString &messages) {
        Dialogs().information(this, QString(), messages);
    };
    ZipFolderSteps(Text1->text(), folderPath, trap, hooks);
}
