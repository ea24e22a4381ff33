// "Start Zipping" driven through the window with scripted dialogs.
#include "window/MainWindow.h"
#include "support/ArchiveCheck.h"
#include "support/TestFiles.h"
#include "support/ScriptedDialogs.h"

#include <QLineEdit>
#include <QPushButton>
#include <QProcess>
#include <QRandomGenerator>
#include <QTimer>
#include <QTreeWidget>
#include <QSignalSpy>
#include <QTest>
#include <cstdlib>

using namespace archivecheck;
using testfiles::nativePath;
using testfiles::writeFile;

class TestStartZipping : public QObject {
    Q_OBJECT

    static QStringList zipsIn(const QString &dir)
    {
        return QDir(dir).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

private slots:
    void emptyList()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        form.outputFolderEdit->setText(QStringLiteral("/no/such/folder"));
        form.startZipping();
        QCOMPARE(dialogs.texts(), QStringList{QStringLiteral("No folders added.")});
        QVERIFY2(dialogs.boxes[0].title.isEmpty(), "the application title, not one of its own");
    }

    void badOutputFolder_data()
    {
        QTest::addColumn<QString>("output");
        QTest::newRow("missing") << "/no/such/folder/";
        QTest::newRow("empty") << "";
        QTest::newRow("a file") << "FILE";
    }
    void badOutputFolder()
    {
        QFETCH(QString, output);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src;
        writeFile(src.path() + "/A/a.txt", "a");
        writeFile(src.path() + "/FILE", "not a folder");
        if (output == QLatin1String("FILE"))
            output = src.path() + "/FILE";
        MainWindow form;
        form.outputFolderEdit->setText(output);
        form.appendRow(src.path() + "/A");
        form.progressBar->setExactValue(40);
        form.startZipping();
        QCOMPARE(dialogs.texts(), QStringList{QStringLiteral("Folder does not exist. Please select another folder.")});
        QCOMPARE(form.progressBar->exactValue(), 40.0); // left as it was
        QCOMPARE(form.mousePointer(), 0);
        QCOMPARE(QDir(src.path()).entryList(QDir::Files), QStringList{"FILE"});
    }

    void progressAndDone()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src, out;
        for (const char *name : {"One", "Two", "Three"})
            writeFile(src.path() + "/" + name + "/f.txt", name);
        MainWindow form;
        form.outputFolderEdit->setText(out.path() + "/");
        for (const char *name : {"One", "Two", "Three"})
            form.appendRow(src.path() + "/" + name);
        QSignalSpy values(form.progressBar, &TextProgressBar::exactValueSet);
        QSignalSpy texts(form.progressBar, &TextProgressBar::textSet);
        QList<int> pointers;
        connect(form.progressBar, &TextProgressBar::textSet, this, [&] { pointers << form.mousePointer(); });
        form.startZipping();
        // Up by the data done, folder after folder, to 100; then back to 0.
        QList<double> run;
        for (const auto &v : values)
            run << v[0].toDouble();
        QCOMPARE(run.takeLast(), 0.0);
        QCOMPARE(run.first(), 0.0);
        QVERIFY(std::is_sorted(run.begin(), run.end()));
        QCOMPARE(run.last(), 100.0);
        QCOMPARE(texts.size(), 4);
        QCOMPARE(texts[0][0].toString(), QStringLiteral("Processing: One"));
        QCOMPARE(texts[2][0].toString(), QStringLiteral("Processing: Three"));
        QCOMPARE(texts[3][0].toString(), QStringLiteral("Progress Bar"));
        QCOMPARE(pointers.value(0), 0);  // the busy pointer comes after the first yield
        QCOMPARE(pointers.value(1), 11);
        QCOMPARE(form.mousePointer(), 0);
        QCOMPARE(dialogs.texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(zipsIn(out.path()), (QStringList{"One.zip", "Three.zip", "Two.zip"}));
        for (const QString &z : zipsIn(out.path()))
            QVERIFY(unzipTestPasses(out.path() + "/" + z));
    }

    void rowEndingInSeparator()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src, out;
        writeFile(src.path() + "/Data/x.txt", "x");
        MainWindow form;
        form.outputFolderEdit->setText(out.path() + "/");
        form.appendRow(src.path() + "/Data/");
        QSignalSpy texts(form.progressBar, &TextProgressBar::textSet);
        form.startZipping();
        QCOMPARE(texts.value(0).value(0).toString(), QStringLiteral("Processing: "));
        QCOMPARE(dialogs.texts().last(), QStringLiteral("Done."));
    }

    void everyFolderFailsStillDoneOnce()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir out;
        writeFile(out.path() + "/Gone.zip", "old");
        MainWindow form;
        form.outputFolderEdit->setText(out.path() + "/");
        form.appendRow(out.path() + "/missing/Gone");
        form.appendRow(out.path() + "/missing/Other");
        form.startZipping();
        QCOMPARE(dialogs.texts().count(QStringLiteral("Done.")), 1);
        QCOMPARE(dialogs.texts().last(), QStringLiteral("Done."));
        QCOMPARE(dialogs.boxes.size(), 3); // the engine's messages for each folder, then Done.
        QVERIFY(!dialogs.boxes[0].text.isEmpty());
        // Each failure looks like one, under the application's title; "Done." does not.
        QCOMPARE(dialogs.warnings().size(), 2);
        for (const ShownBox &failure : dialogs.warnings())
            QVERIFY(failure.title.isEmpty());
        QCOMPARE(dialogs.boxes.last().kind, QStringLiteral("information"));
        // The earlier archive of the vanished folder stays, and both boxes say so.
        const QString gone = QDir::toNativeSeparators(out.path() + "/Gone.zip");
        QVERIFY(dialogs.boxes[0].text.contains("kept the earlier archive " + gone));
        QVERIFY(dialogs.boxes.last().details.contains(gone + ": not written; kept the earlier archive"));
        QFile kept(out.path() + "/Gone.zip");
        QVERIFY(kept.open(QIODevice::ReadOnly) && kept.readAll() == "old");
    }

    // Folders of one run that share a last name each keep an archive of
    // their own; an archive left by an earlier run is still replaced.
    void sameNamesKeepTheirOwnArchives()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src, out;
        writeFile(src.path() + "/first/Same/a.txt", "from the first");
        writeFile(src.path() + "/second/Same/b.txt", "from the second");
        writeFile(src.path() + "/third/Same/c.txt", "from the third");
        writeFile(src.path() + "/Solo/d.txt", "solo");
        // A read-only old archive in the way.
        writeFile(out.path() + "/Solo.zip", "stale");
        QFile(out.path() + "/Solo.zip").setPermissions(QFile::ReadOwner);
        MainWindow form;
        const QString output = nativePath(out.path());
        form.outputFolderEdit->setText(output); // no trailing separator: still inside the folder
        for (const char *row : {"/first/Same", "/second/Same", "/Solo", "/third/Same"})
            form.appendRow(nativePath(src.path() + row));
        const QMap<QString, QString> expected{{"Same.zip", "Same/a.txt"},
                                              {"Same (2).zip", "Same/b.txt"},
                                              {"Same (3).zip", "Same/c.txt"},
                                              {"Solo.zip", "Solo/d.txt"}};
        for (int press = 1; press <= 2; ++press) {
            form.startZipping();
            QCOMPARE(zipsIn(out.path()), QStringList(expected.keys()));
            for (auto it = expected.begin(); it != expected.end(); ++it) {
                const auto entries = readZip(out.path() + "/" + it.key());
                QVERIFY2(entries.contains(it.value()), qPrintable(it.key()));
                QCOMPARE(entries.size(), 2); // the folder and its file
            }
            QCOMPARE(dialogs.boxes.last().text, QStringLiteral("Done."));
            const QString details = dialogs.boxes.last().details;
            QVERIFY2(details.contains(nativePath(src.path() + "/second/Same -> " + output + "/Same (2).zip"))
                         && details.contains(nativePath(src.path() + "/third/Same -> " + output + "/Same (3).zip")),
                     qPrintable(details));
        }
        QCOMPARE(dialogs.boxes.size(), 2);
        QCOMPARE(form.outputFolderEdit->text(), output); // the text stays as typed
    }

    // What a person does while a run yields changes nothing of that run:
    // every control that could is unavailable until "Done." is closed.
    void editsDuringRunChangeNothing()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src, out, elsewhere;
        writeFile(src.path() + "/A/a.txt", "a");
        writeFile(src.path() + "/B/b.txt", "b");
        MainWindow form;
        form.show();
        form.outputFolderEdit->setText(out.path() + "/");
        form.appendRow(src.path() + "/A");
        form.appendRow(src.path() + "/B");
        const QList<QWidget *> locked{form.addOneFolderButton, form.addAllSubfoldersButton, form.clearListButton,
                                      form.loadSamplesButton, form.outputFolderEdit, form.chooseOutputButton};
        QList<bool> enabledDuringRun;
        bool dropsDuringRun = true;
        // Arrives at the run's first yield, while the run is in progress.
        QMetaObject::invokeMethod(this, [&] {
            for (QWidget *w : locked)
                enabledDuringRun << w->isEnabled();
            dropsDuringRun = form.acceptDrops();
            QTest::mouseClick(form.loadSamplesButton, Qt::LeftButton); // load the samples
            QTest::mouseClick(form.clearListButton, Qt::LeftButton); // clear the list
            form.outputFolderEdit->setFocus();
            QTest::keyClicks(form.outputFolderEdit, "/elsewhere");
            form.folderListView->setCurrentItem(form.folderListView->topLevelItem(1));
            QTest::keyClick(form.folderListView, Qt::Key_Delete);
        }, Qt::QueuedConnection);
        bool enabledAtDone = true;
        dialogs.onBox = [&](const ShownBox &) { enabledAtDone = form.clearListButton->isEnabled(); };
        form.startZipping();
        QCOMPARE(enabledDuringRun, QList<bool>(locked.size(), false));
        QVERIFY(!dropsDuringRun);
        QVERIFY(!enabledAtDone);
        QCOMPARE(dialogs.texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(zipsIn(out.path()), (QStringList{"A.zip", "B.zip"}));
        QCOMPARE(form.folders().rows(), (QStringList{src.path() + "/A", src.path() + "/B"}));
        QCOMPARE(form.outputFolderEdit->text(), out.path() + "/");
        for (QWidget *w : locked)
            QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(form.acceptDrops());
    }

    // Escape asks, in plain words (Escape keeps zipping), while "Start Zipping"
    // says how to stop; the run stops after the folder being zipped, or at once,
    // when that folder's archive is given up. Archives already written stay.
    void stopDuringRun_data()
    {
        QTest::addColumn<int>("answer");       // Finish this folder, Stop now, Keep zipping
        QTest::addColumn<QStringList>("zips");
        QTest::addColumn<QString>("closing");
        QTest::newRow("after this folder") << 0 << QStringList{"Big.zip", "Old.zip"}
                                           << "Stopped. 1 of 3 folders were zipped; 2 were not.";
        QTest::newRow("now") << 1 << QStringList{"Old.zip"} << "Stopped. 0 of 3 folders were zipped; 3 were not.";
        QTest::newRow("go on") << 2 << QStringList{"Big.zip", "Old.zip", "Small.zip"} << "Done.";
    }
    void stopDuringRun()
    {
        QFETCH(int, answer);
        QFETCH(QStringList, zips);
        QFETCH(QString, closing);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src, out;
        QRandomGenerator rng(3);
        QByteArray text(24 << 20, '\0');
        for (char &c : text)
            c = char('a' + rng.bounded(20));
        writeFile(src.path() + "/Big/a.txt", text);
        writeFile(src.path() + "/Small/b.txt", "b");
        writeFile(src.path() + "/Old/c.txt", "c");
        writeFile(out.path() + "/Old.zip", "an archive of an earlier run");
        MainWindow form;
        form.outputFolderEdit->setText(out.path());
        for (const char *row : {"/Big", "/Small", "/Old"})
            form.appendRow(src.path() + row);
        dialogs.choices = {answer};
        QPair<bool, QString> start; // "Start Zipping" while a box is open
        dialogs.onBox = [&](const ShownBox &) { start = {form.startButton->isEnabled(), form.startButton->toolTip()}; };
        // Escape, pressed at the run's first yield.
        QMetaObject::invokeMethod(this, [&] { form.askToStop(); }, Qt::QueuedConnection);
        form.startZipping();
        QCOMPARE(dialogs.boxes.first().text, QStringLiteral("Stop after the current folder?"));
        QCOMPARE(dialogs.boxes.first().kind, QStringLiteral("question"));
        QCOMPARE(dialogs.boxes.first().buttons, (QStringList{"Finish this folder, then stop", "Stop now", "Keep zipping"}));
        QCOMPARE(dialogs.boxes.first().escape, 2);
        QCOMPARE(start, qMakePair(false, QStringLiteral("Press Escape to stop")));
        QCOMPARE(dialogs.boxes.size(), 2); // the question and the closing box: nothing failed
        QCOMPARE(dialogs.boxes.last().text, closing);
        QCOMPARE(zipsIn(out.path()), zips);
        for (const QString &zip : zips)
            if (zip != QLatin1String("Old.zip") || answer == 2)
                QVERIFY(unzipTestPasses(out.path() + "/" + zip));
        if (answer != 2)
            QVERIFY(dialogs.boxes.last().details.contains(src.path() + "/Small"));
    }

    // A failure box offers to stop the run: one press instead of one per row.
    void failureBoxStopsTheRun()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir out;
        MainWindow form;
        form.outputFolderEdit->setText(out.path());
        for (int i = 0; i < 200; ++i)
            form.appendRow(out.path() + QStringLiteral("/gone/%1").arg(i));
        dialogs.choices = {1};
        form.startZipping();
        QCOMPARE(dialogs.boxes.size(), 2);
        QCOMPARE(dialogs.boxes.first().kind, QStringLiteral("warning"));
        QCOMPARE(dialogs.boxes.first().buttons, (QStringList{"OK", "Stop the Run"}));
        QCOMPARE(dialogs.boxes.last().text, QStringLiteral("Stopped. 0 of 200 folders were zipped; 199 were not."));
    }

    void secondPressDuringRunIgnored()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir src, out;
        writeFile(src.path() + "/A/a.txt", "a");
        writeFile(src.path() + "/B/b.txt", "b");
        MainWindow form;
        form.outputFolderEdit->setText(out.path() + "/");
        form.appendRow(src.path() + "/A");
        form.appendRow(src.path() + "/B");
        int nested = 0;
        // Arrives at the run's first yield, while the run is in progress.
        QMetaObject::invokeMethod(this, [&] { ++nested; form.startButton->click(); }, Qt::QueuedConnection);
        form.startZipping();
        QCOMPARE(nested, 1);
        QCOMPARE(dialogs.texts(), QStringList{QStringLiteral("Done.")});
        QCOMPARE(zipsIn(out.path()), (QStringList{"A.zip", "B.zip"}));
    }

    void closingMidRunLeavesNoPartialArchive()
    {
        // Runs in a child process, since closing ends the program.
        QTemporaryDir src, out;
        // Text-like data: slow enough to compress that the close lands mid-archive.
        QByteArray big(4 * 1024 * 1024, '\0');
        QRandomGenerator rng(5);
        for (char &c : big)
            c = char('a' + rng.bounded(20));
        for (int i = 0; i < 24; ++i)
            writeFile(src.path() + QStringLiteral("/Big/part%1.bin").arg(i), big);
        writeFile(src.path() + "/Small/a.txt", "small");
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QB_CHILD_SRC", src.path());
        env.insert("QB_CHILD_OUT", out.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"childCloseMidRun"});
        QVERIFY(child.waitForFinished(120000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        const QStringList left = zipsIn(out.path());
        QVERIFY2(left.contains("Small.zip"), qPrintable(left.join(' ')));
        QVERIFY2(unzipTestPasses(out.path() + "/Small.zip"), "finished archives stay intact");
        QVERIFY2(left == QStringList{"Small.zip"}, qPrintable("left behind: " + left.join(' ')));
    }

    void childCloseMidRun()
    {
        if (qEnvironmentVariableIsEmpty("QB_CHILD_SRC"))
            QSKIP("runs only as the child of closingMidRunLeavesNoPartialArchive");
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        const QString src = qEnvironmentVariable("QB_CHILD_SRC");
        form.outputFolderEdit->setText(qEnvironmentVariable("QB_CHILD_OUT") + "/");
        form.appendRow(src + "/Small");
        form.appendRow(src + "/Big");
        // Close once the second archive is under way; the real unload ends the program.
        connect(form.progressBar, &TextProgressBar::textSet, &form, [&](const QString &t) {
            if (t == QLatin1String("Processing: Big"))
                QTimer::singleShot(100, &form, [&] { form.close(); });
        });
        form.show();
        form.startZipping();
        std::_Exit(3); // not reached when closing ends the program
    }
};

QTEST_MAIN(TestStartZipping)
#include "test_startzipping.moc"
