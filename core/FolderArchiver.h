#pragma once
// Turning one listed folder into one archive, without the window: the
// "Start Zipping" button, the tests and the benchmark all run this code.
#include "core/EngineLoader.h"
#include "core/Platform.h"
#include "core/ErrorTrap.h"
#include "core/PathHelpers.h"
#include "core/Yield.h"
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The archive names one run has given out. Two listed folders with the same
// last name would otherwise share one archive name, and the later archive
// would replace the earlier one: within a run, a name already given out gets
// " (2)", " (3)", ... before ".zip" instead. Archives left by earlier runs
// are not counted, so they are still replaced. Names compare as the output
// folder's file system compares them (FileNameCaseIn): "Notes.zip" and
// "notes.zip" are one file on a FAT stick or a Windows share.
class RunArchiveNames {
public:
    explicit RunArchiveNames(Qt::CaseSensitivity names = kFileNameCase) : m_case(names) {}
    // `wanted`, or the first of "NAME (2).zip", "NAME (3).zip", ... that this
    // run has not given out yet; the answer counts as given out from now on.
    QString claim(const QString &wanted);

private:
    Qt::CaseSensitivity m_case;
    QSet<QString> m_given;
};

// What a run tells at its end, beside its archives.
struct RunNotes {
    QStringList renamed; // "FOLDER -> ARCHIVE", archives that got a new name
    QStringList keptEarlier; // earlier archives kept, as their new one was not written
    QStringList notInFull; // "FOLDER:\nMESSAGES", archives written without some files
    QStringList linksLeftOut; // links to folders the walk did not follow
    QStringList warnings; // what the engine said of archives it wrote all the same
    // The text behind the closing box's details button, ready to be shown
    // (names with control characters made visible); empty when there is
    // nothing to tell.
    QString details() const;
};

struct ZipFolderHooks {
    Yield yield = ProcessPendingEvents;
    // Shows the engine's messages when the engine reports a failure.
    std::function<void(const QString &messages)> showEngineMessages;
    // The run's archive names; without them the plain archive name is used.
    RunArchiveNames *names = nullptr;
    // Where renamed archives and links left out are told, when given.
    RunNotes *notes = nullptr;
    // Receives the archive's name as used, when given.
    QString *archivePath = nullptr;
    // Told of the engine's progress; true stops the archive at once.
    ZipProgress progress;
    // Links out of the folder followed, and the run's own archives left out.
    ZipEngineExtras extras;
    // Lists the folder's sub-folders in place of the walk, when given, as
    // CollectSubFolders lists them: a run walks the next folder while the
    // current one is being zipped.
    std::function<void(const QString &folderPath, QStringList &subFolders, QStringList *linksLeftOut)>
        subFolders;
    // The folder as the system finds it (CanonicalPath), when the caller
    // has just looked it up; otherwise it is looked up here.
    std::optional<QString> resolvedFolder;
    // A run's output folders, resolved once for the run; without them the
    // output folder text is resolved afresh (ResolveOutputFolder).
    OutputFolderLookup *outputFolders = nullptr;
};

// The folder's last name part: the text after its last separator, trailing
// separators aside ("/data/Photos/" gives "Photos").
QString LastNamePart(const QString &folderPath);

// The folder holding `folderPath`, trailing separators aside ("/data/Trip/"
// gives "/data"; "/Trip" gives "/"); empty for a path without a separator.
QString ParentFolderOf(const QString &folderPath);

// The archive name for a folder: the output folder (given a separator when
// it lacks one), the folder's last name part, ".zip".
QString ArchiveNameFor(const QString &outputFolderText, const QString &folderPath);

// The archiver's steps, each a numbered statement of `trap`. The output
// folder text goes through ResolveOutputFolder; a text that names no full
// path writes nothing. An earlier archive of the same name is left to the
// engine, which replaces it only with a complete new one: when the new one is
// not written, for whatever reason, the earlier one stays and the notes say
// so. Returns the engine's result, ZP_STOPPED when the walk was stopped
// (its yield threw WalkStopped), or -1 when the engine was never reached.
qint32 ZipFolderSteps(const QString &outputFolderText, const QString &folderPath, ErrorTrap &trap,
                      const ZipFolderHooks &hooks);

struct FolderArchiveOutcome {
    qint32 result = -1; // engine result; 0 = written with everything asked for
    QString archivePath;
    QString messages; // the engine's messages when result != 0
    QStringList errors; // trapped failures, "line N: description"
    RunNotes notes; // archive renamed, links left out
};

// One folder, one archive, with errors collected instead of shown.
// With `names`, the folder is one of a run's and takes its archive name from
// them.
FolderArchiveOutcome ArchiveFolder(const QString &outputFolderText, const QString &folderPath,
                                   const Yield &yield = ProcessPendingEvents,
                                   RunArchiveNames *names = nullptr);
