#pragma once
// Binding to the zip engine library, loaded by name at run time.
#include "core/Yield.h"
#include <QString>
#include <QStringList>
#include <functional>

// Result returned when the engine library or one of its entry points is missing.
constexpr qint32 kZipEngineUnavailable = -1;

struct ZipEngineRun {
    qint32 result = kZipEngineUnavailable; // ZpArchive's result, 0 = written
    QString messages; // everything the engine said, or why it could not run
};

// Told how much of an archive's file data is done, of how much in all; an
// answer of true asks the engine to stop (the archive is then not written).
using ZipProgress = std::function<bool(quint64 done, quint64 total)>;

// What this program asks of the engine beyond the classic option record.
struct ZipEngineExtras {
    // Links that lead out of the archived folders are followed (option
    // field 22) rather than stored as links.
    bool followLinks = false;
    // Files never to be archived, by full path (option field 23): the
    // archives a run writes, which may lie inside a folder it zips.
    QStringList leaveOut;
    // One of a run of archives: the flush of the output folder after the
    // archive's rename waits for the run's end (option field 24; see
    // EndZipEngineRun). The archive's own data is on disk before its rename
    // all the same.
    bool holdFolderSync = false;
};

// Builds one archive: ZpInit, ZpSetOptions and ZpArchive, in that order.
// The flags are the option fields the engine reads: ignorePath (field 13),
// recurse (14), update (19) and includeHidden (6); every field it does not
// read goes to it as 0. While the engine works, `yield` runs at its messages (and at the empty
// ones it sends to keep the window answering), and `progress`, when given,
// at most every 50 ms; while the names are still being collected its total
// is 0.
ZipEngineRun RunZipEngine(qint32 count, const QString &zipFileName, const QStringList &names,
                          qint16 ignorePath, qint16 recurse, qint16 update, qint16 includeHidden,
                          const QString &rootDirectory, const Yield &yield = ProcessPendingEvents,
                          const ZipProgress &progress = {}, const ZipEngineExtras &extras = {});

// Ends a run whose archives held the flush of their folder: once this
// returns, every archive the run wrote is on disk under its name. Does
// nothing when no archive held it.
void EndZipEngineRun();

// Where the engine is looked for. Default: beside the program, then the
// loader's own search. Tests point it elsewhere.
void SetZipEngineLibrary(const QString &pathOrName);
QString ZipEngineLibrary();
