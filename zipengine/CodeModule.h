#pragma once
// Binding to the zip engine library, loaded by name at run time.
#include <QString>
#include <QStringList>
#include <array>

// The engine's messages of the latest run, shared by every name list.
extern QString ZipMessages;

// Further option flags 9 to 19 of RunZipEngine, in order.
using ZipFurtherOptions = std::array<qint16, 11>;

// Builds one archive: ZpInit, ZpSetOptions and ZpArchive, in that order.
// Returns ZpArchive's result (0 = written); when the engine cannot be loaded
// returns a non-zero code and says why in ZipMessages.
qint32 RunZipEngine(qint32 count, const QString &zipFileName, const QStringList &names,
                    qint16 ignorePath, qint16 recurse, qint16 update, qint16 option7,
                    const QString &rootDirectory, const ZipFurtherOptions &further = {});

// Result returned when the engine library or one of its entry points is missing.
constexpr qint32 kZipEngineUnavailable = -1;

// Where the engine is looked for. Default: beside the program, then the
// loader's own search. Tests point it elsewhere.
void SetZipEngineLibrary(const QString &pathOrName);
QString ZipEngineLibrary();

// The message routine's conversion of an engine buffer to text: bytes 0 to
// length-1, stopping at the first zero byte and after index 4096.
QString ZipBufferToText(const char *buffer, quint32 length);
