// Hostile input to the window: odd output-folder texts, odd rows, very many
// rows, a broken settings file. Nothing may crash, nothing may be written
// outside the output folder, and every refusal is a message the user sees.
#include "window/MainWindow.h"
#include "support/ArchiveCheck.h"
#include "support/ScriptedDialogs.h"
#include "support/TestFiles.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QSet>
#include <QTest>

using namespace archivecheck;

namespace {

const QString kNoFolder = QStringLiteral("Folder does not exist. Please select another folder.");
const QString kDone = QStringLiteral("Done.");

void writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write(data);
}

// Every path below `root`, hidden ones included.
QSet<QString> snapshot(const QString &root)
{
    QSet<QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.insert(it.next());
    return out;
}

// A sandbox with one small folder to zip and an empty output folder.
struct Sandbox {
    QTemporaryDir dir;
    QString src() const { return dir.path() + QStringLiteral("/src"); }
    QString out() const { return dir.path() + QStringLiteral("/out"); }
    Sandbox()
    {
        writeFile(src() + QStringLiteral("/A/a.txt"), "alpha");
        writeFile(src() + QStringLiteral("/A/sub/b.txt"), "beta");
        QDir().mkpath(out());
        writeFile(dir.path() + QStringLiteral("/file.txt"), "a file, not a folder");
    }
};

} // namespace

class TestHostileInput : public QObject {
    Q_OBJECT

private slots:
    // Output-folder texts: each is either refused with the one message, or
    // the archive lands in the output folder and nowhere else.
    void outputFolderTexts_data()
    {
        QTest::addColumn<QString>("text");  // "@" stands for the sandbox
        QTest::addColumn<bool>("refused");
        QTest::newRow("empty") << QString() << true;
        QTest::newRow("non-existent") << QStringLiteral("@/nowhere/") << true;
        QTest::newRow("a file") << QStringLiteral("@/file.txt") << true;
        QTest::newRow("a file with separator") << QStringLiteral("@/file.txt/") << true;
        QTest::newRow("separators inside") << QStringLiteral("@//out///") << false;
        QTest::newRow("no trailing separator") << QStringLiteral("@/out") << false;
        QTest::newRow("dot parts") << QStringLiteral("@/./out/./") << false;
        QTest::newRow("over 4096: separators") << QStringLiteral("@/out") + QString(5000, u'/') << true;
        QTest::newRow("over 4096: dot parts") << QStringLiteral("@/out") + QStringLiteral("/.").repeated(2100) + u'/' << true;
        QTest::newRow("over 4096: one long name") << QStringLiteral("@/") + QString(5000, u'x') + u'/' << true;
        QTest::newRow("embedded NUL") << QStringLiteral("@/out") + QChar(u'\0') + QStringLiteral("x/") << true;
        // Relative text would mean the folder the program happened to start
        // in; "~" is the home folder, here the sandbox.
        QTest::newRow("relative") << QStringLiteral("out/") << true;
        QTest::newRow("relative, dot") << QStringLiteral("./out") << true;
        QTest::newRow("home") << QStringLiteral("~/out/") << false;
        QTest::newRow("home, no separator") << QStringLiteral("~/out") << false;
        QTest::newRow("another user's home") << QStringLiteral("~nobody/out") << true;
    }
    void outputFolderTexts()
    {
        QFETCH(QString, text);
        QFETCH(bool, refused);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        Sandbox box;
        const QString oldCwd = QDir::currentPath();
        QDir::setCurrent(box.dir.path());
        const testfiles::ScopedEnvironment homeHere("HOME", QFile::encodeName(box.dir.path()));
        struct Back { QString cwd; ~Back() { QDir::setCurrent(cwd); } } back{oldCwd};
        text.replace(QLatin1Char('@'), box.dir.path());
        const QSet<QString> before = snapshot(box.dir.path());

        MainWindow form;
        form.outputFolderEdit->setText(text);
        form.appendRow(box.src() + QStringLiteral("/A"));
        form.startZipping();

        QSet<QString> added = snapshot(box.dir.path()) - before;
        QCOMPARE(form.outputFolderEdit->text(), text); // the text stays as typed
        if (refused) {
            QCOMPARE(dialogs.texts(), QStringList{kNoFolder});
            QVERIFY2(added.isEmpty(), qPrintable(QStringList(added.values()).join(u' ')));
            return;
        }
        QCOMPARE(dialogs.texts(), QStringList{kDone});
        const QString zip = box.out() + QStringLiteral("/A.zip");
        QCOMPARE(added, QSet<QString>{zip});
        QVERIFY(unzipTestPasses(zip));
        QCOMPARE(readZip(zip), expectedEntries(box.src() + QStringLiteral("/A")));
        QVERIFY2(!QFile::exists(QStringLiteral("/out/A.zip")), "a relative output folder means the working folder");
    }

    // Rows that are not folders: each costs its own row only, with the
    // engine's message shown; the good row is archived and Done comes once.
    void oddRows_data()
    {
        QTest::addColumn<QString>("row");   // "@" stands for the sandbox
        QTest::newRow("a file") << QStringLiteral("@/file.txt");
        QTest::newRow("gone") << QStringLiteral("@/gone");
        QTest::newRow("gone, below a file") << QStringLiteral("@/file.txt/gone");
        QTest::newRow("embedded NUL") << QStringLiteral("@/src/A") + QChar(u'\0') + QStringLiteral("x");
        QTest::newRow("wildcards") << QStringLiteral("@/src/*");
        QTest::newRow("very long") << QStringLiteral("@/") + QStringLiteral("deep/").repeated(900) + QStringLiteral("x");
    }
    void oddRows()
    {
        QFETCH(QString, row);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        Sandbox box;
        row.replace(QLatin1Char('@'), box.dir.path());
        const QSet<QString> before = snapshot(box.dir.path());
        MainWindow form;
        form.outputFolderEdit->setText(box.out() + u'/');
        form.appendRow(row);
        form.appendRow(box.src() + QStringLiteral("/A"));
        form.startZipping();

        QCOMPARE(dialogs.texts().count(kDone), 1);
        QCOMPARE(dialogs.texts().last(), kDone);
        const QSet<QString> added = snapshot(box.dir.path()) - before;
        const QString zip = box.out() + QStringLiteral("/A.zip");
        QVERIFY(added.contains(zip));
        QVERIFY(unzipTestPasses(zip));
        for (const QString &p : added)
            if (p != zip)
                qInfo("also written: %s", qPrintable(p));
        QCOMPARE(QStringList(added.values()), QStringList{zip});
        QCOMPARE(dialogs.boxes.size(), 2);      // the odd row's messages, then Done.
        QVERIFY2(!dialogs.boxes[0].text.trimmed().isEmpty(), "the user is told what went wrong");
    }

    // Rows that end in separators (a dropped folder can arrive that way):
    // each folder still gets an archive of its own under its own name.
    void rowsEndingInSeparators()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        Sandbox box;
        writeFile(box.src() + QStringLiteral("/B/b.txt"), "bravo");
        MainWindow form;
        form.outputFolderEdit->setText(box.out() + u'/');
        form.appendRow(box.src() + QStringLiteral("/A/"));
        form.appendRow(box.src() + QStringLiteral("/B//"));
        form.startZipping();
        QCOMPARE(dialogs.texts(), QStringList{kDone});
        const QStringList written = QDir(box.out()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        qInfo("written: %s", qPrintable(written.join(u' ')));
        QCOMPARE(written, (QStringList{QStringLiteral("A.zip"), QStringLiteral("B.zip")}));
    }

    // A root must never become a row, whatever spelling the browser hands
    // back: zipping it would archive the whole file system.
    void rootNeverListed_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("/") << QStringLiteral("/");
        QTest::newRow("//") << QStringLiteral("//");
        QTest::newRow("///") << QStringLiteral("///");
        QTest::newRow("/.") << QStringLiteral("/.");
        QTest::newRow("/tmp/..") << QStringLiteral("/tmp/..");
    }
    void rootNeverListed()
    {
        QFETCH(QString, answer);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        dialogs.answers << answer;
        MainWindow form;
        form.addOneFolder();
        QCOMPARE(form.rowCount(), 0);
    }

    // A row naming the root reaches the archiver (from a settings file, a
    // drop, or one of the spellings above): the archiver must refuse it
    // before walking. Run in a child process that ends as soon as a walk
    // begins, so a failing check never walks the file system.
    void rootRowRefused_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("/") << QStringLiteral("/");
        QTest::newRow("//") << QStringLiteral("//");
        QTest::newRow("/tmp/..") << QStringLiteral("/tmp/..");
        QTest::newRow("empty text") << QString();   // "" + "/" is the root
    }
    void rootRowRefused()
    {
        QFETCH(QString, row);
        Sandbox box;
        const QSet<QString> before = snapshot(box.dir.path());
        QProcess p;
        p.start(QCoreApplication::applicationDirPath() + QStringLiteral("/qb_archive_cli"),
                {QStringLiteral("--max-yields"), QStringLiteral("1"), box.out() + u'/', row});
        QVERIFY(p.waitForFinished(30000));
        const QByteArray said = p.readAllStandardOutput();
        QVERIFY2(p.exitCode() != 42, "the archiver began to walk the file system from a root row");
        QCOMPARE(p.exitCode(), 0);
        QVERIFY2(!said.contains("\"result\":0"), said.constData());
        QVERIFY2(said.contains("root"), said.constData());   // the user is told why
        QCOMPARE(snapshot(box.dir.path()) - before, QSet<QString>());
    }

    // 30,000 rows of folders that do not exist: the run gets through all of
    // them, shows each folder's messages, and says Done once at the end.
    void thirtyThousandRows()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        Sandbox box;
        const int rows = qEnvironmentVariableIntValue("QB_HOSTILE_ROWS") > 0
                             ? qEnvironmentVariableIntValue("QB_HOSTILE_ROWS") : 30000;
        MainWindow form;
        form.outputFolderEdit->setText(box.out() + u'/');
        for (int i = 1; i <= rows; ++i)
            form.appendRow(box.dir.path() + QStringLiteral("/gone/F%1").arg(i));
        double lastValue = -1;
        int values = 0;
        connect(form.progressBar, &TextProgressBar::exactValueSet, this, [&](double v) {
            if (v != 0)
                lastValue = v;
            ++values;
        });
        QElapsedTimer timer;
        timer.start();
        form.startZipping();
        qInfo("%d rows in %lld ms", rows, timer.elapsed());
        QCOMPARE(form.rowCount(), rows);
        QCOMPARE(values, 2 * rows + 1); // each folder begun and done, then the reset
        QCOMPARE(lastValue, 100.0);
        QCOMPARE(dialogs.boxes.size(), rows + 1);
        QCOMPARE(dialogs.texts().count(kDone), 1);
        QCOMPARE(dialogs.texts().last(), kDone);
        QVERIFY(dialogs.texts().mid(0, rows).filter(QStringLiteral("F%1").arg(rows)).size() >= 1);
        QVERIFY(QDir(box.out()).isEmpty());
        QCOMPARE(form.mousePointer(), int(MainWindow::kPointerDefault));
    }

    // A settings file that is garbage, or cannot be read or written: the
    // window starts, the output folder falls back, typing warns once, and a
    // run still works.
    void brokenSettings_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("garbage") << 0;
        QTest::newRow("folder in place of the file") << 1;
        QTest::newRow("huge line") << 2;
    }
    void brokenSettings()
    {
        QFETCH(int, kind);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        Sandbox box;
        if (kind == 1) {
            QVERIFY(QDir().mkpath(store.fileName()));
        } else {
            QFile f(store.fileName());
            QVERIFY(f.open(QIODevice::WriteOnly));
            static const char garbage[] = "\xff\xfe\x00[Quillbarrow\n Output Folder=\x01\x02\n[[[\n=\n";
            if (kind == 0)
                f.write(QByteArray(garbage, sizeof garbage - 1));
            else
                f.write("[Quillbarrow]\nOutput%20Folder=" + QByteArray(1 << 20, 'x') + "\n");
        }
        MainWindow form;
        form.load();
        if (kind == 2)   // the box keeps what it can hold
            QCOMPARE(form.outputFolderEdit->text(), QString(qMin(1 << 20, form.outputFolderEdit->maxLength()), u'x'));
        for (const char *text : {"a", "ab", "abc"})
            form.outputFolderEdit->setText(QString::fromLatin1(text));
        // A store that cannot be written is said once, not at every keystroke.
        QVERIFY(dialogs.warnings().size() <= 1);
        if (kind == 1)
            QCOMPARE(dialogs.warnings().size(), 1);
        for (const ShownBox &b : dialogs.warnings())
            qInfo("settings warning: %s", qPrintable(b.text));
        QVERIFY(dialogs.warnings().isEmpty() || !dialogs.warnings()[0].text.isEmpty());
        dialogs.boxes.clear();
        form.outputFolderEdit->setText(box.out() + u'/');
        form.appendRow(box.src() + QStringLiteral("/A"));
        form.startZipping();
        QCOMPARE(dialogs.texts().last(), kDone);
        QVERIFY(unzipTestPasses(box.out() + QStringLiteral("/A.zip")));
    }
};

QTEST_MAIN(TestHostileInput)
#include "test_hostileinput.moc"
