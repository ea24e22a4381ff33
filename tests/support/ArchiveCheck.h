#pragma once
// Reads archives back with independent readers and describes folder trees
// the way an archive of them should look.
#include <QDir>
#include <QDirIterator>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>

#include <filesystem>

#ifdef Q_OS_WIN
#  include <zip.h>
#endif

namespace archivecheck {

#ifdef Q_OS_WIN

// Every entry of the archive with its contents ("name/" for folders, whose
// contents are empty), read by libzip, which checks each entry's CRC-32 as it
// reads it. (Wine starts Linux programs such as python3 and unzip, but does
// not wait for them nor give their exit status.)
inline QMap<QString, QByteArray> readZip(const QString &zipPath, QString *error = nullptr)
{
    QMap<QString, QByteArray> out;
    QString problem;
    int code = ZIP_ER_OK;
    zip_t *archive = zip_open(zipPath.toUtf8().constData(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (!archive) {
        zip_error_t why;
        zip_error_init_with_code(&why, code);
        problem = QString::fromUtf8(zip_error_strerror(&why));
        zip_error_fini(&why);
    }
    const zip_int64_t count = archive ? zip_get_num_entries(archive, 0) : 0;
    for (zip_int64_t i = 0; i < count && problem.isEmpty(); ++i) {
        // Names as Python's zipfile takes them: UTF-8 when flagged, CP437 otherwise.
        const char *name = zip_get_name(archive, zip_uint64_t(i), ZIP_FL_ENC_STRICT);
        zip_file_t *file = name ? zip_fopen_index(archive, zip_uint64_t(i), 0) : nullptr;
        QByteArray data;
        char buffer[65536];
        zip_int64_t n = 0;
        while (file && (n = zip_fread(file, buffer, sizeof buffer)) > 0)
            data.append(buffer, qsizetype(n));
        if (!file || n < 0)
            problem = QString::fromUtf8(file ? zip_file_strerror(file) : zip_strerror(archive));
        else
            out.insert(QString::fromUtf8(name), data);
        if (file)
            zip_fclose(file);
    }
    if (archive)
        zip_discard(archive);
    if (!problem.isEmpty()) {
        out.clear();
        if (error)
            *error = zipPath + QStringLiteral(": ") + problem;
    }
    return out;
}

// The archive opens and every entry reads back with its CRC-32.
inline bool unzipTestPasses(const QString &zipPath, QString *output = nullptr)
{
    QString error;
    readZip(zipPath, &error);
    if (output)
        *output = error;
    return error.isEmpty();
}

#else

// Every entry of the archive with its contents ("name/" for folders, whose
// contents are empty), read by Python's zipfile.
inline QMap<QString, QByteArray> readZip(const QString &zipPath, QString *error = nullptr)
{
    static const char *script = R"PY(
import sys, zipfile, base64
with zipfile.ZipFile(sys.argv[1]) as z:
    bad = z.testzip()
    if bad is not None:
        print("BAD " + bad); sys.exit(3)
    for info in z.infolist():
        data = z.read(info) if not info.is_dir() else b""
        sys.stdout.write(base64.b64encode(info.filename.encode("utf-8", "surrogateescape")).decode() + " " + base64.b64encode(data).decode() + "\n")
)PY";
    QProcess p;
    p.start(QStringLiteral("python3"), {QStringLiteral("-c"), QString::fromUtf8(script), zipPath});
    p.waitForFinished(600000);
    QMap<QString, QByteArray> out;
    if (p.exitCode() != 0) {
        if (error)
            *error = QString::fromUtf8(p.readAllStandardError() + p.readAllStandardOutput());
        return out;
    }
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> parts = line.split(' ');
        out.insert(QString::fromUtf8(QByteArray::fromBase64(parts.value(0))), QByteArray::fromBase64(parts.value(1)));
    }
    return out;
}

// `unzip -t` says the archive is sound.
inline bool unzipTestPasses(const QString &zipPath, QString *output = nullptr)
{
    QProcess p;
    p.start(QStringLiteral("unzip"), {QStringLiteral("-tqq"), zipPath});
    p.waitForFinished(600000);
    if (output)
        *output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

#endif

// What the archive of a listed folder should hold: the folder and every
// non-hidden folder below it as "path/", every non-hidden regular file with
// its bytes; names start at the folder's own name ("Trip/sub/a.jpg"). A link
// into the folder stores the file it leads to (a folder: nothing); any other
// link is stored as a link, its data the link's own text.
inline QMap<QString, QByteArray> expectedEntries(const QString &folder)
{
    QMap<QString, QByteArray> out;
    const QString root = QDir(folder).absolutePath();
    const QString parent = QFileInfo(root).path();
    auto stored = [&](const QString &abs) { return abs.mid(parent == QLatin1String("/") ? 1 : parent.size() + 1); };
    out.insert(stored(root) + QLatin1Char('/'), QByteArray());
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QDir(root).relativeFilePath(path).split(QLatin1Char('/')).filter(QRegularExpression(QStringLiteral("^\\."))).size())
            continue; // hidden, or below something hidden
        const QFileInfo info = it.fileInfo();
        const QString target = info.isSymLink() ? info.canonicalFilePath() : QString();
        const QString realRoot = QFileInfo(root).canonicalFilePath();
        if (info.isSymLink() && (target.isEmpty() || (target != realRoot && !target.startsWith(realRoot + '/')))) {
#ifndef Q_OS_WIN   // on Windows such a link is left out
            std::error_code error;
            const auto text = std::filesystem::read_symlink(QFile::encodeName(path).toStdString(), error);
            out.insert(stored(path), QByteArray::fromStdString(text.string()));
#endif
        } else if (info.isSymLink() && info.isDir()) {
            continue;   // a link back into the folder is not followed
        } else if (info.isDir()) {
            out.insert(stored(path) + QLatin1Char('/'), QByteArray());
        } else if (info.isFile()) {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            out.insert(stored(path), f.readAll());
        }
    }
    return out;
}

} // namespace archivecheck
