// The per-user settings store.
#include "core/QbError.h"
#include "core/SettingsStore.h"
#include "support/ScriptedDialogs.h"

#include <QFile>
#include <QProcess>
#include <QTest>

class TestSettingsStore : public QObject {
    Q_OBJECT
private slots:
    void absentGivesDefault()
    {
        TemporarySettings store;
        QCOMPARE(ReadSetting(kSettingsApplication, kSettingsSection, QStringLiteral("Output Folder"),
                             QStringLiteral("/def/")),
                 QStringLiteral("/def/"));
        QVERIFY2(!store.written(), "reading never creates anything");
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("blank in key") << QStringLiteral("Output Folder") << QStringLiteral("/home/u/Desktop/");
        QTest::newRow("empty value") << QStringLiteral("Output Folder") << QString();
        QTest::newRow("non-ascii") << QStringLiteral("LastFolderDot") << QStringLiteral("/data/Fotos Übersicht ✓");
        QTest::newRow("odd chars") << QStringLiteral("Key = with;odd,chars") << QStringLiteral("a=b;c\\d\"e");
    }
    void roundTrip()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        TemporarySettings store;
        WriteSetting(kSettingsApplication, kSettingsSection, key, value);
        const QString read = ReadSetting(kSettingsApplication, kSettingsSection, key, QStringLiteral("default"));
        QCOMPARE(read, value);
        QVERIFY2(store.written(), "a write is on disk when it returns");
    }

    void writeIsOnDiskAtOnce()
    {
        // Another process reading the store sees the value straight away.
        TemporarySettings store;
        WriteSetting(kSettingsApplication, kSettingsSection, QStringLiteral("Output Folder"), QStringLiteral("/x/"));
#ifdef Q_OS_WIN
        QProcess reg;
        reg.start(QStringLiteral("reg"), {QStringLiteral("query"), QStringLiteral("HKCU\\Software\\Kestrawin\\Quillbarrow"),
                                          QStringLiteral("/v"), QStringLiteral("Output Folder")});
        QVERIFY(reg.waitForFinished(60000) && reg.exitStatus() == QProcess::NormalExit && reg.exitCode() == 0);
        QVERIFY(reg.readAllStandardOutput().contains("/x/"));
#else
        QFile file(store.fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.contains("[Quillbarrow]"));
        QVERIFY(content.contains("/x/"));
#endif
    }

#ifndef Q_OS_WIN
    // The settings file damaged, or a folder in its place.

    void corruptOrUnreadableGivesDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("unreadable");
        QTest::newRow("garbage") << QByteArray("\x00\xff\xfe[[[[=\n\x01==\n[Quillbarrow\n", 27) << false;
        QTest::newRow("folder in place of file") << QByteArray() << true;
    }
    void corruptOrUnreadableGivesDefaults()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, unreadable);
        TemporarySettings store;
        if (unreadable) {
            QVERIFY(QDir().mkpath(store.fileName())); // a folder where the file should be
        } else {
            QFile file(store.fileName());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QCOMPARE(ReadSetting(kSettingsApplication, kSettingsSection, QStringLiteral("Output Folder"),
                             QStringLiteral("fallback")),
                 QStringLiteral("fallback"));
        if (unreadable) {
            bool threw = false;
            try {
                WriteSetting(kSettingsApplication, kSettingsSection, QStringLiteral("Output Folder"), QStringLiteral("v"));
            } catch (const QbError &e) {
                threw = true;
                QVERIFY(e.description().contains(QStringLiteral("Output Folder")));
            }
            QVERIFY2(threw, "a write that cannot reach the disk is an error, not a silent loss");
        }
    }
#endif
};

QTEST_GUILESS_MAIN(TestSettingsStore)
#include "test_settingsstore.moc"
