// A run without a window: what it tells its observer, folder by folder.
#include "core/BatchRun.h"
#include "support/ArchiveCheck.h"
#include "support/TestFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using testfiles::writeFile;

class TestBatchRun : public QObject {
    Q_OBJECT
private slots:
    void signalsFolderByFolder()
    {
        QTemporaryDir src, out;
        writeFile(src.path() + "/a/Same/x.txt", "x");
        writeFile(src.path() + "/b/Same/y.txt", "y");
        // Left out with a warning, while the archive is written all the same.
        QVERIFY(QFile::link(src.path() + "/nowhere", src.path() + "/a/Same/dangling"));
        const QStringList folders{src.path() + "/a/Same", src.path() + "/gone", src.path() + "/b/Same"};
        QStringList shown;
        BatchRunHooks hooks;
        hooks.yield = [] {};
        hooks.showEngineMessages = [&](const QString &messages) { shown << messages; };
        BatchRun run(folders, out.path(), hooks);
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
        QCOMPARE(finished.at(0).at(1).toString(), out.path() + "/Same.zip");
        QCOMPARE(finished.at(0).at(2).toInt(), 0);
        QVERIFY(finished.at(1).at(2).toInt() != 0); // the missing folder failed...
        QCOMPARE(shown.size(), 1);                   // ...and said why
        QCOMPARE(finished.at(2).at(1).toString(), out.path() + "/Same (2).zip");
        QCOMPARE(run.notes().renamed.size(), 1);
        QCOMPARE(run.notes().warnings.size(), 1);
        QVERIFY2(run.notes().warnings[0].contains("dangling: skipped, broken symbolic link"),
                 qPrintable(run.notes().warnings[0]));
        QVERIFY(run.notes().details().contains(run.notes().warnings[0]));
        QVERIFY(archivecheck::unzipTestPasses(out.path() + "/Same (2).zip"));
    }
};

QTEST_GUILESS_MAIN(TestBatchRun)
#include "test_batchrun.moc"
