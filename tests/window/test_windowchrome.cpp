// The window's cosmetic layers: skin, hover pointer, dropped folders, and the
// pictures shipped with the program.
#include "core/CommandLine.h"
#include "core/ProgramInfo.h"
#include "window/MainWindow.h"
#include "support/ScriptedDialogs.h"

#include <QApplication>
#include <QDropEvent>
#include <QGroupBox>
#include <QImageReader>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QTest>

#ifndef Q_OS_WIN
#  include <sys/stat.h>
#  include <unistd.h>
#endif

namespace {

QColor buttonFace() { return QApplication::palette().color(QPalette::Button); }
QColor backColor(const QWidget *w) { return w->palette().color(QPalette::Window); }

// Records the window's and the frame's colours when the style sheet arrives.
class StyleChangeWatcher : public QObject {
public:
    explicit StyleChangeWatcher(MainWindow &form) : m_form(form) { form.installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == &m_form && event->type() == QEvent::StyleChange && !seen) {
            seen = true;
            windowAtSheet = backColor(&m_form);
            frameAtSheet = backColor(m_form.outputFrame);
        }
        return false;
    }
    bool seen = false;
    QColor windowAtSheet, frameAtSheet;

private:
    MainWindow &m_form;
};

// A move near the bottom left corner: on the widget itself, not on a child.
void moveOver(QWidget *w)
{
    const QPoint at(4, w->height() - 4);
    QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(w->mapToGlobal(at)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

bool drop(MainWindow &form, const QList<QUrl> &urls, QWidget *over = nullptr)
{
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at = over ? over->mapTo(&form, over->rect().center()) : QPoint(5, 5);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &dropped);
    return dropped.isAccepted();
}

QStringList rows(const MainWindow &form)
{
    QStringList out;
    for (int i = 1; i <= form.rowCount(); ++i)
        out << form.rowText(i);
    return out;
}

} // namespace

class TestWindowChrome : public QObject {
    Q_OBJECT

    QTemporaryDir programDir;
    QString skinFile() const { return programDir.filePath(QStringLiteral("x/o.cjs")); }
    QString sourceFile(const QString &relative) const
    {
        return qEnvironmentVariable("QB_SOURCE_DIR") + QLatin1Char('/') + relative;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(programDir.isValid());
        SetProgramFolderForTesting(programDir.path());
        QVERIFY(QDir(programDir.path()).mkpath(QStringLiteral("x")));
        QVERIFY2(buttonFace() != QColor(Qt::white), "the test needs a button face that is not white");
    }
    void cleanup()
    {
        QDir(programDir.filePath(QStringLiteral("x"))).removeRecursively();
        QDir(programDir.path()).mkpath(QStringLiteral("x"));
        QFile::remove(programDir.filePath(QStringLiteral("HAND-M.CUR")));
    }

    // A readable skin: the window and its frame take the button face first,
    // then the sheet. No skin (or a folder in its place): the designed white.
    void skin_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("skinned");
        QTest::newRow("absent") << "absent" << false;
        QTest::newRow("folder named like the skin") << "folder" << false;
        QTest::newRow("small sheet") << "sheet" << true;
        QTest::newRow("shipped skin") << "shipped" << true;
    }
    void skin()
    {
        QFETCH(QString, kind);
        QFETCH(bool, skinned);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(skinFile()));
        } else if (kind == QLatin1String("sheet")) {
            QFile f(skinFile());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("/* buttons only */\nQPushButton { border: 1px solid #808080; }\n");
        } else if (kind == QLatin1String("shipped")) {
            QVERIFY(QFile::copy(sourceFile(QStringLiteral("dist/x/o.cjs")), skinFile()));
        }

        MainWindow form;
        QList<QPair<QWidget *, QRect>> before;
        for (QWidget *w : form.findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            before.append({w, w->geometry()});
        const QFont buttonFont = form.startButton->font();
        StyleChangeWatcher watcher(form);
        form.load();

        QVERIFY2(dialogs.boxes.isEmpty(), qPrintable(dialogs.texts().join(u'|')));
        const QColor expected = skinned ? buttonFace() : QColor(Qt::white);
        QCOMPARE(backColor(&form), expected);
        QCOMPARE(backColor(form.outputFrame), expected);
        QCOMPARE(form.styleSheet().isEmpty(), !skinned);
        QCOMPARE(watcher.seen, skinned);
        if (skinned) {
            QCOMPARE(watcher.windowAtSheet, buttonFace());
            QCOMPARE(watcher.frameAtSheet, buttonFace());
        }
        // Nothing moves or changes its font under a skin.
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        for (const auto &[w, rect] : before)
            QCOMPARE(w->geometry(), rect);
        QCOMPARE(form.size(), QSize(536, 379));
        QCOMPARE(form.startButton->font(), buttonFont);
    }

    // Under the shipped skin the list shows a frame when the keyboard brings
    // focus to it, unlike the look a click or the start leaves.
    void listFramedWhenTabbedTo()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QVERIFY(QFile::copy(sourceFile(QStringLiteral("dist/x/o.cjs")), skinFile()));
        MainWindow form;
        form.load();
        form.show();
        form.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const QImage plain = form.folderListView->grab().toImage();
        form.outputFolderEdit->setFocus();
        QTest::keyClick(form.outputFolderEdit, Qt::Key_Backtab);
        QVERIFY(form.folderListView->hasFocus());
        QVERIFY(form.folderListView->property("keyboardFocus").toBool());
        QVERIFY(form.folderListView->grab().toImage() != plain);
        form.startButton->setFocus(Qt::MouseFocusReason);
        QTest::mouseClick(form.folderListView->viewport(), Qt::LeftButton);
        QVERIFY(form.folderListView->hasFocus());
        QVERIFY(!form.folderListView->property("keyboardFocus").toBool());
        QCOMPARE(form.folderListView->grab().toImage(), plain);
    }

    // A skin that cannot be used: one report at line 100, the colours already
    // set stay, the load goes on, and the window works.
    void brokenSkin_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << QByteArray() << "is empty";
        QTest::newRow("blank") << QByteArray(" \n\t\n") << "is empty";
        QTest::newRow("only a comment") << QByteArray("/* nothing */") << "holds no style rules";
        QTest::newRow("latin-1") << QByteArray("QPushButton { color: #000; } /* caf\xe9 */") << "not valid UTF-8";
        QTest::newRow("binary") << QByteArray("QPushButton\0{}", 14) << "not a text file";
        QTest::newRow("unclosed brace") << QByteArray("QPushButton {\n color: red;\n") << "'{' at line 1";
        QTest::newRow("stray brace") << QByteArray("QPushButton { }\n}\n") << "'}' at line 2";
        QTest::newRow("unclosed comment") << QByteArray("QLineEdit {}\n/* oops") << "comment opened at line 2";
        QTest::newRow("unclosed quote") << QByteArray("QLabel { font-family: \"Arial; }") << "quoted text at line 1";
        QTest::newRow("too large") << QByteArray(1024 * 1024 + 1, ' ') << "too large";
#ifndef Q_OS_WIN
        QTest::newRow("pipe") << QByteArray() << "not a regular file";
#endif
    }
    void brokenSkin()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        TemporarySettings store;
        ScriptedDialogs dialogs;
#ifndef Q_OS_WIN
        if (QTest::currentDataTag() == QByteArray("pipe")) {
            QCOMPARE(mkfifo(QFile::encodeName(skinFile()).constData(), 0644), 0); // must not block
        } else
#endif
        {
            QFile f(skinFile());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }

        MainWindow form;
        form.load();
        QCOMPARE(dialogs.warnings().size(), 1);
        const QString text = dialogs.warnings().first().text;
        QVERIFY2(text.contains(QStringLiteral("Form1.Form_Load at line 100\r\r")), qPrintable(text));
        QVERIFY2(text.contains(QDir::toNativeSeparators(skinFile())) && text.contains(reason), qPrintable(text));
        QCOMPARE(backColor(&form), buttonFace());
        QCOMPARE(backColor(form.outputFrame), buttonFace());
        QVERIFY(form.styleSheet().isEmpty());
        QCOMPARE(form.windowTitle(), QStringLiteral("Quillbarrow"));
        QCOMPARE(form.folderListView->headerItem()->text(0), QStringLiteral("Folder(s)"));
        form.loadSamplesButton->click();
        QCOMPARE(form.rowCount(), 3);
    }

#ifndef Q_OS_WIN
    // (QFile::setPermissions takes no read access away on Windows.)
    void unreadableSkin()
    {
        if (geteuid() == 0)
            QSKIP("root reads any file");
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QFile f(skinFile());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("QPushButton {}");
        f.close();
        QVERIFY(f.setPermissions(QFileDevice::Permissions()));
        MainWindow form;
        form.load();
        QCOMPARE(dialogs.warnings().size(), 1);
        QVERIFY2(dialogs.warnings().first().text.contains(QStringLiteral("ermission")),
                 qPrintable(dialogs.warnings().first().text));
    }
#endif

    // Over the six buttons the hand, over the list, the frame and the window
    // the default; the busy pointer is never touched.
    void hover_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        for (const char *b : {"PushButton1", "PushButton2", "PushButton3", "PushButton4", "PushButton5", "PushButton7"}) {
            QTest::addRow("%s from default", b) << b << 0 << 99;
            QTest::addRow("%s while busy", b) << b << 11 << 11;
        }
        for (const char *b : {"ListView1", "viewport", "Frame1", "Form1"}) {
            QTest::addRow("%s from hand", b) << b << 99 << 0;
            QTest::addRow("%s while busy", b) << b << 11 << 11;
        }
    }
    void hover()
    {
        QFETCH(QString, target);
        QFETCH(int, from);
        QFETCH(int, to);
        MainWindow form;
        form.setMousePointer(from);
        QWidget *w = target == QLatin1String("viewport") ? form.folderListView->viewport()
                     : target == QLatin1String("Form1")  ? &form
                                                         : form.findChild<QWidget *>(target);
        QVERIFY(w);
        moveOver(w);
        QCOMPARE(form.mousePointer(), to);
    }

    // Through the real event routing: the text box and the progress bar have
    // no handler, so the pointer keeps what it had.
    void hoverRouting()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QVERIFY(QFile::copy(sourceFile(QStringLiteral("dist/HAND-M.CUR")),
                            programDir.filePath(QStringLiteral("HAND-M.CUR"))));
        MainWindow form;
        form.load();
        QVERIFY(form.hasCustomCursor());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const auto moveTo = [&](QWidget *w) {
            QTest::mouseMove(w, w->rect().center());
            QCoreApplication::processEvents();
        };
        moveTo(form.outputFrame);
        QCOMPARE(form.mousePointer(), 0);
        moveTo(form.chooseOutputButton);
        QCOMPARE(form.mousePointer(), 99);
        QCOMPARE(form.cursor().shape(), Qt::BitmapCursor);
        QCOMPARE(form.outputFolderEdit->cursor().shape(), Qt::BitmapCursor);
        moveTo(form.outputFolderEdit);
        QCOMPARE(form.mousePointer(), 99);
        moveTo(form.folderListView->viewport());
        QCOMPARE(form.mousePointer(), 0);
        QCOMPARE(form.outputFolderEdit->cursor().shape(), Qt::IBeamCursor);
        moveTo(form.startButton);
        QCOMPARE(form.mousePointer(), 99);
        moveTo(form.progressBar);
        QCOMPARE(form.mousePointer(), 99);
    }

    // During a run the hourglass stays whatever the mouse does; after it, the
    // first move over a button brings the hand back.
    void hoverAroundRun()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir work;
        QVERIFY(QDir(work.path()).mkpath(QStringLiteral("one")));
        QVERIFY(QDir(work.path()).mkpath(QStringLiteral("two")));
        QVERIFY(QDir(work.path()).mkpath(QStringLiteral("out")));
        MainWindow form;
        form.outputFolderEdit->setText(work.filePath(QStringLiteral("out")) + QLatin1Char('/'));
        form.appendRow(work.filePath(QStringLiteral("one")));
        form.appendRow(work.filePath(QStringLiteral("two")));
        QList<int> duringRun;
        connect(form.progressBar, &TextProgressBar::exactValueSet, &form, [&](double value) {
            if (value < 49.0 || form.mousePointer() != MainWindow::kPointerBusy || !duringRun.isEmpty())
                return; // the second folder begins once the first set the hourglass
            moveOver(form.addOneFolderButton);
            duringRun << form.mousePointer();
            moveOver(form.folderListView->viewport());
            duringRun << form.mousePointer();
        });
        form.startButton->click();
        QCOMPARE(duringRun, (QList<int>{11, 11}));
        QCOMPARE(form.mousePointer(), 0);
        moveOver(form.loadSamplesButton);
        QCOMPARE(form.mousePointer(), 99);
    }

    // The pictures load through Qt's own plugins.
    void shippedPictures()
    {
        QVERIFY(QImageReader::supportedImageFormats().contains("cur"));
        const QPixmap hand(sourceFile(QStringLiteral("dist/HAND-M.CUR")));
        QVERIFY(!hand.isNull());
        QCOMPARE(hand.size(), QSize(32, 32));
        const QImage image = hand.toImage();
        QVERIFY2(qAlpha(image.pixel(0, 31)) == 0, "the corners are clear");
        QVERIFY2(qAlpha(image.pixel(10, 0)) == 255, "the fingertip is at the hot spot");
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        form.load();
        QVERIFY(!form.windowIcon().isNull());
        QVERIFY(!QIcon(QStringLiteral(":/quillbarrow.png")).pixmap(48).isNull());
    }

    // Folders dropped from a file manager follow "Add One Folder": each once,
    // cleaned, no root; files and remote links are left out.
    void dropFolders_data()
    {
        QTest::addColumn<QStringList>("dropped"); // relative to the temp dir; "/" is the root
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("one folder") << QStringList{"a"} << QStringList{"a"} << true;
        QTest::newRow("two in order") << QStringList{"b", "a"} << QStringList{"b", "a"} << true;
        QTest::newRow("same twice") << QStringList{"a", "a"} << QStringList{"a"} << true;
        QTest::newRow("trailing and doubled separators") << QStringList{"a/", "b//c"} << QStringList{"a", "b/c"} << true;
        QTest::newRow("folder and file") << QStringList{"file.txt", "a"} << QStringList{"a"} << true;
        QTest::newRow("file only") << QStringList{"file.txt"} << QStringList{} << false;
        QTest::newRow("missing") << QStringList{"gone"} << QStringList{} << false;
        QTest::newRow("root") << QStringList{"/"} << QStringList{} << true;
        QTest::newRow("remote") << QStringList{"https://example.invalid/a"} << QStringList{} << false;
    }
    void dropFolders()
    {
        QFETCH(QStringList, dropped);
        QFETCH(QStringList, expected);
        QFETCH(bool, accepted);
        ScriptedDialogs dialogs;
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("a")));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("b/c")));
        QFile file(dir.filePath(QStringLiteral("file.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QList<QUrl> urls;
        QStringList commandLine;
        for (const QString &d : dropped) {
            if (d.startsWith(QLatin1String("https:")))
                urls << QUrl(d);
            else if (d == QLatin1String("/"))
                urls << QUrl::fromLocalFile(QDir::rootPath());
            else
                urls << QUrl::fromLocalFile(dir.path() + QLatin1Char('/') + d);
            if (!d.startsWith(QLatin1String("https:")))
                commandLine << FullFolderPath(urls.last().toLocalFile());
        }
        QStringList expectedRows;
        for (const QString &e : expected)
            expectedRows << QDir::toNativeSeparators(dir.path() + QLatin1Char('/') + e);

        MainWindow form;
        QCOMPARE(drop(form, urls, form.folderListView->viewport()), accepted);
        QCOMPARE(rows(form), expectedRows);
        // A second drop of the same adds nothing.
        drop(form, urls);
        QCOMPARE(rows(form), expectedRows);
        QVERIFY(dialogs.boxes.isEmpty());

        // Folders named on the command line ("Open with") follow the same
        // rules, and those that are not folders come back.
        MainWindow opened;
        const QStringList notFolders = opened.addFoldersFromCommandLine(commandLine);
        QCOMPARE(rows(opened), expectedRows);
        for (const QString &path : notFolders)
            QVERIFY(!QFileInfo(path).isDir());
        QVERIFY(dialogs.boxes.isEmpty());
    }

    // Neither the list nor the frame takes drops themselves: a drop over them
    // reaches the window's handler.
    void dropsOverControlsReachTheWindow()
    {
        MainWindow form;
        for (QWidget *over : {static_cast<QWidget *>(form.folderListView->viewport()), static_cast<QWidget *>(form.outputFrame)}) {
            QWidget *target = form.childAt(over->mapTo(&form, QPoint(4, over->height() - 4)));
            while (target && !target->acceptDrops())
                target = target->parentWidget();
            QCOMPARE(target, &form);
        }
    }
};

QTEST_MAIN(TestWindowChrome)
#include "test_windowchrome.moc"
