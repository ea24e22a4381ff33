// ZIP64: an archive of 65,536 entries and one holding a file over 4 GiB,
// each accepted by every reader and free of ZIP64 fields where none is
// needed. Slow: labelled "slow".
#include "ZipTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>

using namespace ztest;

class TestZip32Large : public QObject {
    Q_OBJECT

private:
    void allReadersAccept(const QString &archive, int entries)
    {
        Tool unzip = runTool("unzip", {"-tq", archive});
        QVERIFY2(unzip.exitCode == 0, unzip.out.right(2000).constData());
        Tool sz = runTool("7zz", {"t", archive});
        QVERIFY2(sz.exitCode == 0 && sz.out.contains("Everything is Ok"), sz.out.right(2000).constData());
        // bsdtar reads every entry to the end; the data goes nowhere.
        Tool bsdtar = runTool("sh", {"-c", "bsdtar -xOf \"$0\" > /dev/null", archive});
        QVERIFY2(bsdtar.exitCode == 0, bsdtar.out.constData());
        const QJsonObject py = pythonCheck(archive);
        QVERIFY2(py["problems"].toArray().isEmpty(),
                 QJsonDocument(py["problems"].toArray()).toJson().constData());
        QCOMPARE(py["entries"].toArray().size(), entries);
    }

private slots:
    void sixtyFiveThousandEntries()
    {
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/many";
        QStringList names{"querty"};
        // 255 folders of 256 files, plus their 255 folder entries, plus the
        // folder itself: 65,536 entries in all.
        for (int d = 0; d < 255; ++d) {
            const QString dir = src + QString("/d%1").arg(d, 3, 10, QChar('0'));
            QDir().mkpath(dir);
            names << dir + "/*.*";
            for (int f = 0; f < 256; ++f) {
                QFile file(dir + QString("/f%1").arg(f));
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(QByteArray::number(d * 256 + f));
            }
        }
        names.insert(1, src + "/*.*");
        const QString archive = tmp.path() + "/many.zip";
        Run run = runEngine(archive, names);
        QCOMPARE(run.result, int(ZP_OK));
        allReadersAccept(archive, 65536);
    }

    void fileOverFourGiB()
    {
        QTemporaryDir tmp;
        const QString src = tmp.path() + "/big";
        QDir().mkpath(src);
        const QByteArray path = QFile::encodeName(src + "/sparse.bin");
        int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        const qint64 size = (4LL << 30) + 1;
        QVERIFY(::ftruncate(fd, size) == 0);
        QVERIFY(::pwrite(fd, "start", 5, 0) == 5);
        QVERIFY(::pwrite(fd, "middle", 6, 3LL << 30) == 6);
        QVERIFY(::pwrite(fd, "!", 1, size - 1) == 1);
        ::close(fd);
        QFile small(src + "/after.txt");
        QVERIFY(small.open(QIODevice::WriteOnly));
        small.write("an entry after the big one, past 4 GiB if stored");
        small.close();
        const QString archive = tmp.path() + "/big.zip";
        Run run = runEngine(archive, {src + "/*.*"});
        QCOMPARE(run.result, int(ZP_OK));
        allReadersAccept(archive, 3);
    }
};

int main(int argc, char **argv)
{
    // Four readers going through 4 GiB each take longer than QtTest's
    // default five minutes per test function.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "1500000");
    QCoreApplication app(argc, argv);
    TestZip32Large test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_zip32large.moc"
