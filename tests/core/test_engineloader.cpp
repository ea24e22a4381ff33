// The binding to the engine library: what reaches the engine, and what comes back.
#include "support/FakeEngine.h"
#include "core/EngineLoader.h"
#include "core/EngineMessages.h"

#include <QFileInfo>
#include <QTest>

#include <cstring>

class TestEngineLoader : public QObject {
    Q_OBJECT
private slots:
    void callsInOrderWithRecords()
    {
        FakeEngine fake;
        QVERIFY(fake.loaded());
        fake.script({}, 0);
        const QStringList names{QStringLiteral("querty"), QStringLiteral("/data/Fotos Über/*.*"),
                                QStringLiteral("/data/b/*.*")};
        // Each flag its own value, so that each is seen in its own field.
        const qint32 result = RunZipEngine(3, QStringLiteral("/out/Photos.zip"), names, 1, 2, 3, 4,
                                           QStringLiteral("/lower/Case")).result;
        QCOMPARE(result, 0);
        QCOMPARE(fake.calls(), QStringLiteral("ISA"));
        QVERIFY(fake.hasAnswerRoutines());
        const ZipEngineOptions o = fake.options();
        QCOMPARE(o.ignorePath, 1);
        QCOMPARE(o.recurse, 2);
        QCOMPARE(o.update, 3);
        QCOMPARE(o.includeHidden, 4);
        // Every other integer field (1 to 27, at offsets 0 to 104) is 0:
        // the reserved ones, and those this call leaves at their defaults.
        int32_t fields[27];
        std::memcpy(fields, &o, sizeof fields);
        for (int field = 1; field <= 27; ++field)
            if (field != 6 && field != 13 && field != 14 && field != 19)
                QVERIFY2(fields[field - 1] == 0, qPrintable(QStringLiteral("field %1").arg(field)));
        QCOMPARE(int(o.level), 0);
        QVERIFY(o.tempDir == nullptr);
#ifdef _WIN32
        QCOMPARE(fake.root(), QByteArray("/LOWER/CASE"));
#else
        QCOMPARE(fake.root(), QByteArray("/lower/Case")); // case matters here
#endif
        QCOMPARE(fake.archive(), QByteArray("/out/Photos.zip"));
        QCOMPARE(fake.names(), (QList<QByteArray>{"querty", "/data/Fotos \xc3\x9c" "ber/*.*", "/data/b/*.*"}));
    }

    void noFixedNameLimit()
    {
        FakeEngine fake;
        fake.script({}, 0);
        QStringList names;
        for (int i = 0; i < 40000; ++i)
            names << QStringLiteral("/d/%1/*.*").arg(i);
        QCOMPARE(RunZipEngine(qint32(names.size()), QStringLiteral("/o.zip"), names, 0, 0, 0, 0, "/").result, 0);
        QCOMPARE(fake.names().size(), 40000);
        QCOMPARE(fake.names().last(), QByteArray("/d/39999/*.*"));
    }

    void messagesCollected()
    {
        FakeEngine fake;
        fake.script({"first line\n", QByteArray(), "second. line\n"}, 18);
        int yields = 0;
        const ZipEngineRun run = RunZipEngine(1, "/o.zip", {"querty"}, 0, 0, 0, 0, "/", [&] { ++yields; });
        QCOMPARE(run.result, 18);
        QCOMPARE(run.messages, QStringLiteral("first line\nsecond. line\n"));
        QVERIFY2(yields >= 3, "the caller's yield runs at the engine's messages");

        // A run without messages carries nothing of the earlier run.
        fake.script({}, 0);
        const ZipEngineRun quiet = RunZipEngine(1, "/o.zip", {"querty"}, 0, 0, 0, 0, "/");
        QCOMPARE(quiet.result, 0);
        QVERIFY(quiet.messages.isEmpty());
    }

    void bufferConversion_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("text");
        QTest::newRow("length is exclusive") << QByteArray("abcdef") << 3 << QStringLiteral("abc");
        QTest::newRow("stops at zero") << QByteArray("ab\0cd", 5) << 5 << QStringLiteral("ab");
        QTest::newRow("zero at index 0") << QByteArray("\0abc", 4) << 4 << QString();
        QTest::newRow("utf-8") << QByteArray("\xc3\xa9t\xc3\xa9") << 5 << QStringLiteral("été");
        QTest::newRow("zero length") << QByteArray("abc") << 0 << QString();
    }
    void bufferConversion()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(int, length);
        QFETCH(QString, text);
        QCOMPARE(ZipBufferToText(buffer.constData(), quint32(length)), text);
    }

    void bufferNeverReadPastIndex4096()
    {
        QByteArray buffer(5000, 'x'); // no zero byte anywhere
        QCOMPARE(ZipBufferToText(buffer.constData(), 5000).size(), 4097);
        QCOMPARE(ZipBufferToText(nullptr, 10), QString());
    }

    void missingEngineIsAFailure_data()
    {
        QTest::addColumn<QString>("library");
        QTest::newRow("no library") << QStringLiteral("/nonexistent/libzip32.so");
        QTest::newRow("entry points missing") << QStringLiteral("testlibs/libpartial_zip32");
    }
    void missingEngineIsAFailure()
    {
        QFETCH(QString, library);
        if (library.startsWith(QLatin1String("testlibs")))
            library = QCoreApplication::applicationDirPath() + QLatin1Char('/') + library;
        SetZipEngineLibrary(library);
        const ZipEngineRun run = RunZipEngine(1, "/o.zip", {"querty"}, 0, 0, 0, 0, "/");
        SetZipEngineLibrary(QString());
        QVERIFY2(run.result != 0, "a missing engine must never read as 'written'");
        QVERIFY(run.messages.startsWith(QStringLiteral("The zip engine could not be loaded")));
        QVERIFY(run.messages.size() > 40); // carries the loader's reason
    }

    void defaultLocationIsBesideTheProgram()
    {
        SetZipEngineLibrary(QString());
        const QFileInfo library(ZipEngineLibrary());
#ifdef Q_OS_WIN
        QCOMPARE(library.fileName(), QStringLiteral("zip32.dll"));
#else
        QCOMPARE(library.fileName(), QStringLiteral("libzip32.so"));
#endif
        QCOMPARE(library.absolutePath(), QCoreApplication::applicationDirPath());
    }
};

QTEST_GUILESS_MAIN(TestEngineLoader)
#include "test_engineloader.moc"
