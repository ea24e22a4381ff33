// How well the window keeps answering during a run: shows the real main
// window (offscreen unless told otherwise), lists the given folders, presses
// "Start Zipping", and records every turn of the event loop while the run
// lasts. Prints the longest gap between two turns, the 99th percentile and
// the number of gaps. Never judges them.
//
//   bench_responsiveness --out DIR (--list FILE | FOLDER...)
//
// A turn is a firing of a zero-interval timer, which runs whenever the
// application processes its events, including inside the run's own calls to
// process them. Message boxes are answered at once by a seam that only
// counts them, so no gap includes a box waiting for a person.
#include "BenchSupport.h"
#include "window/Dialogs.h"
#include "window/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace {

QTextStream out(stdout);
QTextStream err(stderr);

// Answers every box at once and keeps its text; the browser is never asked.
class CountingDialogs : public DialogSeam {
public:
    void information(QWidget *, const QString &, const QString &text) override { boxes << text; }
    void informationWithDetails(QWidget *, const QString &, const QString &text,
                                const QString &) override
    {
        boxes << text;
    }
    void warning(QWidget *, const QString &, const QString &text) override
    {
        boxes << text;
        ++warnings;
    }
    int choose(QWidget *, Sign, const QString &, const QString &text, const QStringList &, int) override
    {
        boxes << text;
        return 0;
    }
    QString browseFolder(QWidget *, const QString &, const QString &) override { return QString(); }

    QStringList boxes;
    int warnings = 0;
};

QString ms(qint64 ns) { return QString::number(double(ns) / 1e6, 'f', 1); }

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const BenchCommand command(QStringLiteral("bench_responsiveness"),
                               QStringLiteral("bench_responsiveness --out DIR (--list FILE | FOLDER...)"));
    const BatchArguments args = readBatchArguments(command, app.arguments().mid(1));
    QApplication::setOrganizationName(QStringLiteral("Kestrawin"));
    QApplication::setApplicationName(QStringLiteral("Quillbarrow"));

    // The window stores the output folder as it changes: keep that away from
    // the user's own settings.
    QTemporaryDir settingsDir;
    if (!settingsDir.isValid())
        command.fail(QStringLiteral("cannot make a temporary folder: %1").arg(settingsDir.errorString()));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());

    CountingDialogs seam;
    SetDialogs(&seam);

    MainWindow form;
    form.load();
    form.show();
    for (const QString &f : args.folders)
        form.appendRow(f);
    form.outputFolderEdit->setText(args.outputFolder);
    const qsizetype boxesBeforeRun = seam.boxes.size();

    QElapsedTimer clock;
    clock.start();
    std::vector<qint64> turns;
    turns.reserve(1 << 20);
    bool running = false;

    // The longest gaps as they happen, with what the window was showing when
    // the loop turned again: that names the folder being archived.
    struct Gap {
        qint64 ns;
        qint64 endsAt;
        QString showing;
    };
    std::vector<Gap> longestGaps;
    constexpr size_t kLongestKept = 5;
    auto record = [&](qint64 now) {
        if (!turns.empty()) {
            const qint64 gap = now - turns.back();
            if (longestGaps.size() < kLongestKept || gap > longestGaps.back().ns) {
                longestGaps.push_back({gap, now, form.progressBar->Text()});
                std::sort(longestGaps.begin(), longestGaps.end(),
                          [](const Gap &a, const Gap &b) { return a.ns > b.ns; });
                if (longestGaps.size() > kLongestKept)
                    longestGaps.pop_back();
            }
        }
        turns.push_back(now);
    };

    QTimer turn;
    turn.setInterval(0);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        if (running)
            record(clock.nsecsElapsed());
    });
    turn.start();

    qint64 runNs = 0;
    QTimer::singleShot(0, &form, [&] {
        running = true;
        const qint64 start = clock.nsecsElapsed();
        record(start);
        form.startZipping();
        const qint64 end = clock.nsecsElapsed();
        record(end);
        running = false;
        for (Gap &g : longestGaps)
            g.endsAt -= start;
        runNs = end - start;
        QApplication::quit();
    });
    app.exec();
    SetDialogs(nullptr);

    std::vector<qint64> gaps;
    gaps.reserve(turns.size());
    for (size_t i = 1; i < turns.size(); ++i)
        gaps.push_back(turns[i] - turns[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    const qint64 longest = gaps.empty() ? 0 : gaps.back();
    const qint64 p99 = gaps.empty() ? 0 : gaps[std::min(gaps.size() - 1, (gaps.size() * 99) / 100)];

    const QStringList runBoxes = seam.boxes.mid(boxesBeforeRun);
    out << "run " << QString::number(double(runNs) / 1e9, 'f', 2) << " s over " << args.folders.size()
        << " folders\n";
    out << "longest event-loop gap " << ms(longest) << " ms\n";
    out << "99th percentile gap " << ms(p99) << " ms\n";
    out << "gaps " << gaps.size() << "\n";
    for (const Gap &g : longestGaps)
        out << "  gap " << ms(g.ns) << " ms ending " << QString::number(double(g.endsAt) / 1e9, 'f', 2)
            << " s into the run, window showing \"" << g.showing << "\"\n";
    out << "boxes during run " << runBoxes.size();
    if (!runBoxes.isEmpty())
        out << " (last: " << QString(runBoxes.last()).replace(QLatin1Char('\n'), QLatin1Char(' ')).left(200) << ")";
    out << "\n";
    // A run that ends with anything but its closing "Done." showed a problem.
    const bool clean = runBoxes.size() == 1 && runBoxes.first() == QLatin1String("Done.");
    if (!clean) {
        for (const QString &b : runBoxes)
            err << "box: " << QString(b).left(2000) << "\n";
    }
    return clean ? 0 : 1;
}
