// "Add One Folder", "Add All Subfolders Within Folder", "..." and the output
// folder box, with scripted browser answers.
#include "window/MainWindow.h"
#include "core/SettingsStore.h"
#include "core/FolderWalk.h"
#include "support/ScriptedDialogs.h"
#include "support/TestFiles.h"

using testfiles::nativePath;
using testfiles::rows;

namespace {

// Paths of a test as the folder browser gives them: native.
QStringList nativePaths(const QStringList &paths)
{
    QStringList out;
    for (const QString &p : paths)
        out << nativePath(p);
    return out;
}

} // namespace

#include <QLineEdit>
#include <QTreeWidget>
#include <QTest>

class TestFolderCommands : public QObject {
    Q_OBJECT

    static QString setting(const QString &key)
    {
        return ReadSetting(kSettingsApplication, kSettingsSection, key, QStringLiteral("<absent>"));
    }

private slots:
    void addOneFolder_data()
    {
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one") << QStringList{"/data/a"} << QStringList{"/data/a"};
        QTest::newRow("cancel") << QStringList{""} << QStringList{};
        QTest::newRow("root") << QStringList{"/"} << QStringList{};
        QTest::newRow("twice") << QStringList{"/data/a", "/data/a"} << QStringList{"/data/a"};
        QTest::newRow("case differs") << QStringList{"/data/a", "/data/A"} << QStringList{"/data/a", "/data/A"};
        QTest::newRow("cleaned") << QStringList{"//data//b"} << QStringList{"/data/b"};
    }
    void addOneFolder()
    {
        QFETCH(QStringList, answers);
        QFETCH(QStringList, expected);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        WriteSetting(kSettingsApplication, kSettingsSection, "LastFolderDot", "/start/here");
        MainWindow form;
        dialogs.answers = nativePaths(answers);
        for (int i = 0; i < answers.size(); ++i)
            form.addOneFolder();
        QCOMPARE(rows(form), nativePaths(expected));
        QVERIFY(dialogs.boxes.isEmpty());
        QCOMPARE(dialogs.browses.value(0).title, QStringLiteral("Please select folder:"));
        QCOMPARE(dialogs.browses.value(0).start, QStringLiteral("/start/here"));
        QCOMPARE(setting("LastFolderDot"), QStringLiteral("/start/here")); // never moved by this command
    }

    void addAllSubfolders()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        QTemporaryDir tree;
        for (const char *d : {"A/A1", "A/A2", "B/B1/B1x", ".hidden/inside"})
            QVERIFY(QDir(tree.path()).mkpath(d));
        const QString chosen = nativePath(tree.path());
        QStringList walk;
        CollectSubFolders(chosen + QDir::separator(), walk, true, [] {});
        QStringList expected;
        for (const QString &w : walk)
            expected << w.chopped(1);
        QCOMPARE(expected.size(), 6);

        MainWindow form;
        QList<int> pointers;
        connect(form.folderListView->model(), &QAbstractItemModel::rowsInserted, this,
                [&] { pointers << form.mousePointer(); });
        dialogs.answers = {chosen, chosen};
        form.addAllSubfolders();
        QCOMPARE(rows(form), expected);
        QVERIFY(std::all_of(pointers.begin(), pointers.end(), [](int p) { return p == 11; }));
        QCOMPARE(form.mousePointer(), 0);
        QCOMPARE(dialogs.browses.value(0).start, QString()); // always starts empty
        // Every folder after its descendants.
        QVERIFY(expected.indexOf(nativePath(chosen + "/B/B1/B1x")) < expected.indexOf(nativePath(chosen + "/B/B1")));
        QVERIFY(expected.indexOf(nativePath(chosen + "/B/B1")) < expected.indexOf(nativePath(chosen + "/B")));

        // No duplicate test: a second run lists every folder again ...
        form.addAllSubfolders();
        QCOMPARE(form.rowCount(), 12);
        // ... but "Add One Folder" refuses one of them when the texts are identical.
        dialogs.answers = {nativePath(chosen + "/A")};
        form.addOneFolder();
        QCOMPARE(form.rowCount(), 12);
        QCOMPARE(setting("LastFolderDot"), QStringLiteral("<absent>"));
    }

    void addAllCancelled()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        form.addAllSubfolders();
        QCOMPARE(form.rowCount(), 0);
        QCOMPARE(form.mousePointer(), 0);
    }

    void outputFolderButton_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("lastFolderDot");
        QTest::newRow("folder") << "/out" << "/out/" << "/out";
        QTest::newRow("root") << "/" << "/" << "/";
    }
    void outputFolderButton()
    {
        QFETCH(QString, answer);
        QFETCH(QString, box);
        QFETCH(QString, lastFolderDot);
        answer = nativePath(answer);
        box = nativePath(box);
        lastFolderDot = nativePath(lastFolderDot);
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        dialogs.answers = {answer};
        form.chooseOutputFolder();
        QCOMPARE(form.outputFolderEdit->text(), box);
        QCOMPARE(setting("Output Folder"), box);
        QCOMPARE(setting("LastFolderDot"), lastFolderDot);

        // The next browser of "Add One Folder" and of "..." opens there.
        form.addOneFolder();
        form.chooseOutputFolder();
        QCOMPARE(dialogs.browses.value(1).start, lastFolderDot);
        QCOMPARE(dialogs.browses.value(2).start, lastFolderDot);
    }

    void outputFolderCancelled()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        WriteSetting(kSettingsApplication, kSettingsSection, "LastFolderDot", "/before");
        MainWindow form;
        form.outputFolderEdit->setText("/kept/");
        form.chooseOutputFolder();
        QCOMPARE(form.outputFolderEdit->text(), QStringLiteral("/kept/"));
        QCOMPARE(setting("LastFolderDot"), QStringLiteral("/before"));
    }

    void typingStoresEveryKeystroke()
    {
        TemporarySettings store;
        ScriptedDialogs dialogs;
        MainWindow form;
        QStringList stored;
        connect(form.outputFolderEdit, &QLineEdit::textChanged, this, [&] { stored << setting("Output Folder"); });
        QTest::keyClicks(form.outputFolderEdit, "/tmp");
        QCOMPARE(stored, (QStringList{"/", "/t", "/tm", "/tmp"}));
        form.outputFolderEdit->clear();
        QCOMPARE(setting("Output Folder"), QString()); // an empty text is stored too
        QVERIFY(dialogs.boxes.isEmpty());
    }
};

QTEST_MAIN(TestFolderCommands)
#include "test_foldercommands.moc"
