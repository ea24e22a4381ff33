// Long engine messages keep the box usable.
#include "window/Dialogs.h"

#include <QTest>

class TestDialogs : public QObject {
    Q_OBJECT
private slots:
    void splitLongMessage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("split");
        QTest::newRow("short") << QStringLiteral("Done.") << false;
        QTest::newRow("20 lines") << QStringLiteral("line\n").repeated(19) + "last" << false;
        QTest::newRow("many lines") << QStringLiteral("name not matched: /x\n").repeated(3000) << true;
        QTest::newRow("one huge line") << QString(100000, QLatin1Char('x')) << true;
    }
    void splitLongMessage()
    {
        QFETCH(QString, text);
        QFETCH(bool, split);
        const BoxText box = SplitLongMessage(text);
        if (!split) {
            QCOMPARE(box.shown, text);
            QVERIFY(box.details.isEmpty());
            return;
        }
        QCOMPARE(box.details, text); // nothing lost: the whole text is one click away
        QVERIFY(box.shown.size() < QtDialogs::kShownChars + 100);
        QVERIFY(box.shown.count(QLatin1Char('\n')) <= QtDialogs::kShownLines + 2);
        QVERIFY(box.shown.contains(QStringLiteral("see the details")));
    }
};

QTEST_GUILESS_MAIN(TestDialogs)
#include "test_dialogs.moc"
