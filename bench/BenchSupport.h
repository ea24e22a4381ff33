#pragma once
// Pieces shared by the benchmark programs.
#include <QFile>
#include <QStringList>

// The folders of a list file, one absolute path a line, blank lines skipped.
// Returns false with the reason when the file cannot be read.
inline bool readFolderList(const QString &path, QStringList &folders, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot read the folder list %1: %2").arg(path, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.isEmpty())
            folders << line;
    }
    return true;
}
