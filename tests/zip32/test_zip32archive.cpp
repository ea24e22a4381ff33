// The engine through its C interface: round trips read back by four
// independent readers, names and options, arguments, messages and results.
#include "ZipTestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>

using namespace ztest;

class TestZip32Archive : public QObject {
    Q_OBJECT

private:
    // Every reader accepts the archive, and its contents are exactly the
    // expected entries with their bytes, modes and times.
    void verifyWithReaders(const QString &archive, const QMap<QByteArray, Expected> &expected, const QString &scratch)
    {
        Tool unzip = runTool("unzip", {"-tq", archive});
        QVERIFY2(unzip.exitCode == 0, unzip.out.constData());
        Tool sz = runTool("7zz", {"t", archive});
        QVERIFY2(sz.exitCode == 0 && sz.out.contains("Everything is Ok"), sz.out.constData());

        const QString out = scratch + "/bsdtar";
        QDir().mkpath(out);
        Tool bsdtar = runTool("bsdtar", {"-xf", archive, "-C", out});
        QVERIFY2(bsdtar.exitCode == 0, bsdtar.out.constData());
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            const QString extracted = out + "/" + QFile::decodeName(it.key());
            QFileInfo fi(extracted);
            QVERIFY2(fi.exists(), qPrintable(extracted));
            struct stat want, got;
            QVERIFY(::stat(QFile::encodeName(it->path).constData(), &want) == 0);
            QVERIFY(::stat(QFile::encodeName(extracted).constData(), &got) == 0);
            QCOMPARE(got.st_mode & 07777, want.st_mode & 07777);
            if (!it->dir) {
                QCOMPARE(got.st_mtime, want.st_mtime);
                QFile a(it->path), b(extracted);
                QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
                QVERIFY2(a.readAll() == b.readAll(), qPrintable(it->path));
            }
        }
        QDirIterator all(out, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        int count = 0;
        while (all.hasNext()) {
            all.next();
            if (!all.fileInfo().isDir() || !all.fileInfo().absoluteFilePath().contains(QDir(out).absolutePath() + "/"))
                ++count;
        }

        const QJsonObject py = pythonCheck(archive);
        QVERIFY2(py.contains("entries"), "Python could not read the archive");
        QCOMPARE(py["problems"].toArray().size(), 0);
        const QJsonArray entries = py["entries"].toArray();
        QCOMPARE(entries.size(), expected.size());
        for (const auto &v : entries) {
            const QJsonObject e = v.toObject();
            const QByteArray name = QByteArray::fromHex(e["name"].toString().toLatin1());
            QVERIFY2(expected.contains(name), name.constData());
            const Expected &x = expected[name];
            struct stat want;
            QVERIFY(::stat(QFile::encodeName(x.path).constData(), &want) == 0);
            QCOMPARE(e["mode"].toInt(), static_cast<int>(want.st_mode & 0xFFFF));
            QCOMPARE(static_cast<qint64>(e["mtime"].toDouble()), static_cast<qint64>(want.st_mtime));
            if (!x.dir) {
                QFile f(x.path);
                QVERIFY(f.open(QIODevice::ReadOnly));
                QCOMPARE(e["sha256"].toString(),
                         QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()));
                if (want.st_size == 0)
                    QCOMPARE(e["method"].toInt(), 0);
            }
        }
    }

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<unsigned>("seed");
        QTest::addColumn<int>("threads");
        QTest::addColumn<bool>("chunked");
        QTest::newRow("seed 1, one worker") << 1u << 1 << false;
        QTest::newRow("seed 2, two workers, file in pieces") << 2u << 2 << true;
        QTest::newRow("seed 3, workers per core") << 3u << 0 << false;
    }
    void roundTrip()
    {
        QFETCH(unsigned, seed);
        QFETCH(int, threads);
        QFETCH(bool, chunked);
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/src/My Folder";
        makeTree(folder, seed, chunked);
        const QString archive = tmp.path() + "/out/My Folder.zip";
        QDir().mkpath(tmp.path() + "/out");
        Options o;
        o.threads = threads;
        Run run = runEngine(archive, programNames(folder), o);
        QCOMPARE(run.result, int(ZP_OK));
        QCOMPARE(run.lines, QStringList{"name not matched: querty"});
        QVERIFY(!captured().badBuffer);
        verifyWithReaders(archive, expectedEntries(folder, "/"), tmp.path() + "/x");
        // Only the archive is left in the output folder.
        QCOMPARE(QDir(tmp.path() + "/out").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"My Folder.zip"});
    }

    // The progress routine sees the file data grow to its total, on the
    // calling thread; asking to stop leaves nothing behind, an older archive
    // untouched.
    void progressAndStop_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::newRow("report") << false;
        QTest::newRow("stop") << true;
    }
    void progressAndStop()
    {
        QFETCH(bool, stop);
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/src";
        QDir().mkpath(folder);
        std::mt19937 rng(7);
        qint64 total = 0;
        for (int i = 0; i < 3; ++i) {
            QFile f(folder + QStringLiteral("/part%1.txt").arg(i));
            const QByteArray data = randomBytes(rng, 2 << 20, true);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(data) == data.size());
            total += data.size();
        }
        const QString archive = tmp.path() + "/out.zip";
        QFile old(archive);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("older") == 5);
        old.close();

        struct Seen {
            QList<QPair<quint64, quint64>> calls;
            bool stop = false;
            Qt::HANDLE thread = nullptr;
            bool otherThread = false;
        };
        static Seen seen;
        seen = Seen{};
        seen.stop = stop;
        seen.thread = QThread::currentThreadId();
        // Calls with no total come while the names are collected.
        const auto progress = [](uint64_t done, uint64_t all) -> int32_t {
            if (all > 0)
                seen.calls.append({done, all});
            seen.otherThread |= QThread::currentThreadId() != seen.thread;
            return seen.stop && all > 0 ? 1 : 0;
        };
        Options o;
        o.threads = 1;
        o.level = 9;
        const Run run = runEngine(archive, {folder + "/*.*"}, o, capturePrint, progress);
        QVERIFY(!seen.calls.isEmpty());
        QVERIFY(!seen.otherThread);
        for (qsizetype i = 1; i < seen.calls.size(); ++i)
            QVERIFY(seen.calls[i].first >= seen.calls[i - 1].first);
        QCOMPARE(seen.calls.last().second, quint64(total));
        if (!stop) {
            QCOMPARE(run.result, int(ZP_OK));
            QCOMPARE(seen.calls.last().first, quint64(total));
            const Tool unzip = runTool("unzip", {"-tq", archive});
            QVERIFY2(unzip.exitCode == 0, unzip.out.constData());
            return;
        }
        QCOMPARE(run.result, int(ZP_STOPPED));
        QCOMPARE(seen.calls.size(), 1);
        QCOMPARE(run.lines, QStringList{archive + ": not written, stopped"});
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("older"));
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"out.zip"});
    }

    // Times past January 2038 come back exactly from every reader, also in
    // another time zone than the one the archive was made in: the MS-DOS
    // time alone would be hours off there.
    void timesPast2038_data()
    {
        QTest::addColumn<qint64>("mtime");
        QTest::newRow("2001") << qint64(1000000000);
        QTest::newRow("last signed second, 2038") << qint64(0x7FFFFFFF);
        QTest::newRow("first second after it") << qint64(0x80000000LL);
        QTest::newRow("2090") << qint64(3800000000LL);
        QTest::newRow("last unsigned second, 2106") << qint64(0xFFFFFFFFLL - 86400 * 2);
    }
    void timesPast2038()
    {
        QFETCH(qint64, mtime);
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/src";
        QDir().mkpath(folder);
        QFile file(folder + "/when.txt");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("then") == 4);
        file.close();
        setTimeAndMode(folder + "/when.txt", time_t(mtime), 0644);
        const QString archive = tmp.path() + "/when.zip";
        const QByteArray oldTz = qgetenv("TZ");
        qputenv("TZ", "UTC0");
        ::tzset();
        Run run = runEngine(archive, {folder + "/*.*"});
        qputenv("TZ", "XST-9"); // the readers, nine hours east
        ::tzset();
        struct Back {
            QByteArray tz;
            ~Back()
            {
                tz.isNull() ? qunsetenv("TZ") : qputenv("TZ", tz);
                ::tzset();
            }
        } back{oldTz};
        QCOMPARE(run.result, int(ZP_OK));
        const QList<QPair<QString, QStringList>> readers{
            {"unzip", {"-qo", archive, "-d", tmp.path() + "/unzip"}},
            {"bsdtar", {"-xf", archive, "-C", tmp.path() + "/bsdtar"}},
            {"7zz", {"x", "-y", "-o" + tmp.path() + "/7zz", archive}}};
        for (const auto &[reader, args] : readers) {
            QDir().mkpath(tmp.path() + "/" + reader);
            const Tool t = runTool(reader, args);
            QVERIFY2(t.exitCode == 0, t.out.constData());
            struct stat st;
            const QByteArray got = QFile::encodeName(tmp.path() + "/" + reader + folder + "/when.txt");
            QVERIFY2(::stat(got.constData(), &st) == 0, got.constData());
            QVERIFY2(qint64(st.st_mtime) == mtime,
                     qPrintable(QStringLiteral("%1 read %2, not %3").arg(reader).arg(qint64(st.st_mtime)).arg(mtime)));
        }
    }

    // A file of exactly 4 GiB - 1 bytes puts its size on the 32-bit limit,
    // where the directory record needs its ZIP64 value all the same: every
    // reader must list the archive.
    void sizeExactlyAtTheLimit()
    {
        QTemporaryDir tmp;
        QDir().mkpath(tmp.path() + "/src");
        QFile big(tmp.path() + "/src/limit.bin");
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(qint64(0xFFFFFFFFu))); // sparse: no disk used
        big.close();
        const QString archive = tmp.path() + "/limit.zip";
        const Run run = runEngine(archive, {tmp.path() + "/src/*.*"});
        QCOMPARE(run.result, ZP_OK);
        const Tool python = runTool("python3", {"-c",
            "import sys, zipfile\n"
            "z = zipfile.ZipFile(sys.argv[1])\n"
            "print([i.file_size for i in z.infolist() if not i.is_dir()])", archive});
        QCOMPARE(python.exitCode, 0);
        QVERIFY2(python.out.contains("[4294967295]"), python.out.constData());
        const Tool bsdtar = runTool("bsdtar", {"-tvf", archive});
        QVERIFY2(bsdtar.exitCode == 0 && bsdtar.out.contains("4294967295"), bsdtar.out.constData());
        QCOMPARE(runTool("unzip", {"-lqq", archive}).exitCode, 0);
    }

    // Archives the names with 1, 2 and 8 workers into DIR/wN.zip; the bytes
    // of the first in `bytes`. Empty when all three were written alike, else
    // what went wrong.
    static QString archiveForEveryWorkerCount(const QString &dir, const QStringList &names, QByteArray &bytes)
    {
        for (int threads : {1, 2, 8}) {
            const QString archive = dir + QString("/w%1.zip").arg(threads);
            Options o;
            o.threads = threads;
            const int result = runEngine(archive, names, o).result;
            if (result != ZP_OK)
                return QString("%1 workers: result %2").arg(threads).arg(result);
            QFile f(archive);
            if (!f.open(QIODevice::ReadOnly))
                return archive + ": not readable";
            const QByteArray these = f.readAll();
            if (bytes.isEmpty())
                bytes = these;
            else if (these != bytes)
                return QString("%1 workers differ").arg(threads);
        }
        return QString();
    }

    void sameBytesWhateverTheWorkers()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/tree";
        makeTree(folder, 7, true);
        QByteArray first;
        const QString why = archiveForEveryWorkerCount(tmp.path(), programNames(folder), first);
        QVERIFY2(why.isEmpty(), qPrintable(why));
    }

    // A file too big to be read whole goes in as pieces packed one by one and
    // joined into one deflate stream. Sizes around the piece boundaries,
    // text, random data, and text with a random piece in the middle: the
    // archive is the same for any number of workers, every reader accepts
    // it, and it is no bigger than zip's own.
    void bigFileInPieces_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("content");
        const qint64 limit = 8 << 20, piece = 2 << 20;
        QTest::newRow("one byte past the whole-file limit") << limit + 1 << "text";
        QTest::newRow("whole pieces") << limit + piece << "text";
        QTest::newRow("last piece one byte short") << limit + piece - 1 << "text";
        QTest::newRow("last piece one byte long") << limit + piece + 1 << "text";
        QTest::newRow("a random piece among text") << limit + piece + 4321 << "mixed";
        QTest::newRow("random") << limit + 65537 << "random";
    }
    void bigFileInPieces()
    {
        QFETCH(qint64, size);
        QFETCH(QString, content);
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/big";
        QDir().mkpath(folder);
        std::mt19937 rng(size);
        QByteArray data;
        if (content == "random") {
            data = randomBytes(rng, size, false);
        } else {
            // Numbers whose range widens as the text goes on, so the blocks
            // and the bits their ends fall on vary from piece to piece.
            data.reserve(size);
            while (data.size() < size)
                data += QByteArray::number(quint32(rng() % (1u + data.size() / 4096))) + (rng() % 7 ? " " : "\n");
            data.truncate(size);
        }
        if (content == "mixed")
            data.replace(4 << 20, 2 << 20, randomBytes(rng, 2 << 20, false));
        QFile file(folder + "/data.bin");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
        file.close();

        QByteArray first;
        const QString why = archiveForEveryWorkerCount(tmp.path(), {folder + "/*.*"}, first);
        QVERIFY2(why.isEmpty(), qPrintable(why));
        verifyWithReaders(tmp.path() + "/w1.zip", expectedEntries(folder, "/"), tmp.path() + "/x");
        const QString zipped = tmp.path() + "/zip.zip";
        QCOMPARE(runTool("zip", {"-r", "-q", zipped, folder}).exitCode, 0);
        QVERIFY2(double(first.size()) <= 1.01 * double(QFileInfo(zipped).size()),
                 qPrintable(QString("%1 bytes, zip's %2").arg(first.size()).arg(QFileInfo(zipped).size())));
    }

    void levels_data()
    {
        QTest::addColumn<int>("level");
        QTest::newRow("default") << 0;
        QTest::newRow("fastest") << 1;
        QTest::newRow("smallest") << 9;
    }
    void levels()
    {
        QFETCH(int, level);
        QTemporaryDir tmp;
        makeTree(tmp.path() + "/t", 11, true);
        Options o;
        o.level = level;
        const QString archive = tmp.path() + "/a.zip";
        QCOMPARE(runEngine(archive, programNames(tmp.path() + "/t"), o).result, int(ZP_OK));
        QCOMPARE(runTool("unzip", {"-tq", archive}).exitCode, 0);
    }

    // What the names cover and what they are stored as.
    void names_data()
    {
        QTest::addColumn<QStringList>("names");     // {} stands for the test folder
        QTest::addColumn<QByteArray>("root");       // "{}" = the test folder
        QTest::addColumn<int>("recurse");
        QTest::addColumn<int>("ignorePath");
        QTest::addColumn<int>("hidden");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("stored");    // sorted; {} = test folder without leading '/'
        QTest::newRow("folder wildcard: files and the folder entry, no sub-folders")
            << QStringList{"{}/d/*.*"} << QByteArray("/") << 0 << 0 << 0 << int(ZP_OK)
            << QStringList{"{}/d/", "{}/d/a.txt", "{}/d/noext"};
        QTest::newRow("pattern on the last part")
            << QStringList{"{}/d/*.txt"} << QByteArray("/") << 0 << 0 << 0 << int(ZP_OK)
            << QStringList{"{}/d/", "{}/d/a.txt"};
        QTest::newRow("relative names against the root")
            << QStringList{"d/*.*", "d/s/a?txt"} << QByteArray("{}") << 0 << 0 << 0 << int(ZP_OK)
            << QStringList{"d/", "d/a.txt", "d/noext", "d/s/", "d/s/a.txt"};
        QTest::newRow("recursing")
            << QStringList{"d"} << QByteArray("{}") << 1 << 0 << 0 << int(ZP_OK)
            << QStringList{"d/", "d/a.txt", "d/noext", "d/s/", "d/s/a.txt"};
        QTest::newRow("hidden items with field 6")
            << QStringList{"d/*.*"} << QByteArray("{}") << 1 << 0 << 1 << int(ZP_OK)
            << QStringList{"d/", "d/.h/", "d/.h/in", "d/.hid", "d/a.txt", "d/noext", "d/s/", "d/s/a.txt"};
        QTest::newRow("ignore path: base names, first wins")
            << QStringList{"d/*.*", "d/s/*.*"} << QByteArray("{}") << 0 << 1 << 0 << int(ZP_OK)
            << QStringList{"a.txt", "noext"};
        QTest::newRow("same names twice: stored once")
            << QStringList{"d/*.*", "d/*.*", "d/a.txt"} << QByteArray("{}") << 0 << 0 << 0 << int(ZP_OK)
            << QStringList{"d/", "d/a.txt", "d/noext"};
        QTest::newRow("outside the root: whole path, never ..")
            << QStringList{"../a.txt", "{}/d/s/../noext"} << QByteArray("{}/d/s") << 0 << 0 << 0 << int(ZP_OK)
            << QStringList{"{}/d/a.txt", "{}/d/noext"};
        QTest::newRow("nothing matched: no archive")
            << QStringList{"querty", "{}/missing/*.*"} << QByteArray("/") << 0 << 0 << 0 << int(ZP_NOTHING_TO_DO)
            << QStringList{};
        QTest::newRow("empty folder: its entry")
            << QStringList{"querty", "{}/empty/*.*"} << QByteArray("/") << 0 << 0 << 0 << int(ZP_OK)
            << QStringList{"{}/empty/"};
    }
    void names()
    {
        QFETCH(QStringList, names);
        QFETCH(QByteArray, root);
        QFETCH(int, recurse);
        QFETCH(int, ignorePath);
        QFETCH(int, hidden);
        QFETCH(int, result);
        QFETCH(QStringList, stored);
        QTemporaryDir tmp;
        const QString base = tmp.path();
        for (const char *d : {"/d/s", "/d/.h", "/empty"})
            QDir().mkpath(base + d);
        for (const char *f : {"/d/a.txt", "/d/noext", "/d/.hid", "/d/s/a.txt", "/d/.h/in"}) {
            QFile file(base + f);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(f);
        }
        for (auto &n : names)
            n.replace("{}", base);
        const QString relBase = base.mid(1);
        for (auto &s : stored)
            s.replace("{}", relBase);
        Options o;
        o.root = QByteArray(root).replace("{}", base.toUtf8());
        o.recurse = recurse;
        o.ignorePath = ignorePath;
        o.hidden = hidden;
        const QString archive = base + "/out.zip";
        Run run = runEngine(archive, names, o);
        QCOMPARE(run.result, result);
        if (result != ZP_OK) {
            QVERIFY(!QFile::exists(archive));
            QVERIFY(!run.lines.isEmpty());
            return;
        }
        const QJsonObject py = pythonCheck(archive);
        QCOMPARE(py["problems"].toArray().size(), 0);
        QStringList got;
        for (const auto &v : py["entries"].toArray())
            got << QString::fromUtf8(QByteArray::fromHex(v.toObject()["name"].toString().toLatin1()));
        got.sort();
        QCOMPARE(got, stored);
    }

    // Sockets and FIFOs are never opened and only warned about; a broken
    // link is kept as a link; a link to a file stores the file; a link
    // loop ends. Alone in their folder, and among hundreds of files whose
    // names sort before, between and after theirs: a big folder's names are
    // looked at ahead of their turn, and each must still be taken as itself.
    void specialFilesAndLinks_data()
    {
        QTest::addColumn<int>("padding");
        QTest::newRow("alone") << 0;
        QTest::newRow("among files") << 400;
    }
    void specialFilesAndLinks()
    {
        QFETCH(int, padding);
        QTemporaryDir tmp;
        const QString d = tmp.path() + "/d";
        QDir().mkpath(d + "/sub");
        writeFile(d + "/real.txt", "real contents");
        QStringList files{"d/dangling", "d/link.txt", "d/real.txt"};
        for (int i = 0; i < padding; ++i) {
            const QString name = QString("d/%1%2").arg(QChar("ceou"[i % 4])).arg(i, 3, 10, QChar('0'));
            writeFile(tmp.path() + "/" + name, name.toUtf8());
            files << name;
        }
        files.sort();
        QVERIFY(::mkfifo(QFile::encodeName(d + "/fifo").constData(), 0644) == 0);
        int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray sp = QFile::encodeName(d + "/sock");
        std::strncpy(addr.sun_path, sp.constData(), sizeof addr.sun_path - 1);
        QVERIFY(::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0);
        QVERIFY(::symlink("nowhere", QFile::encodeName(d + "/dangling").constData()) == 0);
        QVERIFY(::symlink("real.txt", QFile::encodeName(d + "/link.txt").constData()) == 0);
        QVERIFY(::symlink("..", QFile::encodeName(d + "/sub/loop").constData()) == 0);

        QElapsedTimer timer;
        timer.start();
        Options o;
        o.root = QFile::encodeName(tmp.path());
        o.recurse = 1;
        const QString archive = tmp.path() + "/out.zip";
        Run run = runEngine(archive, {"d"}, o);
        ::close(s);
        QVERIFY(timer.elapsed() < 20000);
        QCOMPARE(run.result, int(ZP_OK));
        QCOMPARE(run.lines.size(), 3);
        QVERIFY(run.lines.contains(d + "/fifo: skipped, not a regular file (FIFO)"));
        QVERIFY(run.lines.contains(d + "/sock: skipped, not a regular file (socket)"));
        QVERIFY(run.lines.contains(d + "/dangling: stored as a link to nowhere (its target is missing)"));
        // In the archive's order: the folder, its files by name, then what
        // lies in its sub-folders.
        Tool list = runTool("unzip", {"-Z1", archive});
        QCOMPARE(QString::fromUtf8(list.out).split('\n', Qt::SkipEmptyParts),
                 QStringList{"d/"} + files + QStringList{"d/sub/"});
        if (padding)
            QCOMPARE(runTool("unzip", {"-p", archive, files.last()}).out, files.last().toUtf8());
        Tool content = runTool("unzip", {"-p", archive, "d/link.txt"});
        QCOMPARE(content.out, QByteArray("real contents"));
    }

    // Folders named one by one, as the program names a tree, are listed a
    // few ahead of their turn: each must still be taken as itself, under
    // the hidden rule, with its notes in the folders' order.
    void foldersNamedOneByOne_data()
    {
        QTest::addColumn<int>("hidden");
        QTest::newRow("hidden items left out") << 0;
        QTest::newRow("hidden items with field 6") << 1;
    }
    void foldersNamedOneByOne()
    {
        QFETCH(int, hidden);
        QTemporaryDir tmp;
        QStringList names, entries, lines;
        for (int k = 0; k < 48; ++k) {
            const QString sub = QString("F/k%1").arg(k, 2, 10, QChar('0'));
            QDir().mkpath(tmp.path() + "/" + sub);
            writeFile(tmp.path() + "/" + sub + "/f", sub.toUtf8());
            writeFile(tmp.path() + "/" + sub + "/.h", "hidden");
            names << tmp.path() + "/" + sub + "/*.*";
            entries << sub + "/";
            if (hidden)
                entries << sub + "/.h";
            entries << sub + "/f";
            if (k % 8 == 3) {
                QVERIFY(::mkfifo(QFile::encodeName(tmp.path() + "/" + sub + "/fifo").constData(), 0644) == 0);
                lines << tmp.path() + "/" + sub + "/fifo: skipped, not a regular file (FIFO)";
            }
        }
        Options o;
        o.root = QFile::encodeName(tmp.path());
        o.hidden = hidden;
        const QString archive = tmp.path() + "/out.zip";
        const Run run = runEngine(archive, names, o);
        QCOMPARE(run.result, int(ZP_OK));
        QCOMPARE(run.lines, lines);
        QCOMPARE(QString::fromUtf8(runTool("unzip", {"-Z1", archive}).out).split('\n', Qt::SkipEmptyParts), entries);
    }

    // A name that is not UTF-8 is kept byte for byte, without the UTF-8 flag.
    void nameNotUtf8()
    {
        QTemporaryDir tmp;
        const QByteArray dir = QFile::encodeName(tmp.path()) + "/d";
        QVERIFY(::mkdir(dir.constData(), 0755) == 0);
        const QByteArray bad = dir + "/caf\xe9.txt";
        FILE *f = std::fopen(bad.constData(), "w");
        QVERIFY(f);
        std::fputs("latin-1 name", f);
        std::fclose(f);
        Options o;
        o.root = QFile::encodeName(tmp.path());
        const QString archive = tmp.path() + "/out.zip";
        QCOMPARE(runEngine(archive, {"d/*.*"}, o).result, int(ZP_OK));
        const QJsonObject py = pythonCheck(archive);
        QCOMPARE(py["problems"].toArray().size(), 0);
        QStringList hex;
        for (const auto &v : py["entries"].toArray())
            hex << v.toObject()["name"].toString();
        QVERIFY(hex.contains(QString::fromLatin1(QByteArray("d/caf\xe9.txt").toHex())));
        ::unlink(bad.constData());   // QTemporaryDir cannot name it
    }

    void badArguments()
    {
        QTemporaryDir tmp;
        const QByteArray archive = QFile::encodeName(tmp.path() + "/a.zip");
        const char *names[] = {"x", nullptr};
        ZipEngineCallbacks cb{capturePrint, nullptr, nullptr, nullptr};
        ZpInit(&cb);
        ZipEngineOptions o{};
        o.rootDir = "/";
        QCOMPARE(ZpSetOptions(&o), int(ZP_OK));
        captured() = Captured{};
        QCOMPARE(ZpArchive(1, nullptr, names), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(1, "", names), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(-1, archive.constData(), names), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(1, archive.constData(), nullptr), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(2, archive.constData(), names), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(0, archive.constData(), names), int(ZP_NOTHING_TO_DO));
        QCOMPARE(messageLines().size(), 6);
        o.level = 10;
        QCOMPARE(ZpSetOptions(&o), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(1, archive.constData(), names), int(ZP_BAD_ARGUMENTS));
        o.level = 0;
        o.threads = -1;
        QCOMPARE(ZpSetOptions(&o), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpArchive(1, archive.constData(), names), int(ZP_BAD_ARGUMENTS));
        QCOMPARE(ZpSetOptions(nullptr), int(ZP_BAD_ARGUMENTS));
        QVERIFY(!QFile::exists(tmp.path() + "/a.zip"));

        // No message routine at all: the engine works silently.
        QCOMPARE(ZpInit(nullptr), int(ZP_BAD_ARGUMENTS));
        ZipEngineOptions plain{};
        const QByteArray root = QFile::encodeName(tmp.path());
        plain.rootDir = root.constData();
        ZpSetOptions(&plain);
        QFile f(tmp.path() + "/x");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        const char *one[] = {"querty", "x"};
        QCOMPARE(ZpArchive(2, archive.constData(), one), int(ZP_OK));
        QVERIFY(QFile::exists(tmp.path() + "/a.zip"));
    }

    // A second archive asked for from inside the message routine is refused;
    // the first one is finished undisturbed.
    void busyWhileRunning()
    {
        static int nested = -1;
        static QByteArray nestedArchive;
        nested = -1;
        auto reenter = [](const char *buffer, uint32_t length) -> int32_t {
            capturePrint(buffer, length);
            if (nested == -1) {
                nested = -2;   // the refusal's own message comes back here
                const char *names[] = {"querty"};
                nested = ZpArchive(1, nestedArchive.constData(), names);
            }
            return 0;
        };
        QTemporaryDir tmp;
        makeTree(tmp.path() + "/t", 5, false);
        nestedArchive = QFile::encodeName(tmp.path() + "/nested.zip");
        Run run = runEngine(tmp.path() + "/a.zip", programNames(tmp.path() + "/t"), {}, reenter);
        QCOMPARE(nested, int(ZP_BUSY));
        QCOMPARE(run.result, int(ZP_OK));
        QVERIFY(run.lines.filter("zip engine busy").size() == 1);
        QVERIFY(!QFile::exists(tmp.path() + "/nested.zip"));
        QCOMPARE(runTool("unzip", {"-tq", tmp.path() + "/a.zip"}).exitCode, 0);
    }

    // Lines longer than the buffer arrive in pieces of at most 4096 bytes,
    // each NUL-terminated, never splitting a character; empty messages
    // keep coming while the engine works.
    void messagesFitTheBuffer()
    {
        QTemporaryDir tmp;
        QString longName = tmp.path() + "/";
        while (longName.toUtf8().size() < 9000)
            longName += QString::fromUtf8("ü€𝄞x");
        makeTree(tmp.path() + "/t", 9, true);
        QStringList names = programNames(tmp.path() + "/t");
        names.insert(0, longName);
        Run run = runEngine(tmp.path() + "/a.zip", names);
        QCOMPARE(run.result, int(ZP_OK));
        QVERIFY(!captured().badBuffer);
        QVERIFY(run.lines.filter("name not matched: " + longName).size() == 1);
        QVERIFY(captured().empties > 0);
    }

    void cannotWrite_data()
    {
        QTest::addColumn<QString>("archive");   // relative to the test folder
        QTest::newRow("output folder missing") << "missing/a.zip";
        QTest::newRow("output folder is a file") << "file/a.zip";
        QTest::newRow("archive name is a folder") << "folder";
    }
    void cannotWrite()
    {
        QFETCH(QString, archive);
        QTemporaryDir tmp;
        makeTree(tmp.path() + "/t", 4, false);
        QDir().mkpath(tmp.path() + "/folder");
        QFile f(tmp.path() + "/file");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        const QStringList before = QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        Run run = runEngine(tmp.path() + "/" + archive, programNames(tmp.path() + "/t"));
        QCOMPARE(run.result, int(ZP_CANNOT_WRITE));
        QVERIFY(run.lines.filter("cannot write").size() == 1);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
        QVERIFY(QDir(tmp.path() + "/folder").isEmpty());
    }

    void updateKeepsOtherEntries()
    {
        QTemporaryDir tmp;
        for (const char *n : {"/a.txt", "/b.txt"}) {
            QFile f(tmp.path() + n);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(n);
        }
        Options o;
        o.root = QFile::encodeName(tmp.path());
        const QString archive = tmp.path() + "/out.zip";
        QCOMPARE(runEngine(archive, {"a.txt"}, o).result, int(ZP_OK));
        o.update = 1;
        QCOMPARE(runEngine(archive, {"b.txt"}, o).result, int(ZP_OK));
        QStringList names = QString::fromUtf8(runTool("unzip", {"-Z1", archive}).out).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(names, (QStringList{"a.txt", "b.txt"}));
        QCOMPARE(runTool("unzip", {"-tq", archive}).exitCode, 0);
        o.update = 0;
        QCOMPARE(runEngine(archive, {"b.txt"}, o).result, int(ZP_OK));
        names = QString::fromUtf8(runTool("unzip", {"-Z1", archive}).out).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(names, QStringList{"b.txt"});
    }

    // A link that leads out of the archive's folders, or nowhere, is kept
    // as a link: what it leads to never enters the archive. Field 22 follows
    // links out, but never to a folder holding the archive's, nor into
    // /proc. A link named plainly is followed.
    void links_data()
    {
        QTest::addColumn<QStringList>("names");     // relative to the test folder, the root
        QTest::addColumn<int>("recurse");
        QTest::addColumn<int>("followLinks");
        QTest::addColumn<QStringList>("entries");   // as listing() shows them
        QTest::addColumn<QStringList>("notes");     // PATH: WHY, for each link stored as a link
        const QStringList inside{"F/", "F/a.txt=a", "F/gone->none", "F/sub/", "F/sub/up.txt=a"};
        const QStringList out{"F/keys->../outside/id", "F/status->/proc/self/status",
                              "F/sub/dirout->../../outside/d", "F/sub/parent->../.."};
        const QString away = ": it leads out of the folder";
        const QStringList outNotes{"F/gone: its target is missing", "F/keys" + away, "F/status" + away,
                                   "F/sub/dirout" + away, "F/sub/parent" + away};
        QTest::newRow("the program's names, a link named plainly")
            << QStringList{"querty", "F/*.*", "F/sub/*.*", "plain"} << 0 << 0 << inside + out + QStringList{"plain=KEY"}
            << outNotes;
        QTest::newRow("the engine's recursion") << QStringList{"F"} << 1 << 0 << inside + out << outNotes;
        QTest::newRow("field 22: followed, but not to a holder or into /proc")
            << QStringList{"F"} << 1 << 1
            << inside + QStringList{"F/keys=KEY", "F/status->/proc/self/status", "F/sub/dirout/", "F/sub/dirout/in=in",
                                    "F/sub/parent->../.."}
            << QStringList{"F/gone: its target is missing", "F/status: it leads into a system file system",
                           "F/sub/parent: it leads to a folder that holds the folder"};
    }
    void links()
    {
        QFETCH(QStringList, names);
        QFETCH(int, recurse);
        QFETCH(int, followLinks);
        QFETCH(QStringList, entries);
        QFETCH(QStringList, notes);
        QTemporaryDir tmp;
        const QString t = tmp.path(), archive = t + "/F.zip";
        QDir().mkpath(t + "/F/sub");
        QDir().mkpath(t + "/outside/d");
        writeFile(t + "/F/a.txt", "a");
        writeFile(t + "/outside/id", "KEY");
        writeFile(t + "/outside/d/in", "in");
        for (const QString link : {"F/keys->../outside/id", "F/gone->none", "F/status->/proc/self/status",
                                   "F/sub/dirout->../../outside/d", "F/sub/parent->../..", "F/sub/up.txt->../a.txt",
                                   "plain->outside/id"})
            symlinkOrFail(QFile::encodeName(link.section("->", 1)), t + "/" + link.section("->", 0, 0));
        Options o;
        o.root = QFile::encodeName(t);
        o.recurse = recurse;
        o.followLinks = followLinks;
        const Run run = runEngine(archive, names, o);
        QCOMPARE(run.result, int(ZP_OK));
        QStringList lines;
        for (const QString &note : notes) {
            const QString path = note.section(": ", 0, 0);
            const QString target = entries.filter(QRegularExpression("^" + path + "->")).value(0).section("->", 1);
            lines << t + "/" + path + ": stored as a link to " + target + " (" + note.section(": ", 1) + ")";
        }
        QCOMPARE(sorted(run.lines.filter(QRegularExpression("^(?!name not matched: querty)"))), sorted(lines));
        QCOMPARE(listing(archive), sorted(entries));
        QVERIFY(readersAccept(archive));
        QCOMPARE(pythonCheck(archive)["problems"].toArray().size(), 0);
        // unzip and bsdtar make the links again, with their text.
        for (const QStringList &extract : {QStringList{"unzip", "-q", archive, "-d"}, QStringList{"bsdtar", "-xf", archive, "-C"}}) {
            const QString to = t + "/" + extract[0];
            QDir().mkpath(to);
            QCOMPARE(runTool(extract[0], extract.mid(1) << to).exitCode, 0);
            for (const QString &link : entries.filter("->")) {
                char text[256] = {};
                ::readlink(QFile::encodeName(to + "/" + link.section("->", 0, 0)).constData(), text, sizeof text - 1);
                QCOMPARE(QString::fromUtf8(text), link.section("->", 1));
            }
        }
    }

    // The temporary file has a name that fits however long the archive's
    // name is, and none is ever archived, hidden files included; field 23
    // leaves files out by path and by inode, and is checked.
    void temporaryFilesAndFilesLeftOut_data()
    {
        QTest::addColumn<QString>("archive");       // in {}/F/out
        QTest::addColumn<QString>("abandoned");     // a killed writer's temporary file beside it
        QTest::addColumn<QStringList>("leaveOut");  // {} = the test folder, also the root
        QTest::addColumn<int>("excluded");          // field 23; -1: as many as leaveOut
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("entries");   // as listing() shows them
        const QStringList all{"F/", "F/.keep=k", "F/a.txt=a", "F/hard=G", "F/out/", "F/out/G.zip=G"};
        const QString n251(251, 'n'), euro80(80, QChar(0x20AC));
        QTest::newRow("a 255-byte archive name")
            << n251 + ".zip" << "." + n251.left(241) + ".0123abcd.tmp" << QStringList{} << -1 << int(ZP_OK) << all;
        QTest::newRow("a long name cut between characters")
            << QString(83, QChar(0x20AC)) + ".zip" << "." + euro80 + ".0123abcd.tmp" << QStringList{} << -1
            << int(ZP_OK) << all;
        QTest::newRow("earlier archives left out by path and by inode")
            << "F.zip" << "" << QStringList{"F/out/G.zip", "{}/F/out/missing.zip"} << -1 << int(ZP_OK)
            << QStringList{"F/", "F/.keep=k", "F/a.txt=a", "F/out/"};
        QTest::newRow("field 23 beyond the count") << "F.zip" << "" << QStringList{"a"} << 9 << int(ZP_BAD_ARGUMENTS);
        QTest::newRow("field 23 negative") << "F.zip" << "" << QStringList{} << -2 << int(ZP_BAD_ARGUMENTS);
    }
    void temporaryFilesAndFilesLeftOut()
    {
        QFETCH(QString, archive);
        QFETCH(QString, abandoned);
        QFETCH(QStringList, leaveOut);
        QFETCH(int, excluded);
        QFETCH(int, result);
        QTemporaryDir tmp;
        const QString t = tmp.path();
        QDir().mkpath(t + "/F/out");
        writeFile(t + "/F/a.txt", "a");
        writeFile(t + "/F/.keep", "k");
        writeFile(t + "/F/.other.zip.0123abcd.tmp", "another run's temporary file");
        writeFile(t + "/F/.other.zip.89abcdef.tmp", "and one whose name was cut");
        writeFile(t + "/F/out/G.zip", "G");
        QVERIFY(::link(QFile::encodeName(t + "/F/out/G.zip"), QFile::encodeName(t + "/F/hard")) == 0);
        if (!abandoned.isEmpty())
            writeFile(t + "/F/out/" + abandoned, "left by a killed writer");
        Options o;
        o.root = QFile::encodeName(t);
        o.hidden = 1;
        o.leaveOut = leaveOut.replaceInStrings("{}", t);
        o.excluded = excluded;
        const Run run = runEngine(t + "/F/out/" + archive, {"querty", t + "/F/*.*", t + "/F/out/*.*"}, o);
        QCOMPARE(run.result, result);
        QCOMPARE(leftIn(t + "/F/out"), sorted(QStringList{"G.zip"} + (result == ZP_OK ? QStringList{archive} : QStringList{})));
        if (result == ZP_OK) {
            QFETCH(QStringList, entries);
            QCOMPARE(listing(t + "/F/out/" + archive), entries);
        }
    }

    // Asked to stop while the names are collected (the folder holds empty
    // files only, so there is no file data to report), the engine stops at
    // once: nothing written, an older archive untouched.
    void stopWhileCollecting_data()
    {
        QTest::addColumn<int>("recurse");
        QTest::newRow("the program's names") << 0;
        QTest::newRow("the engine's recursion") << 1;
    }
    void stopWhileCollecting()
    {
        QFETCH(int, recurse);
        QTemporaryDir tmp;
        const QString folder = tmp.path() + "/F";
        for (int d = 0; d < 4; ++d) {
            QDir().mkpath(folder + QString("/sub%1").arg(d));
            for (int i = 0; i < 500; ++i)
                writeFile(folder + QString("/sub%1/empty %2").arg(d).arg(i), {});
        }
        const QString archive = tmp.path() + "/F.zip";
        writeFile(archive, "older");
        static QList<QPair<quint64, quint64>> calls;
        calls.clear();
        const auto stop = [](uint64_t done, uint64_t total) -> int32_t {
            calls.append({done, total});
            return 1;
        };
        Options o;
        o.recurse = recurse;
        const Run run = runEngine(archive, recurse ? QStringList{folder} : programNames(folder), o, capturePrint, stop);
        QCOMPARE(run.result, int(ZP_STOPPED));
        QCOMPARE(calls, (QList<QPair<quint64, quint64>>{{0, 0}}));
        QCOMPARE(run.lines, QStringList{archive + ": not written, stopped"});
        QCOMPARE(leftIn(tmp.path()), (QStringList{"F", "F.zip"}));
        QFile old(archive);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("older"));
    }

    void exportsOnlyTheEntryPoints()
    {
        Tool nm = runTool("nm", {"-D", "--defined-only", QStringLiteral(ZIP32_LIBRARY_FILE)});
        QCOMPARE(nm.exitCode, 0);
        QStringList symbols;
        for (const auto &line : QString::fromUtf8(nm.out).split('\n', Qt::SkipEmptyParts))
            symbols << line.section(' ', -1);
        symbols.sort();
        QCOMPARE(symbols, (QStringList{"ZpArchive", "ZpInit", "ZpSetOptions"}));
    }
};

QTEST_GUILESS_MAIN(TestZip32Archive)
#include "test_zip32archive.moc"
