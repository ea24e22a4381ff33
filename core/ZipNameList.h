#pragma once
// The names that go into one archive, the archive's settings, and the call
// that builds it.
#include "core/EngineLoader.h"
#include "core/Yield.h"
#include <QString>
#include <QSet>
#include <QStringList>
#include <QtGlobal>

class ZipNameList {
public:
    // `yield` runs after names are added, before the engine starts and while
    // it works: at most every few milliseconds (Throttled).
    explicit ZipNameList(Yield yield = ProcessPendingEvents);

    bool RecurseFolders() const { return m_recurse == 1; }
    void setRecurseFolders(bool on) { m_recurse = on ? 1 : 0; }
    QString ZipFileName() const { return m_zipFileName; }
    void setZipFileName(const QString &name) { m_zipFileName = name; }
    bool Encrypted() const { return m_encrypt == 1; }
    void setEncrypted(bool on) { m_encrypt = on ? 1 : 0; }
    bool IncludeSystemFiles() const { return m_system == 1; }
    void setIncludeSystemFiles(bool on) { m_system = on ? 1 : 0; }
    qint32 ZipFileCount() const;
    QString RootDirectory() const { return m_rootDirectory; }
    void setRootDirectory(const QString &dir) { m_rootDirectory = dir; }
    bool UpdatingZip() const { return m_update == 1; }
    void setUpdatingZip(bool on) { m_update = on ? 1 : 0; }
    bool IgnorePath() const { return m_ignorePath == 1; }
    void setIgnorePath(bool on) { m_ignorePath = on ? 1 : 0; }

    void AddFile(const QString &fileName); // throws QbError 0x800407D1 on a duplicate
    void RemoveFile(const QString &fileName); // throws QbError 0x800407D2 when absent
    qint32 MakeZipFile(); // throws QbError 0x80040064 on failure
    // Told of the engine's progress while MakeZipFile runs; true stops it.
    void setProgress(ZipProgress progress) { m_progress = std::move(progress); }
    // Links out of the archived folders followed, and files left out.
    void setExtras(ZipEngineExtras extras) { m_extras = std::move(extras); }
    // The engine's messages of the last MakeZipFile, as a person reads them:
    // nothing about the placeholder; "folder not found: PATH" for a listed
    // folder that is not there.
    QString GetLastMessage() const;

    // The names of the list, placeholder first (for tests).
    QStringList names() const { return m_names; }
    // The names as the engine gets them: the placeholder, while it is
    // listed, as a name that no file can have (see MakeZipFile).
    QStringList engineNames() const;

    static constexpr qint32 kErrAlreadyListed = qint32(0x800407D1u);
    static constexpr qint32 kErrNotListed = qint32(0x800407D2u);
    static constexpr qint32 kErrComponent = qint32(0x80040064u);

private:
    static QString keyOf(const QString &name);
    void yieldOnce() const;
    QString placeholderForEngine() const;

    QStringList m_names; // placeholder "querty" first
    bool m_placeholderListed = true;
    QSet<QString> m_keys; // the names' keys, for the duplicate test
    qint16 m_recurse = 0;
    QString m_zipFileName;
    qint16 m_encrypt = 0;
    qint16 m_system = 0;
    QString m_rootDirectory;
    qint16 m_ignorePath = 0;
    qint16 m_update = 0;
    Yield m_yield;
    ZipProgress m_progress;
    ZipEngineExtras m_extras;
    QString m_lastMessages;
};
