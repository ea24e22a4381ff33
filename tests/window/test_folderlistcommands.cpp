// The folder list: rows in and out.
#include "core/ProgramInfo.h"
#include "window/MainWindow.h"
#include "support/ScriptedDialogs.h"
#include "support/TestFiles.h"

using testfiles::nativePath;
using testfiles::rows;

#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

class TestFolderListCommands : public QObject {
    Q_OBJECT

    static void fill(MainWindow &form, int rows)
    {
        for (int i = 1; i <= rows; ++i)
            form.appendRow(QStringLiteral("/data/row%1").arg(i));
    }
    static void select(MainWindow &form, int index)
    {
        form.folderListView->setCurrentItem(form.folderListView->topLevelItem(index - 1));
    }

private slots:
    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("removes");
        QTest::newRow("Delete") << int(Qt::Key_Delete) << int(Qt::NoModifier) << true;
        QTest::newRow("Shift+Delete") << int(Qt::Key_Delete) << int(Qt::ShiftModifier) << true;
        QTest::newRow("Ctrl+Delete") << int(Qt::Key_Delete) << int(Qt::ControlModifier) << true;
        QTest::newRow("Backspace") << int(Qt::Key_Backspace) << int(Qt::NoModifier) << false;
        QTest::newRow("letter") << int(Qt::Key_D) << int(Qt::NoModifier) << false;
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, removes);
        MainWindow form;
        fill(form, 3);
        select(form, 2);
        QTest::keyClick(form.folderListView, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        if (removes)
            QCOMPARE(rows(form), (QStringList{"/data/row1", "/data/row3"}));
        else
            QCOMPARE(form.rowCount(), 3);
    }

    void doubleClickRemovesSelected()
    {
        MainWindow form;
        fill(form, 3);
        select(form, 3);
        const QRect r = form.folderListView->visualItemRect(form.folderListView->topLevelItem(2));
        QTest::mouseDClick(form.folderListView->viewport(), Qt::LeftButton, {}, r.center());
        QCOMPARE(rows(form), (QStringList{"/data/row1", "/data/row2"}));
    }

    void removalRefused_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("selected");
        QTest::newRow("busy") << true << true;
        QTest::newRow("no selection") << false << false;
    }
    void removalRefused()
    {
        QFETCH(bool, busy);
        QFETCH(bool, selected);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir out;
        MainWindow form;
        fill(form, 2);
        if (selected)
            select(form, 1);
        else
            form.folderListView->clearSelection();
        const auto tryToRemove = [&] {
            form.folderListKeyDown(Qt::Key_Delete);
            form.folderListDoubleClicked();
            if (busy)
                form.clearList(); // "Clear List" waits for the run too
            QCOMPARE(form.rowCount(), 2);
        };
        if (busy) {
            // Tried at the run's first yield, while it works.
            form.outputFolderEdit->setText(out.path());
            QMetaObject::invokeMethod(this, tryToRemove, Qt::QueuedConnection);
            form.startZipping();
            QVERIFY(!form.isBusy());
            QCOMPARE(form.rowCount(), 2);
            form.clearList();
            QCOMPARE(form.rowCount(), 0);
        } else {
            tryToRemove();
        }
    }

    void emptyListChangesNothing()
    {
        ScriptedDialogs dialogs;
        MainWindow form;
        form.folderListKeyDown(Qt::Key_Delete);
        form.folderListDoubleClicked();
        form.clearList();
        QCOMPARE(form.rowCount(), 0);
        QVERIFY(dialogs.boxes.isEmpty());
    }

    void samplesTwice()
    {
        QTemporaryDir programDir; // no Samples folder at all: rows come anyway
        SetProgramFolderForTesting(nativePath(programDir.path()));
        MainWindow form;
        form.loadSamples();
        form.loadSamples();
        SetProgramFolderForTesting(QString());
        const QString s = nativePath(programDir.path() + QStringLiteral("/Samples/"));
        QCOMPARE(rows(form), (QStringList{s + "1", s + "2", s + "3", s + "1", s + "2", s + "3"}));
    }

    void isFolderListed_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("listed");
        QTest::newRow("same") << "/data/Photos" << true;
        QTest::newRow("letter case") << "/data/photos" << false;
        QTest::newRow("trailing separator") << "/data/Photos/" << false;
        QTest::newRow("empty") << "" << false;
    }
    void isFolderListed()
    {
        QFETCH(QString, path);
        QFETCH(bool, listed);
        MainWindow form;
        QVERIFY(!form.IsFolderListed(path));
        form.appendRow("/data/Other");
        form.appendRow("/data/Photos");
        form.appendRow("/data/Photos"); // removing one of two rows leaves it listed
        form.folders().removeAt(2);
        QCOMPARE(form.IsFolderListed(path), listed);
        form.folders().removeAt(1);
        QVERIFY(!form.IsFolderListed("/data/Photos"));
    }

    // Thousands of folders reach the list view in a few insertions, not one
    // per row (each lays the whole view out again), counted in the bar.
    void manyFoldersReachTheViewInBatches_data()
    {
        QTest::addColumn<bool>("addAll");
        QTest::addColumn<bool>("listedBefore");
        QTest::newRow("Add All") << true << false;
        QTest::newRow("Add All, listed already") << true << true;
        QTest::newRow("command line") << false << false;
    }
    void manyFoldersReachTheViewInBatches()
    {
        QFETCH(bool, addAll);
        QFETCH(bool, listedBefore);
        constexpr int kFolders = 1000;
        ScriptedDialogs dialogs;
        QTemporaryDir tree;
        QStringList folders;
        for (int i = 1; i <= kFolders; ++i)
            QVERIFY(QDir().mkdir(folders.emplace_back(tree.path() + QStringLiteral("/f%1").arg(i))));
        MainWindow form;
        if (listedBefore)
            form.addFoldersFromCommandLine(folders);
        int insertions = 0;
        connect(form.folderListView->model(), &QAbstractItemModel::rowsInserted, this, [&] { ++insertions; });
        QStringList texts;
        connect(form.progressBar, &TextProgressBar::textSet, this, [&](const QString &text) { texts << text; });
        dialogs.answers = {tree.path()};
        addAll ? form.addAllSubfolders() : void(form.addFoldersFromCommandLine(folders));
        QCOMPARE(form.folderListView->topLevelItemCount(), (listedBefore ? 2 : 1) * kFolders);
        QVERIFY2(insertions <= kFolders / 10, qPrintable(QString::number(insertions)));
        QCOMPARE(texts.first(), QStringLiteral("Adding folders: 0"));
        QCOMPARE(texts.mid(texts.size() - 2), (QStringList{"Adding folders: 1,000", "Progress Bar"}));
    }
};

QTEST_MAIN(TestFolderListCommands)
#include "test_folderlistcommands.moc"
