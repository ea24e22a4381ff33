// A re-run over an earlier archive copies the data of unchanged files from it
// and still writes exactly the archive a fresh run writes.
#include "ZipTestSupport.h"

#include "Archive.h"

#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <time.h>

using namespace ztest;

namespace {

struct timespec changeTime(const QString &path)
{
    struct stat st{};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st.st_ctim;
}

bool before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Waits until the file-system clock is past every change made so far under
// `dir`, so that the next run takes all of its files for unchanged ones.
void waitForClockTick(const QString &dir)
{
    struct timespec latest{};
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const struct timespec c = changeTime(it.next());
        if (before(latest, c))
            latest = c;
    }
    const QString probe = dir + "/../probe";
    struct timespec now{};
    do {
        writeFile(probe, "tick");
        ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
        QTest::qSleep(1);
    } while (!before(latest, changeTime(probe)) || !before(latest, now));
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

        struct stat old{};
        ::stat(QFile::encodeName(file).constData(), &old);
        if (change == "content" || change == "put back")
            writeFile(file, randomBytes(rng, 50000, true));
        if (change == "size")
            writeFile(file, randomBytes(rng, 50001, true));
        if (change == "time" || change == "put back") {
            struct timespec times[2] = {old.st_atim, old.st_mtim};
            if (change == "time")
                times[1].tv_sec -= 100;
            ::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0);
        }
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
        QVERIFY(readersAccept(again));
        QCOMPARE(pythonCheck(again).value("problems").toArray().size(), 0);
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
        // Two trees alike in names, sizes and times, with other bytes.
        for (const QString &v : {tmp.path() + "/v1", tmp.path() + "/v2"}) {
            QDir().mkpath(v + "/manual");
            writeFile(v + "/manual/page.txt", v.endsWith("1") ? "first version" : "other version");
            writeFile(v + "/manual/other.txt", v.endsWith("1") ? "first edition" : "other edition");
            setTimeAndMode(v + "/manual/page.txt", 1600000000, 0644);
            setTimeAndMode(v + "/manual/other.txt", 1600000000, 0644);
        }
        const QString folder = top + "/manual", page = folder + "/page.txt";
        if (change == "link")
            symlinkOrFail("page.txt", folder + "/link.txt");
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
        if (change == "link") {
            QVERIFY(QFile::remove(folder + "/link.txt"));
            symlinkOrFail("other.txt", folder + "/link.txt");
        }
        if (change == "touched" || change == "fat") {
            struct stat old{};
            ::stat(QFile::encodeName(page).constData(), &old);
            writeFile(page, "FIRST VERSION");   // the same size
            setTimeAndMode(page, old.st_mtim.tv_sec, 0644);
        }
        if (change == "touched")
            setTimeAndMode(archive, ::time(nullptr) + 3600, 0644);
        waitForClockTick(tmp.path() + "/v2");
        QCOMPARE(runEngine(archive, programNames(folder), o).result, ZP_OK);
        QCOMPARE(runEngine(fresh, programNames(folder), o).result, ZP_OK);
        QCOMPARE(listing(archive), listing(fresh));
        QFile a(archive), b(fresh);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QVERIFY(a.readAll() == b.readAll());
    }
};

QTEST_GUILESS_MAIN(TestZip32Rerun)
#include "test_zip32rerun.moc"
