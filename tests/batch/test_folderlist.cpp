// The folder list: rows in and out.
#include "app/AppHelpers.h"
#include "app/Form1.h"
#include "support/ScriptedDialogs.h"
#include "support/TestFiles.h"

using testfiles::rows;

#include <QTest>
#include <QTreeWidget>

class TestFolderList : public QObject {
    Q_OBJECT

    static void fill(Form1 &form, int rows)
    {
        for (int i = 1; i <= rows; ++i)
            form.appendRow(QStringLiteral("/data/row%1").arg(i));
    }
    static void select(Form1 &form, int index)
    {
        form.ListView1->setCurrentItem(form.ListView1->topLevelItem(index - 1));
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
        Form1 form;
        fill(form, 3);
        select(form, 2);
        QTest::keyClick(form.ListView1, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        if (removes)
            QCOMPARE(rows(form), (QStringList{"/data/row1", "/data/row3"}));
        else
            QCOMPARE(form.rowCount(), 3);
    }

    void doubleClickRemovesSelected()
    {
        Form1 form;
        fill(form, 3);
        select(form, 3);
        const QRect r = form.ListView1->visualItemRect(form.ListView1->topLevelItem(2));
        QTest::mouseDClick(form.ListView1->viewport(), Qt::LeftButton, {}, r.center());
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
        Form1 form;
        fill(form, 2);
        if (selected)
            select(form, 1);
        else
            form.ListView1->clearSelection();
        if (busy)
            form.setMousePointer(Form1::kPointerBusy);
        form.ListView1_KeyDown(Qt::Key_Delete);
        form.ListView1_DblClick();
        if (busy)
            form.PushButton3_Click(); // "Clear List" honours the busy pointer too
        QCOMPARE(form.rowCount(), 2);
        if (busy) {
            form.setMousePointer(Form1::kPointerDefault);
            form.PushButton3_Click();
            QCOMPARE(form.rowCount(), 0);
        }
    }

    void emptyListChangesNothing()
    {
        ScriptedDialogs dialogs;
        Form1 form;
        form.ListView1_KeyDown(Qt::Key_Delete);
        form.ListView1_DblClick();
        form.PushButton3_Click();
        QCOMPARE(form.rowCount(), 0);
        QVERIFY(dialogs.boxes.isEmpty());
    }

    void samplesTwice()
    {
        QTemporaryDir programDir; // no Samples folder at all: rows come anyway
        SetProgramFolderForTesting(programDir.path());
        Form1 form;
        form.PushButton5_Click();
        form.PushButton5_Click();
        SetProgramFolderForTesting(QString());
        const QString s = programDir.path() + QStringLiteral("/Samples/");
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
        Form1 form;
        QVERIFY(!form.IsFolderListed(path));
        form.appendRow("/data/Other");
        form.appendRow("/data/Photos");
        QCOMPARE(form.IsFolderListed(path), listed);
    }
};

QTEST_MAIN(TestFolderList)
#include "test_folderlist.moc"
