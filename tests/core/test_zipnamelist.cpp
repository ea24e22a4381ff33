// The name list of one archive.
#include "core/QbError.h"
#include "support/FakeEngine.h"
#include "core/Platform.h"
#include "core/ZipNameList.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

namespace {
const QString kArchive = QStringLiteral("/out/x.zip");

// Rows are written with '/'; on Windows the name list has "\" in their place.
QString native(QString path)
{
    return path.replace(u'/', kNativeSeparator);
}

// Runs `f` and returns the error it raised (number 0 when none).
QbError raised(const std::function<void()> &f)
{
    try {
        f();
    } catch (const QbError &e) {
        return e;
    }
    return QbError(0, QString(), QString());
}
} // namespace

class TestZipNameList : public QObject {
    Q_OBJECT
private slots:
    void newObject()
    {
        ZipNameList zip;
        QCOMPARE(zip.ZipFileCount(), 0);
        QCOMPARE(zip.RootDirectory(), native("/"));
        QVERIFY(zip.ZipFileName().isEmpty());
        QVERIFY(!zip.RecurseFolders() && !zip.Encrypted() && !zip.IncludeSystemFiles()
                && !zip.UpdatingZip() && !zip.IgnorePath());
        QCOMPARE(zip.names(), QStringList{QStringLiteral("querty")});
    }

    void truthValues()
    {
        ZipNameList zip;
        zip.setRecurseFolders(true);
        zip.setEncrypted(true);
        zip.setIncludeSystemFiles(true);
        zip.setUpdatingZip(true);
        zip.setIgnorePath(true);
        QVERIFY(zip.RecurseFolders() && zip.Encrypted() && zip.IncludeSystemFiles() && zip.UpdatingZip()
                && zip.IgnorePath());
        zip.setUpdatingZip(false);
        QVERIFY(!zip.UpdatingZip());
    }

    void duplicates_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::addColumn<bool>("refused");
        QTest::newRow("same name") << "/a/*.*" << "/a/*.*" << true;
        QTest::newRow("placeholder") << "x" << "querty" << true;
#ifdef _WIN32
        QTest::newRow("letter case") << "C:\\a\\*.*" << "C:\\A\\*.*" << true;
        QTest::newRow("placeholder case") << "x" << "QUERTY" << true;
#else
        // Folders a/ and A/ are different folders here.
        QTest::newRow("letter case") << "/a/*.*" << "/A/*.*" << false;
        QTest::newRow("placeholder case") << "x" << "QUERTY" << false;
#endif
    }
    void duplicates()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(bool, refused);
        ZipNameList zip;
        zip.AddFile(first);
        const int before = zip.ZipFileCount();
        const QbError e = raised([&] { zip.AddFile(second); });
        if (refused) {
            QCOMPARE(e.number(), qint32(0x800407D1u));
            QCOMPARE(e.number(), -2147219503);
            QCOMPARE(e.source(), QStringLiteral("CGZip::AddFile"));
            QCOMPARE(e.description(), QStringLiteral("File is already in Zip List"));
            QCOMPARE(zip.ZipFileCount(), before);
        } else {
            QCOMPARE(e.number(), 0);
            QCOMPARE(zip.ZipFileCount(), before + 1);
        }
    }

    void removing()
    {
        ZipNameList zip;
        zip.AddFile("/a/*.*");
        zip.AddFile("/b/*.*");
        const QbError missing = raised([&] { zip.RemoveFile("/c/*.*"); });
        QCOMPARE(missing.number(), -2147219502);
        QCOMPARE(missing.source(), QStringLiteral("CGZip::RemoveFile"));
        QCOMPARE(missing.description(), QStringLiteral("File is not in Zip List"));
        zip.RemoveFile("querty");
        QCOMPARE(zip.ZipFileCount(), 1); // one less than the names added
        QCOMPARE(zip.names(), (QStringList{"/a/*.*", "/b/*.*"}));
    }

    void engineGetsPlaceholderFirst()
    {
        FakeEngine fake;
        fake.script({"some message\n"}, 12);
        ZipNameList zip;
        zip.setZipFileName(native(kArchive));
        QCOMPARE(zip.MakeZipFile(), 12); // nothing added: the placeholder alone
        // The placeholder is named below the archive itself, where no file
        // can be: a real "querty" beside the folder is never taken.
        const QByteArray placeholder = native(kArchive + "/querty").toUtf8();
        QCOMPARE(fake.names(), QList<QByteArray>{placeholder});
        QCOMPARE(zip.GetLastMessage(), QStringLiteral("some message\n"));

        fake.script({}, 0);
        zip.AddFile("/a/*.*");
        zip.AddFile("/b/*.*");
        zip.AddFile("/c/*.*");
        QCOMPARE(zip.ZipFileCount(), 3);
        QCOMPARE(zip.MakeZipFile(), 0);
        QCOMPARE(fake.names(), (QList<QByteArray>{placeholder, "/a/*.*", "/b/*.*", "/c/*.*"}));
        QCOMPARE(zip.names().first(), QStringLiteral("querty"));
        QCOMPARE(fake.archive(), native(kArchive).toUtf8());
        QCOMPARE(fake.root(), native("/").toUtf8());
        QVERIFY(zip.GetLastMessage().isEmpty());
    }

    // What the engine says reaches a person without the name list's own
    // placeholder, and a folder that is not there is called that.
    void messagesAPersonCanActOn_data()
    {
        QTest::addColumn<QByteArrayList>("engine");
        QTest::addColumn<QString>("shown");
        const QByteArray placeholder = "name not matched: " + native(kArchive + "/querty").toUtf8() + " (Not a directory)\n";
        QTest::newRow("placeholder") << QByteArrayList{placeholder, "/a/x: Permission denied\n"}
                                     << "/a/x: Permission denied\n";
#ifndef Q_OS_WIN
        // In Linux's words (missingFolderTheRealEngineReports has the
        // system's own on every system).
        QTest::newRow("missing folder")
            << QByteArrayList{placeholder, "name not matched: /gone/f/*.* (No such file or directory)\n"}
            << "folder not found: /gone/f\n";
#endif
        QTest::newRow("control characters made visible")
            << QByteArrayList{"/a/\x1b[2J\x07x\x7f: Permission denied\n"}
            << QStringLiteral("/a/\u241b[2J\u2407x\u2421: Permission denied\n");
        const QByteArray notAFolder = "name not matched: " + native("/f/*.*").toUtf8() + " (Not a directory)\n";
        QTest::newRow("other reasons kept") << QByteArrayList{notAFolder} << QString::fromUtf8(notAFolder);
    }
    void messagesAPersonCanActOn()
    {
        QFETCH(QByteArrayList, engine);
        QFETCH(QString, shown);
        FakeEngine fake;
        fake.script(engine, 18);
        ZipNameList zip;
        zip.setZipFileName(native(kArchive));
        QCOMPARE(zip.MakeZipFile(), 18);
        QCOMPARE(zip.GetLastMessage(), shown);
    }

    // The real engine gives the system's own reason, in its own language:
    // a listed folder that is gone is still called that.
    void missingFolderTheRealEngineReports()
    {
        QTemporaryDir tmp;
        const QString base = QDir::toNativeSeparators(tmp.path()) + kNativeSeparator;
        ZipNameList zip;
        zip.setZipFileName(base + "out.zip");
        zip.setRootDirectory(base);
        zip.AddFile(base + "gone" + kNativeSeparator + "*.*");
        QVERIFY(zip.MakeZipFile() != 0);
        QVERIFY2(zip.GetLastMessage().contains("folder not found: " + base + "gone\n"),
                 qPrintable(zip.GetLastMessage()));
    }

    void noHundredNameLimit()
    {
        FakeEngine fake;
        fake.script({}, 0);
        ZipNameList zip;
        for (int i = 0; i < 3000; ++i)
            zip.AddFile(QStringLiteral("/tree/%1/*.*").arg(i));
        QCOMPARE(zip.MakeZipFile(), 0);
        QCOMPARE(fake.names().size(), 3001);
    }

    void flagsReachTheEngine()
    {
        FakeEngine fake;
        fake.script({}, 0);
        ZipNameList zip;
        zip.setIgnorePath(true);
        zip.setRecurseFolders(true);
        zip.setUpdatingZip(true);
        zip.setEncrypted(true);
        zip.setIncludeSystemFiles(true);
        zip.MakeZipFile();
        const ZipEngineOptions o = fake.options();
        QCOMPARE(o.ignorePath, 1);
        QCOMPARE(o.recurse, 1);
        QCOMPARE(o.update, 1);
        // Stored, but not handed on.
        QCOMPARE(o.includeHidden, 0);
    }
};

QTEST_GUILESS_MAIN(TestZipNameList)
#include "test_zipnamelist.moc"
