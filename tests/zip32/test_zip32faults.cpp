// Faults the engine must survive without losing the rest of the archive or
// leaving files behind. Each runs the engine in a child process (zip32_cli):
// without privileges, in a private mount namespace, or ending mid-archive.
#include "ZipTestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace ztest;

namespace {

const QString kCli = QStringLiteral(ZIP32_CLI);

// Runs the engine as the unprivileged user "nobody" (the tests run as root,
// for whom no permission bit stops a read).
Tool runAsNobody(const QStringList &cliArgs)
{
    return runTool("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", kCli} + cliArgs, 60000);
}

// The files under `dir`, relative to it, sorted.
QStringList filesUnder(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << it.next().mid(dir.size() + 1);
    return sorted(out);
}

} // namespace

class TestZip32Faults : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to drop privileges and mount a tmpfs");
    }

    // A file or folder that cannot be read is left out, named with the
    // system's reason; everything else is archived; the result says so.
    void unreadableFilesAreLeftOut()
    {
        QTemporaryDir tmp;
        ::chmod(QFile::encodeName(tmp.path()).constData(), 0755);
        const QString src = tmp.path() + "/src";
        QDir().mkpath(src + "/locked");
        QDir().mkpath(tmp.path() + "/out");
        ::chmod(QFile::encodeName(tmp.path() + "/out").constData(), 0777);
        writeFile(src + "/a.txt", "readable");
        writeFile(src + "/secret.txt", "nobody may read this");
        writeFile(src + "/z.txt", QByteArray(100000, 'z'));
        writeFile(src + "/locked/in.txt", "in a locked folder");
        ::chmod(QFile::encodeName(src + "/secret.txt").constData(), 0600);
        ::chmod(QFile::encodeName(src + "/locked").constData(), 0700);

        QElapsedTimer timer;
        timer.start();
        Tool t = runAsNobody({tmp.path() + "/out/src.zip", "querty", src + "/*.*", src + "/locked/*.*"});
        QVERIFY(timer.elapsed() < 30000);
        QCOMPARE(t.exitCode, int(ZP_FILES_SKIPPED));
        QVERIFY2(t.out.contains((src + "/secret.txt: Permission denied\n").toUtf8()), t.out.constData());
        QVERIFY2(t.out.contains((src + "/locked: folder not read (Permission denied)\n").toUtf8()), t.out.constData());
        Tool list = runTool("unzip", {"-Z1", tmp.path() + "/out/src.zip"});
        QStringList names = QString::fromUtf8(list.out).split('\n', Qt::SkipEmptyParts);
        const QString rel = src.mid(1);
        QCOMPARE(names, (QStringList{rel + "/", rel + "/a.txt", rel + "/z.txt", rel + "/locked/"}));
        QCOMPARE(runTool("unzip", {"-tq", tmp.path() + "/out/src.zip"}).exitCode, 0);
        QCOMPARE(leftIn(tmp.path() + "/out"), QStringList{"src.zip"});
    }

    // Nothing that matched leaves the archive without a word: entries of a
    // folder that may be listed but not entered, and a listing that breaks
    // off (fault_preload.c), are named and the result says so; names with
    // control characters go in byte for byte, and the readers that keep such
    // bytes extract them so.
    void entriesNamedNeverDropped_data()
    {
        QTest::addColumn<QStringList>("files");    // made under the test folder, the root
        QTest::addColumn<QStringList>("names");    // and zip32_cli's options
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("lines");    // {} = the test folder
        QTest::addColumn<QStringList>("entries");  // as listing() shows them
        const QStringList nox{"src/ok.txt", "src/nox/f1", "src/nox/f2"};
        const QStringList denied{"{}/src/nox/f1: Permission denied", "{}/src/nox/f2: Permission denied"};
        QTest::newRow("a folder that can be listed, not entered")
            << nox << QStringList{"querty", "src/nox/*.*"} << int(ZP_FILES_SKIPPED) << denied << QStringList{"src/nox/"};
        QTest::newRow("the same in the engine's recursion")
            << nox << QStringList{"--recurse", "src"} << int(ZP_FILES_SKIPPED) << denied
            << QStringList{"src/", "src/nox/", "src/ok.txt=x"};
        QTest::newRow("a listing that breaks off")
            << QStringList{"src/breaks/f1"} << QStringList{"querty", "src/breaks/*.*"} << int(ZP_FILES_SKIPPED)
            << QStringList{"{}/src/breaks: folder not read to the end (Input/output error)"} << QStringList{"src/breaks/"};
        const QStringList control{"src/a\x01" "b", "src/bell\x07", "src/esc\x1b[31m", "src/\u00fc\x1b"};
        QTest::newRow("names with control characters")
            << control + QStringList{"src/\u00fc.txt"} << QStringList{"querty", "src/*.*"} << int(ZP_OK) << QStringList{}
            << QStringList{"src/", "+src/\u00fc.txt=x"} + QStringList(control).replaceInStrings(QRegularExpression("$"), "=x");
    }
    void entriesNamedNeverDropped()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, names);
        QFETCH(int, result);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, entries);
        QTemporaryDir tmp;
        const QString t = tmp.path(), archive = t + "/out/a.zip";
        ::chmod(QFile::encodeName(t).constData(), 0755);
        for (const QString &file : files) {
            QDir().mkpath(QFileInfo(t + "/" + file).path());
            writeFile(t + "/" + file, "x");
        }
        ::chmod(QFile::encodeName(t + "/src/nox").constData(), 0644);   // read, but no search
        QDir().mkpath(t + "/out");
        ::chmod(QFile::encodeName(t + "/out").constData(), 0777);
        qputenv("LD_PRELOAD", FAULT_PRELOAD);
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        QStringList args{"--root", t, archive};
        for (const QString &name : names)
            name.startsWith("--") ? args.prepend(name) : args.append(name);
        const Tool run = runAsNobody(args);
        qunsetenv("LD_PRELOAD");
        QCOMPARE(run.exitCode, result);
        QCOMPARE(QString::fromUtf8(run.out).split('\n', Qt::SkipEmptyParts).filter(QRegularExpression("^(?!name not matched: querty)")),
                 lines.replaceInStrings("{}", t));
        QCOMPARE(listing(archive), sorted(entries));
        QVERIFY(readersAccept(archive));
        // unzip drops control characters from the names it extracts, by its
        // own rule; bsdtar and 7-Zip keep every byte.
        const QStringList stored = sorted(entries.filter("=").replaceInStrings(QRegularExpression("^\\+|=x$"), ""));
        for (const QStringList &extract : {QStringList{"bsdtar", "-xf", archive, "-C", t + "/bsdtar"},
                                           QStringList{"7zz", "x", archive, "-o" + t + "/7zz"}}) {
            QDir().mkpath(t + "/bsdtar");
            QCOMPARE(runTool(extract[0], extract.mid(1)).exitCode, 0);
            QCOMPARE(filesUnder(t + "/" + extract[0]), stored);
        }
    }

    // Each archive's data is on disk before it takes its name; its folder is
    // flushed after the rename, once per archive, or with field 24 once
    // after the last archive of the run, also when the run never ends it.
    void durabilityOrder_data()
    {
        QTest::addColumn<QStringList>("flags");
        QTest::addColumn<QString>("order");
        const QString each = "file rename folder ";
        QTest::newRow("each archive flushes its folder") << QStringList{} << (each + each + each).trimmed();
        QTest::newRow("a run flushes its folder once")
            << QStringList{"--hold-folder-sync"} << "file rename file rename file rename folder";
        QTest::newRow("the exit flushes what a run held")
            << QStringList{"--hold-folder-sync", "--leave-held"} << "file rename file rename file rename folder";
    }
    void durabilityOrder()
    {
        QFETCH(QStringList, flags);
        QFETCH(QString, order);
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/src", log = tmp.path() + "/syncs";
        QDir().mkpath(src);
        writeFile(src + "/a.txt", "kept on disk");
        qputenv("LD_PRELOAD", FAULT_PRELOAD);
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        qputenv("QB_SYNC_LOG", QFile::encodeName(log));
        const Tool t = runTool(kCli, flags + QStringList{"--repeat", "3", tmp.path() + "/src.zip", src + "/*.*"});
        for (const char *name : {"LD_PRELOAD", "QB_SYNC_LOG"})
            qunsetenv(name);
        QCOMPARE(t.exitCode, int(ZP_OK));
        QFile syncs(log);
        QVERIFY(syncs.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromLatin1(syncs.readAll()).split('\n', Qt::SkipEmptyParts).join(' '), order);
    }

    // What is swapped in after the listing, or written while a file is read,
    // never reaches the archive: a link where a listed folder or file was
    // leads nowhere, a file changed mid-read is not stored torn, and each
    // is named (fault_preload.c makes them happen at the worst moment).
    void walkRaces_data()
    {
        QTest::addColumn<QString>("race");
        QTest::addColumn<QString>("line");       // {} = the source folder
        QTest::addColumn<QStringList>("kept");   // files that are archived
        QTest::newRow("a sub-folder swapped for a link") << "folder"
            << "{}/sub: folder not read (changed while being zipped)" << QStringList{"a.txt"};
        QTest::newRow("a file swapped for a link") << "file"
            << "{}/a.txt: skipped, changed while being zipped" << QStringList{"sub/b.txt"};
        QTest::newRow("a file written over while it is read") << "write"
            << "{}/a.txt: skipped, changed while being read" << QStringList{"sub/b.txt"};
    }
    void walkRaces()
    {
        QFETCH(QString, race);
        QFETCH(QString, line);
        QFETCH(QStringList, kept);
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/src", archive = tmp.path() + "/out/src.zip";
        QDir().mkpath(src + "/sub");
        QDir().mkpath(tmp.path() + "/out");
        QDir().mkpath(tmp.path() + "/private");
        writeFile(tmp.path() + "/private/b.txt", "TOP SECRET");
        writeFile(tmp.path() + "/private/a.txt", "TOP SECRET");
        writeFile(src + "/a.txt", "public a");
        writeFile(src + "/sub/b.txt", "public b");
        // The program listed src/sub as a folder before the swap.
        if (race == "folder") {
            QVERIFY(QFile::rename(src + "/sub", tmp.path() + "/was sub"));
            symlinkOrFail("../private", src + "/sub");
        }
        if (race == "file")
            symlinkOrFail(QFile::encodeName(tmp.path() + "/private/a.txt"), src + "/.swap-a.txt");
        qputenv("LD_PRELOAD", FAULT_PRELOAD);
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        qputenv(race == "write" ? "QB_WRITE_ON_READ" : "QB_SWAP_ON_OPEN", "a.txt");
        const Tool t = runTool(kCli, {"--root", src, "--threads", "1", archive, "querty", src + "/*.*", src + "/sub/*.*"});
        for (const char *name : {"LD_PRELOAD", "QB_WRITE_ON_READ", "QB_SWAP_ON_OPEN"})
            qunsetenv(name);
        QCOMPARE(t.exitCode, int(ZP_FILES_SKIPPED));
        QVERIFY2(t.out.contains((QString(line).replace("{}", src) + "\n").toUtf8()), t.out.constData());
        QStringList files = listing(archive).filter("=");
        QVERIFY2(!files.join('\n').contains("TOP SECRET") && !files.join('\n').contains("NNN"), qPrintable(files.join('\n')));
        QCOMPARE(files.replaceInStrings(QRegularExpression("=.*"), ""), kept);
        QVERIFY(readersAccept(archive));
    }

    // Asked to stop while the names are still being collected and a worker
    // is held inside a file's open, the engine waits for the worker before
    // it lets go of the entries the workers read: the run ends stopped, the
    // older archive stays, and (under the sanitizers) no freed memory is read.
    void stopWhileAWorkerIsHeld()
    {
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/src", archive = tmp.path() + "/src.zip";
        QDir().mkpath(src + "/many");
        writeFile(src + "/stall", "held for a second");
        for (int i = 0; i < 30000; ++i)
            writeFile(src + QString("/many/e%1").arg(i), {});
        writeFile(archive, "older");
        qputenv("LD_PRELOAD", FAULT_PRELOAD);
        qputenv("ASAN_OPTIONS", qgetenv("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        qputenv("QB_STALL_OPEN", "stall");
        const Tool t = runTool(kCli, {"--root", src, "--stop-after-reports", "2", archive, "stall", "many/*.*"});
        for (const char *name : {"LD_PRELOAD", "QB_STALL_OPEN"})
            qunsetenv(name);
        QCOMPARE(t.exitCode, int(ZP_STOPPED));
        QVERIFY2(t.out.endsWith(archive.toUtf8() + ": not written, stopped\n"), t.out.constData());
        QCOMPARE(leftIn(tmp.path()), (QStringList{"src", "src.zip"}));
    }

    // Replacing an archive keeps what its owner set on it, and hands nothing
    // to anyone who could have planted the archive or a link in its place.
    void replacement_data()
    {
        QTest::addColumn<QString>("earlier");
        QTest::addColumn<QString>("mode");       // the new archive's, as ls -l shows it
        QTest::addColumn<uint>("owner");
        QTest::addColumn<QString>("note");       // {} = the archive's path
        QTest::newRow("mode 600 with an ACL and a user attribute") << "private" << "-rw-r-----" << 0u << "";
        QTest::newRow("another user's, who cannot write the folder") << "theirs" << "-rw-r-----" << 65534u << "";
        QTest::newRow("planted 0666 by a user who can write the folder") << "planted" << "-rw-r--r--" << 0u << "";
        QTest::newRow("a link to a file of one's own") << "link" << "-rw-------" << 0u << "";
        QTest::newRow("a link planted where others write") << "planted link" << "-rw-r--r--" << 0u
            << "{}: replaced the link to {}.victim itself, not the file it leads to "
               "(other users can write the folder holding it)";
    }
    void replacement()
    {
        QFETCH(QString, earlier);
        QFETCH(QString, mode);
        QFETCH(uint, owner);
        QFETCH(QString, note);
        QTemporaryDir tmp;
        ::umask(022);
        const QString src = tmp.path() + "/src", out = tmp.path() + "/out";
        QDir().mkpath(src);
        QDir().mkpath(out + "/real");
        writeFile(src + "/a.txt", "the data");
        const bool planted = earlier.startsWith("planted");
        ::chmod(QFile::encodeName(out).constData(), planted ? 01777 : 0755);
        const QString archive = out + "/src.zip", file = earlier == "link" ? out + "/real/src.zip" : archive;
        const QByteArray f = QFile::encodeName(file);
        writeFile(file, "an earlier archive");
        if (earlier == "private") {
            ::chmod(f.constData(), 0600);
            QVERIFY(::setxattr(f.constData(), "user.note", "kept", 4, 0) == 0);
            QCOMPARE(runTool("setfacl", {"-m", "u:nobody:r", file}).exitCode, 0);
        }
        if (earlier == "theirs" || earlier == "planted")
            QVERIFY(::chown(f.constData(), 65534, 65534) == 0);
        ::chmod(f.constData(), earlier == "planted" ? 0666 : earlier == "theirs" ? 0640 : earlier == "link" ? 0600 : 0640);
        if (earlier == "link")
            symlinkOrFail("real/src.zip", archive);
        if (earlier == "planted link") {
            writeFile(archive + ".victim", "root's own file");
            QVERIFY(QFile::rename(archive, archive + ".tmp-planted"));
            symlinkOrFail(QFile::encodeName(archive + ".victim"), archive);
        }
        const Run run = runEngine(archive, {"querty", src + "/*.*"});
        QCOMPARE(run.result, ZP_OK);
        QCOMPARE(run.lines.filter("replaced the link"), note.isEmpty() ? QStringList() : QStringList{QString(note).replace("{}", archive)});
        QFileInfo written(file);
        QVERIFY(readersAccept(file));
        QCOMPARE(runTool("ls", {"-ln", file}).out.left(10), mode.toUtf8());
        QCOMPARE(written.ownerId(), owner);
        QCOMPARE(QFileInfo(archive).isSymLink(), earlier == "link");
        if (earlier == "private") {
            char value[8] = {};
            QCOMPARE(::getxattr(f.constData(), "user.note", value, sizeof value), ssize_t(4));
            QVERIFY(runTool("getfacl", {"-p", file}).out.contains("user:nobody:r--"));
        }
        if (earlier == "planted link") {
            QFile victim(archive + ".victim");
            QVERIFY(victim.open(QIODevice::ReadOnly) && victim.readAll() == "root's own file");
        }
    }

    // Several processes write the same archive over and over: none removes
    // another's temporary file, every run succeeds, and one complete archive
    // is what stays.
    void concurrentWriters_data()
    {
        QTest::addColumn<int>("writers");
        QTest::addColumn<QStringList>("options");
        QTest::newRow("new archives") << 4 << QStringList{"--repeat", "250"};
        QTest::newRow("updated archives") << 3 << QStringList{"--update", "--repeat", "150"};
    }
    void concurrentWriters()
    {
        QFETCH(int, writers);
        QFETCH(QStringList, options);
        QTemporaryDir tmp;
        QDir().mkpath(tmp.path() + "/src");
        QDir().mkpath(tmp.path() + "/out");
        for (const char *name : {"a.txt", "b.txt", "c.txt"})
            writeFile(tmp.path() + "/src/" + name, QByteArray(2000, *name));
        const QString archive = tmp.path() + "/out/same.zip";
        std::vector<std::unique_ptr<QProcess>> runs;
        for (int w = 0; w < writers; ++w) {
            runs.push_back(std::make_unique<QProcess>());
            runs.back()->setProcessChannelMode(QProcess::MergedChannels);
            runs.back()->start(kCli, options + QStringList{archive, tmp.path() + "/src/*.*"});
        }
        for (auto &run : runs) {
            QVERIFY(run->waitForFinished(120000));
            QVERIFY2(run->exitCode() == ZP_OK, run->readAll().constData());
        }
        QCOMPARE(leftIn(tmp.path() + "/out"), QStringList{"same.zip"});
        QCOMPARE(runTool("unzip", {"-tq", archive}).exitCode, 0);
        QVERIFY(runTool("7zz", {"t", archive}).out.contains("Everything is Ok"));
        QCOMPARE(listing(archive).size(), 4);
    }

    void readOnlyOutputFolder()
    {
        QTemporaryDir tmp;
        ::chmod(QFile::encodeName(tmp.path()).constData(), 0755);
        writeFile(tmp.path() + "/a.txt", "x");
        QDir().mkpath(tmp.path() + "/out");
        ::chmod(QFile::encodeName(tmp.path() + "/out").constData(), 0555);
        Tool t = runAsNobody({tmp.path() + "/out/a.zip", tmp.path() + "/a.txt"});
        QCOMPARE(t.exitCode, int(ZP_CANNOT_WRITE));
        QVERIFY2(t.out.contains("Permission denied"), t.out.constData());
        QVERIFY(leftIn(tmp.path() + "/out").isEmpty());
    }

    // The disk fills up while the archive is written: no archive, no
    // temporary file, and the reason.
    void diskFull_data()
    {
        QTest::addColumn<int>("tmpfsKiB");
        QTest::newRow("full at once") << 64;
        QTest::newRow("full half way") << 1024;
        QTest::newRow("full near the end") << 1900;
    }
    void diskFull()
    {
        QFETCH(int, tmpfsKiB);
        QTemporaryDir tmp;
        std::mt19937 rng(42);
        writeFile(tmp.path() + "/random.bin", randomBytes(rng, 2 << 20, false));
        writeFile(tmp.path() + "/text.txt", randomBytes(rng, 1 << 20, true));
        const QString out = tmp.path() + "/small";
        QDir().mkpath(out);
        const QString script = QString("mount -t tmpfs -o size=%1k tmpfs '%2' && '%3' '%2/a.zip' '%4/*.*'; "
                                       "echo \"result=$?\"; ls -A '%2'; echo end")
                                   .arg(tmpfsKiB).arg(out, kCli, tmp.path());
        Tool t = runTool("unshare", {"-m", "sh", "-c", script}, 60000);
        QVERIFY2(t.out.contains(QString("result=%1\nend").arg(int(ZP_CANNOT_WRITE)).toUtf8()), t.out.constData());
        QVERIFY2(t.out.contains("No space left on device"), t.out.constData());
    }

    // The program ends with exit() from inside the message routine while
    // the archive is being written: nothing is left in the output folder.
    void exitDuringTheArchive()
    {
        QTemporaryDir tmp;
        std::mt19937 rng(3);
        QDir().mkpath(tmp.path() + "/src");
        for (int i = 0; i < 6; ++i)
            writeFile(tmp.path() + QString("/src/f%1.txt").arg(i), randomBytes(rng, 12 << 20, true));
        QDir().mkpath(tmp.path() + "/out");
        Tool t = runTool(kCli, {"--threads", "1", "--level", "9", "--exit-after-beats", "3",
                                tmp.path() + "/out/a.zip", tmp.path() + "/src/*.*"});
        QCOMPARE(t.exitCode, 0);
        QVERIFY(leftIn(tmp.path() + "/out").isEmpty());
    }

    // The output folder renamed while the archive is written: the archive is
    // made, renamed and cleaned up in the folder held, whatever its name.
    void outputFolderRenamedMidway_data()
    {
        QTest::addColumn<bool>("stop");
        QTest::newRow("written") << false;
        QTest::newRow("stopped") << true;
    }
    void outputFolderRenamedMidway()
    {
        QFETCH(bool, stop);
        QTemporaryDir tmp;
        std::mt19937 rng(9);
        QDir().mkpath(tmp.path() + "/src");
        QDir().mkpath(tmp.path() + "/out");
        writeFile(tmp.path() + "/src/a.txt", randomBytes(rng, 3 << 20, true));
        static QString from, to;
        static bool stopping;
        from = tmp.path() + "/out";
        to = tmp.path() + "/moved";
        stopping = stop;
        // The engine's last report comes after the archive took its name, too
        // late for a stop. Reports come at least 50 ms apart: held back while
        // the total is unknown, the first with a total comes before the first
        // entry is written.
        const ZipProgressRoutine renameFolder = [](uint64_t, uint64_t total) -> int32_t {
            if (total == 0)
                QThread::msleep(60);
            else if (QFileInfo::exists(from))
                return QFile::rename(from, to) && stopping;
            return 0;
        };
        const Run run = runEngine(from + "/a.zip", {tmp.path() + "/src/*.*"}, {}, capturePrint, renameFolder);
        QCOMPARE(run.result, stop ? ZP_STOPPED : ZP_OK);
        QCOMPARE(leftIn(to), stop ? QStringList() : QStringList{"a.zip"});
        if (!stop)
            QVERIFY(readersAccept(to + "/a.zip"));
    }

    // A writer killed outright leaves its temporary file; the next archive of
    // that name removes it, but never one whose writer still holds it.
    void abandonedTemporariesAreRemoved()
    {
        QTemporaryDir tmp;
        QDir().mkpath(tmp.path() + "/src");
        QDir().mkpath(tmp.path() + "/out");
        writeFile(tmp.path() + "/src/a.txt", "a");
        const QString out = tmp.path() + "/out/";
        writeFile(out + ".a.zip.0123abcd.tmp", "left by a killed writer");
        writeFile(out + ".a.zip.feedbeef.tmp", "still being written");
        writeFile(out + ".b.zip.0123abcd.tmp", "another archive's");
        writeFile(out + ".a.zip.notmine.tmp", "not a name the engine makes");
        const int held = ::open(QFile::encodeName(out + ".a.zip.feedbeef.tmp").constData(), O_RDONLY);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX | LOCK_NB), 0);
        const Run run = runEngine(out + "a.zip", {tmp.path() + "/src/*.*"});
        ::close(held);
        QCOMPARE(run.result, ZP_OK);
        QCOMPARE(leftIn(out), (QStringList{".a.zip.feedbeef.tmp", ".a.zip.notmine.tmp", ".b.zip.0123abcd.tmp", "a.zip"}));

        // Left behind after the engine has looked at the folder once in this
        // process, made there or moved in: found all the same (and the one
        // no longer held).
        writeFile(out + ".a.zip.00c0ffee.tmp", "left by a writer killed since");
        writeFile(out + "elsewhere", "left by a writer killed since");
        QVERIFY(QFile::rename(out + "elsewhere", out + ".a.zip.11111111.tmp"));
        QCOMPARE(runEngine(out + "a.zip", {tmp.path() + "/src/*.*"}).result, ZP_OK);
        QCOMPARE(leftIn(out), (QStringList{".a.zip.notmine.tmp", ".b.zip.0123abcd.tmp", "a.zip"}));
    }
};

QTEST_GUILESS_MAIN(TestZip32Faults)
#include "test_zip32faults.moc"
