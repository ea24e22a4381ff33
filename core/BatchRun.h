#pragma once
// One press of "Start Zipping", without the window: every folder of the list
// as it stood when the run began, first to last, each into an archive of its
// own in one output folder. The window starts a run and follows it through
// its signals; tests and the benchmark drive it directly.
#include "core/ErrorTrap.h"
#include "core/FolderArchiver.h"
#include "core/WalkAhead.h"
#include "core/Yield.h"

#include <QMap>
#include <QObject>
#include <QStringList>
#include <functional>

struct BatchRunHooks {
    Yield yield = ProcessPendingEvents;
    // Reports a failing step of one folder's archiving (the archiver's own
    // numbered statements); by default nothing is reported.
    ErrorTrap::Reporter reportFolderError;
    // Shows the engine's messages when a folder's archive failed.
    std::function<void(const QString &messages)> showEngineMessages;
    // Links that lead out of a folder are followed (the command line's
    // --follow-links) instead of stored as links.
    bool followLinks = false;
    // Each folder's archive goes beside it, into the folder's own parent
    // (the command line's --beside); the run's output folder is not used.
    bool beside = false;
};

class BatchRun : public QObject {
    Q_OBJECT
public:
    // `outputFolder` is a full path (see ResolveOutputFolder), or empty for
    // a run that zips each folder beside itself (hooks.beside).
    BatchRun(QStringList folders, QString outputFolder, BatchRunHooks hooks = {}, QObject *parent = nullptr);
    ~BatchRun() override;

    const QStringList &folders() const { return m_folders; }
    const QString &outputFolder() const { return m_outputFolder; }
    // Where the archive of `folder` goes: the output folder, or its parent.
    QString outputFolderFor(const QString &folder) const;
    // Archives renamed and links left out so far.
    const RunNotes &notes() const { return m_notes; }

    // Asks the run to stop: after the folder being zipped, or at once, when
    // the walk or the archive under way is given up and nothing of it is
    // left. Archives already finished stay, and so does the earlier archive
    // of the folder given up.
    enum class Stop { No, AfterFolder, Now };
    void requestStop(Stop when);
    bool stopped() const { return m_stopped; }
    // Folders whose archive was written, and those that were not because the
    // run stopped (failures are neither: they said so themselves).
    const QStringList &zipped() const { return m_zipped; }
    const QStringList &notZipped() const { return m_notZipped; }

    // Zips every folder, each step a numbered statement of `trap`, the
    // trap of the command that started the run: a failing step is reported
    // and the run goes on.
    void run(ErrorTrap &trap);

signals:
    // How much of the run is done, 0 to 100: whole folders before the one
    // being zipped, and of that one the share of its file data written, so a
    // single long folder moves the bar too.
    void progressChanged(double percent);
    void folderStarted(int number, const QString &folder);
    // Everything is ready and the folder's archive is about to be made.
    void folderZipping(int number);
    // The engine's progress within folder `number`: bytes of file data
    // written so far of `total`.
    void dataWritten(int number, quint64 done, quint64 total);
    // The folder is done: its archive's name and the engine's result (0 when
    // written with everything; -1 when the engine was never reached).
    void folderFinished(int number, const QString &archive, qint32 result);

private:
    void zipFolder(int number, const QString &folder);
    // The folder's sub-folders: the walk made ahead when there is one, else
    // a walk now. Then starts the walk of the folder after `number`.
    void subFoldersOf(int number, const QString &folder, QStringList &subFolders, QStringList *linksLeftOut);

    QStringList m_folders;
    QString m_outputFolder;
    // Every archive this run may write, by full path: none of them is ever
    // put into another archive of the run (the output folder, or a folder's
    // parent, may lie inside a folder being zipped). By the folder they go
    // into: a run into one output folder has one.
    QMap<QString, QStringList> m_runArchives;
    // The same folders as the system finds them, looked up once for the run.
    QMap<QString, QString> m_runArchiveFolders;
    OutputFolderLookup m_outputFolders;
    BatchRunHooks m_hooks;
    RunArchiveNames m_names;
    RunNotes m_notes;
    Stop m_stop = Stop::No;
    bool m_stopped = false;
    QStringList m_zipped;
    QStringList m_notZipped;
    // Last, so that it ends first.
    WalkAhead m_walkAhead;
};
