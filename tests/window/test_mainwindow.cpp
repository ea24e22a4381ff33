// The main window: its design and what loading it does.
#include "core/ProgramInfo.h"
#include "window/MainWindow.h"
#include "core/SettingsStore.h"
#include "support/ScriptedDialogs.h"
#include "support/TestFiles.h"

#include <QAccessible>
#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QTest>

class TestMainWindow : public QObject {
    Q_OBJECT

    QTemporaryDir programDir;

private slots:
    void initTestCase() { SetProgramFolderForTesting(programDir.path()); }
    void cleanup() { SetDesktopLocatorForTesting(nullptr); }

    void design_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QRect>("twipsRect");
        QTest::addColumn<double>("pointSize");
        QTest::newRow("list") << "ListView1" << QString() << QRect(120, 120, 7800, 2535) << 9.0;
        QTest::newRow("bar") << "ProgressBar1" << "Progress Bar" << QRect(120, 5160, 7800, 405) << -1.0;
        QTest::newRow("frame") << "Frame1" << "Save Results To This Folder" << QRect(120, 3710, 7800, 810) << 9.0;
        QTest::newRow("box") << "Text1" << QString() << QRect(240, 300, 6660, 345) << 9.0;
        QTest::newRow("...") << "PushButton7" << "..." << QRect(6960, 300, 600, 345) << 11.25;
        QTest::newRow("add one") << "PushButton4" << "Add One Folder" << QRect(120, 2750, 3840, 405) << 11.25;
        QTest::newRow("add all") << "PushButton1" << "Add All Subfolders Within Folder" << QRect(4080, 2750, 3840, 405) << 11.25;
        QTest::newRow("start") << "PushButton2" << "Start Zipping" << QRect(120, 4640, 7800, 405) << 11.25;
        QTest::newRow("clear") << "PushButton3" << "Clear List" << QRect(120, 3260, 3840, 405) << 11.25;
        QTest::newRow("samples") << "PushButton5" << "Load Sample/Example Files" << QRect(4080, 3260, 3840, 405) << 11.25;
    }
    void design()
    {
        QFETCH(QString, name);
        QFETCH(QString, caption);
        QFETCH(QRect, twipsRect);
        QFETCH(double, pointSize);
        MainWindow form;
        auto *w = form.findChild<QWidget *>(name);
        QVERIFY2(w, qPrintable(name));
        QCOMPARE(w->geometry(), QRect(twips(twipsRect.x()), twips(twipsRect.y()),
                                      twips(twipsRect.width()), twips(twipsRect.height())));
        if (auto *b = qobject_cast<QPushButton *>(w))
            QCOMPARE(b->text(), caption);
        if (auto *g = qobject_cast<QGroupBox *>(w))
            QCOMPARE(g->title(), caption);
        if (auto *p = qobject_cast<TextProgressBar *>(w)) {
            QCOMPARE(p->Text(), caption);
            QCOMPARE(p->value(), 0);
            QCOMPARE(p->maximum(), 100);
        }
        if (pointSize > 0) {
            QCOMPARE(w->font().family(), QStringLiteral("Arial"));
            QCOMPARE(w->font().pointSizeF(), pointSize);
            QVERIFY(w->font().bold());
        }
    }

    void window()
    {
        MainWindow form;
        QCOMPARE(form.size(), QSize(536, 379));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
        QCOMPARE(form.palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(form.outputFrame->palette().color(QPalette::Window), QColor(Qt::white));
        QCOMPARE(form.outputFolderEdit->parentWidget(), form.outputFrame);
        QCOMPARE(form.chooseOutputButton->parentWidget(), form.outputFrame);
        QCOMPARE(form.folderListView->toolTip(),
                 QStringLiteral("Double-click item to remove it. Move | line to right and out of window to reveal full names."));
        QCOMPARE(form.mousePointer(), 0);
        // Tab order as designed.
        QCOMPARE(form.folderListView->nextInFocusChain()->objectName().isEmpty(), false);
        QWidget *w = form.outputFolderEdit;
        QStringList order;
        for (int i = 0; i < 7; ++i, w = w->nextInFocusChain())
            order << w->objectName();
        QCOMPARE(order, (QStringList{"Text1", "PushButton7", "PushButton4", "PushButton1", "PushButton2",
                                     "PushButton3", "PushButton5"}));
    }

    // Enter on a focused button presses it, as Space does; every button
    // says what it does when the mouse rests on it.
    void keysPressFocusedButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Enter") << int(Qt::Key_Enter);
        QTest::newRow("Space") << int(Qt::Key_Space);
    }
    void keysPressFocusedButton()
    {
        QFETCH(int, key);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.loadSamplesButton->setFocus();
        QTest::keyClick(form.loadSamplesButton, Qt::Key(key));
        QCOMPARE(form.rowCount(), 3);
        for (QPushButton *b : form.findChildren<QPushButton *>()) {
            QVERIFY2(!b->toolTip().isEmpty(), qPrintable(b->objectName()));
            // Whatever font stands in for Arial, no caption is cut off.
            QVERIFY2(b->fontMetrics().horizontalAdvance(b->text()) < b->width(), qPrintable(b->text()));
        }
    }

    void firstStartUsesDesktop_data()
    {
        QTest::addColumn<bool>("desktopExists");
        QTest::newRow("desktop") << true;
        QTest::newRow("no desktop folder: home") << false;
    }
    void firstStartUsesDesktop()
    {
        QFETCH(bool, desktopExists);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir home;
        const testfiles::ScopedEnvironment homeHere("HOME", QFile::encodeName(home.path()));
        const QString desktopDir = home.path() + "/Schreibtisch";
        if (desktopExists)
            QVERIFY(QDir().mkpath(desktopDir));
        SetDesktopLocatorForTesting([&] { return desktopDir; });
        MainWindow form;
        form.load();
        const QString desktop = GetDesktopFolder();
        // (On Windows the home folder is the user's profile, whatever HOME says.)
        QCOMPARE(desktop, QDir::toNativeSeparators(desktopExists ? desktopDir : QDir::homePath()) + QDir::separator());
        // The output folder's chooser opens there too, before any was chosen.
        form.chooseOutputFolder();
        QCOMPARE(dialogs.browses.size(), 1);
        QCOMPARE(dialogs.browses[0].start, desktop);
        QVERIFY(desktop.endsWith(QDir::separator()));
        QVERIFY(!desktop.endsWith(QString(QDir::separator()) + QDir::separator()));
        QCOMPARE(form.outputFolderEdit->text(), desktop);
        QCOMPARE(ReadSetting(kSettingsApplication, kSettingsSection, "Output Folder", "absent"), desktop);
        QCOMPARE(form.windowTitle(), QStringLiteral("Quillbarrow"));
        QCOMPARE(form.folderListView->headerItem()->text(0), QStringLiteral("Folder(s)"));
        // The column reaches the list's right edge, however wide its design.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(form.folderListView->columnWidth(0) >= twips(7000));
        QCOMPARE(form.folderListView->columnWidth(0), form.folderListView->viewport()->width());
        QVERIFY2(dialogs.boxes.isEmpty(), "no cursor file and no skin: nothing to report");
        QVERIFY(!form.hasCustomCursor());
    }

    void storedValueShownUnchanged_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::newRow("empty") << QString();
        QTest::newRow("missing folder") << QStringLiteral("/no/such/folder/anywhere/");
        QTest::newRow("no separator") << QStringLiteral("/tmp");
    }
    void storedValueShownUnchanged()
    {
        QFETCH(QString, stored);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        WriteSetting(kSettingsApplication, kSettingsSection, "Output Folder", stored);
        MainWindow form;
        form.load();
        QCOMPARE(form.outputFolderEdit->text(), stored);
        QCOMPARE(ReadSetting(kSettingsApplication, kSettingsSection, "Output Folder", "absent"), stored);
        QVERIFY(dialogs.boxes.isEmpty());
    }

    void applicationTitle_data()
    {
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("title");
        // Seven words, 49 characters, the first six making 40.
        QTest::newRow("49 chars") << "Alpha Bravo Charlie Delta Echo Foxtrott1 Golfing1"
                                  << "Alpha Bravo Charlie Delta Echo Foxtrott1";
        QTest::newRow("no blank") << "Quillbarrow" << "Quillbarrow";
        QTest::newRow("short, still cut once") << "Quill barrow" << "Quill";
        QTest::newRow("cut repeatedly") << QString("a ").repeated(30) + "z" << QString("a ").repeated(19) + "a";
    }
    void applicationTitle()
    {
        QFETCH(QString, product);
        QFETCH(QString, title);
        if (QTest::currentDataTag() == QByteArray("49 chars")) {
            QCOMPARE(product.size(), 49);
            QCOMPARE(title.size(), 40);
        }
        QCOMPARE(ApplicationTitleFor(product), title);
        QVERIFY(ApplicationTitleFor(product).size() <= 40);
    }

    void failingStepsAreReportedInTurn()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        // A cursor file that is no picture, and no desktop to default to.
        QFile cursor(programDir.filePath("HAND-M.CUR"));
        QVERIFY(cursor.open(QIODevice::WriteOnly));
        cursor.write("not a cursor");
        cursor.close();
        SetDesktopLocatorForTesting([] { return QString(); });
        MainWindow form;
        form.load();
        cursor.remove();
        const QList<ShownBox> reports = dialogs.warnings();
        QCOMPARE(reports.size(), 2);
        QVERIFY(reports[0].text.contains("Form_Load at line 108\r\r"));
        QVERIFY(reports[1].text.contains("in Quillbarrow2021/08/31.Form1.Form_Load at line 138\r\r"));
        QCOMPARE(reports[1].title, QStringLiteral("Application Error"));
        QVERIFY2(form.outputFolderEdit->text().isEmpty(), "a failed restore leaves the box empty");
        QCOMPARE(form.folderListView->headerItem()->text(0), QStringLiteral("Folder(s)"));
    }

    // A screen reader finds a name for every control; the bar's is its text.
    void accessibleNames_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("name");
        QTest::newRow("list") << "ListView1" << "Folder(s)";
        QTest::newRow("...") << "PushButton7" << "Choose the output folder";
        QTest::newRow("bar") << "ProgressBar1" << "Processing: Trip";
    }
    void accessibleNames()
    {
        QFETCH(QString, control);
        QFETCH(QString, name);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        form.load();
        form.progressBar->setText(QStringLiteral("Processing: Trip"));
        QAccessibleInterface *found = QAccessible::queryAccessibleInterface(form.findChild<QWidget *>(control));
        QCOMPARE(found->text(QAccessible::Name), name);
        QVERIFY(found->role() != QAccessible::ProgressBar || found->text(QAccessible::Value) == name);
        QList<QAccessibleInterface *> nodes{QAccessible::queryAccessibleInterface(&form)};
        for (int n = 0; n < nodes.size(); ++n) { // the whole tree, breadth first
            QVERIFY2(!nodes[n]->text(QAccessible::Name).trimmed().isEmpty(), qPrintable(QString::number(nodes[n]->role())));
            for (int i = 0; i < nodes[n]->childCount(); ++i)
                nodes << nodes[n]->child(i);
        }
    }

    void pointerStates()
    {
        MainWindow form;
        form.setMousePointer(MainWindow::kPointerBusy);
        QCOMPARE(form.cursor().shape(), Qt::WaitCursor);
        QCOMPARE(form.folderListView->cursor().shape(), Qt::WaitCursor);
        QCOMPARE(form.outputFolderEdit->cursor().shape(), Qt::WaitCursor);
        form.setMousePointer(MainWindow::kPointerDefault);
        QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
        QCOMPARE(form.outputFolderEdit->cursor().shape(), Qt::IBeamCursor);
        form.setMousePointer(MainWindow::kPointerCustom); // no cursor file: no hand
        QCOMPARE(form.mousePointer(), 99);
        QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);
    }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
