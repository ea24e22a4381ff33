// A run without a window: what it tells its observer, folder by folder.
#include "core/BatchRun.h"
#include "core/ConsoleRun.h"
#include "support/ArchiveCheck.h"
#include "support/FakeEngine.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>

using testfiles::kSymbolicLinks;
using testfiles::nativePath;
using testfiles::writeFile;

class TestBatchRun : public QObject {
    Q_OBJECT
private slots:
    void signalsFolderByFolder()
    {
        QTemporaryDir src, out;
        writeFile(src.path() + "/a/Same/x.txt", "x");
        writeFile(src.path() + "/b/Same/y.txt", "y");
        // Stored as a link, with a word, while the archive is written all the same.
        if (kSymbolicLinks)
            QVERIFY(QFile::link(src.path() + "/nowhere", src.path() + "/a/Same/dangling"));
        const QStringList folders{nativePath(src.path() + "/a/Same"), nativePath(src.path() + "/gone"),
                                  nativePath(src.path() + "/b/Same")};
        const QString output = nativePath(out.path());
        QStringList shown;
        BatchRunHooks hooks;
        hooks.yield = [] {};
        hooks.showEngineMessages = [&](const QString &messages) { shown << messages; };
        BatchRun run(folders, output, hooks);
        QSignalSpy progress(&run, &BatchRun::progressChanged);
        QSignalSpy started(&run, &BatchRun::folderStarted);
        QSignalSpy zipping(&run, &BatchRun::folderZipping);
        QSignalSpy finished(&run, &BatchRun::folderFinished);
        QStringList reports;
        ErrorTrap trap(QStringLiteral("test "), [&](const QString &, int line, const QString &text) {
            reports << QStringLiteral("%1: %2").arg(line).arg(text);
        });
        run.run(trap);

        QCOMPARE(reports, QStringList());
        // Each folder begins where the ones before it end, and the run moves
        // on from there by its file data, never backwards, up to 100.
        QList<double> values;
        for (const auto &p : progress)
            values << p.at(0).toDouble();
        QCOMPARE(values.first(), 0.0);
        QVERIFY(std::is_sorted(values.begin(), values.end()));
        QVERIFY(std::any_of(values.begin(), values.end(), [](double v) { return qFuzzyCompare(v, 100.0 / 3); }));
        QCOMPARE(values.last(), 100.0);
        QCOMPARE(started.size(), 3);
        QCOMPARE(started.at(1).at(1).toString(), folders.at(1));
        QCOMPARE(zipping.size(), 3);
        QCOMPARE(finished.size(), 3);
        QCOMPARE(finished.at(0).at(1).toString(), nativePath(output + "/Same.zip"));
        QCOMPARE(finished.at(0).at(2).toInt(), 0);
        QVERIFY(finished.at(1).at(2).toInt() != 0); // the missing folder failed...
        QCOMPARE(shown.size(), 1);                   // ...and said why
        QCOMPARE(finished.at(2).at(1).toString(), nativePath(output + "/Same (2).zip"));
        QCOMPARE(run.notes().renamed.size(), 1);
        QCOMPARE(run.notes().warnings.size(), kSymbolicLinks ? 1 : 0);
        if (kSymbolicLinks) {
            QVERIFY2(run.notes().warnings[0].contains("dangling: stored as a link"),
                     qPrintable(run.notes().warnings[0]));
            QVERIFY(run.notes().details().contains(run.notes().warnings[0]));
        }
        QVERIFY(archivecheck::unzipTestPasses(out.path() + "/Same (2).zip"));
    }

    // The run walks each next folder while the one before is being zipped:
    // every archive still holds its own folder's tree, the links the walks
    // left out are told in folder order, and a folder gone before its turn
    // fails alone.
    void walksAheadFolderByFolder_data()
    {
        QTest::addColumn<QStringList>("layout");
        QTest::newRow("different shapes") << QStringList{"deep", "flat", "wide", "deep"};
        QTest::newRow("links left out") << QStringList{"flat+link", "deep", "wide+link"};
        QTest::newRow("a folder gone") << QStringList{"wide", "gone", "deep+link"};
    }
    void walksAheadFolderByFolder()
    {
        QFETCH(QStringList, layout);
        QTemporaryDir src, out;
        QStringList folders, linked;
        for (qsizetype i = 0; i < layout.size(); ++i) {
            const QString folder = nativePath(src.path() + QStringLiteral("/f%1").arg(i));
            folders << folder;
            const QString shape = layout[i].section('+', 0, 0);
            if (shape == "deep")
                writeFile(folder + "/x/y/z/deep.txt", folder.toUtf8());
            else if (shape == "flat")
                writeFile(folder + "/flat.txt", folder.toUtf8());
            else if (shape == "wide")
                for (int k = 0; k < 5; ++k)
                    writeFile(folder + QStringLiteral("/s%1/w.txt").arg(k), folder.toUtf8());
            if (kSymbolicLinks && layout[i].endsWith("+link")) {
                QVERIFY(QFile::link(folder, folder + "/x-back"));   // into the walked tree: not followed
                linked << folder;
            }
        }
        BatchRunHooks hooks;
        hooks.yield = [] {};
        BatchRun run(folders, nativePath(out.path()), hooks);
        QSignalSpy finished(&run, &BatchRun::folderFinished);
        ErrorTrap trap(QStringLiteral("test "), [](const QString &, int, const QString &) {});
        run.run(trap);

        QCOMPARE(finished.size(), folders.size());
        for (qsizetype i = 0; i < folders.size(); ++i) {
            if (layout[i] == "gone") {
                QVERIFY(finished.at(i).at(2).toInt() != 0);
                continue;
            }
            QCOMPARE(finished.at(i).at(2).toInt(), 0);
            QMap<QString, QByteArray> expected = archivecheck::expectedEntries(folders[i]);
            expected.remove(QStringLiteral("f%1/x-back/").arg(i));
            QCOMPARE(archivecheck::readZip(finished.at(i).at(1).toString()), expected);
        }
        const QStringList links = run.notes().linksLeftOut;
        QCOMPARE(links.size(), linked.size());
        for (qsizetype k = 0; k < links.size(); ++k)
            QVERIFY2(links[k].startsWith(linked[k] + kNativeSeparator + "x-back"), qPrintable(links[k]));
    }

    // However a folder's new archive comes to be not written, the earlier
    // archive of its name stays byte for byte, and the run says it was kept.
    void earlierArchiveSurvives_data()
    {
        QTest::addColumn<QString>("way");
        for (const char *way : {"stop after", "stop now", "signal", "engine fails", "missing folder"})
            QTest::newRow(way) << QString::fromLatin1(way);
    }
    void earlierArchiveSurvives()
    {
        QFETCH(QString, way);
        QTemporaryDir src, out;
        writeFile(src.path() + "/First/a.txt", "a");
        for (int i = 0; i < 20; ++i)
            writeFile(src.path() + QStringLiteral("/Trip/sub/f%1.txt").arg(i), QByteArray(50000, 'x'));
        const QString earlier = QDir::toNativeSeparators(out.path() + "/Trip.zip");   // as the notes show it
        writeFile(earlier, "the earlier archive");
        const QStringList folders{src.path() + "/First",
                                  src.path() + (way == "missing folder" ? "/gone/Trip" : "/Trip")};
        std::optional<FakeEngine> fake;
        if (way == "engine fails") {
            fake.emplace();
            fake->script({"zip engine: internal error\n"}, ZP_INTERNAL);
        }
        if (way == "signal") {
            ConsoleRunOptions options;
            options.outputFolder = out.path();
            options.folders = folders;
            options.terminal = true;
            QByteArray said;
            options.write = [&](const QByteArray &text) {
                said += text;
                if (text.contains("[2/2]"))
                    std::raise(SIGINT);
            };
            QCOMPARE(RunFromConsole(options), 128 + SIGINT);
            QVERIFY2(said.contains("kept the earlier archive " + earlier.toUtf8()), said.constData());
        } else {
            BatchRun run(folders, out.path(), BatchRunHooks{[] {}, {}, {}});
            connect(&run, &BatchRun::folderZipping, this, [&](int number) {
                if (way == "stop after" && number == 1)
                    run.requestStop(BatchRun::Stop::AfterFolder);
                if (way == "stop now" && number == 2)
                    run.requestStop(BatchRun::Stop::Now);
            });
            ErrorTrap trap(QStringLiteral("test "), [](const QString &, int, const QString &) {});
            run.run(trap);
            if (way != "stop after")
                QCOMPARE(run.notes().keptEarlier, QStringList{earlier});
            QVERIFY(way == "stop after" || run.notes().details().contains(earlier));
        }
        QFile kept(earlier);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("the earlier archive"));
    }

    // The run resolves its output folder once, yet sees it change between
    // two archives: a folder gone is told, and a link on the way that now
    // leads elsewhere takes the next archive there.
    void outputFolderChangesMidRun_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("removed") << "removed";
        if (kSymbolicLinks)
            QTest::newRow("link on the way retargeted") << "retargeted";
    }
    void outputFolderChangesMidRun()
    {
        QFETCH(QString, change);
        QTemporaryDir src, out;
        writeFile(src.path() + "/One/a.txt", "a");
        writeFile(src.path() + "/Two/b.txt", "b");
        const QString root = QFileInfo(out.path()).canonicalFilePath();
        QVERIFY(QDir(root).mkpath("A/into") && QDir(root).mkpath("B/into"));
        QVERIFY(change == "removed" || QFile::link(root + "/A", root + "/L"));
        QStringList shown;
        BatchRunHooks hooks{[] {}, {}, [&](const QString &messages) { shown << messages; }};
        BatchRun run({src.path() + "/One", src.path() + "/Two"}, root + (change == "removed" ? "/A/into" : "/L/into"),
                     hooks);
        QSignalSpy finished(&run, &BatchRun::folderFinished);
        connect(&run, &BatchRun::folderFinished, this, [&](int number) {
            if (number == 1 && change == "removed")
                QVERIFY(QDir(root + "/A/into").removeRecursively());
            if (number == 1 && change == "retargeted")
                QVERIFY(QFile::remove(root + "/L") && QFile::link(root + "/B", root + "/L"));
        });
        ErrorTrap trap(QStringLiteral("test "), [](const QString &, int, const QString &) {});
        run.run(trap);
        QCOMPARE(finished.size(), 2);
        QCOMPARE(finished.at(0).at(1).toString(), nativePath(root + "/A/into/One.zip"));
        if (change == "removed") {
            QCOMPARE(finished.at(1).at(2).toInt(), -1);
            QCOMPARE(shown, QStringList{kNoSuchOutputFolder});
        } else {
            QCOMPARE(finished.at(1).at(1).toString(), nativePath(root + "/B/into/Two.zip"));
            QVERIFY(archivecheck::unzipTestPasses(root + "/B/into/Two.zip"));
        }
    }
};

QTEST_GUILESS_MAIN(TestBatchRun)
#include "test_batchrun.moc"
