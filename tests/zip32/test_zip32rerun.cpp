// A re-run over an earlier archive copies the data of unchanged files from it
// and still writes exactly the archive a fresh run writes.
#include "ZipTestSupport.h"

#include "write/Archive.h"

#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <time.h>

using namespace ztest;

namespace {

// A file's change time and the file system's clock, in nanoseconds since
// 1970 (Windows: the engine's moment is a tick earlier than its clock).
#ifdef _WIN32
qint64 changeTime(const QString &path)
{
    return (timesOf(path).changed - INT64_C(116444736000000000)) * 100;
}

qint64 fileSystemNow()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const qint64 ticks = qint64((quint64(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return (ticks - INT64_C(116444736000000000)) * 100 - 32000000;
}

// The file's modification time, later put back to the 100 ns.
qint64 modifiedTime(const QString &path)
{
    return timesOf(path).written;
}

void putBack(const QString &path, qint64 written, int secondsEarlier)
{
    setWriteTime(path, written - qint64(secondsEarlier) * 10000000);
}
#else
qint64 changeTime(const QString &path)
{
    struct stat st{};
    ::stat(QFile::encodeName(path).constData(), &st);
    return qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

qint64 fileSystemNow()
{
    struct timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

qint64 modifiedTime(const QString &path)
{
    struct stat st{};
    ::stat(QFile::encodeName(path).constData(), &st);
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void putBack(const QString &path, qint64 modified, int secondsEarlier)
{
    const qint64 t = modified - qint64(secondsEarlier) * 1000000000;
    struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(t / 1000000000), long(t % 1000000000)}};
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0);
}
#endif

// Waits until the file-system clock is past every change made so far under
// `dir`, so that the next run takes all of its files for unchanged ones.
void waitForClockTick(const QString &dir)
{
    qint64 latest = 0;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        latest = std::max(latest, changeTime(it.next()));
    const QString probe = dir + "/../probe";
    do {
        writeFile(probe, "tick");
        QTest::qSleep(1);
    } while (changeTime(probe) <= latest || fileSystemNow() <= latest);
}

// Readers written by others agree with the archive (Linux: the tools of
// ZipTestSupport.h; on Windows, where those do not run, the archive is
// compared byte for byte with a fresh run's instead, which is read back by
// tests/windows/run_wintests.py).
bool readersAgree(const QString &archive)
{
#ifdef _WIN32
    Q_UNUSED(archive);
    return true;
#else
    return readersAccept(archive) && pythonCheck(archive).value("problems").toArray().isEmpty();
#endif
}

// Flips a byte in the middle of the data of `name`'s entry, or in the CRC
// of its local header.
void damage(const QString &archive, const QByteArray &name, bool header = false)
{
    QFile f(archive);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QByteArray bytes = f.readAll();
    qsizetype local = bytes.indexOf(QByteArray("PK\x03\x04", 4));
    while (local >= 0 && bytes.mid(local + 30, name.size()) != name)
        local = bytes.indexOf(QByteArray("PK\x03\x04", 4), local + 4);
    QVERIFY(local >= 0);
    const auto u16 = [&](qsizetype p) { return uchar(bytes[p]) | uchar(bytes[p + 1]) << 8; };
    const auto u32 = [&](qsizetype p) { return qint64(u16(p)) | qint64(u16(p + 2)) << 16; };
    const qsizetype data = local + 30 + u16(local + 26) + u16(local + 28);
    const qsizetype at = header ? local + 14 : data + u32(local + 18) / 2;
    bytes[at] = char(bytes[at] ^ 0x5A);
    f.seek(0);
    f.write(bytes);
}

int fileCount(const QString &dir)
{
    int n = 0;
    QDirIterator it(dir, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        n += it.next().contains("/.") ? 0 : 1;
    return n;
}

} // namespace

class TestZip32Rerun : public QObject {
    Q_OBJECT
private slots:
    void rerun_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("firstLevel");
        QTest::addColumn<int>("notCopied");   // files of the first run not copied
        QTest::newRow("nothing changed") << "" << 6 << 0;
        QTest::newRow("content, same size") << "content" << 6 << 1;
        QTest::newRow("size") << "size" << 6 << 1;
        QTest::newRow("time") << "time" << 6 << 1;
        QTest::newRow("content, old time put back") << "put back" << 6 << 1;
        QTest::newRow("renamed") << "rename" << 6 << 1;
        QTest::newRow("one added, one removed") << "add remove" << 6 << 1;
        QTest::newRow("earlier archive damaged") << "damage" << 6 << 2;
        QTest::newRow("earlier archive's local header damaged") << "damage header" << 6 << 1;
        QTest::newRow("earlier archive of another level") << "" << 9 << -1;
    }
    void rerun()
    {
        QFETCH(QString, change);
        QFETCH(int, firstLevel);
        QFETCH(int, notCopied);
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/tree/Folder", file = src + "/change me.txt";
        makeTree(src, 11, true);
        std::mt19937 rng(5);
        writeFile(file, randomBytes(rng, 50000, true));
        waitForClockTick(tmp.path() + "/tree");
        const int files = fileCount(src);
        Options o;
        o.root = QFile::encodeName(tmp.path() + "/tree");
        o.level = firstLevel;
        const QString again = tmp.path() + "/again/Folder.zip", fresh = tmp.path() + "/fresh/Folder.zip";
        QDir().mkpath(tmp.path() + "/again");
        QDir().mkpath(tmp.path() + "/fresh");
        QCOMPARE(runEngine(again, programNames(src), o).result, ZP_OK);

        const qint64 old = modifiedTime(file);
        if (change == "content" || change == "put back")
            writeFile(file, randomBytes(rng, 50000, true));
        if (change == "size")
            writeFile(file, randomBytes(rng, 50001, true));
        if (change == "time" || change == "put back")
            putBack(file, old, change == "time" ? 100 : 0);
        if (change == "rename")
            QVERIFY(QFile::rename(file, src + "/renamed.txt"));
        if (change == "add remove") {
            QVERIFY(QFile::remove(file));
            writeFile(src + "/added.txt", "new");
        }
        if (change == "damage") {
            damage(again, "Folder/change me.txt");
            damage(again, "Folder/pieces.txt");
        }
        if (change == "damage header")
            damage(again, "Folder/change me.txt", true);

        o.level = 6;
        QCOMPARE(runEngine(again, programNames(src), o).result, ZP_OK);
        const int copied = static_cast<int>(zip32::copiedInLastArchive());
        QCOMPARE(runEngine(fresh, programNames(src), o).result, ZP_OK);
        QCOMPARE(copied, notCopied < 0 ? 0 : files - notCopied);
        QFile a(again), b(fresh);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
        QVERIFY(readersAgree(again));
    }

    // An earlier entry is found by its whole name, byte for byte: names
    // that differ only in case, in one byte or in length are other entries,
    // a long name is found as a short one is, and a name the earlier
    // directory holds twice is taken from neither.
    void earlierEntriesFoundByName_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QString>("twice"); // renamed in the earlier directory to the first file's name
        QTest::addColumn<int>("notCopied");
        const QString deep = QString(200, 'x') + "/" + QString(200, 'y') + "/";
        QTest::newRow("case") << QStringList{"Name.txt", "name.txt", "NAME.txt"} << "" << 0;
        QTest::newRow("one byte") << QStringList{"f1.txt", "f2.txt", "f3.txt"} << "" << 0;
        QTest::newRow("length") << QStringList{"a", "ab", "abc"} << "" << 0;
        QTest::newRow("long") << QStringList{deep + QString(200, 'z'), deep + QString(199, 'z')} << "" << 0;
        QTest::newRow("a name twice") << QStringList{"f1.txt", "f2.txt", "f3.txt"} << "f2.txt" << 2;
    }
    void earlierEntriesFoundByName()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, twice);
        QFETCH(int, notCopied);
#ifdef _WIN32
        if (QString(QTest::currentDataTag()) != "one byte"
            && QString(QTest::currentDataTag()) != "a name twice")
            QSKIP("Windows: names that differ only in case are one file, and the long paths pass MAX_PATH");
#endif
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/tree/Folder";
        for (const QString &f : files) {
            QDir().mkpath(QFileInfo(src + "/" + f).path());
            writeFile(src + "/" + f, f.toUtf8() + " holds this text, and this text, and this text again");
        }
        waitForClockTick(tmp.path() + "/tree");
        Options o;
        o.root = QFile::encodeName(tmp.path() + "/tree");
        const QString again = tmp.path() + "/again/Folder.zip", fresh = tmp.path() + "/fresh/Folder.zip";
        QDir().mkpath(tmp.path() + "/again");
        QDir().mkpath(tmp.path() + "/fresh");
        QCOMPARE(runEngine(again, programNames(src), o).result, ZP_OK);
        if (!twice.isEmpty()) {
            QFile f(again);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QByteArray bytes = f.readAll();
            const QByteArray from = "Folder/" + twice.toUtf8(), to = "Folder/" + files[0].toUtf8();
            const qsizetype central = bytes.indexOf(QByteArray("PK\x01\x02", 4));
            const qsizetype at = bytes.indexOf(from, central);
            QVERIFY(central > 0 && at > central && from.size() == to.size());
            bytes.replace(at, to.size(), to);
            f.seek(0);
            f.write(bytes);
        }
        QCOMPARE(runEngine(again, programNames(src), o).result, ZP_OK);
        const int copied = static_cast<int>(zip32::copiedInLastArchive());
        QCOMPARE(runEngine(fresh, programNames(src), o).result, ZP_OK);
        QCOMPARE(copied, files.size() - notCopied);
        QFile a(again), b(fresh);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
    }

    // A re-run copies an earlier entry's data only when it is the file's own:
    // never for a folder of the same name elsewhere, a link pointed at
    // another file, an earlier archive touched since it was made, or a file
    // on a stick whose change time any program can set.
    void reusesOnlyTheFilesOwnBytes_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("a folder of the same name elsewhere") << "same name";
        QTest::newRow("a link pointed at another file") << "link";
        QTest::newRow("the earlier archive touched since") << "touched";
        QTest::newRow("FAT: edited, its time put back") << "fat";
    }
    void reusesOnlyTheFilesOwnBytes()
    {
        QFETCH(QString, change);
        QTemporaryDir tmp;
        QString top = tmp.path() + "/v1";
#ifdef _WIN32
        if (change == "link" || change == "fat")
            QSKIP("Windows: links are not archived, and a FAT stick is mounted through FUSE");
#else
        if (change == "fat") {
            if (::geteuid() != 0 || QStandardPaths::findExecutable("fusefat").isEmpty())
                QSKIP("needs root and fusefat");
            QDir().mkpath(top);
            QFile image(tmp.path() + "/fat.img");
            QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(32 << 20));
            image.close();
            QCOMPARE(runTool("mkfs.vfat", {tmp.path() + "/fat.img"}).exitCode, 0);
            if (runTool("fusefat", {"-o", "rw+", tmp.path() + "/fat.img", top}).exitCode != 0)
                QSKIP("no FUSE here");
        }
        auto unmount = qScopeGuard([&] {
            if (change == "fat")
                runTool("fusermount", {"-u", top});
        });
#endif
        // Two trees alike in names, sizes and times, with other bytes.
        for (const QString &v : {tmp.path() + "/v1", tmp.path() + "/v2"}) {
            QDir().mkpath(v + "/manual");
            writeFile(v + "/manual/page.txt", v.endsWith("1") ? "first version" : "other version");
            writeFile(v + "/manual/other.txt", v.endsWith("1") ? "first edition" : "other edition");
            setTimeAndMode(v + "/manual/page.txt", 1600000000, 0644);
            setTimeAndMode(v + "/manual/other.txt", 1600000000, 0644);
        }
        const QString folder = top + "/manual", page = folder + "/page.txt";
#ifndef _WIN32
        if (change == "link")
            symlinkOrFail("page.txt", folder + "/link.txt");
#endif
        waitForClockTick(tmp.path() + "/v2");
        const QString archive = tmp.path() + "/out/manual.zip", fresh = tmp.path() + "/fresh/manual.zip";
        QDir().mkpath(tmp.path() + "/out");
        QDir().mkpath(tmp.path() + "/fresh");
        // The earlier archive; for a folder of the same name, made of v2.
        const QString earlier = change == "same name" ? tmp.path() + "/v2" : top;
        Options first;
        first.root = QFile::encodeName(earlier);
        QCOMPARE(runEngine(archive, programNames(earlier + "/manual"), first).result, ZP_OK);
        Options o;
        o.root = QFile::encodeName(top);
#ifndef _WIN32
        if (change == "link") {
            QVERIFY(QFile::remove(folder + "/link.txt"));
            symlinkOrFail("other.txt", folder + "/link.txt");
        }
#endif
        if (change == "touched" || change == "fat") {
            const qint64 old = modifiedTime(page);
            writeFile(page, "FIRST VERSION");   // the same size
            putBack(page, old, 0);
        }
        if (change == "touched")
            setTimeAndMode(archive, ::time(nullptr) + 3600, 0644);
        waitForClockTick(tmp.path() + "/v2");
        QCOMPARE(runEngine(archive, programNames(folder), o).result, ZP_OK);
        QCOMPARE(runEngine(fresh, programNames(folder), o).result, ZP_OK);
#ifndef _WIN32
        QCOMPARE(listing(archive), listing(fresh));
#endif
        QFile a(archive), b(fresh);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
    }
};

QTEST_GUILESS_MAIN(TestZip32Rerun)
#include "test_zip32rerun.moc"
