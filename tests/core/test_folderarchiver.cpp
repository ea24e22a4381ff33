// One folder, one archive, through the same code path as "Start Zipping",
// read back with independent readers.
#include "core/FolderArchiver.h"
#include "core/FileNames.h"
#include "support/ArchiveCheck.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QProcess>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <map>
#ifndef Q_OS_WIN
#  include <sys/stat.h>
#  include <unistd.h>
#endif

using namespace archivecheck;
using testfiles::nativePath;
using testfiles::writeFile;

namespace {

// A temporary folder as an output folder text: native, ending in a separator.
QString outputFolder(const QTemporaryDir &dir)
{
    return nativePath(dir.path()) + kNativeSeparator;
}

} // namespace

class TestFolderArchiver : public QObject {
    Q_OBJECT

    static QString samples() { return nativePath(QCoreApplication::applicationDirPath() + "/Samples"); }

private slots:
    void archiveName_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::newRow("usual") << "/out/" << "/data/Photos" << "/out/Photos.zip";
        QTest::newRow("output without separator") << "/out" << "/data/Photos" << "/out/Photos.zip";
        QTest::newRow("folder ends in separator") << "/out/" << "/data/Photos/" << "/out/Photos.zip";
    }
    void archiveName()
    {
        QFETCH(QString, output);
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QCOMPARE(ArchiveNameFor(nativePath(output), nativePath(folder)), nativePath(name));
    }

    void parentFolder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("parent");
        QTest::newRow("usual") << "/data/Trip" << "/data";
        QTest::newRow("ends in separator") << "/data/Trip//" << "/data";
        QTest::newRow("at the top") << "/Trip" << "/";
        QTest::newRow("no separator") << "Trip" << "";
    }
    void parentFolder()
    {
        QFETCH(QString, folder);
        QFETCH(QString, parent);
        QCOMPARE(ParentFolderOf(nativePath(folder)), nativePath(parent));
    }

    void rootsAreNeverZipped_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("empty") << "";
        QTest::newRow("root") << "/";
        QTest::newRow("doubled") << "//";
        QTest::newRow("dot-dot") << "/tmp/..";
    }
    void rootsAreNeverZipped()
    {
        QFETCH(QString, row);
        QTemporaryDir out;
        const FolderArchiveOutcome outcome = ArchiveFolder(outputFolder(out), nativePath(row), [] {
            QFAIL("a root must be refused before any walk begins");
        });
        QCOMPARE(outcome.result, -1);
        QVERIFY(outcome.messages.contains(QStringLiteral("root of the file system")));
        QVERIFY(QDir(out.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }

    void samplesRoundTrip_data()
    {
        QTest::addColumn<QString>("sample");
        QTest::newRow("1") << "1";
        QTest::newRow("2") << "2";
        QTest::newRow("3") << "3";
    }
    void samplesRoundTrip()
    {
        QFETCH(QString, sample);
        QTemporaryDir out;
        const QString folder = samples() + kNativeSeparator + sample;
        QVERIFY2(QFileInfo(folder).isDir(), "the samples are copied beside the program by the build");
        const FolderArchiveOutcome outcome = ArchiveFolder(outputFolder(out), folder);
        QVERIFY2(outcome.errors.isEmpty(), qPrintable(outcome.errors.join('\n')));
        QCOMPARE(outcome.result, 0);
        QString unzipOut;
        QVERIFY2(unzipTestPasses(outcome.archivePath, &unzipOut), qPrintable(unzipOut));
        QString error;
        const QMap<QString, QByteArray> actual = readZip(outcome.archivePath, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        const QMap<QString, QByteArray> expected = expectedEntries(folder);
        QCOMPARE(actual.keys(), expected.keys());
        QVERIFY(actual == expected);
        for (const QString &name : actual.keys())
            QVERIFY2(!name.contains(QStringLiteral("/.")), qPrintable(name)); // nothing hidden
    }

    void bigTreeArchivedWhole()
    {
        // About 3,000 nested folders and 40,000 files: no limit on sub-folders.
        const int files = qEnvironmentVariableIntValue("QB_BIG_TREE_FILES") > 0
            ? qEnvironmentVariableIntValue("QB_BIG_TREE_FILES") : 40000;
        QTemporaryDir src;
        QTemporaryDir out;
        const QString root = src.path() + QStringLiteral("/tree");
        QRandomGenerator rng(42);
        QStringList folders{root};
        for (int i = 1; i < 3000; ++i) {
            const QString parent = folders.at(int(rng.bounded(quint32(folders.size()))));
            folders << parent + QStringLiteral("/d%1").arg(i);
        }
        for (const QString &f : folders)
            QVERIFY(QDir().mkpath(f));
        for (int i = 0; i < files; ++i) {
            const QString &f = folders.at(int(rng.bounded(quint32(folders.size()))));
            QByteArray data(int(rng.bounded(200)), 'a' + char(i % 26));
            writeFile(f + QStringLiteral("/f%1.c").arg(i), data);
        }
        writeFile(root + QStringLiteral("/.git/config"), "hidden");
        const FolderArchiveOutcome outcome = ArchiveFolder(outputFolder(out), nativePath(root), [] {});
        QVERIFY2(outcome.errors.isEmpty(), qPrintable(outcome.errors.join('\n')));
        QCOMPARE(outcome.result, 0);
        QVERIFY(unzipTestPasses(outcome.archivePath));
        const QMap<QString, QByteArray> actual = readZip(outcome.archivePath);
        QCOMPARE(actual.size(), 3000 + files);
        QVERIFY(actual == expectedEntries(root));
    }

#ifndef Q_OS_WIN
    // A folder as people have them: links that lead out of it (to a secret
    // elsewhere, to the root, to its parent) and back into it, and a name
    // that is not valid UTF-8. Its archive holds its own files under their
    // own names, the links out as links, and nothing from outside.
    void linksAndOddNamesStayInside()
    {
        QTemporaryDir src, out, unpacked;
        const QByteArray proj = QFile::encodeName(src.path()) + "/proj";
        writeFile(src.path() + "/sibling/secret.txt", "not in the project");
        writeFile(src.path() + "/proj/a.txt", "a");
        writeFile(src.path() + "/proj/src/s.txt", "s");
        QVERIFY(::mkdir(proj + "/bad\xffname", 0755) == 0);
        QFile odd(QString::fromLocal8Bit(proj) + "/x");
        QVERIFY(odd.open(QIODevice::WriteOnly) && odd.write("odd") == 3);
        odd.close();
        QVERIFY(::rename(proj + "/x", proj + "/bad\xffname/f\xfe.txt") == 0);
        const std::map<std::string, std::string> out_links{{"sysroot", "/"}, {"up", ".."}, {"keys", "../sibling/secret.txt"}};
        for (const auto &[link, target] : out_links)
            QVERIFY(::symlink(target.c_str(), proj + "/" + link.c_str()) == 0);
        QVERIFY(::symlink("src", proj + "/inner") == 0);

        const FolderArchiveOutcome outcome =
            ArchiveFolder(out.path() + QLatin1Char('/'), FileNameFromNative(proj), [] {});
        QVERIFY2(outcome.errors.isEmpty(), qPrintable(outcome.errors.join('\n')));
        QCOMPARE(outcome.result, 0);
        QCOMPARE(outcome.notes.linksLeftOut.size(), 1);   // inner: its folder is stored as src
        QVERIFY2(outcome.notes.warnings.join('\n').contains("keys"), qPrintable(outcome.notes.details()));
        QString unzipOut;
        QVERIFY2(unzipTestPasses(outcome.archivePath, &unzipOut), qPrintable(unzipOut));

        // Unpacked by Info-ZIP, every file comes back under its own bytes
        // ("-^": unzip otherwise drops the byte 0xFF from names it writes,
        // whoever made the archive).
        QProcess unzip;
        unzip.start("unzip", {"-q", "-^", outcome.archivePath, "-d", unpacked.path()});
        QVERIFY(unzip.waitForFinished(60000) && unzip.exitCode() == 0);
        QMap<QByteArray, QByteArray> files;
        const std::filesystem::path base(QFile::encodeName(unpacked.path()).toStdString());
        for (const auto &e : std::filesystem::recursive_directory_iterator(base)) {
            if (!e.is_regular_file())
                continue;
            std::ifstream in(e.path(), std::ios::binary);
            const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            files.insert(QByteArray::fromStdString(e.path().lexically_relative(base).string()),
                         QByteArray::fromStdString(data));
        }
        const QByteArray stored = "proj/";
        const QMap<QByteArray, QByteArray> want{{stored + "a.txt", "a"},
                                                {stored + "src/s.txt", "s"},
                                                {stored + "bad\xffname/f\xfe.txt", "odd"}};
        QCOMPARE(files, want);
        for (const auto &[link, target] : out_links)
            QCOMPARE(std::filesystem::read_symlink(base / "proj" / link).string(), target);
        // QTemporaryDir cannot remove names it cannot spell.
        std::filesystem::remove_all(proj.toStdString() + "/bad\xffname");
        for (const auto &e : std::filesystem::directory_iterator(base))
            std::filesystem::remove_all(e.path());
    }
#endif
};

QTEST_GUILESS_MAIN(TestFolderArchiver)
#include "test_folderarchiver.moc"
