#pragma once
// Turning one listed folder into one archive, without the window: the
// "Start Zipping" button, the tests and the benchmark all run this code.
#include "app/ErrorTrap.h"
#include "app/Yield.h"
#include <QString>
#include <QStringList>
#include <functional>

struct ZipFolderHooks {
    Yield yield = ProcessPendingEvents;
    // Shows the engine's messages when the engine reports a failure.
    std::function<void(const QString &messages)> showEngineMessages;
};

// The folder's last name part: the text after its last separator, trailing
// separators aside ("/data/Photos/" gives "Photos").
QString LastNamePart(const QString &folderPath);

// The archive name for a folder: the output-folder text (given a separator
// when it lacks one), the folder's last name part, ".zip".
QString ArchiveNameFor(const QString &outputFolderText, const QString &folderPath);

// The archiver's steps, each a numbered statement of `trap`. Returns the
// engine's result, or -1 when the engine was never reached.
qint32 ZipFolderSteps(const QString &outputFolderText, const QString &folderPath,
                      ErrorTrap &trap, const ZipFolderHooks &hooks);

struct FolderArchiveOutcome {
    qint32 result = -1;          // engine result; 0 = written with everything asked for
    QString archivePath;
    QString messages;            // the engine's messages when result != 0
    QStringList errors;          // trapped failures, "line N: description"
};

// One folder, one archive, with errors collected instead of shown.
FolderArchiveOutcome ArchiveFolder(const QString &outputFolderText, const QString &folderPath,
                                   const Yield &yield = ProcessPendingEvents);
