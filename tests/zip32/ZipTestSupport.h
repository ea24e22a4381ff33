// Shared helpers of the engine tests: calling the engine in this process
// with its messages captured, making seeded random trees, and reading
// archives back with the independent readers (unzip, 7zz, bsdtar, Python).
#pragma once

#include "zip32.h"

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

#include <random>
#include <string>
#include <vector>

#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace ztest {

// Messages of the latest in-process run.
struct Captured {
    std::vector<std::string> lines;   // text messages, joined per line
    std::string text;
    int empties = 0;
    bool badBuffer = false;           // a buffer not shaped as promised
};

inline Captured &captured()
{
    static Captured c;
    return c;
}

inline int32_t ZIP32_CALL capturePrint(const char *buffer, uint32_t length)
{
    Captured &c = captured();
    if (length > 4096 || buffer[length] != '\0')
        c.badBuffer = true;
    if (length == 0) {
        if (buffer[0] != '\0')
            c.badBuffer = true;
        ++c.empties;
        return 0;
    }
    c.text.append(buffer, length);
    return 0;
}

inline QStringList messageLines()
{
    QStringList out = QString::fromStdString(captured().text).split('\n');
    if (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

struct Run {
    int32_t result = -1;
    QStringList lines;
};

struct Options {
    QByteArray root = "/";
    int recurse = 0, ignorePath = 0, hidden = 0, update = 0, threads = 0, level = 0, followLinks = 0;
    QStringList leaveOut;   // appended to the names and counted in field 23...
    int excluded = -1;      // ...unless this says otherwise
};

inline Run runEngine(const QString &archive, const QStringList &names, const Options &o = {},
                     ZipPrintRoutine print = capturePrint, ZipProgressRoutine progress = nullptr)
{
    captured() = Captured{};
    ZipEngineCallbacks callbacks{print, nullptr, nullptr, progress};
    ZpInit(&callbacks);
    ZipEngineOptions options{};
    options.recurse = o.recurse;
    options.ignorePath = o.ignorePath;
    options.includeHidden = o.hidden;
    options.update = o.update;
    options.threads = o.threads;
    options.level = static_cast<uint8_t>(o.level);
    options.followLinks = o.followLinks;
    options.excluded = o.excluded != -1 ? o.excluded : static_cast<int32_t>(o.leaveOut.size());
    options.rootDir = o.root.constData();
    ZpSetOptions(&options);
    std::vector<QByteArray> bytes;
    for (const auto &n : names + o.leaveOut)
        bytes.push_back(n.toUtf8());
    std::vector<const char *> pointers;
    for (const auto &b : bytes)
        pointers.push_back(b.constData());
    const QByteArray a = archive.toUtf8();
    Run run;
    run.result = ZpArchive(static_cast<int32_t>(pointers.size()), a.constData(), pointers.data());
    run.lines = messageLines();
    return run;
}

// Names the way the program hands them over: a placeholder, the folder's
// own wildcard name, then one per sub-folder at any depth.
inline QStringList programNames(const QString &folder)
{
    QStringList names{"querty", folder + "/*.*"};
    QDirIterator it(folder, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    QStringList subs;
    while (it.hasNext())
        subs << it.next();
    subs.sort();
    for (const auto &s : subs)
        names << s + "/*.*";
    return names;
}

inline QByteArray randomBytes(std::mt19937 &rng, qint64 size, bool compressible)
{
    QByteArray out(size, Qt::Uninitialized);
    if (compressible) {
        static const char *words[] = {"alpha ", "beta ", "gamma\n", "delta ", "epsilon ", "zeta\n", "eta ", "theta "};
        qint64 i = 0;
        while (i < size) {
            const char *w = words[rng() % 8];
            for (; *w && i < size; ++w)
                out[i++] = *w;
        }
    } else {
        for (qint64 i = 0; i < size; ++i)
            out[i] = static_cast<char>(rng());
    }
    return out;
}

#ifdef _WIN32
// A file's times on Windows, to the 100 ns the system keeps: last write,
// and the change time the system keeps of its own.
struct FileTimes {
    qint64 written = 0, changed = 0;   // 100 ns since 1601
};

inline HANDLE openForAttributes(const QString &path, DWORD access)
{
    return CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

inline FileTimes timesOf(const QString &path)
{
    FileTimes t;
    HANDLE h = openForAttributes(path, FILE_READ_ATTRIBUTES);
    FILE_BASIC_INFO basic{};
    if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        t = {basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart};
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return t;
}

inline void setWriteTime(const QString &path, qint64 written)
{
    HANDLE h = openForAttributes(path, FILE_WRITE_ATTRIBUTES);
    FILE_BASIC_INFO basic{};
    basic.LastWriteTime.QuadPart = written;
    QVERIFY2(h != INVALID_HANDLE_VALUE && SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic),
             qPrintable(path));
    CloseHandle(h);
}

// Windows has only the read-only mark of a mode.
inline void setTimeAndMode(const QString &path, time_t mtime, mode_t mode)
{
    setWriteTime(path, qint64(mtime) * 10000000 + INT64_C(116444736000000000));
    QFile::setPermissions(path, (mode & 0200) ? QFile::permissions(path) | QFile::WriteOwner
                                              : QFile::permissions(path) & ~QFile::Permissions(QFile::WriteOwner));
}
#else
inline void setTimeAndMode(const QString &path, time_t mtime, mode_t mode)
{
    const QByteArray p = QFile::encodeName(path);
    ::chmod(p.constData(), mode);
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.constData(), times, 0);
}
#endif

// A seeded random tree under `root`: nested and empty folders, names with
// blanks and non-ASCII letters, empty and tiny files, sizes around 64 KiB,
// compressible and random data of a few MiB, one file large enough to be
// compressed in pieces, various modes and times, and hidden items that must
// stay out of the archive.
inline void makeTree(const QString &root, unsigned seed, bool withChunkedFile)
{
    std::mt19937 rng(seed);
    static const char *names[] = {"plain", "with blank", "Ünïcödé", "日本語", "a.b.c", "noext", "x", "MiXeD"};
    const qint64 sizes[] = {0, 1, 65535, 65536, 65537, 4096, 300, 100000};
    const mode_t modes[] = {0644, 0600, 0755, 0444, 0640};
    const time_t times[] = {1000000000, 1600000000, 500000000 /* 1985 */, 1900000000 /* 2030 */};
    QDir().mkpath(root);
    QStringList folders{root};
    for (int d = 0; d < 6; ++d) {
        QString parent = folders[rng() % folders.size()];
        QString f = parent + "/" + names[rng() % 8] + QString::number(d);
        QDir().mkpath(f);
        folders << f;
    }
    QDir().mkpath(root + "/empty folder");
    QDir().mkpath(root + "/.hidden folder");
    QFile h(root + "/.hidden folder/inside");
    h.open(QIODevice::WriteOnly);
    h.write("x");
    h.close();
    int n = 0;
    for (const auto &f : folders) {
        const int files = 2 + static_cast<int>(rng() % 4);
        for (int i = 0; i < files; ++i, ++n) {
            const QString path = f + "/" + names[rng() % 8] + " " + QString::number(n) + ".dat";
            const qint64 size = sizes[rng() % 8];
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(randomBytes(rng, size, rng() % 2));
            file.close();
            setTimeAndMode(path, times[rng() % 4], modes[rng() % 5]);
        }
    }
    QFile hidden(root + "/.hidden file");
    hidden.open(QIODevice::WriteOnly);
    hidden.write("secret");
    hidden.close();
    auto big = [&](const QString &name, qint64 size, bool compressible) {
        QFile file(root + "/" + name);
        file.open(QIODevice::WriteOnly);
        file.write(randomBytes(rng, size, compressible));
        file.close();
        setTimeAndMode(root + "/" + name, 1600000000, 0644);
    };
    big("mib compressible.txt", (2 << 20) + 123, true);
    big("mib random.bin", (3 << 20) + 7, false);
    if (withChunkedFile)
        big("pieces.txt", (9 << 20) + 4321, true);
    for (const auto &f : folders)
        setTimeAndMode(f, 1500000000, 0755);
}

inline void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

// Everything in a folder, hidden names included, sorted.
inline QStringList leftIn(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

#ifndef _WIN32
inline void symlinkOrFail(const QByteArray &target, const QString &link)
{
    QVERIFY2(::symlink(target.constData(), QFile::encodeName(link).constData()) == 0, qPrintable(link));
}
#endif

struct Tool {
    int exitCode = -1;
    QByteArray out;
};

inline Tool runTool(const QString &program, const QStringList &args, int timeoutMs = 600000)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Tool t;
    if (!p.waitForStarted(10000)) {
        t.out = "cannot start " + program.toUtf8();
        return t;
    }
    p.waitForFinished(timeoutMs);
    t.out = p.readAll();
    t.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return t;
}

inline QString sourceDir()
{
    return qEnvironmentVariable("QB_SOURCE_DIR", QStringLiteral(QB_SOURCE_DIR_DEFAULT));
}

// Python's reading of the archive (tests/support/zipcheck.py): entries, CRC
// errors and the header lint's findings.
inline QJsonObject pythonCheck(const QString &archive)
{
    Tool t = runTool("python3", {sourceDir() + "/tests/support/zipcheck.py", archive});
    return QJsonDocument::fromJson(t.out).object();
}

inline QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// The archive as Python's zipfile reads it, sorted, one line per entry: a
// folder's name (ending in '/'), NAME=DATA for a file, NAME->TARGET for a
// link; a leading '+' where the UTF-8 flag is set. Names are their stored
// bytes, whether flagged or not.
inline QStringList listing(const QString &archive)
{
    const Tool t = runTool("python3", {"-c",
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "for i in z.infolist():\n"
        "    utf8 = i.flag_bits & 0x800\n"
        "    name = i.orig_filename.encode('utf-8' if utf8 else 'cp437').decode('utf-8', 'backslashreplace')\n"
        "    kind = {8: '=', 10: '->'}.get(i.external_attr >> 28, '')\n"
        "    print(('+' if utf8 else '') + name + kind + ('' if i.is_dir() else z.read(i).decode()))\n",
        archive});
    return t.exitCode == 0 ? sorted(QString::fromUtf8(t.out).split('\n', Qt::SkipEmptyParts))
                           : QStringList{"python: " + QString::fromUtf8(t.out)};
}

// unzip -t and 7-Zip's test both pass the archive.
inline bool readersAccept(const QString &archive)
{
    return runTool("unzip", {"-tqq", archive}).exitCode == 0
           && runTool("7zz", {"t", archive}).out.contains("Everything is Ok");
}

// What a tree should look like in an archive: stored name -> file info.
struct Expected {
    QString path;
    bool dir;
};

inline QMap<QByteArray, Expected> expectedEntries(const QString &folder, const QString &root)
{
    QMap<QByteArray, Expected> out;
    auto stored = [&](const QString &p) {
        QString rel = root == "/" ? p.mid(1) : QDir(root).relativeFilePath(p);
        return QFile::encodeName(rel);
    };
    out.insert(stored(folder) + "/", {folder, true});
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString p = it.next();
        if (p.contains("/."))
            continue;
        QFileInfo fi(p);
        out.insert(stored(p) + (fi.isDir() ? "/" : ""), {p, fi.isDir()});
    }
    return out;
}

} // namespace ztest
