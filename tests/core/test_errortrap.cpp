// The resume-next trap and the report it shows.
#include "window/ErrorReport.h"
#include "core/ErrorTrap.h"
#include "core/QbError.h"
#include "support/ScriptedDialogs.h"

#include <QTest>

class TestErrorTrap : public QObject {
    Q_OBJECT

    struct Report {
        QString location;
        int line;
        QString description;
    };
    QList<Report> reports;
    ErrorTrap makeTrap()
    {
        return ErrorTrap(ErrorTrap::formLocation(QStringLiteral("Form_Load")),
                         [this](const QString &l, int n, const QString &d) { reports.append({l, n, d}); });
    }
    static void fail(const char *why) { throw QbError(7, QStringLiteral("test"), QString::fromUtf8(why)); }

private slots:
    void init() { reports.clear(); }

    void reportText()
    {
        const QString text = ErrorReportText(ErrorTrap::formLocation(QStringLiteral("Form_Load")), 138,
                                             QStringLiteral("Path not found"));
        QCOMPARE(text, QStringLiteral("Path not found\r\nin Quillbarrow2021/08/31.Form1.Form_Load at line 138"
                                      "\r\rPlease email screenshot of this message to ")
                           + kSupportAddress);
        // Exactly one blank between the procedure's name and "at line".
        QVERIFY(text.contains(QStringLiteral("Form_Load at line")));
        QVERIFY(!text.contains(QStringLiteral("Form_Load  at")));
    }

    void reportBox()
    {
        ScriptedDialogs dialogs;
        ShowErrorReport(ErrorTrap::formLocation(QStringLiteral("ZipFolder")), 100, QStringLiteral("x"));
        QCOMPARE(dialogs.boxes.size(), 1);
        QCOMPARE(dialogs.boxes[0].kind, QStringLiteral("warning"));
        QCOMPARE(dialogs.boxes[0].title, QStringLiteral("Application Error"));
        QVERIFY(dialogs.boxes[0].text.contains(QStringLiteral("ZipFolder at line 100\r\r")));
    }

    void resumesWithNextStatement()
    {
        ErrorTrap trap = makeTrap();
        QStringList ran;
        trap(100, [&] { fail("first"); ran << QStringLiteral("never"); });
        trap(102, [&] { ran << QStringLiteral("102"); });
        trap(104, [&] { fail("second"); });
        trap(106, [&] { ran << QStringLiteral("106"); });
        QCOMPARE(ran, (QStringList{QStringLiteral("102"), QStringLiteral("106")}));
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports[0].line, 100);
        QCOMPARE(reports[0].description, QStringLiteral("first"));
        QCOMPARE(reports[1].line, 104);
        QCOMPARE(reports[1].location, QStringLiteral("in Quillbarrow2021/08/31.Form1.Form_Load "));
        QCOMPARE(trap.reports(), 2);
    }

    void conditionals()
    {
        ErrorTrap trap = makeTrap();
        bool entered = false;
        if (trap.branch(106, [&]() -> bool { fail("test failed"); return false; }))
            entered = true;
        QVERIFY2(entered, "a failing multi-line test enters its branch");

        bool stopped = false;
        if (trap.guard(102, [&]() -> bool { fail("guard failed"); return true; }))
            stopped = true;
        QVERIFY2(!stopped, "a failing one-line conditional is skipped whole");

        QVERIFY(trap.branch(108, [] { return true; }));
        QVERIFY(!trap.guard(110, [] { return false; }));
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports[0].line, 106);
        QCOMPARE(reports[1].line, 102);
    }

    void failingHelperAbandonsOnlyItsCall()
    {
        ErrorTrap trap = makeTrap();
        int helperSteps = 0;
        auto helper = [&] {
            ++helperSteps;
            fail("inside helper");
            ++helperSteps;
        };
        int after = 0;
        trap(120, [&] { helper(); });
        trap(122, [&] { ++after; });
        QCOMPARE(helperSteps, 1);
        QCOMPARE(after, 1);
        QCOMPARE(reports.value(0).line, 120);
    }

    void describesEveryKindOfFailure_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("description");
        QTest::newRow("error") << 0 << QStringLiteral("File is already in Zip List");
        QTest::newRow("std") << 1 << QStringLiteral("bad thing");
        QTest::newRow("unknown") << 2 << QStringLiteral("Unknown error");
    }
    void describesEveryKindOfFailure()
    {
        QFETCH(int, kind);
        QFETCH(QString, description);
        ErrorTrap trap = makeTrap();
        trap(100, [&] {
            if (kind == 0)
                throw QbError(1, QStringLiteral("CGZip::AddFile"), QStringLiteral("File is already in Zip List"));
            if (kind == 1)
                throw std::runtime_error("bad thing");
            throw 42;
        });
        QCOMPARE(reports.value(0).description, description);
    }
};

QTEST_GUILESS_MAIN(TestErrorTrap)
#include "test_errortrap.moc"
